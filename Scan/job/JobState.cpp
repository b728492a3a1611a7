#include "scan/job/JobState.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "agent/SQLiteJobManager.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/JobManagerToken.h"
#include "scan/jobstate/StateManager.h"

#include "scan/job/JobFileGuard.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/KoXml.h"
#include "core/Path.h"
#include "core/SafePath.h"
#include "scan/Unix/CollectFileEncode.h"

namespace {
CKoError ReadPaths(const CKoXNodePtr& scan, const char* element, std::vector<std::string>& out);
CKoError Validate(const SScanRecord& r);

// The filters of a scan, one line each in one element (a job may have tens of thousands): "f" or
// "e" (filter, exception), "q" or "s" (command-line or subclient pattern), a blank, the pattern
// escaped as paths are (no line feed or carriage return is left in it).
CKoError WriteFilters(const std::vector<SScanFilterRecord>& filters, const CKoXNodePtr& scan) {
    std::string text, escaped;
    for (const SScanFilterRecord& f : filters) {
        CKoError e = EscapePath(f.pattern, escaped, true);
        if (e.IsError()) return e.Push(ZY_HERE);
        text += f.exception ? 'e' : 'f';
        text += f.quick ? 'q' : 's';
        text += ' ';
        text += escaped;
        text += '\n';
    }
    CKoXNodePtr node;
    CKoError e = scan->AppendNode("Filters", node);
    if (e.IsSuccess()) e = node->SetText(text);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError ReadFilters(const CKoXNodePtr& scan, std::vector<SScanFilterRecord>& out) {
    CKoXNodePtr node = scan->GetNode("Filters");
    if (!node->Exists()) return CKoError::Success();
    const std::string text = node->GetText();
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        if (line.size() < 3 || (line[0] != 'f' && line[0] != 'e') || (line[1] != 'q' && line[1] != 's') || line[2] != ' ')
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "A recorded filter is damaged");
        out.push_back({decodeFileName(std::string(line.substr(3)).c_str()), line[0] == 'e', line[1] == 'q'});
        start = end + 1;
    }
    return CKoError::Success();
}
}  // namespace

