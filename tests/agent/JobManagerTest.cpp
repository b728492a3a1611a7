#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "agent/JobClient.h"
#include "agent/JobClientHelper.h"
#include "agent/RecordingJobManager.h"
#include "agent/SQLiteJobManager.h"
#include "support/TestSupport.h"

namespace {

using D = EJobDisposition;

// The rules are the same for both implementations; every rule test runs on each.
class JobManagerRules : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "sqlite") {
            auto db = std::make_shared<CSQLiteJobManager>();
            ASSERT_TRUE(db->Open(CSQLiteJobManager::DefaultPathFor(m_dir.Path())).IsSuccess());
            m_jm = db;
        } else {
            m_jm = std::make_shared<CRecordingJobManager>();
        }
    }
    D DispositionOf(int64_t id) {
        SJobManagerJob job;
        EXPECT_TRUE(m_jm->GetJob(id, job).IsSuccess());
        return job.disposition;
    }

    testsupport::ScopedTempDir m_dir;
    std::shared_ptr<IJobManager> m_jm;
};

TEST_P(JobManagerRules, JobIdsAreUsedOnceAndIncrease) {
    ASSERT_TRUE(m_jm->BeginJob(7, 1).IsSuccess());
    CKoError e = m_jm->BeginJob(7, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS));
    EXPECT_NE(e.AsString().find("already used"), std::string::npos) << e.AsString();
    e = m_jm->BeginJob(5, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_NE(e.AsString().find("must increase"), std::string::npos) << e.AsString();
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_jm->BeginJob(0, 1), ZyWin32::ERROR_INVALID_PARAMETER));
    // The refused starts changed nothing.
    EXPECT_EQ(DispositionOf(7), D::Running);
    std::vector<SJobManagerJob> jobs;
    ASSERT_TRUE(m_jm->ListJobs(jobs).IsSuccess());
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].backupLevel, 1);
}

TEST_P(JobManagerRules, StartingAJobEndsEarlierRunningOnesAsKilled) {
    ASSERT_TRUE(m_jm->BeginJob(1, 1).IsSuccess());
    ASSERT_TRUE(m_jm->SetJobDisposition(1, D::Successful, "").IsSuccess());
    ASSERT_TRUE(m_jm->BeginJob(2, 2).IsSuccess());  // never backed up
    ASSERT_TRUE(m_jm->BeginJob(3, 2).IsSuccess());
    ASSERT_TRUE(m_jm->SetJobDisposition(3, D::Stopped, "SIGINT").IsSuccess());
    ASSERT_TRUE(m_jm->BeginJob(4, 2).IsSuccess());
    EXPECT_EQ(DispositionOf(1), D::Successful);
    EXPECT_EQ(DispositionOf(2), D::Killed);
    EXPECT_EQ(DispositionOf(3), D::Stopped);  // not running: stays stoppped, may still be committed
    EXPECT_EQ(DispositionOf(4), D::Running);
    SJobManagerJob two;
    ASSERT_TRUE(m_jm->GetJob(2, two).IsSuccess());
    EXPECT_NE(two.detail.find("job 3"), std::string::npos) << two.detail;
}

TEST_P(JobManagerRules, TransitionsFollowTheRules) {
    struct Case {
        std::vector<D> path;  // from running
        D next;
        bool allowed;
    } cases[] = {
        {{}, D::Successful, true},         {{}, D::Failed, true},
        {{}, D::Stopped, true},            {{}, D::Killed, true},
        {{}, D::Committed, false},         {{}, D::Running, false},
        {{D::Stopped}, D::Committed, true}, {{D::Stopped}, D::Running, true},
        {{D::Stopped}, D::Successful, false}, {{D::Successful}, D::Failed, false},
        {{D::Successful}, D::Successful, true}, {{D::Failed}, D::Running, false},
        {{D::Killed}, D::Successful, false}, {{D::Stopped, D::Committed}, D::Running, false},
        {{D::Stopped, D::Running}, D::Successful, true},
    };
    int64_t id = 100;
    for (const Case& c : cases) {
        ++id;
        ASSERT_TRUE(m_jm->BeginJob(id, 2).IsSuccess());
        for (D step : c.path) ASSERT_TRUE(m_jm->SetJobDisposition(id, step, "").IsSuccess()) << id;
        CKoError e = m_jm->SetJobDisposition(id, c.next, "why");
        EXPECT_EQ(e.IsSuccess(), c.allowed) << "job " << id << " to " << AsString(c.next) << ": " << e.AsString();
        D expected = c.allowed ? c.next : (c.path.empty() ? D::Running : c.path.back());
        EXPECT_EQ(DispositionOf(id), expected) << id;
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_jm->SetJobDisposition(999, D::Failed, ""), ZyWin32::ERROR_NOT_FOUND));
}

TEST_P(JobManagerRules, RestartStringsAndPhasesAreKept) {
    ASSERT_TRUE(m_jm->BeginJob(3, 2).IsSuccess());
    ASSERT_TRUE(m_jm->SetRestartString(3, "-o 1|100@2|-1").IsSuccess());
    ASSERT_TRUE(m_jm->SetJobPhase(3, 2).IsSuccess());
    SJobManagerJob job;
    ASSERT_TRUE(m_jm->GetJob(3, job).IsSuccess());
    EXPECT_EQ(job.restartString, "-o 1|100@2|-1");
    EXPECT_EQ(job.phase, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_jm->SetRestartString(4, "x"), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_jm->SetJobPhase(4, 1), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_jm->GetJob(4, job), ZyWin32::ERROR_NOT_FOUND));
}

