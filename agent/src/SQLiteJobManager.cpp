#include "agent/SQLiteJobManager.h"

#include <sqlite3.h>

#include "core/Env.h"
#include "core/Path.h"

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS jobs("
    " job_id INTEGER PRIMARY KEY,"
    " backup_level INTEGER NOT NULL DEFAULT 0,"
    " disposition INTEGER NOT NULL DEFAULT 0,"
    " phase INTEGER NOT NULL DEFAULT 0,"
    " restart_string TEXT NOT NULL DEFAULT '',"
    " start_micros INTEGER NOT NULL DEFAULT 0,"
    " end_micros INTEGER NOT NULL DEFAULT 0,"
    " detail TEXT NOT NULL DEFAULT '')";

constexpr const char* kColumns =
    "SELECT job_id, backup_level, disposition, phase, restart_string, start_micros, end_micros, detail FROM jobs ";

bool IsKnownDisposition(int value) { return value >= 0 && value <= static_cast<int>(EJobDisposition::Killed); }

}  // namespace

// A prepared statement, finalized when it goes.
class CSQLiteJobManager::CStatement {
public:
    CStatement(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    int PrepareResult() const { return m_rc; }
    sqlite3_stmt* Get() const { return m_stmt; }
    void Bind(int index, int64_t value) { sqlite3_bind_int64(m_stmt, index, value); }
    void Bind(int index, const std::string& value) {
        sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_OK;
};

std::string CSQLiteJobManager::DefaultPathFor(const std::string& jobResultsFolder) {
    return FXPath::Join(jobResultsFolder, kDefaultFileName);
}

CSQLiteJobManager::CSQLiteJobManager() = default;

CSQLiteJobManager::~CSQLiteJobManager() { Close(); }

void CSQLiteJobManager::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

CKoError CSQLiteJobManager::Error(const FXCodeLocation& here, int rc, const char* what) const {
    const char* text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT)
        return FXErrorUtil::ErrorSQLite(here, rc,
                                        "The job manager database is damaged or is not such a database, "
                                        "FileName=[%s], Operation=[%s], error=[%s]",
                                        m_path.c_str(), what, text);
    return FXErrorUtil::ErrorSQLite(here, rc, "Job manager database operation failed, FileName=[%s], Operation=[%s], "
                                              "error=[%s]",
                                    m_path.c_str(), what, text);
}

CKoError CSQLiteJobManager::Exec(const char* sql) {
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Error(ZY_HERE, rc, sql);
    return CKoError::Success();
}

CKoError CSQLiteJobManager::Open(const std::string& path, int busyTimeoutMs) {
    Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
    int rc = sqlite3_open_v2(path.c_str(), &m_db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc != SQLITE_OK) {
        CKoError e = Error(ZY_HERE, rc, "open");
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return e;
    }
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    // A disposition is the truth the next job builds on: every commit reaches the disk.
    CKoError e = Exec("PRAGMA synchronous=FULL");
    if (e.IsSuccess()) e = CreateSchema();
    if (e.IsError()) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return e.Push(ZY_HERE, "Cannot open the job manager database, FileName=[%s]", path.c_str());
    }
    return CKoError::Success();
}

CKoError CSQLiteJobManager::CreateSchema() {
    return InTransaction([&]() -> CKoError {
        CStatement version(m_db, "PRAGMA user_version");
        if (version.PrepareResult() != SQLITE_OK) return Error(ZY_HERE, version.PrepareResult(), "read the format");
        int rc = sqlite3_step(version.Get());
        if (rc != SQLITE_ROW) return Error(ZY_HERE, rc, "read the format");
        int found = sqlite3_column_int(version.Get(), 0);
        if (found > kSchemaVersion)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED,
                                           "The job manager database has a newer format, FileName=[%s], Format=[%d], "
                                           "Known=[%d]",
                                           m_path.c_str(), found, kSchemaVersion);
        CKoError e = Exec(kSchema);
        if (e.IsError()) return e;
        if (found < kSchemaVersion) return Exec("PRAGMA user_version=1");
        return CKoError::Success();
    });
}

