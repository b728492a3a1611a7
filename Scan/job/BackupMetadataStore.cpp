#include "scan/job/BackupMetadataStore.h"

#include <sys/stat.h>

#include "core/Path.h"

namespace {

constexpr int kFormat = 1;
constexpr int kBusyTimeoutMs = 10000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS item(path BLOB PRIMARY KEY, mode INTEGER NOT NULL, uid INTEGER NOT NULL,"
    " gid INTEGER NOT NULL, atime INTEGER NOT NULL, mtime INTEGER NOT NULL, security BLOB) WITHOUT ROWID;";

void BindBytes(sqlite3_stmt* s, int index, const std::string& bytes) {
    sqlite3_bind_blob(s, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

}  // namespace

CBackupMetadataStore::~CBackupMetadataStore() { Close().IgnoreError(); }

CKoError CBackupMetadataStore::Error(const FXCodeLocation& here, int rc, const char* what) const {
    const char* text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_GENERAL_FAILURE, "Backup metadata store: %s failed (%d: %s), FileName=[%s]",
                                   what, rc, text, m_path.c_str());
}

CKoError CBackupMetadataStore::ExecLocked(const char* sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    return rc == SQLITE_OK ? CKoError::Success() : Error(ZY_HERE, rc, sql);
}

void CBackupMetadataStore::FinalizeAll() {
    for (sqlite3_stmt** s : {&m_put, &m_get, &m_removeOne, &m_removeBelow}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
}

CKoError CBackupMetadataStore::Open(const std::string& resultsDir, bool forWriting) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_db) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Backup metadata store already open");
    m_path = FXPath::Join(resultsDir, kFileName);
    struct stat st;
    if (!forWriting && ::lstat(m_path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "No backup metadata, FileName=[%s]", m_path.c_str());
    const int flags = (forWriting ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    int rc = sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        CKoError e = Error(ZY_HERE, rc, "open");
        sqlite3_close(m_db);
        m_db = nullptr;
        return e;
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    m_writing = forWriting;
    CKoError e;
    if (forWriting) e = ExecLocked("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    // A file of another format (or not a database at all) is refused before any row is touched;
    // a new one (format 0) gets the schema.
    int format = -1;
    sqlite3_stmt* version = nullptr;
    if (e.IsSuccess() && (rc = sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &version, nullptr)) != SQLITE_OK)
        e = Error(ZY_HERE, rc, "reading the format");
    if (e.IsSuccess() && sqlite3_step(version) == SQLITE_ROW) format = sqlite3_column_int(version, 0);
    sqlite3_finalize(version);
    if (e.IsSuccess() && format == 0 && forWriting) {
        e = ExecLocked(kSchema);
        if (e.IsSuccess()) e = ExecLocked("PRAGMA user_version=1;");
        format = kFormat;
    }
    if (e.IsSuccess() && format != kFormat)
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Not a backup metadata store of format %d, FileName=[%s]",
                                    kFormat, m_path.c_str());
    struct {
        sqlite3_stmt** stmt;
        const char* sql;
    } const statements[] = {
        {&m_put, "INSERT OR REPLACE INTO item(path, mode, uid, gid, atime, mtime, security) VALUES(?,?,?,?,?,?,?)"},
        {&m_get, "SELECT mode, uid, gid, atime, mtime, security FROM item WHERE path = ?"},
        {&m_removeOne, "DELETE FROM item WHERE path = ?"},
        // Below "p": from "p/" up to, not including, "p0" ('0' follows '/').
        {&m_removeBelow, "DELETE FROM item WHERE path >= ? AND path < ?"},
    };
    for (const auto& s : statements) {
        if (e.IsError()) break;
        if (!forWriting && s.stmt != &m_get) continue;
        rc = sqlite3_prepare_v2(m_db, s.sql, -1, s.stmt, nullptr);
        if (rc != SQLITE_OK) e = Error(ZY_HERE, rc, "prepare");
    }
    if (e.IsSuccess() && forWriting) e = ExecLocked("BEGIN");
    if (e.IsError()) {
        FinalizeAll();
        sqlite3_close(m_db);
        m_db = nullptr;
        return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError CBackupMetadataStore::Put(const std::string& path, const SItemMetadata& meta) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db || !m_put) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Backup metadata store not open for writing");
    BindBytes(m_put, 1, path);
    sqlite3_bind_int64(m_put, 2, meta.mode);
    sqlite3_bind_int64(m_put, 3, meta.uid);
    sqlite3_bind_int64(m_put, 4, meta.gid);
    sqlite3_bind_int64(m_put, 5, meta.atimeNs);
    sqlite3_bind_int64(m_put, 6, meta.mtimeNs);
    BindBytes(m_put, 7, meta.security);
    const int rc = sqlite3_step(m_put);
    sqlite3_reset(m_put);
    return rc == SQLITE_DONE ? CKoError::Success() : Error(ZY_HERE, rc, "writing an item");
}

CKoError CBackupMetadataStore::RemoveTree(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db || !m_removeOne) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Backup metadata store not open for writing");
    const std::string base = path == "/" ? std::string() : path;
    BindBytes(m_removeOne, 1, path);
    int rc = sqlite3_step(m_removeOne);
    sqlite3_reset(m_removeOne);
    if (rc == SQLITE_DONE) {
        BindBytes(m_removeBelow, 1, base + "/");
        BindBytes(m_removeBelow, 2, base + "0");
        rc = sqlite3_step(m_removeBelow);
        sqlite3_reset(m_removeBelow);
    }
    return rc == SQLITE_DONE ? CKoError::Success() : Error(ZY_HERE, rc, "removing items");
}

CKoError CBackupMetadataStore::Commit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db || !m_writing) return CKoError::Success();
    CKoError e = ExecLocked("COMMIT; BEGIN");
    return e.IsError() ? e.Push(ZY_HERE) : e;
}

CKoError CBackupMetadataStore::Get(const std::string& path, SItemMetadata& meta, bool& found) {
    std::lock_guard<std::mutex> lock(m_mutex);
    found = false;
    if (!m_db) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "Backup metadata store not open");
    BindBytes(m_get, 1, path);
    const int rc = sqlite3_step(m_get);
    if (rc == SQLITE_ROW) {
        found = true;
        meta.mode = static_cast<uint32_t>(sqlite3_column_int64(m_get, 0));
        meta.uid = static_cast<uint32_t>(sqlite3_column_int64(m_get, 1));
        meta.gid = static_cast<uint32_t>(sqlite3_column_int64(m_get, 2));
        meta.atimeNs = sqlite3_column_int64(m_get, 3);
        meta.mtimeNs = sqlite3_column_int64(m_get, 4);
        const void* p = sqlite3_column_blob(m_get, 5);
        const int n = sqlite3_column_bytes(m_get, 5);
        meta.security.assign(p ? static_cast<const char*>(p) : "", p && n > 0 ? static_cast<size_t>(n) : 0);
    }
    sqlite3_reset(m_get);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return Error(ZY_HERE, rc, "reading an item");
    return CKoError::Success();
}

CKoError CBackupMetadataStore::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db) return CKoError::Success();
    CKoError e = m_writing ? ExecLocked("COMMIT") : CKoError::Success();
    FinalizeAll();
    const int rc = sqlite3_close(m_db);
    if (e.IsSuccess() && rc != SQLITE_OK) e = Error(ZY_HERE, rc, "close");
    m_db = nullptr;
    return e.IsError() ? e.Push(ZY_HERE) : e;
}
