// Stand-in for the content index: what the backups of a subclient hold, one record per item
// (path, folder mark, modification and change times, size, data GUID, the job that wrote it, and
// whether a later job deleted it). Kept in SQLite, by default "BackupIndex.db" in the job-results
// folder; the index browse (SQLiteIdxBrowseClient.h) answers TrueUp's questions from it.
//
// The backup records each item it backed up and each deletion it applied, in batches that it
// aligns with its own checkpoints:
//
//   BeginBatch(); RecordItem(...)...; RecordDeletion(...)...; CommitBatch();
//
// A batch is one transaction, durable when CommitBatch returns; a batch that is not committed
// (the backup was killed, RollbackBatch, or the object went) leaves nothing behind. So that the
// index never claims an item the backup copy lacks, the backup:
//   - records an item only once its copy is durable, and commits the batch at the checkpoint that
//     makes those copies durable (before it records the checkpoint's restart offsets);
//   - commits a deletion before it removes the item from its copy.
// A killed backup can then only leave the index holding less than the copy, which TrueUp reports
// as new items to back up again, never the other way round.
//
// Order: items are kept by parent folder and name, which is also the browse order: the children
// of one folder are contiguous, folders by their path with a trailing "/" compared as bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"

class CSQLiteDatabase;
class CSQLiteStatement;

struct SBackupIndexItem {
    std::string path;  // absolute, without trailing "/" (but "/" for the root)
    bool folder = false;
    int64_t modificationTime = 0;  // Unix seconds
    int64_t changeTime = 0;        // Unix seconds
    uint64_t size = 0;
    std::string dataGuid;  // empty: the index makes one
    int64_t jobId = 0;
    bool adhoc = false;
    bool deleted = false;  // read only: set by RecordDeletion
};

// Where a browse of the index goes on from: after the item it last returned.
struct SBackupIndexPosition {
    std::string parentKey;
    std::string name;
    bool started = false;
};

class CSQLiteBackupIndex {
public:
    static constexpr const char* kDefaultFileName = "BackupIndex.db";
    static constexpr int kFormat = 1;
    static std::string DefaultPathFor(const std::string& jobResultsFolder);

    CSQLiteBackupIndex();
    ~CSQLiteBackupIndex();
    CSQLiteBackupIndex(const CSQLiteBackupIndex&) = delete;
    CSQLiteBackupIndex& operator=(const CSQLiteBackupIndex&) = delete;

    // `create`: a missing index is created empty. A file that is not such an index, or one of a
    // newer format, is refused with a message that names it.
    CKoError Open(const std::string& path, bool create = true, int busyTimeoutMs = 10000);
    void Close();
    const std::string& GetPath() const { return m_path; }

    CKoError BeginBatch();
    // Adds the item or replaces its record (a deleted item that comes back is no longer deleted).
    // Outside a batch the call is its own transaction.
    CKoError RecordItem(const SBackupIndexItem& item);
    // Marks the item deleted by `jobId`; a folder takes everything below it along. An item the
    // index does not hold is no error.
    CKoError RecordDeletion(const std::string& path, bool folder, int64_t jobId);
    CKoError CommitBatch();
    void RollbackBatch();
    bool IsInBatch() const { return m_inBatch; }

    // Up to `max` items after `position` in browse order (deleted ones included, marked), and
    // `position` moved past them. Fewer than `max` means the end was reached. A record of the
    // wrong shape is Win32 13 with a message that names the index.
    CKoError ReadPage(SBackupIndexPosition& position, size_t max, std::vector<SBackupIndexItem>& items);
    // Win32 1168 when the index holds no record of the path.
    CKoError GetItem(const std::string& path, SBackupIndexItem& item);
    CKoError CountItems(uint64_t& live, uint64_t& deleted);

private:
    CKoError RequireOpen(const FXCodeLocation& here) const;
    CKoError RecordItemLocked(const SBackupIndexItem& item);
    CKoError ReadRow(CSQLiteStatement& row, SBackupIndexItem& item, std::string& parentKey, std::string& name);
    std::string NewGuid();

    std::unique_ptr<CSQLiteDatabase> m_db;
    std::unique_ptr<CSQLiteStatement> m_upsert, m_deleteOne, m_deleteBelow, m_page, m_get;
    std::string m_path;
    bool m_inBatch = false;
    uint64_t m_guidCounter = 0;
    uint64_t m_guidSeed[2] = {0, 0};
};