INSTANTIATE_TEST_SUITE_P(Both, JobManagerRules, ::testing::Values("sqlite", "recording"));

TEST(SQLiteJobManager, WhatIsRecordedSurvivesReopening) {
    testsupport::ScopedTempDir dir;
    const std::string path = CSQLiteJobManager::DefaultPathFor(dir.Path());
    SJobManagerJob before;
    {
        CSQLiteJobManager jm;
        ASSERT_TRUE(jm.Open(path).IsSuccess());
        ASSERT_TRUE(jm.BeginJob(11, 2).IsSuccess());
        ASSERT_TRUE(jm.SetRestartString(11, "text with 'quotes' and \"more\"").IsSuccess());
        ASSERT_TRUE(jm.SetJobDisposition(11, D::Stopped, "stopped after 5 items").IsSuccess());
        ASSERT_TRUE(jm.GetJob(11, before).IsSuccess());
    }
    CSQLiteJobManager jm;
    ASSERT_TRUE(jm.Open(path).IsSuccess());
    SJobManagerJob after;
    ASSERT_TRUE(jm.GetJob(11, after).IsSuccess());
    EXPECT_EQ(after, before);
    EXPECT_GT(after.endMicros, 0);
    // A second handle on the same file (the other process) sees it and is held to the rules.
    CSQLiteJobManager other;
    ASSERT_TRUE(other.Open(path).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(other.BeginJob(11, 2), ZyWin32::ERROR_ALREADY_EXISTS));
}

TEST(SQLiteJobManager, ADamagedOrForeignFileIsRefusedByName) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "JobManager.db";
    testsupport::WriteFile(path, std::string(4096, 'x'));
    CSQLiteJobManager jm;
    CKoError e = jm.Open(path);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("damaged or is not such a database"), std::string::npos) << e.AsString();
    EXPECT_NE(e.AsString().find(path), std::string::npos);
    EXPECT_TRUE(FXErrorUtil::IsWin32(jm.BeginJob(1, 1), ZyWin32::ERROR_INVALID_HANDLE));

    const std::string newer = dir / "newer.db";
    ASSERT_EQ(testsupport::Shell("sqlite3 -version >/dev/null 2>&1"), 0) << "sqlite3 command missing";
    ASSERT_EQ(testsupport::Shell("sqlite3 '" + newer + "' 'PRAGMA user_version=9'"), 0);
    e = jm.Open(newer);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_SUPPORTED)) << e.AsString();
    EXPECT_NE(e.AsString().find("newer format"), std::string::npos);
}

TEST(SQLiteJobManager, AnUnknownDispositionInTheFileIsDamage) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "JobManager.db";
    CSQLiteJobManager jm;
    ASSERT_TRUE(jm.Open(path).IsSuccess());
    ASSERT_TRUE(jm.BeginJob(1, 1).IsSuccess());
    ASSERT_EQ(testsupport::Shell("sqlite3 '" + path + "' 'UPDATE jobs SET disposition=42'"), 0);
    SJobManagerJob job;
    CKoError e = jm.GetJob(1, job);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
}

TEST(JobClient, ReachesTheJobManagerByServerName) {
    auto jm = std::make_shared<CRecordingJobManager>();
    ASSERT_TRUE(jm->BeginJob(8, 2).IsSuccess());
    ZYScopedJobManager registered("server-a", jm);

    ZYRecordingBkpJobClient client;
    std::string text;
    EXPECT_TRUE(FXErrorUtil::IsWin32(client.getRestartString(0, text), ZyWin32::ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FXErrorUtil::IsWin32(client.init(8, "server-b", 4), ZyWin32::ERROR_NOT_FOUND));
    ASSERT_TRUE(client.init(8, "server-a", 4).IsSuccess());
    EXPECT_EQ(client.getJobId(), 8);
    ASSERT_TRUE(client.setRestartString("-o 1|5").IsSuccess());
    ASSERT_TRUE(client.getRestartString(0, text).IsSuccess());
    EXPECT_EQ(text, "-o 1|5");
    EXPECT_TRUE(FXErrorUtil::IsWin32(client.getRestartString(1, text), ZyWin32::ERROR_NOT_SUPPORTED));
    ASSERT_TRUE(client.setJobPhase(2).IsSuccess());
    ASSERT_TRUE(client.setJobDisposition(D::Stopped, "").IsSuccess());

    int subStatus = -1, subState = -1;
    ASSERT_TRUE(CJobClientHelper::GetJobDispositionByJobId(8, "server-a", subStatus, subState).IsSuccess());
    EXPECT_EQ(subStatus, static_cast<int>(D::Stopped));
    EXPECT_EQ(subState, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(CJobClientHelper::GetJobDispositionByJobId(9, "server-a", subStatus, subState),
                                     ZyWin32::ERROR_NOT_FOUND));
    // Not reaching the job manager is not the same as an unknown job.
    EXPECT_TRUE(FXErrorUtil::IsWin32(CJobClientHelper::GetJobDispositionByJobId(8, "nobody", subStatus, subState),
                                     ZyWin32::ERROR_FUNCTION_FAILED));
    EXPECT_EQ(jm->Calls().back(), "GetJob 9");
}

TEST(JobClient, ABareClientCannotRaisePendingCauses) {
    ZYBkpJobClient client;
    CKoError e = client.setPendingCause(5, nullptr, false, 300, 0, 0, 0, true, 0, 0, 0, 0);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_SUPPORTED));
}

}  // namespace
