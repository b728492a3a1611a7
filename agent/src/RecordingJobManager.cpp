#include "agent/RecordingJobManager.h"

#include "core/Env.h"

CKoError CRecordingJobManager::Enter(const std::string& operation, const std::string& call) {
    m_calls.push_back(call);
    auto it = m_failures.find(operation);
    if (it == m_failures.end()) return CKoError::Success();
    CKoError e = it->second;
    m_failures.erase(it);
    return e;
}

CKoError CRecordingJobManager::Find(int64_t jobId, SJobManagerJob*& job) {
    auto it = m_jobs.find(jobId);
    if (it == m_jobs.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Job unknown to the job manager, JobId=[%lld]",
                                       static_cast<long long>(jobId));
    job = &it->second;
    return CKoError::Success();
}

CKoError CRecordingJobManager::BeginJob(int64_t jobId, int backupLevel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = Enter("BeginJob", "BeginJob " + std::to_string(jobId) + " " + std::to_string(backupLevel));
    if (e.IsError()) return e;
    std::vector<int64_t> killed;
    e = ZYJobManagerRules::CheckBegin(m_jobs, jobId, killed);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot start job, JobId=[%lld]", static_cast<long long>(jobId));
    const int64_t now = FXEnv::Current()->NowMicros();
    for (int64_t id : killed) {
        m_jobs[id].disposition = EJobDisposition::Killed;
        m_jobs[id].endMicros = now;
        m_jobs[id].detail = "still running when job " + std::to_string(jobId) + " started";
    }
    SJobManagerJob& job = m_jobs[jobId];
    job.jobId = jobId;
    job.backupLevel = backupLevel;
    job.startMicros = now;
    return CKoError::Success();
}

CKoError CRecordingJobManager::SetJobDisposition(int64_t jobId, EJobDisposition disposition, const std::string& detail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = Enter("SetJobDisposition",
                       "SetJobDisposition " + std::to_string(jobId) + " " + AsString(disposition));
    SJobManagerJob* job = nullptr;
    if (e.IsSuccess()) e = Find(jobId, job);
    if (e.IsSuccess()) e = ZYJobManagerRules::CheckTransition(*job, disposition);
    if (e.IsError())
        return e.Push(ZY_HERE, "Cannot record the job's disposition, JobId=[%lld], Disposition=[%s]",
                      static_cast<long long>(jobId), AsString(disposition));
    job->disposition = disposition;
    job->endMicros = disposition == EJobDisposition::Running ? 0 : FXEnv::Current()->NowMicros();
    job->detail = detail;
    return CKoError::Success();
}

CKoError CRecordingJobManager::SetJobPhase(int64_t jobId, int phase) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = Enter("SetJobPhase", "SetJobPhase " + std::to_string(jobId) + " " + std::to_string(phase));
    SJobManagerJob* job = nullptr;
    if (e.IsSuccess()) e = Find(jobId, job);
    if (e.IsError()) return e;
    job->phase = phase;
    return CKoError::Success();
}

CKoError CRecordingJobManager::SetRestartString(int64_t jobId, const std::string& restartString) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = Enter("SetRestartString", "SetRestartString " + std::to_string(jobId) + " " + restartString);
    SJobManagerJob* job = nullptr;
    if (e.IsSuccess()) e = Find(jobId, job);
    if (e.IsError()) return e;
    job->restartString = restartString;
    return CKoError::Success();
}

CKoError CRecordingJobManager::GetJob(int64_t jobId, SJobManagerJob& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = Enter("GetJob", "GetJob " + std::to_string(jobId));
    SJobManagerJob* job = nullptr;
    if (e.IsSuccess()) e = Find(jobId, job);
    if (e.IsError()) return e;
    out = *job;
    return CKoError::Success();
}

CKoError CRecordingJobManager::ListJobs(std::vector<SJobManagerJob>& jobs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = Enter("ListJobs", "ListJobs");
    if (e.IsError()) return e;
    jobs.clear();
    for (const auto& [id, job] : m_jobs) jobs.push_back(job);
    return CKoError::Success();
}

void CRecordingJobManager::Preset(const SJobManagerJob& job) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobs[job.jobId] = job;
}

void CRecordingJobManager::FailNext(const std::string& operation, CKoError error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures[operation] = std::move(error);
}

std::vector<std::string> CRecordingJobManager::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void CRecordingJobManager::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}
