// Stand-in for the agent's scan-database library: databases kept in a folder each, holding
// backup-time records keyed by file id. A database folder can be initialised (created when
// missing), closed, removed and copied whole; records can be looked up, added and updated.
//
// The import handle (ZyScanDBImports) makes the objects: the SQLite-backed library by default,
// or the in-memory one that tests use to fail chosen operations.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/KoError.h"

// One record: a file id and the change time the item had after the backup.
struct ZyBackupTimeRecord {
    uint64_t fileId = 0;
    int64_t ctime = 0;
};

class ZyScanDBObject {
public:
    virtual ~ZyScanDBObject() = default;
    // Opens the database of `folder`, creating it when missing. Writes are kept in one
    // transaction that Close commits; a database that is dropped without Close keeps none.
    virtual CKoError Initialize(const std::string& folder) = 0;
    virtual CKoError Close() = 0;
    virtual bool IsOpen() const = 0;
    // Removes the database files of `folder` (not the folder); none there is success.
    virtual CKoError Remove(const std::string& folder) = 0;
    // Replaces the database of `to` with a copy of the one in `from`; a reader of `to` sees the
    // old database or the new one, never a mix.
    virtual CKoError Copy(const std::string& from, const std::string& to) = 0;
    virtual CKoError CheckDBRecord(uint64_t fileId, bool& found, ZyBackupTimeRecord& stored) = 0;
    // Adding an id that is there, or updating one that is not, is Win32 13.
    virtual CKoError AddDBRecord(const ZyBackupTimeRecord& record) = 0;
    virtual CKoError UpdateDBRecord(const ZyBackupTimeRecord& record) = 0;
};

class ZyScanDBImports {
public:
    virtual ~ZyScanDBImports() = default;
    // The SQLite-backed library.
    static std::shared_ptr<ZyScanDBImports> Default();
    virtual CKoError CreateScanDBObject(std::shared_ptr<ZyScanDBObject>& object) = 0;
    CKoError CreateBackupTimeRecordObject(uint64_t fileId, int64_t ctime, ZyBackupTimeRecord& record) {
        record.fileId = fileId;
        record.ctime = ctime;
        return CKoError::Success();
    }
    // The name of the database file inside a database folder.
    static const char* DatabaseFileName() { return "ScanDB.db"; }
};

// Databases in memory, keyed by folder, shared by the objects one import handle made. Tests
// fail chosen operations with it.
class ZyMemoryScanDBImports : public ZyScanDBImports {
public:
    struct Store {
        std::mutex mutex;
        std::map<std::string, std::map<uint64_t, int64_t>> databases;  // committed, by folder
    };
    CKoError CreateScanDBObject(std::shared_ptr<ZyScanDBObject>& object) override;
    Store& GetStore() { return *m_store; }
    // Adding or updating this file id fails (Win32 31).
    void FailOnFileId(uint64_t fileId) { m_failIds.insert(fileId); }
    const std::set<uint64_t>& FailIds() const { return m_failIds; }

private:
    std::shared_ptr<Store> m_store = std::make_shared<Store>();
    std::set<uint64_t> m_failIds;
};
