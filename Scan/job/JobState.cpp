#include "scan/job/JobState.h"

#include <memory>
#include <stdexcept>

#include "scan/job/JobFileGuard.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/KoXml.h"
#include "core/Path.h"
#include "core/SafePath.h"
#include "scan/Unix/CollectFileEncode.h"

namespace {
CKoError Validate(const CScanJobState& state);
CKoError ReadPaths(const CKoXNodePtr& scan, const char* element, std::vector<std::string>& out);
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

CKoError Fail(CKoError e, const std::string& path) { return e.Push(ZY_HERE, "Job state file is unusable, FileName=[%s]", path.c_str()); }
}  // namespace

CKoError CScanJobState::Load(const std::string& resultsDir) {
    *this = CScanJobState();
    std::string path = FXPath::Join(resultsDir, kFileName);
    bool exists = false;
    CKoError e = CJobFileGuard::RequireRegular(path, CJobFileGuard::kMaxDocumentSize, exists);
    if (e.IsError()) return Fail(e, path);
    if (!exists) return CKoError::Success();
    CKoXDocument doc;
    e = doc.LoadFromFile(path);
    if (e.IsError()) return Fail(e, path);
    CKoXNodePtr root = doc.GetNode("FsScanState");
    if (!root->Exists()) return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "No FsScanState element"), path);
    lastJobId = root->AttributeAsLONGLONG("LastJobId");
    backupJobId = root->AttributeAsLONGLONG("BackupJobId");
    backupDone = root->AttributeAsBOOL("BackupDone");
    CKoXNodePtr scan = root->GetNode("LastScan");
    if (!scan->Exists()) {
        if ((e = Validate(*this)).IsError()) return Fail(e, path);
        return CKoError::Success();
    }

    SScanRecord& r = lastScan;
    unsigned long long u = 0;
    if ((e = scan->GetAttributeAsLONGLONG("JobId", r.jobId)).IsError() ||
        (e = scan->GetAttributeAsBOOL("Full", r.full)).IsError() ||
        (e = scan->GetAttributeAsBOOL("IncludeFiles", r.includeFiles)).IsError() ||
        (e = scan->GetAttributeAsLONGLONG("StartTime", r.startTimeMicros)).IsError() ||
        (e = scan->GetAttributeAsString("DirChange", r.dirChangeFile)).IsError() ||
        (e = scan->GetAttributeAsULONGLONG("DirChangeSize", r.dirChangeSize)).IsError() ||
        (e = scan->GetAttributeAsULONGLONG("DirChangeHash", u)).IsError())
        return Fail(e, path);
    r.dirChangeHash = u;
    r.collectInfoFile = scan->AttributeAsString("CollectInfo");
    r.dirChangeKind = scan->AttributeAsString("DirChangeKind");
    std::vector<CKoXNodePtr> collects;
    if ((e = scan->SelectNodes("Collect", collects)).IsError()) return Fail(e, path);
    for (const auto& c : collects) {
        std::string name;
        if ((e = c->GetAttributeAsString("Name", name)).IsError()) return Fail(e, path);
        r.collectFiles.push_back(name);
        r.collectSizes.push_back(c->AttributeAsULONGLONG("Size"));
    }
    std::vector<CKoXNodePtr> rescans;
    if ((e = scan->SelectNodes("Rescan", rescans)).IsError()) return Fail(e, path);
    for (const auto& node : rescans) {
        std::string value;
        if ((e = node->GetAttributeAsString("Path", value)).IsError()) return Fail(e, path);
        r.rescanPaths.push_back(decodeFileName(value.c_str()));
    }
    if ((e = ReadPaths(scan, "Root", r.contentRoots)).IsError() || (e = ReadPaths(scan, "FormerRoot", r.formerRoots)).IsError())
        return Fail(e, path);
    std::vector<CKoXNodePtr> pendings;
    if ((e = scan->SelectNodes("Pending", pendings)).IsError()) return Fail(e, path);
    for (const auto& node : pendings) {
        std::string from, to;
        if ((e = node->GetAttributeAsString("From", from)).IsError() || (e = node->GetAttributeAsString("To", to)).IsError())
            return Fail(e, path);
        if (!FXSafePath::IsCleanName(from) || !FXSafePath::IsCleanName(to))
            return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Pending file outside the folder"), path);
        r.pending.emplace_back(from, to);
    }
    if ((e = ReadFilters(scan, r.filters)).IsError()) return Fail(e, path);
    hasLastScan = true;
    if ((e = Validate(*this)).IsError()) return Fail(e, path);
    e = FinishPending(resultsDir);
    if (e.IsError()) return Fail(e, path);
    return CKoError::Success();
}

