// The state manager: the job-state document of a subclient (StateDoc.h). It records which jobs
// started and are not yet resolved (pending), the last successful job of each job type, and per
// job the state other components store in it. At the start of a job it resolves the pending jobs
// of earlier runs: it asks a disposition callback whether each succeeded, makes the successful
// ones the last successful job of their type, tells a callback what it found, and drops the job
// records nothing refers to any more.
//
// Every operation takes the manager's lock, loads the document, and writers save it before they
// return; nothing is cached between calls. Copies of a CStateManager share one lock, so threads
// may share a manager. Two managers, or two processes, on one file are not coordinated: the
// caller keeps them apart (the scan holds the results folder's lock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "core/KoXml.h"
#include "core/TimeStamp.h"
#include "scan/jobstate/JobDispositionQueryCallback.h"
#include "scan/jobstate/StateDoc.h"
#include "scan/jobstate/StateManagerCallback.h"

class CStateManagerPrivate;

// The job an incremental job compares against (CStateManager::GetBaseline).
struct SStateBaseline {
    bool found = false;
    long long jobId = 0;
    int jobType = 0;
    XJobPtr job;                // its Job element, with the nodes the job stored
    std::string dirChangePath;  // its DirChange file: the final name, or the temporary one while
                                // the promotion has not happened
    bool dirChangePromoted = false;
    std::string reason;  // when not found: "run full, because ..."
};

// What the document says, for people (fsscan status).
struct SStateSummary {
    struct SRef {
        long long jobId = 0;
        int jobType = 0;
    };
    bool documentFound = false;
    std::vector<SRef> pending;
    std::vector<SRef> lastSuccessful;
    std::vector<long long> jobs;  // every Job element, in document order
};

class CStateManager {
public:
    explicit CStateManager(const std::string& stateFilePath);
    virtual ~CStateManager();
    CStateManager(const CStateManager&) = default;
    CStateManager& operator=(const CStateManager&) = default;

    virtual void SetJobDispositionQueryCallback(std::shared_ptr<CJobDispositionQueryCallback> callback);
    // Resolves every pending job other than `currentJobId`, then checks whether the current job is
    // a restart (same phase in its token). A missing or empty document is success, unwritten.
    // A damaged one is Win32 13 (SetAsideDamagedFile, then run full).
    virtual CKoError ProcessPendingJobs(int64_t currentJobId, CTimeStamp time, const std::string& jobManagerToken,
                                        std::shared_ptr<CStateManagerCallback> callback);
    // Records the job as pending, with its StateManagerInfo; creates the document when missing.
    virtual CKoError UpdateCurrentJob(int64_t jobId, CTimeStamp time, const std::string& jobManagerToken,
                                      int jobType);
    // Win32 1168 when no job of the type succeeded.
    virtual CKoError GetLastSuccessfulJobByJobType(int jobType, XJobPtr& job);
    virtual CKoError GetLastSuccessfulJobByJobType(int jobType, int64_t& jobId);
    // Stores a copy of `node` under the job, replacing its child named `nodeName`.
    virtual CKoError AddOrReplaceNodeInJob(int64_t jobId, CKoXNodePtr node, const std::string& nodeName);

    // The job's child named `nodeName`, appended when missing; the file is not written.
    CKoError AddOrGetGenericNodeInJob(int64_t jobId, CKoXNodePtr& node, const std::string& nodeName);
    // The job's child named `nodeName`; Win32 1168 when the job or the child is missing.
    CKoError GetGenericNodeInJob(int64_t jobId, CKoXNodePtr& node, const std::string& nodeName);

    // The most recent (highest id) last successful job among `jobTypes`, with its DirChange file.
    // Never fails: a missing, empty, damaged or unreadable document, no successful job, or a
    // baseline without its DirChange file gives found = false and the reason to run full.
    void GetBaseline(const std::vector<int>& jobTypes, SStateBaseline& baseline);
    // Moves a damaged document aside ("<file>.damaged", replacing an older one) so the next
    // UpdateCurrentJob starts a new one. A missing document is success with `movedTo` empty.
    CKoError SetAsideDamagedFile(std::string& movedTo);
    CKoError GetSummary(SStateSummary& summary);
    const std::string& GetStateFilePath() const;

private:
    std::shared_ptr<CStateManagerPrivate> m_private;
};