template <class F>
CKoError CSQLiteJobManager::InTransaction(F&& body) {
    CKoError e = Exec("BEGIN IMMEDIATE");
    if (e.IsError()) return e;
    e = body();
    if (e.IsSuccess()) e = Exec("COMMIT");
    if (e.IsError()) Exec("ROLLBACK").IgnoreError();
    return e;
}

CKoError CSQLiteJobManager::ReadJobs(const char* whereClause, int64_t jobId, std::vector<SJobManagerJob>& jobs) {
    std::string sql = std::string(kColumns) + whereClause;
    CStatement stmt(m_db, sql.c_str());
    if (stmt.PrepareResult() != SQLITE_OK) return Error(ZY_HERE, stmt.PrepareResult(), "read jobs");
    if (sqlite3_bind_parameter_count(stmt.Get()) > 0) stmt.Bind(1, jobId);
    int rc;
    while ((rc = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        SJobManagerJob job;
        sqlite3_stmt* s = stmt.Get();
        job.jobId = sqlite3_column_int64(s, 0);
        job.backupLevel = sqlite3_column_int(s, 1);
        int disposition = sqlite3_column_int(s, 2);
        if (!IsKnownDisposition(disposition))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "The job manager database holds an unknown disposition, FileName=[%s], "
                                           "JobId=[%lld], Disposition=[%d]",
                                           m_path.c_str(), static_cast<long long>(job.jobId), disposition);
        job.disposition = static_cast<EJobDisposition>(disposition);
        job.phase = sqlite3_column_int(s, 3);
        const unsigned char* text = sqlite3_column_text(s, 4);
        job.restartString.assign(text ? reinterpret_cast<const char*>(text) : "",
                                 static_cast<size_t>(sqlite3_column_bytes(s, 4)));
        job.startMicros = sqlite3_column_int64(s, 5);
        job.endMicros = sqlite3_column_int64(s, 6);
        text = sqlite3_column_text(s, 7);
        job.detail.assign(text ? reinterpret_cast<const char*>(text) : "",
                          static_cast<size_t>(sqlite3_column_bytes(s, 7)));
        jobs.push_back(std::move(job));
    }
    if (rc != SQLITE_DONE) return Error(ZY_HERE, rc, "read jobs");
    return CKoError::Success();
}

CKoError CSQLiteJobManager::ReadOne(int64_t jobId, SJobManagerJob& job) {
    std::vector<SJobManagerJob> jobs;
    CKoError e = ReadJobs("WHERE job_id = ?1", jobId, jobs);
    if (e.IsError()) return e;
    if (jobs.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Job unknown to the job manager, JobId=[%lld]",
                                       static_cast<long long>(jobId));
    job = std::move(jobs.front());
    return CKoError::Success();
}

#define JM_REQUIRE_OPEN()                                                                                   \
    if (!m_db)                                                                                              \
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The job manager database is not open")

