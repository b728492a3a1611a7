#include "scan/job/JobCycle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <map>
#include <set>

#include "agent/SQLiteJobManager.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/job/FSJobResultCleanup.h"
#include "scan/job/JobResultCleanupCallback.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/jobstate/JobDispositionQueryCallback.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/JobManagerToken.h"
#include "scan/jobstate/ScanCommitJobs.h"

namespace {

constexpr const char* kBackupElement = "Backup";

CKoError CreateFolder(const std::string& folder) {
    CKoError e = FXEnv::Current()->CreateDir(folder);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the job folder, Folder=[%s]", folder.c_str());
    return CKoError::Success();
}

}  // namespace

CJobCycle::CJobCycle() : m_jobManager(std::make_shared<CSQLiteJobManager>()), m_stateManager(std::string()) {}

CJobCycle::~CJobCycle() {
    if (!m_serverName.empty()) ZYJobManagerDirectory::Unregister(m_serverName);
}

IJobManager& CJobCycle::JobManager() { return *m_jobManager; }

std::string CJobCycle::JobFolder(long long jobId) const {
    return FXPath::Join(m_resultsDir, CJobCleanupCallback::JobFolderName(jobId));
}

CKoError CJobCycle::Open(const std::string& resultsDir) {
    m_resultsDir = resultsDir;
    m_stateManager = CStateManager(FXPath::Join(resultsDir, CScanJobState::kFileName));
    CKoError e = m_jobManager->Open(CSQLiteJobManager::DefaultPathFor(resultsDir));
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the job manager of the job-results folder");
    // The library reaches the job manager by server name: one name per results folder.
    m_serverName = "fsscan:" + resultsDir;
    ZYJobManagerDirectory::Register(m_serverName, m_jobManager);
    m_stateManager.SetJobDispositionQueryCallback(std::make_shared<CJobDispositionQueryCallback>(m_serverName));
    return CKoError::Success();
}

CKoError CJobCycle::NextJobId(long long& jobId) {
    std::vector<SJobManagerJob> jobs;
    CKoError e = m_jobManager->ListJobs(jobs);
    if (e.IsError()) return e.Push(ZY_HERE);
    jobId = jobs.empty() ? 1 : jobs.back().jobId + 1;
    return CKoError::Success();
}

CKoError CJobCycle::StartScan(long long jobId, bool incremental, SScanStart& start) {
    start = SScanStart();
    const int level = incremental ? kIncrementalType : kFullType;
    CKoError e = m_jobManager->BeginJob(jobId, level);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS) || FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER))
        return e.Push(ZY_HERE, "Job id %lld was used before in this job-results folder; every job needs a new, higher id",
                      jobId);
    if (e.IsError()) return e.Push(ZY_HERE);

    auto cleanup = std::make_shared<CJobResultCleanupCallback>(m_resultsDir, m_jobManager);
    const std::string token = CJobManagerToken::Format(static_cast<uint64_t>(jobId), 1);
    e = m_stateManager.ProcessPendingJobs(jobId, CTimeStamp(), token, cleanup);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) {
        ZYLOG_ERROR("The job-state document is damaged and set aside, error=%s", e.AsString().c_str());
        e = m_stateManager.SetAsideDamagedFile(start.setAside);
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot resolve the earlier jobs of the job-results folder");
    if (incremental) {
        e = ReadBaseline(start);
        if (e.IsError()) return e.Push(ZY_HERE);
    } else {
        start.reason = "a full job was asked for";
    }
    e = RemoveOrphanJobFolders();
    // The document records the level the job runs at (a full one when there is no baseline).
    if (e.IsSuccess())
        e = m_stateManager.UpdateCurrentJob(jobId, CTimeStamp(), token, start.incremental ? kIncrementalType : kFullType);
    if (e.IsSuccess()) e = CreateFolder(JobFolder(jobId));
    // The DirChange the job writes keeps its temporary name until the job is known to have succeeded.
    XDirChange dc;
    if (e.IsSuccess()) e = XDirChange::Create(dc);
    if (e.IsSuccess()) e = dc.Set_SubclientFolder(JobFolder(jobId));
    if (e.IsSuccess()) e = dc.Set_TempFileName(kDirChangeTempName);
    if (e.IsSuccess()) e = dc.Set_FinalFileName(start.incremental ? "DCInc.zyf" : "DCTot.zyf");
    if (e.IsSuccess()) e = m_stateManager.AddOrReplaceNodeInJob(jobId, dc.GetNode(), XDirChange::kElementName);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the job as pending, JobId=[%lld]", jobId);
    return CKoError::Success();
}

