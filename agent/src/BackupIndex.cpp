#include "agent/BackupIndex.h"

#include <random>

#include "SQLiteDatabase.h"
#include "agent/IndexBrowse.h"
#include "core/Path.h"
#include "core/StringUtil.h"

namespace {

constexpr const char* kKind = "backup index";

constexpr const char* kSchema =
    "CREATE TABLE items(parent BLOB NOT NULL, name BLOB NOT NULL, folder INTEGER NOT NULL DEFAULT 0,"
    " mtime INTEGER NOT NULL DEFAULT 0, ctime INTEGER NOT NULL DEFAULT 0, size INTEGER NOT NULL DEFAULT 0,"
    " guid TEXT NOT NULL DEFAULT '', job_id INTEGER NOT NULL DEFAULT 0, adhoc INTEGER NOT NULL DEFAULT 0,"
    " deleted INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(parent, name)) WITHOUT ROWID;";

constexpr const char* kColumns = "SELECT parent, name, folder, mtime, ctime, size, guid, job_id, adhoc, deleted FROM items ";

bool SplitKey(const std::string& path, std::string& parentKey, std::string& name) {
    return databrowse::BrowseItemKey(path, parentKey, name);
}

uint64_t SplitMix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

CKoError BadPath(const FXCodeLocation& here, const std::string& path) {
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_PARAMETER,
                                   "An indexed path must be absolute, without empty components, Path=[%s]",
                                   path.c_str());
}

}  // namespace

std::string CSQLiteBackupIndex::DefaultPathFor(const std::string& jobResultsFolder) {
    return FXPath::Join(jobResultsFolder, kDefaultFileName);
}

CSQLiteBackupIndex::CSQLiteBackupIndex() = default;

CSQLiteBackupIndex::~CSQLiteBackupIndex() { Close(); }

void CSQLiteBackupIndex::Close() {
    RollbackBatch();
    m_upsert.reset();
    m_deleteOne.reset();
    m_deleteBelow.reset();
    m_page.reset();
    m_get.reset();
    m_db.reset();
}

CKoError CSQLiteBackupIndex::Open(const std::string& path, bool create, int busyTimeoutMs) {
    Close();
    m_path = path;
    try {
        m_db = std::make_unique<CSQLiteDatabase>(kKind);
        m_upsert = std::make_unique<CSQLiteStatement>();
        m_deleteOne = std::make_unique<CSQLiteStatement>();
        m_deleteBelow = std::make_unique<CSQLiteStatement>();
        m_page = std::make_unique<CSQLiteStatement>();
        m_get = std::make_unique<CSQLiteStatement>();
    } catch (const std::bad_alloc&) {
        Close();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot allocate the backup index");
    }
    CKoError e = m_db->Open(path, create, false, busyTimeoutMs);
    // What the index says was backed up must survive a crash once committed.
    if (e.IsSuccess()) e = m_db->Exec("PRAGMA journal_mode=WAL");
    if (e.IsSuccess()) e = m_db->Exec("PRAGMA synchronous=FULL");
    if (e.IsSuccess()) e = m_db->Exec("BEGIN IMMEDIATE");
    if (e.IsSuccess()) {
        e = m_db->CreateOrCheckSchema(kFormat, kSchema, "items", create);
        m_db->Exec(e.IsSuccess() ? "COMMIT" : "ROLLBACK").IgnoreError();
    }
    if (e.IsSuccess())
        e = m_db->Prepare(
            "INSERT OR REPLACE INTO items(parent, name, folder, mtime, ctime, size, guid, job_id, adhoc, deleted) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, 0)",
            *m_upsert);
    if (e.IsSuccess())
        e = m_db->Prepare("UPDATE items SET deleted = 1, job_id = ?3 WHERE parent = ?1 AND name = ?2 AND deleted = 0",
                          *m_deleteOne);
    if (e.IsSuccess())
        e = m_db->Prepare("UPDATE items SET deleted = 1, job_id = ?3 WHERE parent >= ?1 AND parent < ?2 AND deleted = 0",
                          *m_deleteBelow);
    if (e.IsSuccess())
        e = m_db->Prepare((std::string(kColumns) + "WHERE (parent, name) > (?1, ?2) ORDER BY parent, name LIMIT ?3").c_str(),
                          *m_page);
    if (e.IsSuccess()) e = m_db->Prepare((std::string(kColumns) + "WHERE parent = ?1 AND name = ?2").c_str(), *m_get);
    if (e.IsError()) {
        Close();
        return e.Push(ZY_HERE, "Cannot open the backup index, FileName=[%s]", path.c_str());
    }
    std::random_device device;
    m_guidSeed[0] = (static_cast<uint64_t>(device()) << 32) ^ device();
    m_guidSeed[1] = (static_cast<uint64_t>(device()) << 32) ^ device();
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::RequireOpen(const FXCodeLocation& here) const {
    if (m_db && m_db->IsOpen()) return CKoError::Success();
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_HANDLE, "The backup index is not open, FileName=[%s]",
                                   m_path.c_str());
}

