#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/BackupIndex.h"
#include "agent/SQLiteIdxBrowseClient.h"
#include "support/TestSupport.h"

namespace {

SBackupIndexItem Item(const std::string& path, bool folder = false, int64_t job = 1) {
    SBackupIndexItem item;
    item.path = path;
    item.folder = folder;
    item.modificationTime = 1000;
    item.changeTime = 2000;
    item.size = folder ? 0 : 5;
    item.jobId = job;
    return item;
}

// Path, "/" for folders, " deleted" for deleted items, in browse order.
std::vector<std::string> Browse(const std::string& path, int pageSize = 2) {
    struct Handler : IdxBrowseClientResp {
        bool processResp(CNMessageBase* message) override {
            auto* reply = dynamic_cast<databrowse::BrowseReply*>(message);
            EXPECT_EQ(reply->tagId, ++pages);
            for (const auto& item : reply->items)
                lines.push_back(item.path + (item.folder ? "/" : "") + (item.deleted ? " deleted" : ""));
            return true;
        }
        std::vector<std::string> lines;
        uint64_t pages = 0;
    } handler;
    CSQLiteIdxBrowseClient client(path);
    EXPECT_EQ(client.Initialize(databrowse::BrowseRequest(), &handler, pageSize, nullptr, nullptr), 0);
    EXPECT_EQ(client.Browse(), 0);
    return handler.lines;
}

TEST(BackupIndex, RecordsBrowsesAndDeletesWholeFolders) {
    testsupport::ScopedTempDir dir;
    const std::string path = CSQLiteBackupIndex::DefaultPathFor(dir.Path());
    CSQLiteBackupIndex index;
    ASSERT_TRUE(index.Open(path).IsSuccess());
    ASSERT_TRUE(index.BeginBatch().IsSuccess());
    for (const char* p : {"/a/x", "/a b", "/ab/y", "/a/sub/z", "/top"}) ASSERT_TRUE(index.RecordItem(Item(p)).IsSuccess());
    for (const char* p : {"/", "/a", "/ab", "/a/sub/"}) ASSERT_TRUE(index.RecordItem(Item(p, true)).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(index.RecordItem(Item("relative")), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(index.RecordItem(Item("/a//b")), ZyWin32::ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(index.CommitBatch().IsSuccess());
    // Children of one folder together; folders by path with a trailing "/".
    EXPECT_EQ(Browse(path), (std::vector<std::string>{"//", "/a/", "/a b", "/ab/", "/top", "/a/sub/", "/a/x",
                                                      "/a/sub/z", "/ab/y"}));
    SBackupIndexItem got;
    ASSERT_TRUE(index.GetItem("/a/x", got).IsSuccess());
    EXPECT_EQ(got.dataGuid.size(), 36u);
    EXPECT_EQ(got.modificationTime, 1000);

    // Deleting /a takes what is below it, and nothing of /a b or /ab.
    ASSERT_TRUE(index.RecordDeletion("/a", true, 2).IsSuccess());
    ASSERT_TRUE(index.RecordDeletion("/not/there", false, 2).IsSuccess());
    EXPECT_EQ(Browse(path, 100), (std::vector<std::string>{"//", "/a/ deleted", "/a b", "/ab/", "/top",
                                                           "/a/sub/ deleted", "/a/x deleted", "/a/sub/z deleted",
                                                           "/ab/y"}));
    // An item backed up again is no longer deleted.
    ASSERT_TRUE(index.RecordItem(Item("/a/x", false, 3)).IsSuccess());
    ASSERT_TRUE(index.GetItem("/a/x", got).IsSuccess());
    EXPECT_FALSE(got.deleted);
    EXPECT_EQ(got.jobId, 3);
    uint64_t live = 0, deleted = 0;
    ASSERT_TRUE(index.CountItems(live, deleted).IsSuccess());
    EXPECT_EQ(live, 6u);
    EXPECT_EQ(deleted, 3u);
    EXPECT_TRUE(FXErrorUtil::IsWin32(index.GetItem("/none", got), ZyWin32::ERROR_NOT_FOUND));
}

TEST(BackupIndex, AKilledBatchLeavesNothingBehind) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "index.db";
    {
        CSQLiteBackupIndex index;
        ASSERT_TRUE(index.Open(path).IsSuccess());
        ASSERT_TRUE(index.BeginBatch().IsSuccess());
        ASSERT_TRUE(index.RecordItem(Item("/kept")).IsSuccess());
        ASSERT_TRUE(index.CommitBatch().IsSuccess());
    }
    // A backup that dies between two checkpoints: its open batch must not show.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSQLiteBackupIndex index;
        if (index.Open(path).IsError() || index.BeginBatch().IsError()) _exit(2);
        for (int i = 0; i < 1000; ++i)
            if (index.RecordItem(Item("/lost" + std::to_string(i))).IsError()) _exit(3);
        if (index.RecordDeletion("/kept", false, 9).IsError()) _exit(4);
        _exit(0);  // no commit, no destructor
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Browse(path), (std::vector<std::string>{"/kept"}));

    CSQLiteBackupIndex index;
    ASSERT_TRUE(index.Open(path).IsSuccess());
    ASSERT_TRUE(index.BeginBatch().IsSuccess());
    ASSERT_TRUE(index.RecordItem(Item("/rolled")).IsSuccess());
    index.RollbackBatch();
    EXPECT_TRUE(index.CommitBatch().IsError());
    EXPECT_EQ(Browse(path), (std::vector<std::string>{"/kept"}));
}

TEST(BackupIndex, DamageGivesAnErrorPageAndAFailedBrowse) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "junk.db", std::string(8192, '\x5a'));
    CSQLiteBackupIndex junk;
    CKoError e = junk.Open(dir / "junk.db", false);
    EXPECT_NE(e.AsString().find("backup index is damaged or is not such a database"), std::string::npos)
        << e.AsString();
    EXPECT_TRUE(FXErrorUtil::IsWin32(CSQLiteBackupIndex().Open(dir / "missing.db", false), ZyWin32::ERROR_FILE_NOT_FOUND));