CKoError CJobCycle::ReadBaseline(SScanStart& start) {
    // A document that cannot be read now (an I/O error, no memory) fails the job: the next
    // attempt may read it, and a full job is no answer to that.
    SStateSummary summary;
    CKoError e = m_stateManager.GetSummary(summary);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the job-state document");
    m_stateManager.GetBaseline({kFullType, kIncrementalType}, start.baseline);
    const SStateBaseline& b = start.baseline;
    // The look-up answers "run full" for anything it could not read: what a retry may read is
    // an error here, not a full job.
    if (!b.found && b.reason.find("cannot be read") != std::string::npos)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "%s", b.reason.c_str());
    if (!b.found && b.job) {
        XDirChange dc = b.job->Get_DirChange();
        for (const std::string& name : {dc.get_TempFileName(), dc.get_FinalFileName()}) {
            FXFileStat st;
            CKoError statError = name.empty() ? FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "No name")
                                              : FXEnv::Current()->Stat(FXPath::Join(dc.get_SubclientFolder(), name), st);
            if (statError.IsError() && !FXErrorUtil::IsWin32(statError, ZyWin32::ERROR_FILE_NOT_FOUND) &&
                !FXErrorUtil::IsWin32(statError, ZyWin32::ERROR_PATH_NOT_FOUND) && !FXErrorUtil::IsErrNo(statError, ENOENT))
                return statError.Push(ZY_HERE, "Cannot look for the DirChange of job %lld", b.jobId);
            // There now, though the look-up did not find it: it could not look.
            if (!name.empty() && statError.IsSuccess())
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                               "The DirChange of job %lld could not be looked up: %s", b.jobId, b.reason.c_str());
        }
    }
    if (!b.found) {
        start.reason = b.reason;
        if (!start.setAside.empty()) start.reason += " (the damaged document was moved to " + start.setAside + ")";
        return CKoError::Success();
    }
    CKoXNodePtr node;
    e = m_stateManager.GetGenericNodeInJob(b.jobId, node, CScanRecordNode::kElementName);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND))
        return e.Push(ZY_HERE, "Cannot read the scan record of job %lld", b.jobId);
    if (e.IsSuccess()) e = CScanRecordNode::Read(node, start.baselineRecord);
    if (e.IsError()) {
        start.reason = "run full, because the scan record of the last successful job " + std::to_string(b.jobId) +
                       " is unusable: " + e.GetMessage();
        return CKoError::Success();
    }
    SJobManagerJob job;
    e = m_jobManager->GetJob(b.jobId, job);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot ask the job manager about job %lld", b.jobId);
    start.baselineCommitted = job.disposition == EJobDisposition::Committed;
    if (start.baselineCommitted && start.baselineRecord.full) {
        // A full job removes from the mirror what it did not collect once all of it is read; a
        // committed one never got there, and only a full job can do it now.
        start.reason = "run full, because job " + std::to_string(b.jobId) +
                       ", a full job, was committed before its backup ended: what it did not collect is still to be "
                       "removed from the backup";
        return CKoError::Success();
    }
    start.incremental = true;
    start.reason = "compares against job " + std::to_string(b.jobId) + ", the last job whose backup " +
                   (start.baselineCommitted ? "was committed" : "succeeded");
    return CKoError::Success();
}

CKoError CJobCycle::CompleteScan(const SScanRecord& record) {
    CKoXDocument holder;
    CKoXNodePtr node;
    CKoError e = CScanRecordNode::Write(record, holder, node);
    if (e.IsSuccess()) e = m_stateManager.AddOrReplaceNodeInJob(record.jobId, node, CScanRecordNode::kElementName);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the scan as complete, JobId=[%lld]", record.jobId);
    e = RemoveOrphanJobFolders();
    if (e.IsError()) ZYLOG_ERROR("Old job folders stay until the next job, error=%s", e.AsString().c_str());
    return CKoError::Success();
}

CKoError CJobCycle::EndJob(long long jobId, EJobDisposition disposition, const std::string& detail) {
    CKoError e = m_jobManager->SetJobDisposition(jobId, disposition, detail);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record how job %lld ended", jobId);
    return CKoError::Success();
}

CKoError CJobCycle::RemoveOrphanJobFolders() {
    SStateSummary summary;
    CKoError e = m_stateManager.GetSummary(summary);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::set<int64_t> keep(summary.jobs.begin(), summary.jobs.end());
    return CJobCleanupCallback::RemoveOrphanJobFolders(m_resultsDir, keep);
}

