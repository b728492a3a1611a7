#include "scan/jobstate/StateManagerCallback.h"

#include "core/LogWriter.h"

namespace {

void LogRef(const char* function, int line, const XJobRefPtr& jobRef) {
    if (!ZyLogEnabled(1)) return;
    g_ptrLogWriter->WriteLine(1, function, line, 0, 0, "JobId=[%lld], JobType=[%d]", jobRef ? jobRef->get_JobId() : 0LL,
                              jobRef ? jobRef->get_JobType() : 0);
}

}  // namespace

CKoError CStateManagerCallback::CleanupUnreferencedJob(int64_t jobId, const XJobPtr&) {
    ZYLOG(1, "JobId=[%lld]", static_cast<long long>(jobId));
    return CKoError::Success();
}

CKoError CStateManagerCallback::PendingJobDoesntExist(const XJobRefPtr& jobRef) {
    LogRef(__PRETTY_FUNCTION__, __LINE__, jobRef);
    return CKoError::Success();
}

CKoError CStateManagerCallback::PendingJobStateManagerMissing(const XJobRefPtr& jobRef) {
    LogRef(__PRETTY_FUNCTION__, __LINE__, jobRef);
    return CKoError::Success();
}

CKoError CStateManagerCallback::PendingJobFailed(const XJobRefPtr& jobRef, const XJobPtr&) {
    LogRef(__PRETTY_FUNCTION__, __LINE__, jobRef);
    return CKoError::Success();
}

CKoError CStateManagerCallback::PendingJobWasSuccessful(const XJobRefPtr& jobRef, const XJobPtr&) {
    LogRef(__PRETTY_FUNCTION__, __LINE__, jobRef);
    return CKoError::Success();
}

CKoError CStateManagerCallback::CurrentJobStateManagerMissing(const XJobRefPtr& jobRef, const XJobPtr&) {
    LogRef(__PRETTY_FUNCTION__, __LINE__, jobRef);
    return CKoError::Success();
}

CKoError CStateManagerCallback::CurrentJobPhaseRestarted(const XJobRefPtr& jobRef, const XJobPtr&) {
    LogRef(__PRETTY_FUNCTION__, __LINE__, jobRef);
    return CKoError::Success();
}
