// The job cycle of one job-results folder, as the scan and backup jobs drive it:
// - the job manager (a SQLite database beside the results, "JobManager.db") knows every job id
//   and how each job's backup ended;
// - the job-state document ("JobState.xml", CStateManager) knows the pending jobs and the last
//   successful one of each level;
// - each job keeps its outputs in a folder of its own, "J<id>".
// A scan starts its job (a job id is used once), resolves the pending jobs (a successful one
// becomes the baseline and its DirChange takes its final name; any other is dropped with its
// folder), compares against the last successful job, and records its scan as complete: that one
// save of the document is its commit point. The backup ends the job as successful, failed or
// stopped; a stopped job may be continued or committed.
//
// The caller holds the results folder's lock while it uses a cycle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/JobManager.h"
#include "core/KoError.h"
#include "scan/job/JobState.h"
#include "scan/jobstate/StateManager.h"

class CSQLiteJobManager;

// What a scan learned at its start.
struct SScanStart {
    bool incremental = false;     // false: run full (reason says why when incremental was asked)
    std::string reason;
    std::string setAside;         // a damaged job-state document, moved to this name
    SStateBaseline baseline;      // the last successful job, when there is one
    SScanRecord baselineRecord;   // its scan
    bool baselineCommitted = false;  // it was stopped and committed: its unread tail is due
};

// The destination a job was backed up to: its real path and the identity of the folder (device,
// inode and birth time).
struct SDestIdentity {
    std::string path;
    std::string id;
    bool operator==(const SDestIdentity& o) const { return id == o.id; }
};

class CJobCycle {
public:
    static constexpr int kFullType = 1;
    static constexpr int kIncrementalType = 2;
    static constexpr const char* kDirChangeTempName = "DCTmp.zyf";

    CJobCycle();
    ~CJobCycle();
    CJobCycle(const CJobCycle&) = delete;
    CJobCycle& operator=(const CJobCycle&) = delete;

    // `resultsDir` is the real path of the (locked) results folder.
    CKoError Open(const std::string& resultsDir);

    const std::string& ServerName() const { return m_serverName; }
    IJobManager& JobManager();
    CStateManager& StateManager() { return m_stateManager; }
    std::string JobFolder(long long jobId) const;

    // One more than the highest job id the job manager knows.
    CKoError NextJobId(long long& jobId);
    // Starts the job with the job manager (Win32 183 with a clear message for a used id),
    // resolves the earlier jobs and records this one as pending with its DirChange record.
    CKoError StartScan(long long jobId, bool incremental, SScanStart& start);
    // The commit point of a scan: its record, saved in the job-state document. Then the folders
    // of jobs the document no longer names go.
    CKoError CompleteScan(const SScanRecord& record);
    // Ends the job with the job manager.
    CKoError EndJob(long long jobId, EJobDisposition disposition, const std::string& detail);
    // Ends a backup that stopped part-way as stopped: `offsets` gives each collect file (path) and
    // the offset its reader reached (-999 read to its end). They become the job's restart string
    // and the restart map in `jobFolder` that a commit reads.
    CKoError RecordStop(long long jobId, bool full, const std::string& jobFolder,
                        const std::vector<std::pair<std::string, int64_t>>& offsets);
    // Commits a stopped job: what its readers read stays backed up, the rest is collected by the
    // next scan. `uncommitted` is the number of lines of its commit collect file.
    CKoError CommitJob(long long jobId, uint64_t& uncommitted);
    // Removes every job folder the job-state document does not name.
    CKoError RemoveOrphanJobFolders();

    // DEST's identity.
    static CKoError IdentifyDest(const std::string& realDest, SDestIdentity& identity);
    // The destination a job's backup went to (empty when none is recorded) and its record.
    CKoError GetBackupDest(long long jobId, SDestIdentity& identity);
    CKoError RecordBackupDest(long long jobId, const SDestIdentity& identity);

private:
    CKoError ReadBaseline(SScanStart& start);

    std::string m_resultsDir;
    std::string m_serverName;
    std::shared_ptr<CSQLiteJobManager> m_jobManager;
    CStateManager m_stateManager;
};