    const std::string path = dir / "index.db";
    {
        CSQLiteBackupIndex index;
        ASSERT_TRUE(index.Open(path).IsSuccess());
        for (const char* p : {"/a", "/b", "/c"}) ASSERT_TRUE(index.RecordItem(Item(p)).IsSuccess());
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO items(parent, name) VALUES(CAST('/b/' AS BLOB), CAST('x/y' AS BLOB))",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    struct Handler : IdxBrowseClientResp {
        bool processResp(CNMessageBase* message) override {
            auto* reply = dynamic_cast<databrowse::BrowseReply*>(message);
            statuses.push_back(reply->status);
            items += reply->items.size();
            return stopAt < 0 || static_cast<int>(statuses.size()) < stopAt;
        }
        std::vector<int> statuses;
        size_t items = 0;
        int stopAt = -1;
    } handler;
    CSQLiteIdxBrowseClient client(path);
    ASSERT_EQ(client.Initialize(databrowse::BrowseRequest(), &handler, 2, nullptr, nullptr), 0);
    EXPECT_EQ(client.Browse(), CSQLiteIdxBrowseClient::kReadFailed);
    EXPECT_EQ(handler.statuses, (std::vector<int>{0, databrowse::BROWSE_STATUS_ERROR}));
    EXPECT_NE(client.GetLastError().AsString().find("backup index is damaged"), std::string::npos);

    Handler stopping;
    stopping.stopAt = 1;
    ASSERT_EQ(client.Initialize(databrowse::BrowseRequest(), &stopping, 2, nullptr, nullptr), 0);
    EXPECT_EQ(client.Browse(), IdxBrowseClient::kBrowseStoppedByHandler);
    EXPECT_EQ(stopping.statuses.size(), 1u);

    CSQLiteIdxBrowseClient missing(dir / "none.db");
    EXPECT_EQ(missing.Initialize(databrowse::BrowseRequest(), &handler, 2, nullptr, nullptr),
              CSQLiteIdxBrowseClient::kOpenFailed);
}

}  // namespace
