// The scan-database library over SQLite: one database file per folder, records keyed by file id.
#include "agent/ScanDB.h"

#include <sqlite3.h>

#include "core/Env.h"

namespace {

CKoError SqlError(const FXCodeLocation& where, sqlite3* db, int rc, const char* what) {
    return FXErrorUtil::ErrorSQLite(where, rc, "%s: %s", what, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

class CSQLiteScanDB : public ZyScanDBObject {
public:
    ~CSQLiteScanDB() override { Drop(); }

    CKoError Initialize(const std::string& folder) override {
        if (m_db) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Database already open");
        const std::string path = folder + "/" + ZyScanDBImports::DatabaseFileName();
        int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            CKoError e = SqlError(ZY_HERE, m_db, rc, path.c_str());
            Drop();
            return e;
        }
        // The folder's copy is what lasts; this file is a working copy or read alone.
        const char* setup =
            "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF;"
            "CREATE TABLE IF NOT EXISTS BackupTime (FileId INTEGER PRIMARY KEY, CTime INTEGER NOT NULL);";
        rc = sqlite3_exec(m_db, setup, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) rc = Prepare("SELECT CTime FROM BackupTime WHERE FileId=?", &m_select);
        if (rc == SQLITE_OK) rc = Prepare("INSERT INTO BackupTime (FileId, CTime) VALUES (?, ?)", &m_insert);
        if (rc == SQLITE_OK) rc = Prepare("UPDATE BackupTime SET CTime=? WHERE FileId=?", &m_update);
        if (rc != SQLITE_OK) {
            CKoError e = SqlError(ZY_HERE, m_db, rc, path.c_str());
            Drop();
            return e;
        }
        return CKoError::Success();
    }

    CKoError Close() override {
        if (!m_db) return CKoError::Success();
        int rc = SQLITE_OK;
        if (m_inTransaction) rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        m_inTransaction = false;
        CKoError e = rc == SQLITE_OK ? CKoError::Success() : SqlError(ZY_HERE, m_db, rc, "commit");
        Drop();
        return e;
    }

    bool IsOpen() const override { return m_db != nullptr; }

    CKoError Remove(const std::string& folder) override {
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
            CKoError e = FXEnv::Current()->RemoveFile(folder + "/" + ZyScanDBImports::DatabaseFileName() + suffix);
            if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e.Push(ZY_HERE);
        }
        return CKoError::Success();
    }

    CKoError Copy(const std::string& from, const std::string& to) override {
        const std::string name = ZyScanDBImports::DatabaseFileName();
        std::unique_ptr<FXSequentialFile> in;
        CKoError e = FXEnv::Current()->NewSequentialFile(from + "/" + name, in);
        if (e.IsError()) return e.Push(ZY_HERE);
        FXDurableReplace out(to + "/" + name);
        e = out.Open();
        std::string chunk(1 << 20, '\0');
        while (e.IsSuccess()) {
            size_t got = 0;
            e = in->Read(&chunk[0], chunk.size(), got);
            if (e.IsError() || got == 0) break;
            e = out.Append(std::string_view(chunk.data(), got));
        }
        if (e.IsSuccess()) e = out.Commit();
        return e.IsError() ? e.Push(ZY_HERE) : e;
    }

    CKoError CheckDBRecord(uint64_t fileId, bool& found, ZyBackupTimeRecord& stored) override {
        found = false;
        if (!m_db) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Database not open");
        // One transaction for the lookups of a scan: without it every lookup takes and drops the
        // file's lock and checks the whole database for changes.
        if (!m_inTransaction) {
            const int rc = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) return SqlError(ZY_HERE, m_db, rc, "begin");
            m_inTransaction = true;
        }
        sqlite3_reset(m_select);
        sqlite3_bind_int64(m_select, 1, static_cast<sqlite3_int64>(fileId));
        const int rc = sqlite3_step(m_select);
        if (rc == SQLITE_ROW) {
            found = true;
            stored.fileId = fileId;
            stored.ctime = sqlite3_column_int64(m_select, 0);
        } else if (rc != SQLITE_DONE) {
            return SqlError(ZY_HERE, m_db, rc, "select");
        }
        sqlite3_reset(m_select);
        return CKoError::Success();
    }

    CKoError AddDBRecord(const ZyBackupTimeRecord& record) override { return Write(m_insert, record, true); }
    CKoError UpdateDBRecord(const ZyBackupTimeRecord& record) override { return Write(m_update, record, false); }

private:
    int Prepare(const char* sql, sqlite3_stmt** stmt) { return sqlite3_prepare_v2(m_db, sql, -1, stmt, nullptr); }

