#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>

#include "agent/RecordingJobManager.h"
#include "core/Path.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/ScanCommitJobs.h"
#include "support/CrashEnv.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kServer = "commit-test";
constexpr int64_t kCommitJob = 7;
constexpr long kIncremental = 2;

class ScanCommitJobsTest : public ::testing::Test {
protected:
    ScanCommitJobsTest() : m_jm(std::make_shared<CRecordingJobManager>()), m_registered(kServer, m_jm) {}

    ScanCommitJobs Make(long level = kIncremental, bool carryForward = false, int64_t commitKey = 1,
                        int64_t synthKey = 0) {
        return ScanCommitJobs(kServer, 8, commitKey, synthKey, kCommitJob, level, m_dir.Path(),
                              EDirChangeMethod::DIRCHANGE_METHOD_FILE, m_dir / "DCInc.zyf", carryForward);
    }
    void RestartString(const std::string& text) {
        SJobManagerJob job;
        job.jobId = kCommitJob;
        job.disposition = EJobDisposition::Committed;
        job.restartString = text;
        m_jm->Preset(job);
    }
    // Three collect files of the committed job, a restart map listing them, its DirChange, and
    // a restart string: file 1 read up to its third line, file 2 done, file 3 not started.
    void CommittedJob() {
        WriteFile(m_dir / "CollectInc1.zyf", "*?\?/d/a1\n*?\?/d/a2\n*?\?/d/a3\r\n/\n\n*?\?/d/a4\n");
        WriteFile(m_dir / "CollectInc2.zyf", "*?\?/d/b1\n");
        WriteFile(m_dir / "CollectInc3.zyf", "*?\?/d/c1\n\\\n*?\?/d/c2");
        ASSERT_TRUE(ScanCommitJobs::WriteRestartMapFile(m_dir / "restartMapInc", {{1, 0}, {2, 0}, {3, 0}}).IsSuccess());
        WriteFile(m_dir / "DCInc.zyf", "/d/\n\ta1\n");
        RestartString(ScanCommitJobs::FormatRestartString({{1, 18}, {2, ScanCommitJobs::kSkipFile}, {3, 0}}));
    }
    static constexpr const char* kExpectedTail = "*?\?/d/a3\n*?\?/d/a4\n*?\?/d/c1\n*?\?/d/c2\n";

    ScopedTempDir m_dir;
    std::shared_ptr<CRecordingJobManager> m_jm;
    ZYScopedJobManager m_registered;
};

TEST_F(ScanCommitJobsTest, TheCommitFileHoldsTheUnreadTailsAndTheRetryCollect) {
    CommittedJob();
    WriteFile(m_dir / "FailedFileRetryCollect.zyf", "*?\?/d/unreadable\n");
    WriteFile(m_dir / "Commit_J3_Collect.zyf", "old");
    WriteFile(m_dir / "Commit_J3_DirChange.zyf", "old");
    WriteFile(m_dir / "Commit_J5_DirChange.db", "old");
    WriteFile(m_dir / "CommitTemp.zyf", "left by a crash");
    ScanCommitJobs commit = Make();
    CKoError e = commit.CreateCommitFile();
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();

    EXPECT_EQ(commit.GetCommitFileName(), m_dir / "Commit_J7_Collect.zyf");
    EXPECT_EQ(ReadFile(commit.GetCommitFileName()), std::string(kExpectedTail) + "*?\?/d/unreadable\n");
    EXPECT_EQ(commit.GetCommitDirChangeFileName(), m_dir / "Commit_J7_DirChange.zyf");
    EXPECT_EQ(ReadFile(commit.GetCommitDirChangeFileName()), "/d/\n\ta1\n");
    for (const char* gone : {"Commit_J3_Collect.zyf", "Commit_J3_DirChange.zyf", "Commit_J5_DirChange.db",
                             "CommitTemp.zyf"})
        EXPECT_FALSE(FXPath::DoesPathExist(m_dir / gone)) << gone;
    EXPECT_EQ(m_jm->Calls(), std::vector<std::string>{"GetJob 7"});

    // A restarted job reuses the pair without asking again or reading the collect files.
    ASSERT_EQ(std::remove((m_dir / "CollectInc1.zyf").c_str()), 0);
    ASSERT_TRUE(Make().CreateCommitFile().IsSuccess());
    EXPECT_EQ(m_jm->Calls().size(), 1u);
    // An incomplete pair is rebuilt (and now fails on the missing collect file).
    ASSERT_EQ(std::remove((m_dir / "Commit_J7_DirChange.zyf").c_str()), 0);
    e = Make().CreateCommitFile();
    EXPECT_NE(e.AsString().find("Failed to open file, FileName=[" + (m_dir / "CollectInc1.zyf") + "]"), std::string::npos)
        << e.AsString();
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "Commit_J7_Collect.zyf"));
}

