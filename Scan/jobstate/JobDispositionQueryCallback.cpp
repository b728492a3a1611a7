#include "scan/jobstate/JobDispositionQueryCallback.h"

#include "agent/JobClientHelper.h"
#include "core/LogWriter.h"

void CJobDispositionQueryCallback::SetKnownSuccessfulJobs(const std::set<int64_t>& jobIds) {
    m_knownSuccessful.insert(jobIds.begin(), jobIds.end());
}

void CJobDispositionQueryCallback::SetKnownFailedJobs(const std::set<int64_t>& jobIds) {
    m_knownFailed.insert(jobIds.begin(), jobIds.end());
}

CKoError CJobDispositionQueryCallback::QueryJobDisposition(int64_t jobId, bool& successful) {
    successful = false;
    const long long id = static_cast<long long>(jobId);
    if (m_knownSuccessful.count(jobId)) {
        successful = true;
        return CKoError::Success();
    }
    if (m_knownFailed.count(jobId)) return CKoError::Success();

    int subStatus = 0, subState = 0;
    CKoError e = CJobClientHelper::GetJobDispositionByJobId(jobId, m_serverName, subStatus, subState);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND)) {
        ZYLOG(1, "JobId=[%lld], Disposition=Failed, the job manager does not know the job", id);
        m_knownFailed.insert(jobId);
        return CKoError::Success();
    }
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", id);
    if (subStatus == 1 || subStatus == 3) {
        ZYLOG(1, "JobId=[%lld], JobSubStatus=[%d], JobSubState=[%d], Disposition=Successful", id, subStatus, subState);
        m_knownSuccessful.insert(jobId);
        successful = true;
        return CKoError::Success();
    }
    if (subStatus == 0) {
        ZYLOG(1, "JobId=[%lld], JobSubStatus=[%d], JobSubState=[%d], Disposition=Undefined", id, subStatus, subState);
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Job disposition not yet defined, JobId=[%lld], JobSubState=[%d]", id, subState);
    }
    ZYLOG(1, "JobId=[%lld], JobSubStatus=[%d], JobSubState=[%d], Disposition=Failed", id, subStatus, subState);
    m_knownFailed.insert(jobId);
    return CKoError::Success();
}