CKoError CScanJobState::FinishPending(const std::string& resultsDir) const {
    if (!hasLastScan || lastScan.pending.empty()) return CKoError::Success();
    FXEnv* env = FXEnv::Current();
    bool renamed = false;
    for (const auto& [from, to] : lastScan.pending) {
        const std::string source = FXPath::Join(resultsDir, from);
        FXFileStat st;
        CKoError e = env->Stat(source, st);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) continue;  // renamed already
        if (e.IsSuccess()) e = env->RenameFile(source, FXPath::Join(resultsDir, to));
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot give a file of the last scan its name, FileName=[%s]", to.c_str());
        renamed = true;
    }
    if (!renamed) return CKoError::Success();
    CKoError e = env->SyncDir(resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "The files of the last scan took their names but are not yet durable");
    return CKoError::Success();
}

CKoError CScanJobState::Save(const std::string& resultsDir) const {
    CKoXDocument doc;
    CKoXNodePtr root, scan, node;
    CKoError e = doc.AppendNode("FsScanState", root);
    if (e.IsSuccess()) e = root->SetAttributeLONGLONG("LastJobId", lastJobId);
    if (e.IsSuccess()) e = root->SetAttributeLONGLONG("BackupJobId", backupJobId);
    if (e.IsSuccess()) e = root->SetAttributeBOOL("BackupDone", backupDone);
    if (e.IsSuccess() && hasLastScan) {
        const SScanRecord& r = lastScan;
        if ((e = root->AppendNode("LastScan", scan)).IsSuccess() &&
            (e = scan->SetAttributeLONGLONG("JobId", r.jobId)).IsSuccess() &&
            (e = scan->SetAttributeBOOL("Full", r.full)).IsSuccess() &&
            (e = scan->SetAttributeBOOL("IncludeFiles", r.includeFiles)).IsSuccess() &&
            (e = scan->SetAttributeLONGLONG("StartTime", r.startTimeMicros)).IsSuccess() &&
            (e = scan->SetAttributeString("DirChange", r.dirChangeFile)).IsSuccess() &&
            (e = scan->SetAttributeULONGLONG("DirChangeSize", r.dirChangeSize)).IsSuccess() &&
            (e = scan->SetAttributeULONGLONG("DirChangeHash", r.dirChangeHash)).IsSuccess() &&
            (e = scan->SetAttributeString("CollectInfo", r.collectInfoFile)).IsSuccess() &&
            (r.dirChangeKind.empty() || (e = scan->SetAttributeString("DirChangeKind", r.dirChangeKind)).IsSuccess())) {
            for (size_t i = 0; e.IsSuccess() && i < r.collectFiles.size(); ++i) {
                if ((e = scan->AppendNode("Collect", node)).IsSuccess() &&
                    (e = node->SetAttributeString("Name", r.collectFiles[i])).IsSuccess() && i < r.collectSizes.size())
                    e = node->SetAttributeULONGLONG("Size", r.collectSizes[i]);
            }
            std::string escaped;
            for (const auto& [element, list] : {std::pair{"Root", &r.contentRoots}, std::pair{"FormerRoot", &r.formerRoots}})
                for (size_t i = 0; e.IsSuccess() && i < list->size(); ++i) {
                    if ((e = scan->AppendNode(element, node)).IsSuccess()) e = EscapePath((*list)[i], escaped, true);
                    if (e.IsSuccess()) e = node->SetAttributeString("Path", escaped);
                }
            for (size_t i = 0; e.IsSuccess() && i < r.pending.size(); ++i) {
                if ((e = scan->AppendNode("Pending", node)).IsSuccess() &&
                    (e = node->SetAttributeString("From", r.pending[i].first)).IsSuccess())
                    e = node->SetAttributeString("To", r.pending[i].second);
            }
            // Paths may hold any byte; XML text must be UTF-8, so they are fully escaped.
            for (size_t i = 0; e.IsSuccess() && i < r.rescanPaths.size(); ++i) {
                if ((e = scan->AppendNode("Rescan", node)).IsSuccess()) e = EscapePath(r.rescanPaths[i], escaped, true);
                if (e.IsSuccess()) e = node->SetAttributeString("Path", escaped);
            }
            if (e.IsSuccess() && !r.filters.empty()) e = WriteFilters(r.filters, scan);
        }
    }
    std::string path = FXPath::Join(resultsDir, kFileName);
    if (e.IsSuccess()) e = doc.SaveToFile(path);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot save job state, FileName=[%s]", path.c_str());
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

// What a forged or damaged state must not get past: ids that cannot be counted on from, and
// file names that would lead out of the job-results folder.
CKoError Validate(const CScanJobState& state) {
    if (state.lastJobId < 0 || state.backupJobId < 0) return Damaged("A job id is negative");
    if (!state.hasLastScan) return CKoError::Success();
    const SScanRecord& r = state.lastScan;
    if (r.jobId < 0 || r.jobId > state.lastJobId) return Damaged("The last scan's job id is negative or past the last job id");
    if (!FXSafePath::IsCleanName(r.dirChangeFile) || (!r.collectInfoFile.empty() && !FXSafePath::IsCleanName(r.collectInfoFile)))
        return Damaged("A file name is not a plain name in the job-results folder");
    for (const std::string& name : r.collectFiles)
        if (!FXSafePath::IsCleanName(name)) return Damaged("A collect file name is not a plain name in the job-results folder");
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
