// What a backup tells the backup index (agent/BackupIndex.h) beside its job-results folder: each
// item it put in the mirror, and each deletion it applies. Reader threads share one recorder.
//
// The index must never claim an item the mirror lacks, and a backup that restarts from its
// restart offsets must leave it exact. So:
//   - RecordCopied is called once the item is in the mirror; the records wait in one open batch
//     (a transaction), committed by Checkpoint, which the backup calls before it records restart
//     offsets, and by Close. A killed backup loses only uncommitted records, of items its restart
//     copies (and records) again.
//   - RecordDeletion commits before it returns, and the caller removes the item from the mirror
//     only then.
// A batch is also committed when it holds kMaxBatch records, to bound the index's journal.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/KoError.h"

class CSQLiteBackupIndex;

class CBackupIndexRecorder {
public:
    static constexpr unsigned kMaxBatch = 50000;

    CBackupIndexRecorder();
    ~CBackupIndexRecorder();
    CBackupIndexRecorder(const CBackupIndexRecorder&) = delete;
    CBackupIndexRecorder& operator=(const CBackupIndexRecorder&) = delete;

    // Opens (or creates) the index of `resultsDir`. Items are recorded for `jobId`, and only those
    // at or below one of `roots` (the scan also lists the folders above its roots: the backups
    // hold what lies below the roots).
    CKoError Open(const std::string& resultsDir, int64_t jobId, std::vector<std::string> roots);
    bool IsOpen() const { return m_open.load(); }

    // `st` is the source's status as the mirror copied it.
    CKoError RecordCopied(const std::string& path, const struct stat& st);
    // Durable when it returns. A folder takes everything below it along.
    CKoError RecordDeletion(const std::string& path, bool folder);
    // Commits the open batch.
    CKoError Checkpoint();
    // Commits what is left and closes the index.
    CKoError Close();

    uint64_t GetRecorded() const;
    uint64_t GetDeletions() const;

private:
    CKoError EnsureBatchLocked();
    CKoError CommitLocked();

    mutable std::mutex m_mutex;
    std::unique_ptr<CSQLiteBackupIndex> m_index;
    std::vector<std::string> m_roots;
    int64_t m_jobId = 0;
    std::atomic<bool> m_open{false};
    unsigned m_inBatch = 0;
    uint64_t m_recorded = 0, m_deletions = 0;
};
