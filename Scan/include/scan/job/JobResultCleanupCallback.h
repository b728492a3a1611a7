// The job cleanup callback of the scan jobs: besides promoting a successful job's DirChange and
// removing the folders of dropped jobs (CJobCleanupCallback), it removes what the successful
// job's backup no longer needs (CFSJobResultCleanup over its folder, by level; a committed job
// keeps its collect files). Done when the next scan resolves the job, so that a backup can be
// run again, and its collect files listed, until then.
#pragma once

#include <memory>
#include <string>

#include "agent/JobManager.h"
#include "scan/jobstate/JobCleanupCallback.h"

class CJobResultCleanupCallback : public CJobCleanupCallback {
public:
    CJobResultCleanupCallback(std::string resultsDir, std::shared_ptr<IJobManager> jobManager);
    CKoError PendingJobWasSuccessful(const XJobRefPtr& jobRef, const XJobPtr& job) override;

private:
    std::string m_resultsDir;
    std::shared_ptr<IJobManager> m_jobManager;
};