CKoError CScanRecordNode::Write(const SScanRecord& r, CKoXDocument& holder, CKoXNodePtr& scan) {
    CKoXNodePtr node;
    CKoError e = holder.AppendNode(kElementName, scan);
    if ((e.IsSuccess()) && (e = scan->SetAttributeBOOL("Complete", true)).IsSuccess() &&
        (e = scan->SetAttributeLONGLONG("JobId", r.jobId)).IsSuccess() &&
        (e = scan->SetAttributeBOOL("Full", r.full)).IsSuccess() &&
        (e = scan->SetAttributeBOOL("IncludeFiles", r.includeFiles)).IsSuccess() &&
        (e = scan->SetAttributeLONGLONG("StartTime", r.startTimeMicros)).IsSuccess() &&
        (e = scan->SetAttributeString("Folder", r.folder)).IsSuccess() &&
        (e = scan->SetAttributeLONGLONG("BaselineJobId", r.baselineJobId)).IsSuccess() &&
        (e = scan->SetAttributeULONGLONG("DirChangeSize", r.dirChangeSize)).IsSuccess() &&
        (e = scan->SetAttributeULONGLONG("DirChangeHash", r.dirChangeHash)).IsSuccess() &&
        (e = scan->SetAttributeString("CollectInfo", r.collectInfoFile)).IsSuccess() &&
        (r.dirChangeKind.empty() || (e = scan->SetAttributeString("DirChangeKind", r.dirChangeKind)).IsSuccess())) {
        for (size_t i = 0; e.IsSuccess() && i < r.collectFiles.size(); ++i) {
            if ((e = scan->AppendNode("Collect", node)).IsSuccess() &&
                (e = node->SetAttributeString("Name", r.collectFiles[i])).IsSuccess() && i < r.collectSizes.size())
                e = node->SetAttributeULONGLONG("Size", r.collectSizes[i]);
        }
        // Paths may hold any byte; XML text must be UTF-8, so they are fully escaped.
        std::string escaped;
        for (const auto& [element, list] : {std::pair{"Root", &r.contentRoots}, std::pair{"FormerRoot", &r.formerRoots},
                                            std::pair{"Rescan", &r.rescanPaths}})
            for (size_t i = 0; e.IsSuccess() && i < list->size(); ++i) {
                if ((e = scan->AppendNode(element, node)).IsSuccess()) e = EscapePath((*list)[i], escaped, true);
                if (e.IsSuccess()) e = node->SetAttributeString("Path", escaped);
            }
        if (e.IsSuccess() && !r.filters.empty()) e = WriteFilters(r.filters, scan);
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the scan of job %lld", r.jobId);
    return CKoError::Success();
}

CKoError CScanRecordNode::Read(const CKoXNodePtr& scan, SScanRecord& r) {
    r = SScanRecord();
    auto damaged = [&](CKoError e) { return e.Push(ZY_HERE, "The scan record of a job is unusable"); };
    if (!scan || !scan->Exists() || !scan->AttributeAsBOOL("Complete"))
        return damaged(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The scan did not complete"));
    unsigned long long u = 0;
    CKoError e;
    if ((e = scan->GetAttributeAsLONGLONG("JobId", r.jobId)).IsError() ||
        (e = scan->GetAttributeAsBOOL("Full", r.full)).IsError() ||
        (e = scan->GetAttributeAsBOOL("IncludeFiles", r.includeFiles)).IsError() ||
        (e = scan->GetAttributeAsLONGLONG("StartTime", r.startTimeMicros)).IsError() ||
        (e = scan->GetAttributeAsString("Folder", r.folder)).IsError() ||
        (e = scan->GetAttributeAsULONGLONG("DirChangeSize", r.dirChangeSize)).IsError() ||
        (e = scan->GetAttributeAsULONGLONG("DirChangeHash", u)).IsError())
        return damaged(e);
    r.dirChangeHash = u;
    r.baselineJobId = scan->AttributeAsLONGLONG("BaselineJobId");
    r.collectInfoFile = scan->AttributeAsString("CollectInfo");
    r.dirChangeKind = scan->AttributeAsString("DirChangeKind");
    std::vector<CKoXNodePtr> collects;
    if ((e = scan->SelectNodes("Collect", collects)).IsError()) return damaged(e);
    for (const auto& c : collects) {
        std::string name;
        if ((e = c->GetAttributeAsString("Name", name)).IsError()) return damaged(e);
        r.collectFiles.push_back(name);
        r.collectSizes.push_back(c->AttributeAsULONGLONG("Size"));
    }
    if ((e = ReadPaths(scan, "Rescan", r.rescanPaths)).IsError() || (e = ReadPaths(scan, "Root", r.contentRoots)).IsError() ||
        (e = ReadPaths(scan, "FormerRoot", r.formerRoots)).IsError() || (e = ReadFilters(scan, r.filters)).IsError() ||
        (e = Validate(r)).IsError())
        return damaged(e);
    return CKoError::Success();
}

std::string CScanJobState::PathOf(const std::string& resultsDir, const std::string& name) const {
    return FXPath::Join(FXPath::Join(resultsDir, lastScan.folder), name);
}

CKoError CScanJobState::Load(const std::string& resultsDir) {
    *this = CScanJobState();
    const std::string path = FXPath::Join(resultsDir, kFileName);
    CStateManager manager(path);
    SStateSummary summary;
    CKoError e = manager.GetSummary(summary);
    if (e.IsError()) return e.Push(ZY_HERE, "Job state file is unusable, FileName=[%s]", path.c_str());
    for (long long id : summary.jobs) lastJobId = std::max(lastJobId, id);
    long long newest = 0;
    for (const auto& ref : summary.pending) newest = std::max(newest, ref.jobId);
    if (newest == 0) return CKoError::Success();
    CKoXNodePtr node;
    if (manager.GetGenericNodeInJob(newest, node, CScanRecordNode::kElementName).IsError())
        return CKoError::Success();  // that scan never completed: there is nothing to back up
    e = CScanRecordNode::Read(node, lastScan);
    if (e.IsSuccess() && lastScan.jobId != newest)
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The scan record names another job");
    if (e.IsError()) return e.Push(ZY_HERE, "Job state file is unusable, FileName=[%s]", path.c_str());
    // The DirChange is under its temporary name until the job is known to have succeeded.
    CKoXNodePtr dcNode;
    XJobPtr job;
    if (manager.GetGenericNodeInJob(newest, dcNode, XDirChange::kElementName).IsSuccess()) {
        XDirChange dc(dcNode);
        const std::string temp = dc.get_TempFileName(), final = dc.get_FinalFileName();
        lastScan.dirChangeFile = !temp.empty() && FXSafePath::IsCleanName(temp) && CJobFiles::Exists(PathOf(resultsDir, temp))
                                     ? temp
                                     : final;
        if (!FXSafePath::IsCleanName(lastScan.dirChangeFile))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "A DirChange name is not a plain name")
                .Push(ZY_HERE, "Job state file is unusable, FileName=[%s]", path.c_str());
    }
    hasLastScan = true;
    const std::string jobManager = CSQLiteJobManager::DefaultPathFor(resultsDir);
    if (CJobFiles::Exists(jobManager)) {
        CSQLiteJobManager jm;
        SJobManagerJob status;
        if (jm.Open(jobManager).IsSuccess() && jm.GetJob(newest, status).IsSuccess())
            backupDone = IsSuccessfulDisposition(status.disposition);
    }
    return CKoError::Success();
}

CKoError CScanJobState::Save(const std::string& resultsDir) const {
    if (!hasLastScan) return CKoError::Success();
    CKoXDocument holder;
    CKoXNodePtr node;
    CKoError e = CScanRecordNode::Write(lastScan, holder, node);
    CStateManager manager(FXPath::Join(resultsDir, kFileName));
    SStateSummary summary;
    if (e.IsSuccess()) e = manager.GetSummary(summary);
    // A job the document does not name yet is recorded as pending first.
    if (e.IsSuccess() && std::find(summary.jobs.begin(), summary.jobs.end(), lastScan.jobId) == summary.jobs.end())
        e = manager.UpdateCurrentJob(lastScan.jobId, CTimeStamp(), CJobManagerToken::Format(static_cast<uint64_t>(lastScan.jobId), 1),
                                     lastScan.full ? 1 : 2);
    if (e.IsSuccess()) e = manager.AddOrReplaceNodeInJob(lastScan.jobId, node, CScanRecordNode::kElementName);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot save job state");
    return CKoError::Success();
}

CKoError LockResultsFolder(const std::string& resultsDir, FXFolderLock& lock) {
    CKoError e = lock.Lock(resultsDir);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_LOCK_VIOLATION))
        return e.Push(ZY_HERE, "Another job is using the job-results folder, Folder=[%s]", resultsDir.c_str());
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot lock the job-results folder, Folder=[%s]", resultsDir.c_str());
    return CKoError::Success();
}

