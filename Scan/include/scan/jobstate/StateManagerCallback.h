// What the state manager found while it resolved the pending jobs of a subclient (StateManager.h).
// Every operation of this base logs one line and succeeds; subclasses act (JobCleanupCallback.h).
// An error returned by an operation ends the state manager's run with that error.
#pragma once

#include <cstdint>

#include "core/KoError.h"
#include "scan/jobstate/Job.h"
#include "scan/jobstate/JobRef.h"

class CStateManagerCallback {
public:
    virtual ~CStateManagerCallback() = default;

    // A Job nothing refers to any more; it leaves the document after this call.
    virtual CKoError CleanupUnreferencedJob(int64_t jobId, const XJobPtr& job);
    // A pending JobRef without its Job.
    virtual CKoError PendingJobDoesntExist(const XJobRefPtr& jobRef);
    // A pending job whose Job has no StateManagerInfo.
    virtual CKoError PendingJobStateManagerMissing(const XJobRefPtr& jobRef);
    virtual CKoError PendingJobFailed(const XJobRefPtr& jobRef, const XJobPtr& job);
    // Called before the job becomes the last successful job of its type.
    virtual CKoError PendingJobWasSuccessful(const XJobRefPtr& jobRef, const XJobPtr& job);
    // The current job was in the document already (a restart), without StateManagerInfo.
    virtual CKoError CurrentJobStateManagerMissing(const XJobRefPtr& jobRef, const XJobPtr& job);
    // The current job restarted in the phase it was in.
    virtual CKoError CurrentJobPhaseRestarted(const XJobRefPtr& jobRef, const XJobPtr& job);
};
