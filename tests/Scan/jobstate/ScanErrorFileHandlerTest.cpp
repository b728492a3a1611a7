#include <gtest/gtest.h>

#include <unistd.h>

#include "agent/JobClient.h"
#include "core/FaultInjectionEnv.h"
#include "scan/jobstate/ScanErrorFileHandler.h"
#include "support/TestSupport.h"

namespace {

CScanErrorFileData Record(uint32_t id, const std::string& args, uint32_t status) {
    CScanErrorFileData d;
    d.messageId = id;
    d.arguments = args;
    d.jobStatus = status;
    return d;
}

unsigned StatusOf(const std::string& folder) {
    unsigned status = 0;
    EXPECT_TRUE(CScanErrorFileHandler(folder).GetJobStatus(status).IsSuccess());
    return status;
}

TEST(ScanErrorFile, FirstWriteCreatesTheVersionLineLaterOnesAppend) {
    testsupport::ScopedTempDir dir;
    CScanErrorFileHandler h(dir.Path());
    EXPECT_EQ(h.GetFilePath(), dir / "ScanError.zyf");
    EXPECT_EQ(h.getVersion(), 0u);
    ASSERT_TRUE(h.WriteMessage(Record(17, "/data/a|denied", 14)).IsSuccess());
    EXPECT_EQ(h.getVersion(), 1u);
    ASSERT_TRUE(CScanErrorFileHandler(dir.Path()).WriteMessage(Record(18, "", 3)).IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(h.GetFilePath()), "1\r\n17\r\n/data/a|denied\r\n14\r\n18\r\n\r\n3\r\n");
}

TEST(ScanErrorFile, JobStatusRanksThreeOverFourteenOverOne) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "ScanError.zyf", "1\r\n");
    EXPECT_EQ(StatusOf(dir.Path()), 1u);

    struct Case {
        std::vector<uint32_t> statuses;
        unsigned expected;
    } cases[] = {{{14, 3}, 3}, {{3, 14}, 3}, {{1, 14, 1}, 14}, {{14, 7}, 14}, {{7}, 1}, {{3, 1, 14}, 3}};
    for (const Case& c : cases) {
        testsupport::ScopedTempDir folder;
        CScanErrorFileHandler h(folder.Path());
        for (uint32_t s : c.statuses) ASSERT_TRUE(h.WriteMessage(Record(1, "x", s)).IsSuccess());
        EXPECT_EQ(StatusOf(folder.Path()), c.expected) << "first status " << c.statuses[0];
    }
}

TEST(ScanErrorFile, RecordsAreRaisedAsPendingCauses) {
    testsupport::ScopedTempDir dir;
    CScanErrorFileHandler h(dir.Path());
    ASSERT_TRUE(h.WriteMessage(Record(101, "/data/a|13|", 14)).IsSuccess());
    ASSERT_TRUE(h.WriteMessage(Record(102, "", 3)).IsSuccess());
    ASSERT_TRUE(h.WriteMessage(Record(103, "single", 1)).IsSuccess());

    ZYRecordingBkpJobClient client;
    ZYJobStatus status = 0;
    ASSERT_TRUE(h.ReadAndSendScanErrorJPR(status, &client).IsSuccess());
    EXPECT_EQ(status, 3u);
    auto causes = client.getPendingCauses();
    ASSERT_EQ(causes.size(), 3u);
    EXPECT_EQ(causes[0].messageId, 101u);
    EXPECT_EQ(causes[0].args, (std::vector<std::string>{"/data/a", "13", ""}));
    EXPECT_FALSE(causes[0].jobList.has_value());
    EXPECT_FALSE(causes[0].jobListFlag);
    EXPECT_EQ(causes[0].eventMessageType, 300u);
    EXPECT_EQ(causes[0].value1 | causes[0].value2 | causes[0].value3, 0);
    EXPECT_TRUE(causes[0].raiseEvent);
    EXPECT_EQ(causes[0].alertColour | causes[0].flags, 0u);
    EXPECT_EQ(causes[0].extra1 | causes[0].extra2, 0);
    EXPECT_TRUE(causes[1].args.empty());
    EXPECT_EQ(causes[2].args, (std::vector<std::string>{"single"}));

}

