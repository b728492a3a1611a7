#include "agent/ContentContainer.h"

#include "SQLiteDatabase.h"
#include "core/Env.h"
#include "core/LogWriter.h"

namespace {

constexpr const char* kKind = "content container";

constexpr const char* kSchema =
    "CREATE TABLE folders(id INTEGER PRIMARY KEY, key BLOB NOT NULL UNIQUE, metadata TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE files(folder_id INTEGER NOT NULL, name BLOB NOT NULL, time INTEGER NOT NULL DEFAULT 0,"
    " metadata TEXT NOT NULL DEFAULT '', PRIMARY KEY(folder_id, name)) WITHOUT ROWID;"
    "CREATE TABLE properties(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;";

// The stored key of a folder: its path with one trailing "/".
std::string FolderKey(const std::string& folder) {
    std::string key = folder;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    if (key.back() != '/') key.push_back('/');
    return key;
}

}  // namespace

namespace FX {

CDatabaseTransaction::~CDatabaseTransaction() { Rollback(); }

CKoError CDatabaseTransaction::Commit() {
    if (!m_database)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The transaction is not active");
    CKoError e = m_database->Exec("COMMIT");
    if (e.IsError()) {
        Rollback();
        return e.Push(ZY_HERE);
    }
    m_database = nullptr;
    return CKoError::Success();
}

void CDatabaseTransaction::Rollback() {
    if (!m_database) return;
    if (!sqlite3_get_autocommit(m_database->Handle())) m_database->Exec("ROLLBACK").IgnoreError();
    m_database = nullptr;
}

}  // namespace FX

namespace CX {

CContentContainer::CContentContainer() = default;

CContentContainer::~CContentContainer() { Close(); }

bool CContentContainer::Exists() const {
    FXFileStat st;
    return !m_name.empty() && FXEnv::Current()->Stat(m_name, st).IsSuccess();
}

void CContentContainer::Close() {
    m_queryFolder.reset();
    m_insertFolder.reset();
    m_insertFile.reset();
    m_folders.reset();
    m_files.reset();
    m_db.reset();
}

CKoError CContentContainer::Delete() {
    Close();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        CKoError e = FXEnv::Current()->RemoveFile(m_name + suffix);
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
            return e.Push(ZY_HERE, "Cannot remove the content container, FileName=[%s]", m_name.c_str());
    }
    return CKoError::Success();
}

CKoError CContentContainer::Open(bool create) {
    Close();
    if (m_name.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "The content container has no name");
    if (!create && !Exists())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND,
                                       "The content container does not exist, FileName=[%s]", m_name.c_str());
    try {
        m_db = std::make_unique<CSQLiteDatabase>(kKind);
        m_queryFolder = std::make_unique<CSQLiteStatement>();
        m_insertFolder = std::make_unique<CSQLiteStatement>();
        m_insertFile = std::make_unique<CSQLiteStatement>();
        m_folders = std::make_unique<CSQLiteStatement>();
        m_files = std::make_unique<CSQLiteStatement>();
    } catch (const std::bad_alloc&) {
        Close();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot allocate the content container");
    }
    CKoError e = m_db->Open(m_name, create, false, 10000);
    // A container is rebuilt by each run: the journal guards the file against torn transactions,
    // but nothing needs to reach the disk before the writer ends.
    if (e.IsSuccess()) e = m_db->Exec("PRAGMA synchronous=OFF");
    if (e.IsSuccess()) e = m_db->CreateOrCheckSchema(kFormat, kSchema, "folders", create);
    if (e.IsSuccess()) e = m_db->Prepare("SELECT id FROM folders WHERE key = ?1", *m_queryFolder);
    if (e.IsSuccess()) e = m_db->Prepare("INSERT INTO folders(key, metadata) VALUES(?1, ?2)", *m_insertFolder);
    if (e.IsSuccess())
        e = m_db->Prepare("INSERT OR REPLACE INTO files(folder_id, name, time, metadata) VALUES(?1, ?2, ?3, ?4)",
                          *m_insertFile);
    if (e.IsError()) {
        Close();
        return e.Push(ZY_HERE, "Cannot open the content container, FileName=[%s]", m_name.c_str());
    }
    return CKoError::Success();
}

CKoError CContentContainer::OpenExistingOrCreate() { return Open(true); }