CKoError CJobCycle::IdentifyDest(const std::string& realDest, SDestIdentity& identity) {
    identity.path = realDest;
    // The folder itself, not its name: a folder made anew at the same path (emptied, replaced)
    // has another inode or another birth time.
    struct statx st{};
    if (::statx(AT_FDCWD, realDest.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &st) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot identify the destination, Folder=[%s]", realDest.c_str());
    identity.id = FXString::Format("%u:%u:%llu", st.stx_dev_major, st.stx_dev_minor, static_cast<unsigned long long>(st.stx_ino));
    if (st.stx_mask & STATX_BTIME)
        identity.id += FXString::Format(":%lld.%09u", static_cast<long long>(st.stx_btime.tv_sec), st.stx_btime.tv_nsec);
    return CKoError::Success();
}

CKoError CJobCycle::GetBackupDest(long long jobId, SDestIdentity& identity) {
    identity = SDestIdentity();
    CKoXNodePtr node;
    CKoError e = m_stateManager.GetGenericNodeInJob(jobId, node, kBackupElement);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE);
    identity.path = node->AttributeAsString("Dest");
    identity.id = node->AttributeAsString("DestId");
    return CKoError::Success();
}

CKoError CJobCycle::RecordBackupDest(long long jobId, const SDestIdentity& identity) {
    CKoXDocument holder;
    CKoXNodePtr node;
    CKoError e = holder.AppendNode(kBackupElement, node);
    if (e.IsSuccess()) e = node->SetAttributeString("Dest", identity.path);
    if (e.IsSuccess()) e = node->SetAttributeString("DestId", identity.id);
    if (e.IsSuccess()) e = m_stateManager.AddOrReplaceNodeInJob(jobId, node, kBackupElement);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the destination of job %lld", jobId);
    return CKoError::Success();
}

CKoError CJobCycle::RecordStop(long long jobId, bool full, const std::string& jobFolder,
                               const std::vector<std::pair<std::string, int64_t>>& offsets) {
    constexpr int64_t kReadToEnd = -999;
    const std::string prefix = full ? "CollectTot" : "CollectInc";
    std::map<int, int64_t> mapOffsets, restartOffsets;
    for (const auto& [path, offset] : offsets) {
        std::string folder, name;
        FXPath::SplitParentPath(path, folder, name).IgnoreError();
        // Collect file n is "<prefix><n>.zyf"; a commit finds it by that number.
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() <= prefix.size() + 4) continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        const int n = std::stoi(digits);
        mapOffsets[n] = offset == kReadToEnd ? -1 : std::max<int64_t>(offset, 0);
        restartOffsets[n] = offset == kReadToEnd ? ScanCommitJobs::kSkipFile : std::max<int64_t>(offset, 0);
    }
    CKoError e = ScanCommitJobs::WriteRestartMapFile(FXPath::Join(jobFolder, ScanCommitJobs::RestartMapFileName(full)), mapOffsets);
    if (e.IsSuccess()) e = m_jobManager->SetRestartString(jobId, ScanCommitJobs::FormatRestartString(restartOffsets));
    if (e.IsSuccess()) e = EndJob(jobId, EJobDisposition::Stopped, "stopped part-way");
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record where job %lld stopped", jobId);
    return CKoError::Success();
}

CKoError CJobCycle::CommitJob(long long jobId, uint64_t& uncommitted) {
    uncommitted = 0;
    SJobManagerJob job;
    CKoError e = m_jobManager->GetJob(jobId, job);
    if (e.IsError()) return e.Push(ZY_HERE, "The job manager does not know job %lld", jobId);
    if (job.disposition != EJobDisposition::Stopped && job.disposition != EJobDisposition::Committed)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Only a stopped job can be committed; job %lld is %s", jobId, AsString(job.disposition));
    CKoXNodePtr node;
    SScanRecord record;
    e = m_stateManager.GetGenericNodeInJob(jobId, node, CScanRecordNode::kElementName);
    if (e.IsSuccess()) e = CScanRecordNode::Read(node, record);
    if (e.IsError()) return e.Push(ZY_HERE, "Job %lld has no complete scan in the job-state document", jobId);
    const std::string folder = JobFolder(jobId);
    ScanCommitJobs commit(m_serverName, jobId, jobId, 0, jobId, record.full ? kFullType : kIncrementalType, folder,
                          EDirChangeMethod::DIRCHANGE_METHOD_FILE, FXPath::Join(folder, kDirChangeTempName), false);
    e = commit.CreateCommitFile();
    UncommittedCallback count = [&uncommitted](const std::string&) {
        ++uncommitted;
        return CKoError::Success();
    };
    if (e.IsSuccess()) e = commit.ProcessUncommittedItems(&count);
    if (e.IsSuccess() && job.disposition != EJobDisposition::Committed) e = EndJob(jobId, EJobDisposition::Committed, "committed");
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot commit job %lld", jobId);
    CFSJobResultCleanup(folder, record.full ? kFullType : kIncrementalType, true, false, jobId).Execute().IgnoreError();
    return CKoError::Success();
}
