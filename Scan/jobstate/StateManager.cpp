#include "scan/jobstate/StateManager.h"

#include <map>
#include <set>

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/Sync.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/JobManagerToken.h"

namespace {

bool IsNoDocument(const CKoError& e) {
    return FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND) || FXErrorUtil::IsWin32(e, ZyWin32::ERROR_EMPTY);
}

// A wrapper of its own over the same element, so that walking one does not move the other.
XJobPtr Own(const XJob& job) { return std::make_shared<XJob>(std::make_shared<CKoXNode>(*job.GetNode())); }
XJobRefPtr Own(const XJobRef& ref) { return std::make_shared<XJobRef>(std::make_shared<CKoXNode>(*ref.GetNode())); }

std::string JobTypesText(const std::vector<int>& types) {
    std::string text;
    for (int t : types) text += (text.empty() ? "" : ",") + std::to_string(t);
    return text;
}

}  // namespace

class CStateManagerPrivate {
public:
    explicit CStateManagerPrivate(std::string path) : m_path(std::move(path)) {}

    CKoError ProcessPendingJobs(int64_t currentJobId, const std::string& token, CStateManagerCallback& callback);
    CKoError UpdateCurrentJob(int64_t jobId, const std::string& token, int jobType);
    CKoError GetLastSuccessfulJobRef(const XStateDoc& doc, int jobType, XJobRefPtr& ref);
    CKoError LoadLastSuccessfulJobRef(XStateDoc& doc, int jobType, XJobRefPtr& ref) {
        CKoError e = doc.Load(m_path);
        if (e.IsSuccess()) e = GetLastSuccessfulJobRef(doc, jobType, ref);
        return e;
    }
    CKoError AddOrReplaceNodeInJob(int64_t jobId, const CKoXNodePtr& node, const std::string& nodeName);
    CKoError FindChild(int64_t jobId, const std::string& nodeName, bool add, CKoXNodePtr& node);
    CKoError LoadJob(XStateDoc& doc, long long jobId, XJobPtr& job) {
        CKoError e = doc.Load(m_path);
        if (e.IsError()) return e.Push(ZY_HERE);
        e = GetJob(doc, jobId, job);
        if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", jobId);
        return CKoError::Success();
    }
    void GetBaseline(const std::vector<int>& jobTypes, SStateBaseline& baseline);

    static CKoError GetJob(const XStateDoc& doc, long long jobId, XJobPtr& job);

    FXCriticalSection m_lock;
    const std::string m_path;
    std::shared_ptr<CJobDispositionQueryCallback> m_disposition;

private:
    CKoError ProcessPendingJob(XLastSuccessfulJobs& lastSuccessful, const XJobRefPtr& jobRef, const XJobPtr& job,
                               CStateManagerCallback& callback);
    static CKoError UpdateLastSuccessfulJob(XLastSuccessfulJobs& lastSuccessful, const XJobRef& pending);
    static CKoError ProcessCurrentJob(const XJobRefPtr& jobRef, const std::string& token, const XJobPtr& job,
                                      CStateManagerCallback& callback);
    static CKoError RemoveUnreferencedJobs(XStateDoc& doc, CStateManagerCallback& callback);
    static CKoError AddOrGetJob(XStateDoc& doc, long long jobId, XJobPtr& job);
    static void ResolveDirChange(const XJob& job, SStateBaseline& baseline);
};

// ---------------------------------------------------------------------------------------------
// Resolving pending jobs