CKoError HashFile(const std::string& path, unsigned long long& size, unsigned long long& hash) {
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE);
    size = 0;
    hash = 0xcbf29ce484222325ull;
    static thread_local char buffer[1 << 16];
    for (;;) {
        size_t n = 0;
        e = file->Read(buffer, sizeof buffer, n);
        if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
        if (n == 0) return CKoError::Success();
        size += n;
        for (size_t i = 0; i < n; ++i) hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 0x100000001b3ull;
    }
}

namespace {

CKoError ReadPaths(const CKoXNodePtr& scan, const char* element, std::vector<std::string>& out) {
    std::vector<CKoXNodePtr> nodes;
    CKoError e = scan->SelectNodes(element, nodes);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const auto& node : nodes) {
        std::string value;
        if ((e = node->GetAttributeAsString("Path", value)).IsError()) return e.Push(ZY_HERE);
        out.push_back(decodeFileName(value.c_str()));
    }
    return CKoError::Success();
}

CKoError Damaged(const char* what) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "%s", what);
}

// What a forged or damaged record must not get past: a job folder other than the job's own,
// and file names that would lead out of it.
CKoError Validate(const SScanRecord& r) {
    if (r.jobId <= 0) return Damaged("The job id is not positive");
    if (r.folder != CJobCleanupCallback::JobFolderName(r.jobId)) return Damaged("The job folder is not the job's own");
    if (!r.collectInfoFile.empty() && !FXSafePath::IsCleanName(r.collectInfoFile))
        return Damaged("A file name is not a plain name in the job folder");
    for (const std::string& name : r.collectFiles)
        if (!FXSafePath::IsCleanName(name)) return Damaged("A collect file name is not a plain name in the job folder");
    for (const auto* list : {&r.contentRoots, &r.formerRoots})
        for (const std::string& root : *list)
            if (!FXSafePath::IsCleanAbsolute(root)) return Damaged("A content root is not a clean absolute path");
    return CKoError::Success();
}

}  // namespace

CKoError EscapePath(const std::string& path, std::string& escaped, bool encodeAll) {
    // escapeFileName throws when its buffer cannot be had: here that is an error like any other.
    try {
        escapeFileName(path.c_str(), encodeAll, escaped);
    } catch (const std::exception& ex) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot escape a path, Length=[%zu], error=%s",
                                       path.size(), ex.what());
    }
    return CKoError::Success();
}

CKoError EscapePath(const std::string& path, std::string& escaped) {
    try {
        escapeFileName(path.c_str(), escaped);
    } catch (const std::exception& ex) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot escape a path, Length=[%zu], error=%s",
                                       path.size(), ex.what());
    }
    return CKoError::Success();
}
