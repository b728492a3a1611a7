#include "agent/JobClientHelper.h"

#include "agent/JobManager.h"

CKoError CJobClientHelper::GetJobDispositionByJobId(int64_t jobId, const std::string& serverName, int& subStatus,
                                                    int& subState) {
    subStatus = 0;
    subState = 0;
    std::shared_ptr<IJobManager> jobManager;
    CKoError e = ZYJobManagerDirectory::Find(serverName, jobManager);
    // Not reaching the job manager is a failed call, not an unknown job.
    if (e.IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                       "Cannot reach the job manager, JobId=[%lld], ServerName=[%s], error=%s",
                                       static_cast<long long>(jobId), serverName.c_str(), e.AsString().c_str());
    SJobManagerJob job;
    e = jobManager->GetJob(jobId, job);
    if (e.IsError())
        return e.Push(ZY_HERE, "Cannot get the job's disposition, JobId=[%lld], ServerName=[%s]",
                      static_cast<long long>(jobId), serverName.c_str());
    subStatus = static_cast<int>(job.disposition);
    subState = job.phase;
    return CKoError::Success();
}
