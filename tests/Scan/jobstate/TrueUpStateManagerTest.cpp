#include <gtest/gtest.h>

#include <sys/stat.h>

#include "scan/jobstate/TrueUpStateManager.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

TEST(TrueUpStateManager, TheRecordRoundTripsAndKeepsWhatElseTheFileHolds) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "TrueUpState.xml";
    TrueUpStateManager saved(12, 9, 2, 1700000000123ull, true, true);
    EXPECT_FALSE(saved.queryIndex);
    saved.queryIndex = true;
    ASSERT_TRUE(saved.SaveStatetoDoc(path).IsSuccess());

    // Another component's attribute in the same element survives a later save.
    std::string text = ReadFile(path);
    text.replace(text.find("JobId="), 0, "Extra=\"kept\" ");
    WriteFile(path, text);
    TrueUpStateManager again(13, 9, 2, 5, false, false);
    ASSERT_TRUE(again.SaveStatetoDoc(path).IsSuccess());
    EXPECT_NE(ReadFile(path).find("Extra=\"kept\""), std::string::npos);

    TrueUpStateManager loaded;
    ASSERT_TRUE(loaded.LoadStateFromDoc(path).IsSuccess());
    EXPECT_EQ(loaded.jobId, 13);
    EXPECT_EQ(loaded.lastSuccessFullJobId, 9);
    EXPECT_EQ(loaded.jobType, 2);
    EXPECT_EQ(loaded.jobRefTime, 5u);
    EXPECT_FALSE(loaded.trueUpDCReadyForScan);
    EXPECT_FALSE(loaded.queryIndex);
    EXPECT_FALSE(loaded.laptopBackup);

    WriteFile(path, "<JobInfo JobId=\"4\"/>");
    ASSERT_TRUE(loaded.LoadStateFromDoc(path).IsSuccess());
    EXPECT_EQ(loaded.jobId, 4);
    EXPECT_EQ(loaded.jobRefTime, 0u);  // missing attributes read as 0
}

TEST(TrueUpStateManager, ADamagedFileIsAnErrorOnLoadAndReplacedOnSave) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "TrueUpState.xml";
    TrueUpStateManager state;
    EXPECT_TRUE(FXErrorUtil::IsWin32(state.LoadStateFromDoc(path), ZyWin32::ERROR_FILE_NOT_FOUND));
    for (const char* text : {"<JobInfo", "<Other JobId=\"1\"/>"}) {
        WriteFile(path, text);
        EXPECT_TRUE(FXErrorUtil::IsWin32(state.LoadStateFromDoc(path), ZyWin32::ERROR_INVALID_DATA)) << text;
        state.jobId = 3;
        ASSERT_TRUE(state.SaveStatetoDoc(path).IsSuccess());
        TrueUpStateManager loaded;
        ASSERT_TRUE(loaded.LoadStateFromDoc(path).IsSuccess());
        EXPECT_EQ(loaded.jobId, 3);
    }
    // A save that cannot happen is logged and not reported: the state is advisory.
    testsupport::ScopedLogCapture log;
    EXPECT_TRUE(state.SaveStatetoDoc(dir / "missing/TrueUpState.xml").IsSuccess());
    EXPECT_TRUE(log.Log().Contains("Failed to save the TrueUp job state information"));
}

}  // namespace