TEST_F(ScanCommitJobsTest, UncommittedLinesReachTheScanButNotDeletionsOfItemsThatCameBack) {
    const std::string back = m_dir / "back";
    ASSERT_EQ(::mkdir(back.c_str(), 0755), 0);
    WriteFile(m_dir / "restartMapInc", "1 0\n");
    WriteFile(m_dir / "DCInc.zyf", "");
    WriteFile(m_dir / "CollectInc1.zyf",
              "*?\?/d/x\n??D" + back + "/\n??d" + m_dir.Path() + "/gone|<X>1\n??D" + back + "|x\n/dd" + back.substr(1) +
                  "\n");
    RestartString("-o 1|0");
    ScanCommitJobs commit = Make();
    ASSERT_TRUE(commit.CreateCommitFile().IsSuccess());

    std::vector<std::string> lines;
    UncommittedCallback collect = [&](const std::string& line) {
        lines.push_back(line);
        return CKoError::Success();
    };
    ASSERT_TRUE(commit.ProcessUncommittedItems(&collect).IsSuccess());
    // "/dd<path>" is a path without start characters, never a deletion of <path>.
    const std::vector<std::string> expected{"*?\?/d/x", "??d" + m_dir.Path() + "/gone|<X>1", "/dd" + back.substr(1)};
    EXPECT_EQ(lines, expected);
    ASSERT_TRUE(commit.ProcessUncommittedItems(nullptr).IsSuccess());

    UncommittedCallback failing = [&](const std::string&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED, "quit");
    };
    EXPECT_TRUE(FXErrorUtil::IsWin32(commit.ProcessUncommittedItems(&failing), ZyWin32::ERROR_OPERATION_ABORTED));

    // Appended to a stream, and to a seam file, the same lines.
    const std::string target = m_dir / "CollectInc9.zyf";
    FILE* f = std::fopen(target.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("*?\?/d/first\n", f);
    ASSERT_TRUE(commit.AppendCommitFileToThisFile(f, target).IsSuccess());
    std::fclose(f);
    std::string text = "*?\?/d/first\n";
    for (const std::string& l : expected) text += l + "\n";
    EXPECT_EQ(ReadFile(target), text);
    std::unique_ptr<FXWritableFile> w;
    ASSERT_TRUE(FXEnv::Current()->NewWritableFile(target, EWriteMode::Truncate, w).IsSuccess());
    ASSERT_TRUE(commit.AppendCommitFileToThisFile(w.get(), target).IsSuccess());
    ASSERT_TRUE(w->Close().IsSuccess());
    EXPECT_EQ(ReadFile(target), text.substr(12));
    EXPECT_TRUE(FXErrorUtil::IsWin32(commit.AppendCommitFileToThisFile(static_cast<FILE*>(nullptr), "x"),
                                     ZyWin32::ERROR_INVALID_PARAMETER));
}

TEST_F(ScanCommitJobsTest, RestartOffsetsComeFromTheMapAndTheRestartString) {
    WriteFile(m_dir / "restartMapInc", "3 0\n4 55\n7 0\n8 -1\n3 99\nnot a line\n9\n2147483648 1\n 5\t12 trailing\n");
    ScanCommitJobs commit = Make();
    ASSERT_TRUE(commit.FindOffsetDataFromRestartMapFile().IsSuccess());
    auto offsetOf = [&](int id) { return commit.GetRestartEntries().at(id).GetRestartOffset(); };
    ASSERT_EQ(commit.GetRestartEntries().size(), 5u);
    EXPECT_EQ(offsetOf(3), -1);  // 0: the whole file; the second line for 3 is ignored
    EXPECT_EQ(offsetOf(4), 55);
    EXPECT_EQ(offsetOf(7), -1);
    EXPECT_EQ(offsetOf(8), -999);  // -1: nothing uncommitted
    EXPECT_EQ(offsetOf(5), 12);
    EXPECT_EQ(commit.GetRestartEntries().at(4).GetCollectFilePath(), m_dir / "CollectInc4.zyf");

    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(commit.ParseRestartString("-o 3|100@ 4|-1 @11|5:-o 7|1").IsSuccess());
    EXPECT_EQ(offsetOf(3), 100);
    EXPECT_EQ(offsetOf(4), -999);
    EXPECT_EQ(offsetOf(7), -1);  // after the colon: ignored
    EXPECT_TRUE(log.Log().Contains("Ignoring the restart offset for the collect file id [11]"));
    ASSERT_TRUE(commit.ParseRestartString("-o 5|0x10 -o 7|2").IsSuccess());
    EXPECT_EQ(offsetOf(5), 16);
    EXPECT_EQ(offsetOf(7), 2);

    CKoError e = commit.ParseRestartString("-o 3|1@4");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA));
    EXPECT_NE(e.AsString().find("SearchString=[3|1@4], Item=[1]"), std::string::npos) << e.AsString();

    ScanCommitJobs full(kServer, 8, 1, 0, kCommitJob, 64, m_dir.Path(), EDirChangeMethod::DIRCHANGE_METHOD_FILE,
                        m_dir / "DCTot.zyf", false);
    e = full.FindOffsetDataFromRestartMapFile();
    EXPECT_NE(e.AsString().find("Failed to open file " + (m_dir / "restartMapTot") + " for reading"), std::string::npos)
        << e.AsString();
}