CKoError CSQLiteBackupIndex::BeginBatch() {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    if (m_inBatch)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "A batch of the backup index is open");
    e = m_db->Exec("BEGIN IMMEDIATE");
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot begin a batch of the backup index");
    m_inBatch = true;
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::CommitBatch() {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    if (!m_inBatch)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No batch of the backup index is open");
    e = m_db->Exec("COMMIT");
    if (e.IsError()) {
        RollbackBatch();
        return e.Push(ZY_HERE, "Cannot commit a batch of the backup index");
    }
    m_inBatch = false;
    return CKoError::Success();
}

void CSQLiteBackupIndex::RollbackBatch() {
    if (!m_inBatch) return;
    m_inBatch = false;
    if (m_db && m_db->IsOpen() && !sqlite3_get_autocommit(m_db->Handle())) m_db->Exec("ROLLBACK").IgnoreError();
}

std::string CSQLiteBackupIndex::NewGuid() {
    uint8_t bytes[16];
    const uint64_t a = SplitMix(m_guidSeed[0] + ++m_guidCounter), b = SplitMix(m_guidSeed[1] ^ a);
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(a >> (8 * i));
        bytes[8 + i] = static_cast<uint8_t>(b >> (8 * i));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 1
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0xF]);
    }
    return text;
}