CKoError CStateManagerPrivate::ProcessPendingJobs(int64_t currentJobId, const std::string& token,
                                                  CStateManagerCallback& callback) {
    XStateDoc doc;
    CKoError e = doc.Load(m_path);
    if (IsNoDocument(e)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot resolve the pending jobs");

    std::map<long long, XJobPtr> jobs;
    for (XJobPtr job = doc.Get_Jobs()->Get_Job(); job->Exists(); job->Next()) jobs.emplace(job->get_JobId(), Own(*job));

    XLastSuccessfulJobsPtr lastSuccessful = doc.Get_LastSuccessfulJobs();
    if (!lastSuccessful->Exists()) {
        e = doc.Add_LastSuccessfulJobs(lastSuccessful);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    XPendingJobsPtr pending = doc.Get_PendingJobs();
    if (!pending->Exists()) return CKoError::Success();

    std::map<long long, XJobRefPtr> refs;
    for (XJobRefPtr ref = pending->Get_JobRef(); ref->Exists(); ref->Next()) refs.emplace(ref->get_JobId(), Own(*ref));

    for (const auto& [id, ref] : refs) {
        ZYLOG(2, "JobId=[%lld], PendingJobId=[%lld]", id, ref->get_JobId());
        if (id == currentJobId) continue;
        auto job = jobs.find(id);
        e = ProcessPendingJob(*lastSuccessful, ref, job == jobs.end() ? nullptr : job->second, callback);
        if (e.IsError()) return e.Push(ZY_HERE, "ProcessPendingJob failed, JobId=[%lld]", id);
        // Each resolved job is saved on its own: a crash between two leaves a consistent file.
        e = pending->Remove(*ref);
        if (e.IsSuccess()) e = doc.Save(m_path);
        if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", id);
    }

    auto current = refs.find(currentJobId);
    if (current != refs.end()) {
        ZYLOG(2, "CurrentJobId=[%lld], JobRefJobId=[%lld]", static_cast<long long>(currentJobId),
              current->second->get_JobId());
        auto job = jobs.find(currentJobId);
        if (job != jobs.end()) {
            e = ProcessCurrentJob(current->second, token, job->second, callback);
            if (e.IsError())
                return e.Push(ZY_HERE, "ProcessCurrentJob failed, JobId=[%lld]", static_cast<long long>(currentJobId));
        }
    }

    e = RemoveUnreferencedJobs(doc, callback);
    if (e.IsSuccess()) e = doc.Save(m_path);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CStateManagerPrivate::ProcessPendingJob(XLastSuccessfulJobs& lastSuccessful, const XJobRefPtr& jobRef,
                                                 const XJobPtr& job, CStateManagerCallback& callback) {
    if (!job) return callback.PendingJobDoesntExist(jobRef);
    if (!job->Get_StateManagerInfo()->Exists()) return callback.PendingJobStateManagerMissing(jobRef);
    if (!m_disposition)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "No job disposition query callback, JobId=[%lld]", jobRef->get_JobId());
    bool successful = false;
    CKoError e = m_disposition->QueryJobDisposition(jobRef->get_JobId(), successful);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!successful) return callback.PendingJobFailed(jobRef, job);
    e = callback.PendingJobWasSuccessful(jobRef, job);
    if (e.IsSuccess()) e = UpdateLastSuccessfulJob(lastSuccessful, *jobRef);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CStateManagerPrivate::UpdateLastSuccessfulJob(XLastSuccessfulJobs& lastSuccessful, const XJobRef& pending) {
    const int jobType = pending.get_JobType();
    for (XJobRefPtr ref = lastSuccessful.Get_JobRef(); ref->Exists(); ref->Next()) {
        if (ref->get_JobType() != jobType) continue;
        CKoError e = lastSuccessful.Remove(*ref);
        if (e.IsError()) return e.Push(ZY_HERE);
        break;
    }
    XJobRefPtr added;
    CKoError e = lastSuccessful.Add_JobRef(added);
    if (e.IsSuccess()) e = added->Set_JobId(pending.get_JobId());
    if (e.IsSuccess()) e = added->Set_JobType(jobType);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld], JobType=[%d]", pending.get_JobId(), jobType);
    return CKoError::Success();
}

CKoError CStateManagerPrivate::ProcessCurrentJob(const XJobRefPtr& jobRef, const std::string& token,
                                                 const XJobPtr& job, CStateManagerCallback& callback) {
    XStateManagerInfoPtr info = job->Get_StateManagerInfo();
    if (!info->Exists()) return callback.CurrentJobStateManagerMissing(jobRef, job);
    const int newPhase = CJobManagerToken(token).GetPhase();
    const int oldPhase = CJobManagerToken(info->get_JobManagerToken()).GetPhase();
    if (newPhase != oldPhase) return CKoError::Success();
    return callback.CurrentJobPhaseRestarted(jobRef, job);
}

CKoError CStateManagerPrivate::RemoveUnreferencedJobs(XStateDoc& doc, CStateManagerCallback& callback) {
    std::vector<CKoXNodePtr> refs;
    CKoError e = doc.SelectNodes("//JobRef", refs);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::set<long long> referenced;
    for (const CKoXNodePtr& ref : refs) referenced.insert(ref->AttributeAsLONGLONG("JobId"));

    XJobsPtr jobs = doc.Get_Jobs();
    XJobPtr job = jobs->Get_Job();
    while (job->Exists()) {
        const long long id = job->get_JobId();
        if (referenced.count(id)) {
            job->Next();
            continue;
        }
        XJobPtr victim = Own(*job);
        e = callback.CleanupUnreferencedJob(id, victim);
        if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", id);
        ZYLOG(1, "Remove job from state manager file; it is no longer referenced, JobId=[%lld]", id);
        job->Next();  // step on before the element goes
        e = jobs->Remove(*victim);
        if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", id);
    }
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// Recording the current job, and reading and changing a job's nodes

CKoError CStateManagerPrivate::UpdateCurrentJob(int64_t jobId, const std::string& token, int jobType) {
    XStateDoc doc;
    CKoError e = doc.Load(m_path);
    if (IsNoDocument(e))
        doc.Clear();
    else if (e.IsError())
        return e.Push(ZY_HERE, "Cannot record the current job");

    const long long id = static_cast<long long>(jobId);
    XPendingJobsPtr pending = doc.Get_PendingJobs();
    if (!pending->Exists()) e = doc.Add_PendingJobs(pending);
    if (e.IsSuccess() && !pending->Find(id)) {
        XJobRefPtr ref;
        e = pending->Add_JobRef(ref);
        if (e.IsSuccess()) e = ref->Set_JobId(id);
        if (e.IsSuccess()) e = ref->Set_JobType(jobType);
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the pending job, JobId=[%lld]", id);

    XJobPtr job;
    e = AddOrGetJob(doc, id, job);
    XStateManagerInfoPtr info;
    if (e.IsSuccess()) {
        info = job->Get_StateManagerInfo();
        if (!info->Exists()) e = job->Add_StateManagerInfo(info);
    }
    if (e.IsSuccess()) e = info->Set_JobId(id);
    if (e.IsSuccess()) e = info->Set_JobType(jobType);
    if (e.IsSuccess()) e = info->Set_JobManagerToken(token);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", id);

    e = doc.Save(m_path);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CStateManagerPrivate::AddOrGetJob(XStateDoc& doc, long long jobId, XJobPtr& job) {
    XJobsPtr jobs = doc.Get_Jobs();
    CKoError e;
    if (!jobs->Exists()) e = doc.Add_Jobs(jobs);
    if (e.IsError()) return e.Push(ZY_HERE);
    job = jobs->Find(jobId);
    if (job) return CKoError::Success();
    e = jobs->Add_Job(job);
    if (e.IsSuccess()) e = job->Set_JobId(jobId);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", jobId);
    return CKoError::Success();
}

CKoError CStateManagerPrivate::GetJob(const XStateDoc& doc, long long jobId, XJobPtr& job) {
    job.reset();
    XJobsPtr jobs = doc.Get_Jobs();
    if (!jobs->Exists()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Jobs node not found");
    job = jobs->Find(jobId);
    if (!job) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Job not found, JobId=[%lld]", jobId);
    return CKoError::Success();
}

CKoError CStateManagerPrivate::GetLastSuccessfulJobRef(const XStateDoc& doc, int jobType, XJobRefPtr& found) {
    found.reset();
    long long count = 0;
    XLastSuccessfulJobsPtr last = doc.Get_LastSuccessfulJobs();
    for (XJobRefPtr ref = last->Get_JobRef(); ref->Exists(); ref->Next()) {
        ++count;
        if (ref->get_JobType() == jobType) {
            found = Own(*ref);
            return CKoError::Success();
        }
    }
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                   "No last successful job found, JobType=[%d], NodeCount=[%lld]", jobType, count);
}

CKoError CStateManagerPrivate::AddOrReplaceNodeInJob(int64_t jobId, const CKoXNodePtr& node,
                                                     const std::string& nodeName) {
    const long long id = static_cast<long long>(jobId);
    if (!node || !node->Exists())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No node to store, JobId=[%lld]", id);
    XStateDoc doc;
    XJobPtr job;
    CKoError e = LoadJob(doc, id, job);
    if (e.IsError()) return e;
    if (CKoXNodePtr old = job->GetChild(nodeName)) e = job->GetNode()->RemoveNode(*old);
    CKoXNodePtr copy;
    if (e.IsSuccess()) e = job->GetNode()->AppendNodeCopy(*node, copy);
    if (e.IsSuccess()) e = doc.Save(m_path);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld], NodeName=[%s]", id, nodeName.c_str());
    return CKoError::Success();
}

CKoError CStateManagerPrivate::FindChild(int64_t jobId, const std::string& nodeName, bool add, CKoXNodePtr& node) {
    const long long id = static_cast<long long>(jobId);
    node.reset();
    XStateDoc doc;
    XJobPtr job;
    CKoError e = LoadJob(doc, id, job);
    if (e.IsError()) return e;
    node = job->GetChild(nodeName);
    if (node) return CKoError::Success();
    if (!add)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Node not found in job, JobId=[%lld], "
                                                                          "NodeName=[%s]",
                                       id, nodeName.c_str());
    e = job->GetNode()->AppendNode(nodeName, node);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld], NodeName=[%s]", id, nodeName.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// The baseline of the next job

void CStateManagerPrivate::ResolveDirChange(const XJob& job, SStateBaseline& baseline) {
    XDirChange dc = job.Get_DirChange();
    if (!dc.Exists()) {
        baseline.reason = "run full, because job " + std::to_string(baseline.jobId) + " recorded no DirChange";
        return;
    }
    const std::string folder = dc.get_SubclientFolder();
    const std::string temp = dc.get_TempFileName();
    const std::string final = dc.get_FinalFileName();
    if (folder.empty() || !CJobFiles::IsPlainName(final) || (!temp.empty() && !CJobFiles::IsPlainName(temp))) {
        baseline.reason = "run full, because the DirChange record of job " + std::to_string(baseline.jobId) +
                          " is damaged";
        return;
    }
    // The promotion is one rename: while the temporary name exists, the final name (if any) is
    // not this job's file.
    if (!temp.empty() && CJobFiles::Exists(FXPath::Join(folder, temp))) {
        baseline.dirChangePath = FXPath::Join(folder, temp);
        baseline.dirChangePromoted = false;
    } else if (CJobFiles::Exists(FXPath::Join(folder, final))) {
        baseline.dirChangePath = FXPath::Join(folder, final);
        baseline.dirChangePromoted = true;
    } else {
        baseline.reason = "run full, because the DirChange of job " + std::to_string(baseline.jobId) +
                          " is missing, FileName=[" + FXPath::Join(folder, final) + "]";
        return;
    }
    baseline.found = true;
}

void CStateManagerPrivate::GetBaseline(const std::vector<int>& jobTypes, SStateBaseline& baseline) {
    baseline = SStateBaseline();
    XStateDoc doc;
    CKoError e = doc.Load(m_path);
    if (IsNoDocument(e)) {
        baseline.reason = "run full, because no job of this subclient is recorded yet (no job-state document, "
                          "FileName=[" + m_path + "])";
        return;
    }
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) {
        baseline.reason = "run full, because the job-state document is damaged (" + e.GetMessage() + "), FileName=[" +
                          m_path + "]";
        return;
    }
    if (e.IsError()) {
        baseline.reason = "run full, because the job-state document cannot be read: " + e.AsString();
        return;
    }
    XJobRefPtr best;
    for (int type : jobTypes) {
        XJobRefPtr ref;
        if (GetLastSuccessfulJobRef(doc, type, ref).IsSuccess() && (!best || ref->get_JobId() > best->get_JobId()))
            best = ref;
    }
    if (!best) {
        baseline.reason = "run full, because no earlier job of this subclient (job types " + JobTypesText(jobTypes) +
                          ") is known to have succeeded";
        return;
    }
    baseline.jobId = best->get_JobId();
    baseline.jobType = best->get_JobType();
    if (GetJob(doc, baseline.jobId, baseline.job).IsError()) {
        baseline.reason = "run full, because the record of the last successful job " + std::to_string(baseline.jobId) +
                          " is missing";
        return;
    }
    ResolveDirChange(*baseline.job, baseline);
}

// ---------------------------------------------------------------------------------------------

CStateManager::CStateManager(const std::string& stateFilePath)
    : m_private(std::make_shared<CStateManagerPrivate>(stateFilePath)) {}

CStateManager::~CStateManager() = default;

const std::string& CStateManager::GetStateFilePath() const { return m_private->m_path; }

void CStateManager::SetJobDispositionQueryCallback(std::shared_ptr<CJobDispositionQueryCallback> callback) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    m_private->m_disposition = std::move(callback);
}

