// Stand-in for the platform's job manager: the jobs of one subclient, how each ended (its
// disposition), its phase and its restart string. The library reaches it through the job client
// (JobClient.h) by server name; a process makes its job manager known under a name with
// ZYJobManagerDirectory.
//
// Rules every implementation keeps (ZYJobManagerRules):
// - job ids are handed out once and increase: starting a job whose id is known, or lower than
//   the highest known one, is refused;
// - starting a job ends every earlier job that is still running as killed (its process is gone:
//   the platform runs one job of a subclient at a time);
// - a running job ends as successful, failed, stopped or killed; a stopped job may be resumed
//   (running again) or committed; any other ended job is final.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"

// The job's sub-status as the job manager reports it. Only 0 (not yet defined), 1 and 3
// (successful) and "anything else" (failed) mean something to the library.
enum class EJobDisposition : int {
    Running = 0,     // not ended yet: the disposition is undefined
    Successful = 1,  // every item was backed up
    Failed = 2,
    Committed = 3,  // stopped, and what its readers backed up was kept
    Stopped = 4,    // stopped part-way; may be resumed or committed
    Killed = 5,     // its process went away without ending it
};

const char* AsString(EJobDisposition disposition);
// "successful", "failed", "committed", "stopped", "killed" and "running"; false for other text.
bool ParseJobDisposition(const std::string& text, EJobDisposition& disposition);
// True for the dispositions the library counts as successful.
inline bool IsSuccessfulDisposition(EJobDisposition d) {
    return d == EJobDisposition::Successful || d == EJobDisposition::Committed;
}

struct SJobManagerJob {
    int64_t jobId = 0;
    int backupLevel = 0;  // 1 full, 2 incremental
    EJobDisposition disposition = EJobDisposition::Running;
    int phase = 0;               // reported as the job's sub-state
    std::string restartString;   // "-o <collect id>|<offset>@..." (see ScanCommitJobs)
    int64_t startMicros = 0;     // FXEnv::Current()->NowMicros() when started
    int64_t endMicros = 0;       // when it last ended; 0 while running
    std::string detail;          // why it ended as it did, for people

    bool operator==(const SJobManagerJob& o) const {
        return jobId == o.jobId && backupLevel == o.backupLevel && disposition == o.disposition &&
               phase == o.phase && restartString == o.restartString && startMicros == o.startMicros &&
               endMicros == o.endMicros && detail == o.detail;
    }
};

class IJobManager {
public:
    virtual ~IJobManager() = default;

    // Starts a job (running). Win32 183 when the id is known, 87 when it is lower than a known one.
    virtual CKoError BeginJob(int64_t jobId, int backupLevel) = 0;
    // Ends a running job, resumes a stopped one (Running), or commits a stopped one (Committed).
    // Win32 1168 for an unknown job, 87 for a change the rules refuse.
    virtual CKoError SetJobDisposition(int64_t jobId, EJobDisposition disposition, const std::string& detail) = 0;
    virtual CKoError SetJobPhase(int64_t jobId, int phase) = 0;
    virtual CKoError SetRestartString(int64_t jobId, const std::string& restartString) = 0;
    // Win32 1168 for an unknown job.
    virtual CKoError GetJob(int64_t jobId, SJobManagerJob& job) = 0;
    // Every job, in ascending id.
    virtual CKoError ListJobs(std::vector<SJobManagerJob>& jobs) = 0;
};

// The rules above, over the jobs an implementation holds; shared so that every implementation
// refuses the same things with the same messages.
class ZYJobManagerRules {
public:
    // `known`: every job, by id. On success `killed` names the running jobs that starting this
    // one ends as killed.
    static CKoError CheckBegin(const std::map<int64_t, SJobManagerJob>& known, int64_t jobId,
                               std::vector<int64_t>& killed);
    static CKoError CheckTransition(const SJobManagerJob& job, EJobDisposition to);
};

// Job managers by server name, for the job clients of this process.
class ZYJobManagerDirectory {
public:
    // Replaces what the name stood for.
    static void Register(const std::string& serverName, std::shared_ptr<IJobManager> jobManager);
    static void Unregister(const std::string& serverName);
    // Win32 1168 when nothing is known by that name.
    static CKoError Find(const std::string& serverName, std::shared_ptr<IJobManager>& jobManager);
};

// Registers a job manager for the life of a scope.
class ZYScopedJobManager {
public:
    ZYScopedJobManager(std::string serverName, std::shared_ptr<IJobManager> jobManager);
    ~ZYScopedJobManager();
    ZYScopedJobManager(const ZYScopedJobManager&) = delete;
    ZYScopedJobManager& operator=(const ZYScopedJobManager&) = delete;

private:
    std::string m_serverName;
};