CKoError CContentContainer::OpenExisting() { return Open(false); }

CKoError CContentContainer::RequireOpen(const FXCodeLocation& here) const {
    if (m_db && m_db->IsOpen()) return CKoError::Success();
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_HANDLE, "The content container is not open, FileName=[%s]",
                                   m_name.c_str());
}

CKoError CContentContainer::BeginTransaction(std::shared_ptr<FX::CDatabaseTransaction>& transaction) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsSuccess()) e = m_db->Exec("BEGIN IMMEDIATE");
    if (e.IsError()) return e.Push(ZY_HERE);
    try {
        transaction = std::make_shared<FX::CDatabaseTransaction>(m_db.get());
    } catch (const std::bad_alloc&) {
        m_db->Exec("ROLLBACK").IgnoreError();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot allocate the transaction");
    }
    return CKoError::Success();
}

CKoError CContentContainer::QueryFolderId(const std::string& folder, int64_t& id) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    m_queryFolder->Reset();
    m_queryFolder->BindBlob(1, FolderKey(folder));
    const int rc = m_queryFolder->Step();
    if (rc == SQLITE_ROW) {
        id = m_queryFolder->Int(0);
        m_queryFolder->Reset();
        return CKoError::Success();
    }
    m_queryFolder->Reset();
    if (rc == SQLITE_DONE)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Folder not in the content container, Folder=[%s]",
                                       folder.c_str());
    return m_db->Error(ZY_HERE, rc, "query a folder");
}

CKoError CContentContainer::InsertFolder(const std::string& folder, const std::string& metadata, int64_t& id) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    if (folder.empty() || folder[0] != '/')
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "A container folder must be an absolute path, Folder=[%s]", folder.c_str());
    m_insertFolder->Reset();
    m_insertFolder->BindBlob(1, FolderKey(folder));
    m_insertFolder->BindText(2, metadata);
    const int rc = m_insertFolder->Step();
    m_insertFolder->Reset();
    if (rc == SQLITE_CONSTRAINT)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                       "Folder already in the content container, Folder=[%s]", folder.c_str());
    if (rc != SQLITE_DONE) return m_db->Error(ZY_HERE, rc, "insert a folder");
    id = sqlite3_last_insert_rowid(m_db->Handle());
    return CKoError::Success();
}

CKoError CContentContainer::InsertOrUpdateFile(int64_t folderId, const std::string& name, int64_t time,
                                               const std::string& metadata) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    if (name.empty() || name.find('/') != std::string::npos)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "A container file name must be one path component, Name=[%s]", name.c_str());
    m_insertFile->Reset();
    m_insertFile->Bind(1, folderId);
    m_insertFile->BindBlob(2, name);
    m_insertFile->Bind(3, time);
    m_insertFile->BindText(4, metadata);
    const int rc = m_insertFile->Step();
    m_insertFile->Reset();
    if (rc != SQLITE_DONE) return m_db->Error(ZY_HERE, rc, "insert a file");
    return CKoError::Success();
}

CKoError CContentContainer::FlushQueue() { return RequireOpen(ZY_HERE); }

CKoError CContentContainer::SetProperty(const char* name, const std::string& value) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    CSQLiteStatement statement;
    e = m_db->Prepare("INSERT OR REPLACE INTO properties(name, value) VALUES(?1, ?2)", statement);
    if (e.IsError()) return e.Push(ZY_HERE);
    statement.BindText(1, name);
    statement.BindText(2, value);
    const int rc = statement.Step();
    if (rc != SQLITE_DONE) return m_db->Error(ZY_HERE, rc, "record a property");
    return CKoError::Success();
}

CKoError CContentContainer::GetProperty(const char* name, std::string& value, bool& found) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    CSQLiteStatement statement;
    e = m_db->Prepare("SELECT value FROM properties WHERE name = ?1", statement);
    if (e.IsError()) return e.Push(ZY_HERE);
    statement.BindText(1, name);
    const int rc = statement.Step();
    found = rc == SQLITE_ROW;
    if (found) statement.AssignBytes(0, value);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return m_db->Error(ZY_HERE, rc, "read a property");
    return CKoError::Success();
}

CKoError CContentContainer::SetOrigin(const std::string& origin) { return SetProperty("origin", origin); }

CKoError CContentContainer::SetOriginQuery(const std::string& query) { return SetProperty("originQuery", query); }