CKoError CStateManager::ProcessPendingJobs(int64_t currentJobId, CTimeStamp, const std::string& jobManagerToken,
                                           std::shared_ptr<CStateManagerCallback> callback) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    if (!callback) callback = std::make_shared<CStateManagerCallback>();
    CKoError e = m_private->ProcessPendingJobs(currentJobId, jobManagerToken, *callback);
    if (e.IsError()) return e.Push(ZY_HERE, "CurrentJobId=[%lld]", static_cast<long long>(currentJobId));
    return CKoError::Success();
}

CKoError CStateManager::UpdateCurrentJob(int64_t jobId, CTimeStamp, const std::string& jobManagerToken, int jobType) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CKoError e = m_private->UpdateCurrentJob(jobId, jobManagerToken, jobType);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CStateManager::GetLastSuccessfulJobByJobType(int jobType, XJobPtr& job) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    job.reset();
    XStateDoc doc;
    XJobRefPtr ref;
    CKoError e = m_private->LoadLastSuccessfulJobRef(doc, jobType, ref);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = CStateManagerPrivate::GetJob(doc, ref->get_JobId(), job);
    if (e.IsError()) return e.Push(ZY_HERE, "JobType=[%d], JobId=[%lld]", jobType, ref->get_JobId());
    return CKoError::Success();
}

