#include <gtest/gtest.h>

#include <algorithm>

#include "agent/BatchSort.h"
#include "agent/ScanDB.h"
#include "core/Env.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

TEST(ScanDB, RecordsLastOnlyWhenClosedAndCopiesWhole) {
    ScopedTempDir dir;
    ASSERT_TRUE(FXEnv::Current()->CreateDir(dir / "a").IsSuccess());
    ASSERT_TRUE(FXEnv::Current()->CreateDir(dir / "b").IsSuccess());
    std::shared_ptr<ZyScanDBObject> db;
    ASSERT_TRUE(ZyScanDBImports::Default()->CreateScanDBObject(db).IsSuccess());
    ASSERT_TRUE(db->Initialize(dir / "a").IsSuccess());
    ASSERT_TRUE(db->AddDBRecord({1, 10}).IsSuccess());
    ASSERT_TRUE(db->AddDBRecord({2, 20}).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(db->AddDBRecord({1, 11}), 13));
    ASSERT_TRUE(db->UpdateDBRecord({1, 12}).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(db->UpdateDBRecord({3, 1}), 13));
    bool found = false;
    ZyBackupTimeRecord r;
    ASSERT_TRUE(db->CheckDBRecord(1, found, r).IsSuccess());
    EXPECT_TRUE(found);
    EXPECT_EQ(r.ctime, 12);
    ASSERT_TRUE(db->Close().IsSuccess());
    EXPECT_FALSE(db->IsOpen());

    ASSERT_TRUE(db->Copy(dir / "a", dir / "b").IsSuccess());
    ASSERT_TRUE(db->Initialize(dir / "b").IsSuccess());
    ASSERT_TRUE(db->CheckDBRecord(2, found, r).IsSuccess());
    EXPECT_TRUE(found && r.ctime == 20);
    ASSERT_TRUE(db->AddDBRecord({3, 30}).IsSuccess());
    db.reset();  // dropped without Close: the write is not kept
    ASSERT_TRUE(ZyScanDBImports::Default()->CreateScanDBObject(db).IsSuccess());
    ASSERT_TRUE(db->Initialize(dir / "b").IsSuccess());
    ASSERT_TRUE(db->CheckDBRecord(3, found, r).IsSuccess());
    EXPECT_FALSE(found);
    ASSERT_TRUE(db->Close().IsSuccess());
    ASSERT_TRUE(db->Remove(dir / "b").IsSuccess());
    ASSERT_TRUE(db->Remove(dir / "b").IsSuccess());  // nothing there is fine
    std::vector<std::string> left;
    ASSERT_TRUE(FXEnv::Current()->GetChildren(dir / "b", left).IsSuccess());
    EXPECT_TRUE(left.empty());
    EXPECT_TRUE(db->Copy(dir / "missing", dir / "b").IsError());
}

TEST(BatchSort, SortsInRunsAndMerges) {
    ScopedTempDir dir;
    std::string input, expected;
    std::vector<std::string> lines;
    for (int i = 0; i < 5000; ++i) lines.push_back(std::to_string((i * 7919) % 5003) + "\t" + std::to_string(i));
    for (const std::string& l : lines) input += l + "\n";
    std::sort(lines.begin(), lines.end());
    for (const std::string& l : lines) expected += l + "\n";
    WriteFile(dir / "in", input);
    ASSERT_TRUE(ZyBatchSort::SortFile(dir / "in", dir / "out", dir / "work", 4096).IsSuccess());
    EXPECT_EQ(ReadFile(dir / "out"), expected);
    std::vector<std::string> left;
    ASSERT_TRUE(FXEnv::Current()->GetChildren(dir / "work", left).IsSuccess());
    EXPECT_TRUE(left.empty());
    WriteFile(dir / "empty", "");
    ASSERT_TRUE(ZyBatchSort::SortFile(dir / "empty", dir / "out", dir / "work").IsSuccess());
    EXPECT_EQ(ReadFile(dir / "out"), "");
}

}  // namespace
