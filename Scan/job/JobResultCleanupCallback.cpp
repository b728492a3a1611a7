#include "scan/job/JobResultCleanupCallback.h"

#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/job/FSJobResultCleanup.h"
#include "scan/job/JobState.h"

CJobResultCleanupCallback::CJobResultCleanupCallback(std::string resultsDir, std::shared_ptr<IJobManager> jobManager)
    : m_resultsDir(std::move(resultsDir)), m_jobManager(std::move(jobManager)) {
    SetJobFolderRoot(m_resultsDir);
}

CKoError CJobResultCleanupCallback::PendingJobWasSuccessful(const XJobRefPtr& jobRef, const XJobPtr& job) {
    CKoError e = CJobCleanupCallback::PendingJobWasSuccessful(jobRef, job);
    if (e.IsError()) return e;
    const long long jobId = jobRef->get_JobId();
    SJobManagerJob status;
    const bool committed = m_jobManager && m_jobManager->GetJob(jobId, status).IsSuccess() &&
                           status.disposition == EJobDisposition::Committed;
    // The level the job ran at, as its scan recorded it (an incremental job may have run full).
    long level = jobRef->get_JobType();
    CKoXNodePtr scan = job ? job->GetChild(CScanRecordNode::kElementName) : nullptr;
    if (scan && scan->Exists()) level = scan->AttributeAsBOOL("Full") ? 1 : 2;
    CFSJobResultCleanup cleanup(FXPath::Join(m_resultsDir, JobFolderName(jobId)), level, committed, false, jobId);
    cleanup.Execute().IgnoreError();
    return CKoError::Success();
}