    CKoError Write(sqlite3_stmt* stmt, const ZyBackupTimeRecord& record, bool insert) {
        if (!m_db) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Database not open");
        if (!m_inTransaction) {
            const int rc = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) return SqlError(ZY_HERE, m_db, rc, "begin");
            m_inTransaction = true;
        }
        sqlite3_reset(stmt);
        sqlite3_bind_int64(stmt, insert ? 1 : 2, static_cast<sqlite3_int64>(record.fileId));
        sqlite3_bind_int64(stmt, insert ? 2 : 1, record.ctime);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc == SQLITE_CONSTRAINT)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "File id %llu is already there",
                                           static_cast<unsigned long long>(record.fileId));
        if (rc != SQLITE_DONE) return SqlError(ZY_HERE, m_db, rc, insert ? "insert" : "update");
        if (!insert && sqlite3_changes(m_db) == 0)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "File id %llu is not there",
                                           static_cast<unsigned long long>(record.fileId));
        return CKoError::Success();
    }

    void Drop() {
        for (sqlite3_stmt** s : {&m_select, &m_insert, &m_update}) {
            sqlite3_finalize(*s);
            *s = nullptr;
        }
        if (m_db) sqlite3_close(m_db);  // an open transaction is rolled back
        m_db = nullptr;
        m_inTransaction = false;
    }

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_select = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    sqlite3_stmt* m_update = nullptr;
    bool m_inTransaction = false;
};

class CSQLiteScanDBImports : public ZyScanDBImports {
public:
    CKoError CreateScanDBObject(std::shared_ptr<ZyScanDBObject>& object) override {
        object = std::make_shared<CSQLiteScanDB>();
        return CKoError::Success();
    }
};

// The in-memory library: each object works on a private copy that Close publishes.
class CMemoryScanDB : public ZyScanDBObject {
public:
    CMemoryScanDB(std::shared_ptr<ZyMemoryScanDBImports::Store> store, std::set<uint64_t> failIds)
        : m_store(std::move(store)), m_failIds(std::move(failIds)) {}

    CKoError Initialize(const std::string& folder) override {
        std::lock_guard<std::mutex> lock(m_store->mutex);
        m_folder = folder;
        m_open = true;
        m_records = m_store->databases[folder];
        return CKoError::Success();
    }
    CKoError Close() override {
        if (!m_open) return CKoError::Success();
        std::lock_guard<std::mutex> lock(m_store->mutex);
        m_store->databases[m_folder] = m_records;
        m_open = false;
        return CKoError::Success();
    }
    bool IsOpen() const override { return m_open; }
    CKoError Remove(const std::string& folder) override {
        std::lock_guard<std::mutex> lock(m_store->mutex);
        m_store->databases.erase(folder);
        return CKoError::Success();
    }
    CKoError Copy(const std::string& from, const std::string& to) override {
        std::lock_guard<std::mutex> lock(m_store->mutex);
        auto it = m_store->databases.find(from);
        if (it == m_store->databases.end())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "No database in %s", from.c_str());
        const auto copy = it->second;
        m_store->databases[to] = copy;
        return CKoError::Success();
    }
    CKoError CheckDBRecord(uint64_t fileId, bool& found, ZyBackupTimeRecord& stored) override {
        auto it = m_records.find(fileId);
        found = it != m_records.end();
        if (found) stored = {fileId, it->second};
        return CKoError::Success();
    }
    CKoError AddDBRecord(const ZyBackupTimeRecord& r) override {
        if (m_failIds.count(r.fileId)) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GEN_FAILURE, "injected");
        if (!m_records.emplace(r.fileId, r.ctime).second)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "already there");
        return CKoError::Success();
    }
    CKoError UpdateDBRecord(const ZyBackupTimeRecord& r) override {
        if (m_failIds.count(r.fileId)) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GEN_FAILURE, "injected");
        auto it = m_records.find(r.fileId);
        if (it == m_records.end()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "not there");
        it->second = r.ctime;
        return CKoError::Success();
    }

private:
    std::shared_ptr<ZyMemoryScanDBImports::Store> m_store;
    std::set<uint64_t> m_failIds;
    std::string m_folder;
    bool m_open = false;
    std::map<uint64_t, int64_t> m_records;
};

}  // namespace

std::shared_ptr<ZyScanDBImports> ZyScanDBImports::Default() { return std::make_shared<CSQLiteScanDBImports>(); }

CKoError ZyMemoryScanDBImports::CreateScanDBObject(std::shared_ptr<ZyScanDBObject>& object) {
    object = std::make_shared<CMemoryScanDB>(m_store, m_failIds);
    return CKoError::Success();
}