TEST(ScanErrorFile, VersionOnlyFileRaisesNothing) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "ScanError.zyf", "1\r\n");
    ZYRecordingBkpJobClient client;
    ZYJobStatus status = 0;
    ASSERT_TRUE(CScanErrorFileHandler(dir.Path()).ReadAndSendScanErrorJPR(status, &client).IsSuccess());
    EXPECT_EQ(status, 1u);
    EXPECT_TRUE(client.getPendingCauses().empty());
}

TEST(ScanErrorFile, ARecordCutShortEndsReadingAndKeepsEarlierOnes) {
    const std::string complete = "1\r\n101\r\na\r\n14\r\n";
    struct Case {
        const char* tail;
        const char* what;
    } cases[] = {
        {"102\r\n", "message id without its arguments"},
        {"102\r\nb\r\n", "arguments without the status"},
        {"102\r\nb\r\n3", "status line without its line end"},
        {"10", "message id line without its line end"},
        {"junk\r\nb\r\n3\r\n", "damaged message id"},
    };
    for (const Case& c : cases) {
        testsupport::ScopedTempDir dir;
        testsupport::WriteFile(dir / "ScanError.zyf", complete + c.tail);
        ZYRecordingBkpJobClient client;
        ZYJobStatus status = 0;
        ASSERT_TRUE(CScanErrorFileHandler(dir.Path()).ReadAndSendScanErrorJPR(status, &client).IsSuccess()) << c.what;
        auto causes = client.getPendingCauses();
        ASSERT_EQ(causes.size(), 1u) << c.what;
        EXPECT_EQ(causes[0].args, std::vector<std::string>{"a"});
        // A status torn from "3" must not count, nor one whose record is incomplete.
        EXPECT_EQ(status, 14u) << c.what;
        EXPECT_TRUE(client.getEvent().getArgs().empty());
    }
}

TEST(ScanErrorFile, LineEndsInsideArgumentsDoNotShiftLaterRecords) {
    testsupport::ScopedTempDir dir;
    CScanErrorFileHandler h(dir.Path());
    ASSERT_TRUE(h.WriteMessage(Record(5, "/data/odd\r\nname|2", 14)).IsSuccess());
    ASSERT_TRUE(h.WriteMessage(Record(6, "next", 3)).IsSuccess());
    ZYRecordingBkpJobClient client;
    ZYJobStatus status = 0;
    ASSERT_TRUE(h.ReadAndSendScanErrorJPR(status, &client).IsSuccess());
    auto causes = client.getPendingCauses();
    ASSERT_EQ(causes.size(), 2u);
    EXPECT_EQ(causes[0].args, (std::vector<std::string>{"/data/odd%0D%0Aname", "2"}));
    EXPECT_EQ(causes[1].messageId, 6u);
    EXPECT_EQ(status, 3u);
}

TEST(ScanErrorFile, LineOperationsThrowAndRecordsTurnThatIntoErrors) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "ScanError.zyf", "1\r\nnot a number\r\nargs\r\n3\r\n");
    CScanErrorFileHandler h(dir.Path());
    ASSERT_TRUE(h.OpenFile(true).IsSuccess());
    EXPECT_EQ(h.getVersion(), 1u);
    CScanErrorFileData d;
    CKoError e = d.Deserialize(h);
    ASSERT_TRUE(FXErrorUtil::IsWin32(e, 774));
    EXPECT_NE(e.GetMessage().find("stoul"), std::string::npos) << e.AsString();
    EXPECT_EQ(d.jobStatus, 3u);  // a failed read leaves the record as it was
    EXPECT_THROW(h >> d.arguments, CKoError);  // at the end: 259
    ASSERT_TRUE(h.CloseFile().IsSuccess());
}

