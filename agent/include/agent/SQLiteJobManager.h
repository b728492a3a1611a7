// The job manager kept in a small SQLite database, by default "JobManager.db" in the job-results
// folder of the subclient. Every change is one transaction, synced before it returns, so a
// disposition once recorded survives a crash of either process. Several processes may open the
// same database; a writer waits up to the busy time-out for another one to finish.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "agent/JobManager.h"

struct sqlite3;

class CSQLiteJobManager : public IJobManager {
public:
    static constexpr const char* kDefaultFileName = "JobManager.db";
    // The database this stand-in keeps for a job-results folder.
    static std::string DefaultPathFor(const std::string& jobResultsFolder);

    CSQLiteJobManager();
    ~CSQLiteJobManager() override;
    CSQLiteJobManager(const CSQLiteJobManager&) = delete;
    CSQLiteJobManager& operator=(const CSQLiteJobManager&) = delete;

    // Opens (creating when missing) the database. A file that is not such a database, or one of
    // a newer format, fails with a message that names it.
    CKoError Open(const std::string& path, int busyTimeoutMs = 10000);
    void Close();
    const std::string& GetPath() const { return m_path; }

    CKoError BeginJob(int64_t jobId, int backupLevel) override;
    CKoError SetJobDisposition(int64_t jobId, EJobDisposition disposition, const std::string& detail) override;
    CKoError SetJobPhase(int64_t jobId, int phase) override;
    CKoError SetRestartString(int64_t jobId, const std::string& restartString) override;
    CKoError GetJob(int64_t jobId, SJobManagerJob& job) override;
    CKoError ListJobs(std::vector<SJobManagerJob>& jobs) override;

private:
    class CStatement;
    CKoError Exec(const char* sql);
    CKoError Error(const FXCodeLocation& here, int rc, const char* what) const;
    CKoError CreateSchema();
    CKoError ReadJobs(const char* whereClause, int64_t jobId, std::vector<SJobManagerJob>& jobs);
    CKoError ReadOne(int64_t jobId, SJobManagerJob& job);
    // Sets one column of one job; Win32 1168 for an unknown job.
    template <class T>
    CKoError UpdateColumn(int64_t jobId, const char* sql, const T& value, const char* what);
    // Runs `body` in one immediate (write-locked) transaction; rolls back on error.
    template <class F>
    CKoError InTransaction(F&& body);

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_path;
};