TEST_F(ScanCommitJobsTest, FetchFailuresSayWhichStepFailed) {
    CommittedJob();
    RestartString("");
    CKoError e = Make().CreateCommitFile();
    EXPECT_NE(e.AsString().find("Restart string is empty for the committed job, CommitJobId=[7]"), std::string::npos)
        << e.AsString();
    ScanCommitJobs elsewhere("no-server", 8, 1, 0, kCommitJob, kIncremental, m_dir.Path(),
                             EDirChangeMethod::DIRCHANGE_METHOD_FILE, m_dir / "DCInc.zyf", false);
    e = elsewhere.CreateCommitFile();
    EXPECT_NE(e.AsString().find("Failed to Init Job Client for committed job, CommitJobId=[7]"), std::string::npos);
    EXPECT_NE(e.AsString().find("Failed to get restart string"), std::string::npos);
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "Commit_J7_Collect.zyf"));
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "CommitTemp.zyf"));
}

TEST_F(ScanCommitJobsTest, ACrashAnywhereLeavesNoCommitFileThatWouldBeReused) {
    CommittedJob();
    const std::string expected = kExpectedTail;
    for (int crashAfter = 0;; ++crashAfter) {
        testsupport::CrashEnv env;
        env.CrashAfter(crashAfter);
        env.SkipSyncs(true);
        {
            FXScopedEnv scoped(&env);
            Make().CreateCommitFile().IgnoreError();
        }
        // Whatever is left, the next attempt ends with the complete file.
        CKoError e = Make().CreateCommitFile();
        ASSERT_TRUE(e.IsSuccess()) << crashAfter << ": " << e.AsString();
        EXPECT_EQ(ReadFile(m_dir / "Commit_J7_Collect.zyf"), expected) << "crash after " << crashAfter;
        EXPECT_EQ(ReadFile(m_dir / "Commit_J7_DirChange.zyf"), "/d/\n\ta1\n") << "crash after " << crashAfter;
        if (!env.Crashed()) break;
        for (const char* name : {"Commit_J7_Collect.zyf", "Commit_J7_DirChange.zyf"})
            ASSERT_EQ(std::remove((m_dir / name).c_str()), 0);
    }
}

TEST_F(ScanCommitJobsTest, ADirChangeLeftPendingIsPutInPlace) {
    CommittedJob();
    ASSERT_EQ(std::rename((m_dir / "DCInc.zyf").c_str(), (m_dir / "DCTmp.zyf").c_str()), 0);
    ASSERT_TRUE(Make().CreateCommitFile().IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "DCInc.zyf"), "/d/\n\ta1\n");
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "DCTmp.zyf"));
    EXPECT_EQ(ReadFile(m_dir / "Commit_J7_DirChange.zyf"), "/d/\n\ta1\n");
}