CKoError CStateManager::GetLastSuccessfulJobByJobType(int jobType, int64_t& jobId) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    jobId = 0;
    XStateDoc doc;
    XJobRefPtr ref;
    CKoError e = m_private->LoadLastSuccessfulJobRef(doc, jobType, ref);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = ref->Get_JobId(jobId);
    if (e.IsError()) return e.Push(ZY_HERE, "JobType=[%d]", jobType);
    return CKoError::Success();
}

CKoError CStateManager::AddOrReplaceNodeInJob(int64_t jobId, CKoXNodePtr node, const std::string& nodeName) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CKoError e = m_private->AddOrReplaceNodeInJob(jobId, node, nodeName);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CStateManager::AddOrGetGenericNodeInJob(int64_t jobId, CKoXNodePtr& node, const std::string& nodeName) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CKoError e = m_private->FindChild(jobId, nodeName, true, node);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CStateManager::GetGenericNodeInJob(int64_t jobId, CKoXNodePtr& node, const std::string& nodeName) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    CKoError e = m_private->FindChild(jobId, nodeName, false, node);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

void CStateManager::GetBaseline(const std::vector<int>& jobTypes, SStateBaseline& baseline) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    m_private->GetBaseline(jobTypes, baseline);
    if (!baseline.found) ZYLOG(1, "No baseline, %s", baseline.reason.c_str());
}

