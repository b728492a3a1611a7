// The backup index as backups record it: shared by reader threads, batches committed only at
// checkpoints, deletions durable before the mirror loses anything.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "agent/BackupIndex.h"
#include "scan/job/BackupIndexRecorder.h"
#include "support/TestSupport.h"

namespace {

struct stat FileStat(int64_t mtime, int64_t ctime, off_t size, bool folder = false) {
    struct stat st {};
    st.st_mode = folder ? S_IFDIR | 0755 : S_IFREG | 0644;
    st.st_mtim.tv_sec = mtime;
    st.st_ctim.tv_sec = ctime;
    st.st_size = size;
    return st;
}

// What another process sees: only committed records.
void Count(const std::string& results, uint64_t& live, uint64_t& deleted) {
    CSQLiteBackupIndex index;
    ASSERT_TRUE(index.Open(CSQLiteBackupIndex::DefaultPathFor(results), false).IsSuccess());
    ASSERT_TRUE(index.CountItems(live, deleted).IsSuccess());
}

TEST(BackupIndexRecorderThreads, ReadersShareOneRecorderAndCheckpointsCommitForAll) {
    testsupport::ScopedTempDir dir;
    CBackupIndexRecorder recorder;
    ASSERT_TRUE(recorder.Open(dir.Path(), 7, {"/data"}).IsSuccess());
    constexpr int kThreads = 4, kItems = 600;
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t)
        readers.emplace_back([&recorder, t] {
            const std::string folder = "/data/t" + std::to_string(t);
            EXPECT_TRUE(recorder.RecordCopied(folder, FileStat(1, 1, 0, true)).IsSuccess());
            for (int i = 0; i < kItems; ++i) {
                EXPECT_TRUE(recorder.RecordCopied(folder + "/f" + std::to_string(i), FileStat(i, i, i)).IsSuccess());
                if (i % 50 == 49) {
                    EXPECT_TRUE(recorder.Checkpoint().IsSuccess());
                }
                if (i % 100 == 99) {
                    EXPECT_TRUE(recorder.RecordDeletion(folder + "/f" + std::to_string(i - 1), false).IsSuccess());
                }
            }
        });
    for (std::thread& t : readers) t.join();
    ASSERT_TRUE(recorder.Close().IsSuccess());
    EXPECT_EQ(recorder.GetRecorded(), static_cast<uint64_t>(kThreads * (kItems + 1)));
    uint64_t live = 0, deleted = 0;
    Count(dir.Path(), live, deleted);
    EXPECT_EQ(deleted, static_cast<uint64_t>(kThreads * kItems / 100));
    EXPECT_EQ(live + deleted, static_cast<uint64_t>(kThreads * (kItems + 1)));

    CSQLiteBackupIndex index;
    ASSERT_TRUE(index.Open(CSQLiteBackupIndex::DefaultPathFor(dir.Path()), false).IsSuccess());
    SBackupIndexItem item;
    ASSERT_TRUE(index.GetItem("/data/t2/f321", item).IsSuccess());
    EXPECT_EQ(item.modificationTime, 321);
    EXPECT_EQ(item.size, 321u);
    EXPECT_EQ(item.jobId, 7);
}

// A recorder that is never closed stands for a killed backup.
TEST(BackupIndexRecorder, OnlyCommittedRecordsSurviveAndDeletionsCommitAtOnce) {
    testsupport::ScopedTempDir dir;
    uint64_t live = 0, deleted = 0;
    {
        CBackupIndexRecorder recorder;
        ASSERT_TRUE(recorder.Open(dir.Path(), 1, {"/data"}).IsSuccess());
        // Folders above the root (the scan lists them) and other paths are not the backups' content.
        ASSERT_TRUE(recorder.RecordCopied("/", FileStat(1, 1, 0, true)).IsSuccess());
        ASSERT_TRUE(recorder.RecordCopied("/database", FileStat(1, 1, 5)).IsSuccess());
        ASSERT_TRUE(recorder.RecordCopied("/data", FileStat(1, 1, 0, true)).IsSuccess());
        ASSERT_TRUE(recorder.RecordCopied("/data/a", FileStat(1, 1, 3)).IsSuccess());
        ASSERT_TRUE(recorder.Checkpoint().IsSuccess());
        ASSERT_TRUE(recorder.RecordCopied("/data/b", FileStat(1, 1, 3)).IsSuccess());
    }
    Count(dir.Path(), live, deleted);
    EXPECT_EQ(live, 2u) << "a record not committed survived, or one committed was lost";
    {
        CBackupIndexRecorder recorder;
        ASSERT_TRUE(recorder.Open(dir.Path(), 2, {"/data"}).IsSuccess());
        ASSERT_TRUE(recorder.RecordCopied("/data/c", FileStat(1, 1, 3)).IsSuccess());
        // Committed before the caller removes the item from the mirror; it takes the batch
        // (items already in the mirror) along.
        ASSERT_TRUE(recorder.RecordDeletion("/data/a", false).IsSuccess());
        ASSERT_TRUE(recorder.RecordCopied("/data/d", FileStat(1, 1, 3)).IsSuccess());
    }
    Count(dir.Path(), live, deleted);
    EXPECT_EQ(live, 2u);  // /data and /data/c
    EXPECT_EQ(deleted, 1u);
}

TEST(BackupIndexRecorder, AFileWhereAFolderWasTakesTheFoldersContentAlong) {
    testsupport::ScopedTempDir dir;
    CBackupIndexRecorder recorder;
    ASSERT_TRUE(recorder.Open(dir.Path(), 1, {"/data"}).IsSuccess());
    ASSERT_TRUE(recorder.RecordCopied("/data/x", FileStat(1, 1, 0, true)).IsSuccess());
    ASSERT_TRUE(recorder.RecordCopied("/data/x/in", FileStat(1, 1, 1)).IsSuccess());
    ASSERT_TRUE(recorder.RecordCopied("/data/x/deeper", FileStat(1, 1, 0, true)).IsSuccess());
    ASSERT_TRUE(recorder.RecordCopied("/data/x/deeper/in", FileStat(1, 1, 1)).IsSuccess());
    ASSERT_TRUE(recorder.RecordCopied("/data/x0", FileStat(1, 1, 1)).IsSuccess());
    ASSERT_TRUE(recorder.RecordCopied("/data/x", FileStat(2, 2, 9)).IsSuccess());
    ASSERT_TRUE(recorder.Close().IsSuccess());
    uint64_t live = 0, deleted = 0;
    Count(dir.Path(), live, deleted);
    EXPECT_EQ(live, 2u);     // the file /data/x, and /data/x0 (a name that only begins alike)
    EXPECT_EQ(deleted, 3u);  // everything that was below the folder
}

TEST(BackupIndexRecorder, ADamagedIndexIsRefusedByName) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(CSQLiteBackupIndex::DefaultPathFor(dir.Path()), std::string(8192, 'x'));
    CBackupIndexRecorder recorder;
    CKoError e = recorder.Open(dir.Path(), 1, {"/data"});
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("The backup index cannot be used; move it away"), std::string::npos) << e.AsString();
    EXPECT_NE(e.AsString().find("BackupIndex.db"), std::string::npos);
    EXPECT_TRUE(recorder.RecordCopied("/data/a", FileStat(1, 1, 1)).IsError());
    EXPECT_TRUE(recorder.RecordDeletion("/data/a", false).IsError());
}

}  // namespace
