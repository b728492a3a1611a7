// What a backup keeps of each item beside its mirror copy, so that a restore gives it back
// exactly even when the backup did not run as root (and the mirror copy could not take owners,
// trusted or security attributes, or inode flags): owner, mode, times and the item's security
// metadata in the network-buffer form of the ACL helpers (ZyFsACL.h).
//
// The store is an SQLite database "BackupMetadata.db" in the job-results folder, one row per
// source path. Writes go into one open transaction that Commit() ends; a backup commits before
// it records a restart offset, so what the collect map says is done is in the store. Rows are
// replaced as the same path is backed up again, so a restarted backup may write a row twice.
// One connection serves every reader thread under one lock.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "core/KoError.h"

struct SItemMetadata {
    uint32_t mode = 0;  // type and permission bits, as stat gives them
    uint32_t uid = 0, gid = 0;
    int64_t atimeNs = 0, mtimeNs = 0;
    std::string security;  // the network buffer (empty: none was read)
};

class CBackupMetadataStore {
public:
    static constexpr const char* kFileName = "BackupMetadata.db";

    CBackupMetadataStore() = default;
    ~CBackupMetadataStore();
    CBackupMetadataStore(const CBackupMetadataStore&) = delete;
    CBackupMetadataStore& operator=(const CBackupMetadataStore&) = delete;

    // `forWriting`: creates the database when missing and opens a transaction. Otherwise a
    // missing database is Win32 2, and the store only answers Get.
    CKoError Open(const std::string& resultsDir, bool forWriting);
    CKoError Put(const std::string& path, const SItemMetadata& meta);
    // Drops the row of `path` and the rows of everything below it.
    CKoError RemoveTree(const std::string& path);
    // Ends the open transaction and opens the next one.
    CKoError Commit();
    CKoError Get(const std::string& path, SItemMetadata& meta, bool& found);
    // Commits (when writing) and closes.
    CKoError Close();
    bool IsOpen() const { return m_db != nullptr; }

private:
    CKoError Error(const FXCodeLocation& here, int rc, const char* what) const;
    CKoError ExecLocked(const char* sql);
    void FinalizeAll();

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_put = nullptr;
    sqlite3_stmt* m_get = nullptr;
    sqlite3_stmt* m_removeOne = nullptr;
    sqlite3_stmt* m_removeBelow = nullptr;
    std::string m_path;
    bool m_writing = false;
};