CKoError CContentContainer::GetOrigin(std::string& origin) {
    bool found = false;
    origin.clear();
    return GetProperty("origin", origin, found);
}

CKoError CContentContainer::GetOriginQuery(std::string& query) {
    bool found = false;
    query.clear();
    return GetProperty("originQuery", query, found);
}

CKoError CContentContainer::IsComplete(bool& complete) {
    std::string origin;
    return GetProperty("origin", origin, complete);
}

CKoError CContentContainer::Damaged(const FXCodeLocation& here, const char* what, const std::string& entry) const {
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_DATA,
                                   "The content container is damaged, FileName=[%s], Problem=[%s], Entry=[%s]",
                                   m_name.c_str(), what, entry.c_str());
}

CKoError CContentContainer::StartFolders() {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsSuccess()) e = m_db->Prepare("SELECT id, key, metadata FROM folders ORDER BY key", *m_folders);
    if (e.IsError()) return e.Push(ZY_HERE);
    m_firstFolder = true;
    m_lastFolderKey.clear();
    return CKoError::Success();
}

CKoError CContentContainer::NextFolder(SContentContainerFolder& folder, bool& found) {
    found = false;
    if (!m_folders || !m_folders->IsPrepared())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "StartFolders was not called");
    const int rc = m_folders->Step();
    if (rc == SQLITE_DONE) return CKoError::Success();
    if (rc != SQLITE_ROW) return m_db->Error(ZY_HERE, rc, "read the folders");
    folder.id = m_folders->Int(0);
    m_folders->AssignBytes(1, folder.path);
    m_folders->AssignBytes(2, folder.metadata);
    const std::string& key = folder.path;
    if (key.empty() || key.front() != '/' || key.back() != '/' || key.find('\0') != std::string::npos ||
        key.find("//") != std::string::npos)
        return Damaged(ZY_HERE, "folder path", key);
    if (!m_firstFolder && !(m_lastFolderKey < key)) return Damaged(ZY_HERE, "folders out of order", key);
    m_firstFolder = false;
    m_lastFolderKey = key;
    if (folder.path.size() > 1) folder.path.pop_back();
    found = true;
    return CKoError::Success();
}

CKoError CContentContainer::StartFiles(int64_t folderId) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    if (!m_files->IsPrepared()) {
        e = m_db->Prepare("SELECT name, time, metadata FROM files WHERE folder_id = ?1 ORDER BY name", *m_files);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    m_files->Reset();
    m_files->Bind(1, folderId);
    m_firstFile = true;
    m_lastFileName.clear();
    return CKoError::Success();
}

CKoError CContentContainer::NextFile(SContentContainerFile& file, bool& found) {
    found = false;
    if (!m_files || !m_files->IsPrepared())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "StartFiles was not called");
    const int rc = m_files->Step();
    if (rc == SQLITE_DONE) return CKoError::Success();
    if (rc != SQLITE_ROW) return m_db->Error(ZY_HERE, rc, "read the files");
    m_files->AssignBytes(0, file.name);
    file.time = m_files->Int(1);
    m_files->AssignBytes(2, file.metadata);
    if (file.name.empty() || file.name.find('/') != std::string::npos || file.name.find('\0') != std::string::npos)
        return Damaged(ZY_HERE, "file name", file.name);
    if (!m_firstFile && !(m_lastFileName < file.name)) return Damaged(ZY_HERE, "files out of order", file.name);
    m_firstFile = false;
    m_lastFileName = file.name;
    found = true;
    return CKoError::Success();
}

void CContentContainer::EndReading() {
    if (m_folders && m_folders->IsPrepared()) m_folders->Reset();
    if (m_files && m_files->IsPrepared()) m_files->Reset();
}

uint64_t CContentContainer::Count(const char* sql) {
    if (RequireOpen(ZY_HERE).IsError()) return 0;
    CSQLiteStatement statement;
    if (m_db->Prepare(sql, statement).IsError() || statement.Step() != SQLITE_ROW) return 0;
    return static_cast<uint64_t>(statement.Int(0));
}

uint64_t CContentContainer::GetFolderCount() { return Count("SELECT count(*) FROM folders"); }

uint64_t CContentContainer::GetFileCount() { return Count("SELECT count(*) FROM files"); }

}  // namespace CX