CKoError CSQLiteJobManager::BeginJob(int64_t jobId, int backupLevel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    JM_REQUIRE_OPEN();
    const int64_t now = FXEnv::Current()->NowMicros();
    CKoError e = InTransaction([&]() -> CKoError {
        std::vector<SJobManagerJob> all;
        CKoError e = ReadJobs("ORDER BY job_id", 0, all);
        if (e.IsError()) return e;
        std::map<int64_t, SJobManagerJob> known;
        for (SJobManagerJob& j : all) known.emplace(j.jobId, std::move(j));
        std::vector<int64_t> killed;
        e = ZYJobManagerRules::CheckBegin(known, jobId, killed);
        if (e.IsError()) return e;
        for (int64_t id : killed) {
            CStatement update(m_db,
                              "UPDATE jobs SET disposition = ?2, end_micros = ?3, detail = ?4 WHERE job_id = ?1");
            update.Bind(1, id);
            update.Bind(2, static_cast<int64_t>(EJobDisposition::Killed));
            update.Bind(3, now);
            update.Bind(4, "still running when job " + std::to_string(jobId) + " started");
            int rc = sqlite3_step(update.Get());
            if (rc != SQLITE_DONE) return Error(ZY_HERE, rc, "end an abandoned job");
        }
        CStatement insert(m_db, "INSERT INTO jobs(job_id, backup_level, disposition, start_micros) VALUES(?1, ?2, 0, ?3)");
        insert.Bind(1, jobId);
        insert.Bind(2, static_cast<int64_t>(backupLevel));
        insert.Bind(3, now);
        int rc = sqlite3_step(insert.Get());
        if (rc != SQLITE_DONE) return Error(ZY_HERE, rc, "start a job");
        return CKoError::Success();
    });
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot start job, JobId=[%lld]", static_cast<long long>(jobId));
    return CKoError::Success();
}

CKoError CSQLiteJobManager::SetJobDisposition(int64_t jobId, EJobDisposition disposition, const std::string& detail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    JM_REQUIRE_OPEN();
    const int64_t now = FXEnv::Current()->NowMicros();
    CKoError e = InTransaction([&]() -> CKoError {
        SJobManagerJob job;
        CKoError e = ReadOne(jobId, job);
        if (e.IsError()) return e;
        e = ZYJobManagerRules::CheckTransition(job, disposition);
        if (e.IsError()) return e;
        CStatement update(m_db, "UPDATE jobs SET disposition = ?2, end_micros = ?3, detail = ?4 WHERE job_id = ?1");
        update.Bind(1, jobId);
        update.Bind(2, static_cast<int64_t>(disposition));
        update.Bind(3, disposition == EJobDisposition::Running ? 0 : now);
        update.Bind(4, detail);
        int rc = sqlite3_step(update.Get());
        if (rc != SQLITE_DONE) return Error(ZY_HERE, rc, "record a disposition");
        return CKoError::Success();
    });
    if (e.IsError())
        return e.Push(ZY_HERE, "Cannot record the job's disposition, JobId=[%lld], Disposition=[%s]",
                      static_cast<long long>(jobId), AsString(disposition));
    return CKoError::Success();
}

template <class T>
CKoError CSQLiteJobManager::UpdateColumn(int64_t jobId, const char* sql, const T& value, const char* what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    JM_REQUIRE_OPEN();
    CStatement update(m_db, sql);
    update.Bind(1, jobId);
    update.Bind(2, value);
    int rc = sqlite3_step(update.Get());
    if (rc != SQLITE_DONE) return Error(ZY_HERE, rc, what);
    if (sqlite3_changes(m_db) == 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Job unknown to the job manager, JobId=[%lld]",
                                       static_cast<long long>(jobId));
    return CKoError::Success();
}

CKoError CSQLiteJobManager::SetJobPhase(int64_t jobId, int phase) {
    return UpdateColumn(jobId, "UPDATE jobs SET phase = ?2 WHERE job_id = ?1", static_cast<int64_t>(phase),
                        "record a phase");
}

CKoError CSQLiteJobManager::SetRestartString(int64_t jobId, const std::string& restartString) {
    return UpdateColumn(jobId, "UPDATE jobs SET restart_string = ?2 WHERE job_id = ?1", restartString,
                        "record a restart string");
}

CKoError CSQLiteJobManager::GetJob(int64_t jobId, SJobManagerJob& job) {
    std::lock_guard<std::mutex> lock(m_mutex);
    JM_REQUIRE_OPEN();
    return ReadOne(jobId, job);
}

CKoError CSQLiteJobManager::ListJobs(std::vector<SJobManagerJob>& jobs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    JM_REQUIRE_OPEN();
    jobs.clear();
    return ReadJobs("ORDER BY job_id", 0, jobs);
}