TEST(ScanErrorFile, FailuresToOpenReadOrWriteAreReported) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "ScanError.zyf";
    ZYRecordingBkpJobClient client;
    ZYJobStatus status = 77;
    CKoError e = CScanErrorFileHandler(dir.Path()).ReadAndSendScanErrorJPR(status, &client);
    ASSERT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
    EXPECT_NE(e.AsString().find("Error:Open failed, FileName=" + path), std::string::npos) << e.AsString();
    EXPECT_EQ(status, 77u);

    testsupport::WriteFile(path, "");
    unsigned s = 0;
    e = CScanErrorFileHandler(dir.Path()).GetJobStatus(s);
    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(e.GetMessage().rfind("Failed to read, FileName=" + path, 0), 0u) << e.AsString();

    // Records are buffered until the file is closed; a full disk shows there.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Write, 1, ENOSPC);
    e = CScanErrorFileHandler(dir.Path()).WriteMessage(Record(1, "lost", 3));
    ASSERT_TRUE(FXErrorUtil::IsWin32(e, 774)) << e.AsString();
    EXPECT_EQ(e.GetMessage(), "Failed to write to backing file, Path=" + path + ", error=28");
    env.FailNth(EFaultOp::Open, 1, EACCES);
    e = CScanErrorFileHandler(dir.Path()).WriteMessage(Record(1, "lost", 3));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EACCES)) << e.AsString();
    EXPECT_EQ(e.GetMessage().rfind("Open failed, FileName=" + path, 0), 0u) << e.AsString();
}

// A write that fails half-way, or a crash in the middle of one, never leaves a torn record for
// the records after it to be read out of step with.
TEST(ScanErrorFile, AFailedOrInterruptedWriteLeavesOnlyWholeRecords) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "ScanError.zyf";
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    CScanErrorFileHandler h(dir.Path());
    ASSERT_TRUE(h.WriteMessage(Record(1, "first", 14)).IsSuccess());
    env.FailNth(EFaultOp::Write, 1, ENOSPC, false, true);  // half of the record lands
    EXPECT_TRUE(FXErrorUtil::IsWin32(h.WriteMessage(Record(2, "torn", 3)), 774));
    ASSERT_TRUE(h.WriteMessage(Record(3, "third", 1)).IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(path), "1\r\n1\r\nfirst\r\n14\r\n3\r\nthird\r\n1\r\n");

    // A crash left half a record (or a version line cut short): the next writer cuts it off.
    for (const char* torn : {"1\r\n1\r\nfirst\r\n14\r\n2\r\nto", "1\r\n1\r\nfirst\r\n14\r\n2\r\ntorn\r\n", "1"}) {
        testsupport::WriteFile(path, torn);
        ASSERT_TRUE(CScanErrorFileHandler(dir.Path()).WriteMessage(Record(4, "after", 3)).IsSuccess());
        const std::string expected = std::string(torn) == "1" ? "1\r\n4\r\nafter\r\n3\r\n"
                                                                : "1\r\n1\r\nfirst\r\n14\r\n4\r\nafter\r\n3\r\n";
        EXPECT_EQ(testsupport::ReadFile(path), expected) << torn;
    }
    // And what a record wrote is on disk when WriteMessage returns.
    env.Crash();
    ASSERT_TRUE(env.DropUnsyncedData().IsSuccess());
    EXPECT_EQ(testsupport::ReadFile(path), "1\r\n4\r\nafter\r\n3\r\n");
}

// A whole record that does not parse is passed over; the records after it still count.
TEST(ScanErrorFile, ADamagedRecordIsSkippedAndReadingGoesOn) {
    testsupport::ScopedTempDir dir;
    testsupport::WriteFile(dir / "ScanError.zyf",
                           "1\r\n101\r\na\r\n14\r\nx1\r\nb\r\n3\r\n103\r\nc\r\n1\r\n104\r\nd\r\n99999999999\r\n105\r\ne\r\n3\r\n");
    ZYRecordingBkpJobClient client;
    ZYJobStatus status = 0;
    ASSERT_TRUE(CScanErrorFileHandler(dir.Path()).ReadAndSendScanErrorJPR(status, &client).IsSuccess());
    auto causes = client.getPendingCauses();
    ASSERT_EQ(causes.size(), 3u);
    EXPECT_EQ(causes[0].messageId, 101u);
    EXPECT_EQ(causes[1].messageId, 103u);
    EXPECT_EQ(causes[2].messageId, 105u);
    EXPECT_EQ(status, 3u);
    unsigned s = 0;
    ASSERT_TRUE(CScanErrorFileHandler(dir.Path()).GetJobStatus(s).IsSuccess());
    EXPECT_EQ(s, 3u);
}

}  // namespace