CKoError CStateManager::SetAsideDamagedFile(std::string& movedTo) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    movedTo.clear();
    const std::string& path = m_private->m_path;
    if (!CJobFiles::Exists(path)) return CKoError::Success();
    const std::string aside = path + ".damaged";
    CKoError e = FXEnv::Current()->RenameFile(path, aside);
    if (e.IsSuccess()) e = FXSyncParentDir(path);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot set the damaged job-state document aside, FileName=[%s]", path.c_str());
    ZYLOG_ERROR("The job-state document was damaged and is set aside, FileName=[%s], MovedTo=[%s]", path.c_str(),
                aside.c_str());
    movedTo = aside;
    return CKoError::Success();
}

CKoError CStateManager::GetSummary(SStateSummary& summary) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    summary = SStateSummary();
    XStateDoc doc;
    CKoError e = doc.Load(m_private->m_path);
    if (IsNoDocument(e)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE);
    summary.documentFound = true;
    for (XJobRefPtr ref = doc.Get_PendingJobs()->Get_JobRef(); ref->Exists(); ref->Next())
        summary.pending.push_back({ref->get_JobId(), ref->get_JobType()});
    for (XJobRefPtr ref = doc.Get_LastSuccessfulJobs()->Get_JobRef(); ref->Exists(); ref->Next())
        summary.lastSuccessful.push_back({ref->get_JobId(), ref->get_JobType()});
    for (XJobPtr job = doc.Get_Jobs()->Get_Job(); job->Exists(); job->Next()) summary.jobs.push_back(job->get_JobId());
    return CKoError::Success();
}