CKoError CSQLiteBackupIndex::RecordItemLocked(const SBackupIndexItem& item) {
    std::string parentKey, name;
    if (!SplitKey(item.path, parentKey, name)) return BadPath(ZY_HERE, item.path);
    CSQLiteStatement& s = *m_upsert;
    s.Reset();
    s.BindBlob(1, parentKey);
    s.BindBlob(2, name);
    s.Bind(3, item.folder ? 1 : 0);
    s.Bind(4, item.modificationTime);
    s.Bind(5, item.changeTime);
    s.Bind(6, static_cast<int64_t>(item.size));
    s.BindText(7, item.dataGuid.empty() ? NewGuid() : item.dataGuid);
    s.Bind(8, item.jobId);
    s.Bind(9, item.adhoc ? 1 : 0);
    const int rc = s.Step();
    s.Reset();
    if (rc != SQLITE_DONE) return m_db->Error(ZY_HERE, rc, "record an item");
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::RecordItem(const SBackupIndexItem& item) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    if (m_inBatch) e = RecordItemLocked(item);
    else {
        e = m_db->Exec("BEGIN IMMEDIATE");
        if (e.IsSuccess()) e = RecordItemLocked(item);
        if (e.IsSuccess()) e = m_db->Exec("COMMIT");
        if (e.IsError() && !sqlite3_get_autocommit(m_db->Handle())) m_db->Exec("ROLLBACK").IgnoreError();
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the item in the backup index, Path=[%s]", item.path.c_str());
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::RecordDeletion(const std::string& path, bool folder, int64_t jobId) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    std::string parentKey, name;
    if (!SplitKey(path, parentKey, name)) return BadPath(ZY_HERE, path);
    const bool own = !m_inBatch;
    if (own) {
        e = m_db->Exec("BEGIN IMMEDIATE");
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    CSQLiteStatement& one = *m_deleteOne;
    one.Reset();
    one.BindBlob(1, parentKey);
    one.BindBlob(2, name);
    one.Bind(3, jobId);
    int rc = one.Step();
    one.Reset();
    if (rc != SQLITE_DONE) e = m_db->Error(ZY_HERE, rc, "record a deletion");
    if (e.IsSuccess() && folder) {
        // Everything whose parent lies at or below the folder: parents from "<folder>/" up to,
        // not including, "<folder>0" ('0' follows '/').
        const std::string low = name == "/" ? std::string("/") : parentKey + name + "/";
        std::string high = low;
        high.back() = '0';
        CSQLiteStatement& below = *m_deleteBelow;
        below.Reset();
        below.BindBlob(1, low);
        below.BindBlob(2, high);
        below.Bind(3, jobId);
        rc = below.Step();
        below.Reset();
        if (rc != SQLITE_DONE) e = m_db->Error(ZY_HERE, rc, "record a folder deletion");
    }
    if (own) {
        if (e.IsSuccess()) e = m_db->Exec("COMMIT");
        if (e.IsError() && !sqlite3_get_autocommit(m_db->Handle())) m_db->Exec("ROLLBACK").IgnoreError();
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the deletion in the backup index, Path=[%s]", path.c_str());
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::ReadRow(CSQLiteStatement& row, SBackupIndexItem& item, std::string& parentKey,
                                     std::string& name) {
    row.AssignBytes(0, parentKey);
    row.AssignBytes(1, name);
    const bool root = parentKey.empty() && name == "/";
    const bool shaped = root || (!parentKey.empty() && parentKey.front() == '/' && parentKey.back() == '/' &&
                                 parentKey.find("//") == std::string::npos && !name.empty() &&
                                 name.find('/') == std::string::npos && parentKey.find('\0') == std::string::npos &&
                                 name.find('\0') == std::string::npos);
    if (!shaped)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The backup index is damaged, FileName=[%s], Problem=[item path], Parent=[%s], "
                                       "Name=[%s]",
                                       m_path.c_str(), parentKey.c_str(), name.c_str());
    item.path = root ? name : parentKey + name;
    item.folder = row.Int(2) != 0;
    item.modificationTime = row.Int(3);
    item.changeTime = row.Int(4);
    item.size = static_cast<uint64_t>(row.Int(5));
    row.AssignBytes(6, item.dataGuid);
    item.jobId = row.Int(7);
    item.adhoc = row.Int(8) != 0;
    item.deleted = row.Int(9) != 0;
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::ReadPage(SBackupIndexPosition& position, size_t max, std::vector<SBackupIndexItem>& items) {
    items.clear();
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    CSQLiteStatement& page = *m_page;
    page.Reset();
    // The root's key ("", "/") is the smallest there is; start below it.
    page.BindBlob(1, position.started ? position.parentKey : std::string());
    page.BindBlob(2, position.started ? position.name : std::string());
    page.Bind(3, static_cast<int64_t>(max));
    int rc;
    std::string parentKey, name;
    try {
        while ((rc = page.Step()) == SQLITE_ROW) {
            SBackupIndexItem item;
            e = ReadRow(page, item, parentKey, name);
            if (e.IsError()) break;
            items.push_back(std::move(item));
            position.parentKey = parentKey;
            position.name = name;
            position.started = true;
        }
    } catch (const std::bad_alloc&) {
        page.Reset();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot hold a page of the backup index");
    }
    page.Reset();
    if (e.IsError()) return e.Push(ZY_HERE);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return m_db->Error(ZY_HERE, rc, "read the items");
    return CKoError::Success();
}

CKoError CSQLiteBackupIndex::GetItem(const std::string& path, SBackupIndexItem& item) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    std::string parentKey, name;
    if (!SplitKey(path, parentKey, name)) return BadPath(ZY_HERE, path);
    CSQLiteStatement& get = *m_get;
    get.Reset();
    get.BindBlob(1, parentKey);
    get.BindBlob(2, name);
    const int rc = get.Step();
    if (rc == SQLITE_ROW) e = ReadRow(get, item, parentKey, name);
    get.Reset();
    if (rc == SQLITE_DONE)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Not in the backup index, Path=[%s]", path.c_str());
    if (rc != SQLITE_ROW) return m_db->Error(ZY_HERE, rc, "read an item");
    return e;
}

CKoError CSQLiteBackupIndex::CountItems(uint64_t& live, uint64_t& deleted) {
    CKoError e = RequireOpen(ZY_HERE);
    if (e.IsError()) return e;
    CSQLiteStatement count;
    e = m_db->Prepare("SELECT count(*) - total(deleted), total(deleted) FROM items", count);
    if (e.IsError()) return e.Push(ZY_HERE);
    const int rc = count.Step();
    if (rc != SQLITE_ROW) return m_db->Error(ZY_HERE, rc, "count the items");
    live = static_cast<uint64_t>(sqlite3_column_double(count.Get(), 0));
    deleted = static_cast<uint64_t>(sqlite3_column_double(count.Get(), 1));
    return CKoError::Success();
}