TEST(ScanCommitJobs, CollectFilesAreCarriedForwardForASyntheticFullInTheirOwnFolder) {
    ScopedTempDir root;
    // A results folder whose own name holds the prefix: only file names change.
    const std::string folder = root / "CollectIncResults";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    WriteFile(folder + "/CollectInc1.zyf", "*?\?/a\n");
    WriteFile(folder + "/CollectInc2.zyf", "*?\?/b\n");
    WriteFile(folder + "/restartMapInc", "1 0\n2 0\n");
    ASSERT_EQ(::mkdir((folder + "/CollectInc3.zyf").c_str(), 0755), 0);  // a folder: not copied
    WriteFile(folder + "/FileExtentEligibleNumColInc1.zyf", "e\n");

    struct Case {
        bool flag;
        long level;
        int64_t commitKey, synthKey;
        bool carried;
    } cases[] = {{false, 2, 1, 5, false}, {true, 1, 1, 5, false}, {true, 2, 6, 5, false}, {true, 2, 5, 5, true}};
    for (const Case& c : cases) {
        ScanCommitJobs commit("s", 8, c.commitKey, c.synthKey, 7, c.level, folder,
                              EDirChangeMethod::DIRCHANGE_METHOD_FILE, folder + "/DCInc.zyf", c.flag);
        // The carry-forward is the first step of the commit; the rest fails here (no job manager).
        commit.CreateCommitFile().IgnoreError();
        EXPECT_EQ(FXPath::DoesPathExist(folder + "/CollectTot1.zyf"), c.carried) << c.flag << c.level << c.commitKey;
        if (!c.carried) continue;
        EXPECT_EQ(ReadFile(folder + "/CollectTot2.zyf"), "*?\?/b\n");
        EXPECT_EQ(ReadFile(folder + "/restartMapTot"), "1 0\n2 0\n");
        EXPECT_FALSE(FXPath::DoesPathExist(root / "CollectTotResults"));
        EXPECT_FALSE(FXPath::DoesPathExist(folder + "/CollectTot3.zyf"));
        ASSERT_TRUE(commit.RenameFileExtentEligibleCollects().IsSuccess());
        EXPECT_EQ(ReadFile(folder + "/FileExtentEligibleNumColTot1.zyf"), "e\n");
        EXPECT_EQ(ReadFile(folder + "/FileExtentEligibleNumColInc1.zyf"), "e\n");  // copied, not moved
    }
}

TEST(ScanCommitJobs, ExtentLinesBecomeLinesOfTheirFile) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"*?\?/d/f|<FEI>0|<FEN>3|<SIZE>9", "*?\?/d/f|<SIZE>9|<FEI>1"},
        {"*?\?/d/f:2|<fei>2|<VG>g|<CTIME>5|<FES>7\r\n", "*?\?/d/f|<FEI>1"},
        {"*?\?/d/f:x|<FEI>2", "*?\?/d/f:x|<FEI>1"},
        {"*?\?/d/f:3|<FEI>1", "*?\?/d/f:3|<FEI>1"},
        {"", "|<FEI>1"},
    };
    for (const Case& c : cases) {
        std::string line = c.in;
        ScanCommitJobs::ConvertFileExtentEntryToRegularCollectEntry(line);
        EXPECT_EQ(line, c.out) << c.in;
    }
}

TEST(ScanCommitJobs, NamesFollowTheCommittedJobsLevel) {
    for (long level : {1L, 64L, 128L, 16384L, 2L, 0L, 4L}) {
        ScanCommitJobs c("s", 1, 0, 0, 42, level, "/jr", EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER, "/jr/DCTot.zyf",
                         false);
        bool full = level == 1 || level == 64 || level == 128 || level == 16384;
        EXPECT_EQ(c.IsCommitJobTypeFull(), full) << level;
        EXPECT_EQ(c.GetCommitFileName(), "/jr/Commit_J42_Collect.zyf");
        EXPECT_EQ(c.GetCommitDirChangeDatabaseName(), "/jr/Commit_J42_DirChange.db");
    }
    EXPECT_EQ(ScanCommitJobs::CreateDirChangeContainerNameFromFileName("/jr/DCTot.zyf"), "/jr/DirChangeFull.db");
    EXPECT_EQ(ScanCommitJobs::CreateDirChangeContainerNameFromFileName("/jr/dcinc.ZYF"), "/jr/DirChangeIncremental.db");
    EXPECT_EQ(ScanCommitJobs::CreateDirChangeContainerNameFromFileName("/jr/Other.zyf"), "/jr/Other.zyf");
    EXPECT_EQ(ScanCommitJobs::CollectFileName(false, 3), "CollectInc3.zyf");
    EXPECT_EQ(ScanCommitJobs::RestartMapFileName(true), "restartMapTot");
    EXPECT_EQ(ScanCommitJobs::FormatRestartString({}), "");
    EXPECT_EQ(ScanCommitJobs::FormatRestartString({{2, -999}, {1, 40}}), "-o 1|40@2|-1");
}

}  // namespace
