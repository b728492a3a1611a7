#include "SQLiteDatabase.h"

#include "core/StringUtil.h"

void CSQLiteDatabase::Close() {
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

CKoError CSQLiteDatabase::Error(const FXCodeLocation& here, int rc, const char* operation) const {
    const char* text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT)
        return FXErrorUtil::ErrorSQLite(here, rc,
                                        "The %s is damaged or is not such a database, FileName=[%s], Operation=[%s], "
                                        "error=[%s]",
                                        m_kind, m_path.c_str(), operation, text);
    return FXErrorUtil::ErrorSQLite(here, rc, "The %s operation failed, FileName=[%s], Operation=[%s], error=[%s]",
                                    m_kind, m_path.c_str(), operation, text);
}

CKoError CSQLiteDatabase::Open(const std::string& path, bool create, bool readOnly, int busyTimeoutMs) {
    Close();
    m_path = path;
    int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    flags |= readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (create && !readOnly) flags |= SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        CKoError e = (rc == SQLITE_CANTOPEN && !create)
                         ? FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND,
                                                   "The %s cannot be opened, FileName=[%s]", m_kind, path.c_str())
                         : Error(ZY_HERE, rc, "open");
        Close();
        return e;
    }
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    sqlite3_extended_result_codes(m_db, 0);
    return CKoError::Success();
}

CKoError CSQLiteDatabase::Exec(const char* sql) {
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return Error(ZY_HERE, rc, sql);
    return CKoError::Success();
}

CKoError CSQLiteDatabase::Prepare(const char* sql, CSQLiteStatement& statement) {
    sqlite3_finalize(statement.m_stmt);
    statement.m_stmt = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, sql, -1, &statement.m_stmt, nullptr);
    if (rc != SQLITE_OK) return Error(ZY_HERE, rc, sql);
    return CKoError::Success();
}

CKoError CSQLiteDatabase::CreateOrCheckSchema(int version, const char* schema, const char* probeTable, bool mayCreate) {
    CSQLiteStatement statement;
    CKoError e = Prepare("PRAGMA user_version", statement);
    if (e.IsError()) return e;
    int rc = statement.Step();
    if (rc != SQLITE_ROW) return Error(ZY_HERE, rc, "read the format");
    const int64_t found = statement.Int(0);
    statement.Reset();
    if (found > version)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED,
                                       "The %s has a newer format, FileName=[%s], Format=[%lld], Known=[%d]", m_kind,
                                       m_path.c_str(), static_cast<long long>(found), version);
    if (found == version) {
        // Our own tables must be there: a file of the right number but another layout is foreign.
        CSQLiteStatement probe;
        const std::string sql = FXString::Format("SELECT 1 FROM sqlite_master WHERE type='table' AND name='%s'",
                                                 probeTable);
        e = Prepare(sql.c_str(), probe);
        if (e.IsError()) return e;
        rc = probe.Step();
        if (rc == SQLITE_ROW) return CKoError::Success();
        if (rc != SQLITE_DONE) return Error(ZY_HERE, rc, "read the schema");
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The %s is damaged or is not such a database, FileName=[%s], Missing=[%s]", m_kind,
                                       m_path.c_str(), probeTable);
    }
    CSQLiteStatement tables;
    e = Prepare("SELECT count(*) FROM sqlite_master", tables);
    if (e.IsError()) return e;
    rc = tables.Step();
    if (rc != SQLITE_ROW) return Error(ZY_HERE, rc, "read the schema");
    if (tables.Int(0) != 0 || !mayCreate)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The %s is damaged or is not such a database, FileName=[%s], Format=[%lld]",
                                       m_kind, m_path.c_str(), static_cast<long long>(found));
    e = Exec(schema);
    if (e.IsError()) return e;
    return Exec(FXString::Format("PRAGMA user_version=%d", version).c_str());
}
