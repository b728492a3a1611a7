#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "agent/RecordingJobManager.h"
#include "core/Env.h"
#include "core/Path.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/jobstate/JobManagerToken.h"
#include "scan/jobstate/StateManager.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

using D = EJobDisposition;
constexpr const char* kServer = "state-manager-test";
constexpr int kFull = 1, kInc = 2;

// Records what the state manager tells it, in order.
class RecordingCallback : public CStateManagerCallback {
public:
    std::vector<std::string> calls;
    CKoError CleanupUnreferencedJob(int64_t jobId, const XJobPtr&) override {
        calls.push_back("Cleanup " + std::to_string(jobId));
        return CKoError::Success();
    }
    CKoError PendingJobDoesntExist(const XJobRefPtr& r) override { return Note("DoesntExist", r); }
    CKoError PendingJobStateManagerMissing(const XJobRefPtr& r) override { return Note("InfoMissing", r); }
    CKoError PendingJobFailed(const XJobRefPtr& r, const XJobPtr&) override { return Note("Failed", r); }
    CKoError PendingJobWasSuccessful(const XJobRefPtr& r, const XJobPtr&) override { return Note("Successful", r); }
    CKoError CurrentJobStateManagerMissing(const XJobRefPtr& r, const XJobPtr&) override {
        return Note("CurrentInfoMissing", r);
    }
    CKoError CurrentJobPhaseRestarted(const XJobRefPtr& r, const XJobPtr&) override { return Note("Restarted", r); }

private:
    CKoError Note(const char* what, const XJobRefPtr& r) {
        calls.push_back(std::string(what) + " " + std::to_string(r->get_JobId()));
        return CKoError::Success();
    }
};

class StateManagerTest : public ::testing::Test {
protected:
    StateManagerTest()
        : m_path(m_dir / "JobState.xml"), m_jm(std::make_shared<CRecordingJobManager>()),
          m_registered(kServer, m_jm), m_sm(m_path) {
        m_sm.SetJobDispositionQueryCallback(std::make_shared<CJobDispositionQueryCallback>(kServer));
    }

    void Preset(int64_t id, int type, D disposition) {
        SJobManagerJob job;
        job.jobId = id;
        job.backupLevel = type;
        job.disposition = disposition;
        m_jm->Preset(job);
    }
    void Job(int64_t id, int type, D disposition, int phase = 1) {
        Preset(id, type, disposition);
        ASSERT_TRUE(m_sm.UpdateCurrentJob(id, CTimeStamp(), CJobManagerToken::Format(id, phase), type).IsSuccess());
    }
    std::vector<std::string> Process(int64_t current, int phase = 1) {
        auto cb = std::make_shared<RecordingCallback>();
        CKoError e = m_sm.ProcessPendingJobs(current, CTimeStamp(), CJobManagerToken::Format(current, phase), cb);
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        return cb->calls;
    }
    SStateSummary Summary() {
        SStateSummary s;
        EXPECT_TRUE(m_sm.GetSummary(s).IsSuccess());
        return s;
    }
    static std::vector<long long> Ids(const std::vector<SStateSummary::SRef>& refs) {
        std::vector<long long> ids;
        for (const auto& r : refs) ids.push_back(r.jobId);
        return ids;
    }
    // Stores a DirChange record for the job and writes the file under the name it names.
    void DirChange(int64_t id, const std::string& temp, const std::string& final, const std::string* content) {
        XDirChange dc;
        ASSERT_TRUE(XDirChange::Create(dc).IsSuccess());
        ASSERT_TRUE(dc.Set_SubclientFolder(m_dir.Path()).IsSuccess());
        if (!temp.empty()) {
            ASSERT_TRUE(dc.Set_TempFileName(temp).IsSuccess());
        }
        ASSERT_TRUE(dc.Set_FinalFileName(final).IsSuccess());
        ASSERT_TRUE(m_sm.AddOrReplaceNodeInJob(id, dc.GetNode(), "DirChange").IsSuccess());
        if (content) WriteFile(m_dir / (temp.empty() ? final : temp), *content);
    }

    ScopedTempDir m_dir;
    std::string m_path;
    std::shared_ptr<CRecordingJobManager> m_jm;
    ZYScopedJobManager m_registered;
    CStateManager m_sm;
};

TEST_F(StateManagerTest, AMissingOrEmptyFileIsNoJobYet) {
    EXPECT_TRUE(Process(5).empty());
    EXPECT_FALSE(FXPath::DoesPathExist(m_path));
    WriteFile(m_path, " \n");
    EXPECT_TRUE(Process(5).empty());
    EXPECT_EQ(ReadFile(m_path), " \n");

    ASSERT_TRUE(m_sm.UpdateCurrentJob(5, CTimeStamp(), "5:1:0", kFull).IsSuccess());
    XStateDoc doc;
    ASSERT_TRUE(doc.Load(m_path).IsSuccess());
    XJobRefPtr ref = doc.Get_PendingJobs()->Get_JobRef();
    ASSERT_TRUE(ref->Exists());
    EXPECT_EQ(ref->get_JobId(), 5);
    EXPECT_EQ(ref->get_JobType(), kFull);
    XStateManagerInfoPtr info = doc.Get_Jobs()->Find(5)->Get_StateManagerInfo();
    ASSERT_TRUE(info->Exists());
    EXPECT_EQ(info->get_JobId(), 5);
    EXPECT_EQ(info->get_JobType(), kFull);
    EXPECT_EQ(info->get_JobManagerToken(), "5:1:0");
    // Recording it again changes the token, not the number of records.
    ASSERT_TRUE(m_sm.UpdateCurrentJob(5, CTimeStamp(), "5:2:0", kFull).IsSuccess());
    SStateSummary s = Summary();
    EXPECT_EQ(Ids(s.pending), std::vector<long long>{5});
    EXPECT_EQ(s.jobs, std::vector<long long>{5});
}

TEST_F(StateManagerTest, PendingJobsAreResolvedByWhatTheJobManagerSays) {
    Job(1, kFull, D::Successful);
    Job(2, kInc, D::Failed);
    Job(3, kInc, D::Killed);
    Job(4, kInc, D::Committed);
    Job(6, kInc, D::Running);  // the current job
    // A JobRef whose Job is gone, and a Job without StateManagerInfo.
    std::string text = ReadFile(m_path);
    text.replace(text.find("</PendingJobs>"), 0, "<JobRef JobId=\"9\" JobType=\"2\"/><JobRef JobId=\"5\" JobType=\"2\"/>");
    text.replace(text.find("</Jobs>"), 0, "<Job JobId=\"5\"/>");
    WriteFile(m_path, text);

    std::vector<std::string> calls = Process(6);
    EXPECT_EQ(calls, (std::vector<std::string>{"Successful 1", "Failed 2", "Failed 3", "Successful 4", "InfoMissing 5",
                                               "DoesntExist 9", "Restarted 6", "Cleanup 2", "Cleanup 3", "Cleanup 5"}));
    SStateSummary s = Summary();
    EXPECT_EQ(Ids(s.pending), std::vector<long long>{6});
    EXPECT_EQ(Ids(s.lastSuccessful), (std::vector<long long>{1, 4}));
    EXPECT_EQ(s.jobs, (std::vector<long long>{1, 4, 6}));
    int64_t id = 0;
    ASSERT_TRUE(m_sm.GetLastSuccessfulJobByJobType(kInc, id).IsSuccess());
    EXPECT_EQ(id, 4);
    XJobPtr job;
    ASSERT_TRUE(m_sm.GetLastSuccessfulJobByJobType(kFull, job).IsSuccess());
    EXPECT_EQ(job->get_JobId(), 1);
    // Resolved once: the next job finds only job 6 to resolve.
    Preset(6, kInc, D::Failed);
    EXPECT_EQ(Process(7), (std::vector<std::string>{"Failed 6", "Cleanup 6"}));
}

TEST_F(StateManagerTest, OnlyTheLaterOfTwoSuccessfulJobsOfATypeStays) {
    Job(1, kInc, D::Successful);
    Process(2);
    Job(2, kInc, D::Successful);
    std::vector<std::string> calls = Process(3);
    EXPECT_EQ(calls, (std::vector<std::string>{"Successful 2", "Cleanup 1"}));
    EXPECT_EQ(Ids(Summary().lastSuccessful), std::vector<long long>{2});

    XJobPtr job;
    CKoError e = m_sm.GetLastSuccessfulJobByJobType(kFull, job);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND));
    EXPECT_NE(e.AsString().find("No last successful job found, JobType=[1], NodeCount=[1]"), std::string::npos)
        << e.AsString();
    EXPECT_FALSE(job);
}

TEST_F(StateManagerTest, ARestartIsRecognisedByItsPhase) {
    struct Case {
        int storedPhase, newPhase;
        bool restarted;
    } cases[] = {{2, 2, true}, {2, 3, false}, {2, 1, false}};
    int64_t id = 10;
    for (const Case& c : cases) {
        ++id;
        Job(id, kInc, D::Running, c.storedPhase);
        std::vector<std::string> calls = Process(id, c.newPhase);
        EXPECT_EQ(calls, c.restarted ? std::vector<std::string>{"Restarted " + std::to_string(id)}
                                     : std::vector<std::string>{})
            << c.storedPhase << " -> " << c.newPhase;
        EXPECT_EQ(Ids(Summary().pending), std::vector<long long>{id});  // the current job stays pending
        Preset(id, kInc, D::Failed);
        Process(id + 1);  // resolve it before the next case
    }
}

TEST_F(StateManagerTest, NodesInAJobAreReplacedByName) {
    Job(3, kInc, D::Running);
    CKoXDocument d;
    CKoXNodePtr node;
    ASSERT_TRUE(d.AppendNode("ScanInfo", node).IsSuccess());
    ASSERT_TRUE(node->SetAttributeINT("Pass", 1).IsSuccess());
    ASSERT_TRUE(m_sm.AddOrReplaceNodeInJob(3, node, "ScanInfo").IsSuccess());
    ASSERT_TRUE(node->SetAttributeINT("Pass", 2).IsSuccess());
    ASSERT_TRUE(m_sm.AddOrReplaceNodeInJob(3, node, "ScanInfo").IsSuccess());
    XStateDoc doc;
    ASSERT_TRUE(doc.Load(m_path).IsSuccess());
    std::vector<CKoXNodePtr> found;
    ASSERT_TRUE(doc.SelectNodes("//ScanInfo", found).IsSuccess());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->AttributeAsINT("Pass"), 2);

    CKoXNodePtr got;
    ASSERT_TRUE(m_sm.GetGenericNodeInJob(3, got, "ScanInfo").IsSuccess());
    EXPECT_EQ(got->AttributeAsINT("Pass"), 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_sm.GetGenericNodeInJob(3, got, "Other"), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_sm.GetGenericNodeInJob(4, got, "ScanInfo"), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_sm.AddOrReplaceNodeInJob(4, node, "ScanInfo"), ZyWin32::ERROR_NOT_FOUND));
    // Added when missing, but not written.
    const std::string before = ReadFile(m_path);
    ASSERT_TRUE(m_sm.AddOrGetGenericNodeInJob(3, got, "Other").IsSuccess());
    EXPECT_EQ(got->GetName(), "Other");
    EXPECT_EQ(ReadFile(m_path), before);
}

TEST_F(StateManagerTest, AnUndefinedDispositionStopsTheRunAndIsAskedAgain) {
    Job(1, kInc, D::Running);
    auto cb = std::make_shared<RecordingCallback>();
    const std::string before = ReadFile(m_path);
    CKoError e = m_sm.ProcessPendingJobs(2, CTimeStamp(), "2:1:0", cb);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE));
    EXPECT_NE(e.AsString().find("Job disposition not yet defined, JobId=[1]"), std::string::npos) << e.AsString();
    EXPECT_NE(e.AsString().find("ProcessPendingJob failed, JobId=[1]"), std::string::npos);
    EXPECT_EQ(ReadFile(m_path), before);
    Preset(1, kInc, D::Successful);
    EXPECT_EQ(Process(2), std::vector<std::string>{"Successful 1"});
}

TEST_F(StateManagerTest, KnownAnswersAndUnknownJobsNeedNoJobManager) {
    auto disposition = std::make_shared<CJobDispositionQueryCallback>(kServer);
    disposition->SetKnownSuccessfulJobs({1, 2});
    disposition->SetKnownFailedJobs({2, 3});
    bool ok = false;
    ASSERT_TRUE(disposition->QueryJobDisposition(2, ok).IsSuccess());
    EXPECT_TRUE(ok);  // in both sets: successful
    ASSERT_TRUE(disposition->QueryJobDisposition(3, ok).IsSuccess());
    EXPECT_FALSE(ok);
    // A job the job manager never heard of did not put anything in the backup.
    ASSERT_TRUE(disposition->QueryJobDisposition(44, ok).IsSuccess());
    EXPECT_FALSE(ok);
    EXPECT_EQ(m_jm->Calls(), std::vector<std::string>{"GetJob 44"});
    // The answer is remembered.
    ASSERT_TRUE(disposition->QueryJobDisposition(44, ok).IsSuccess());
    EXPECT_EQ(m_jm->Calls().size(), 1u);
    // A job manager that cannot be reached is an error, not a failed job.
    CJobDispositionQueryCallback nowhere("no-such-server");
    EXPECT_TRUE(FXErrorUtil::IsWin32(nowhere.QueryJobDisposition(1, ok), ZyWin32::ERROR_FUNCTION_FAILED));
}

TEST_F(StateManagerTest, ADamagedDocumentIsRefusedSaidAndSetAside) {
    const char* documents[] = {
        "<JobState><Jobs>",                                                      // not well-formed
        "<Other/>",                                                              // another document
        "<JobState><Jobs><Job/></Jobs></JobState>",                              // no JobId
        "<JobState><Jobs><Job JobId=\"x\"/></Jobs></JobState>",                  // not a number
        "<JobState><Jobs><Job JobId=\"1\"/><Job JobId=\"1\"/></Jobs></JobState>",  // twice
        "<JobState><PendingJobs><JobRef JobId=\"1\" JobType=\"z\"/></PendingJobs></JobState>",
        "<JobState><PendingJobs><JobRef JobId=\"1\" JobType=\"2\"/><JobRef JobId=\"1\" JobType=\"2\"/></PendingJobs>"
        "</JobState>",
        "<JobState><Jobs><Job JobId=\"1\"><StateManagerInfo JobType=\"1x\"/></Job></Jobs></JobState>",
        "\xEF\xBB\xBF<JobState attr='\x01'/>",
    };
    for (const char* text : documents) {
        WriteFile(m_path, text);
        auto cb = std::make_shared<RecordingCallback>();
        CKoError e = m_sm.ProcessPendingJobs(2, CTimeStamp(), "", cb);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << text << ": " << e.AsString();
        EXPECT_NE(e.AsString().find("The job-state document is damaged, FileName=[" + m_path + "]"), std::string::npos)
            << e.AsString();
        EXPECT_TRUE(FXErrorUtil::IsWin32(m_sm.UpdateCurrentJob(2, CTimeStamp(), "", kInc), ZyWin32::ERROR_INVALID_DATA));
        SStateBaseline baseline;
        m_sm.GetBaseline({kFull, kInc}, baseline);
        EXPECT_FALSE(baseline.found);
        EXPECT_EQ(baseline.reason.rfind("run full, because the job-state document is damaged", 0), 0u) << baseline.reason;
        EXPECT_EQ(ReadFile(m_path), text);  // nothing was written over it

        std::string movedTo;
        ASSERT_TRUE(m_sm.SetAsideDamagedFile(movedTo).IsSuccess());
        EXPECT_EQ(movedTo, m_path + ".damaged");
        EXPECT_EQ(ReadFile(movedTo), text);
        ASSERT_TRUE(m_sm.UpdateCurrentJob(2, CTimeStamp(), "", kInc).IsSuccess());
        ASSERT_TRUE(FXEnv::Default()->RemoveFile(m_path).IsSuccess());
    }
    std::string movedTo = "x";
    ASSERT_TRUE(m_sm.SetAsideDamagedFile(movedTo).IsSuccess());
    EXPECT_TRUE(movedTo.empty());
}

TEST_F(StateManagerTest, TheBaselineIsTheLatestSuccessfulJobWithItsDirChange) {
    SStateBaseline b;
    m_sm.GetBaseline({kFull, kInc}, b);
    EXPECT_FALSE(b.found);
    EXPECT_NE(b.reason.find("no job of this subclient is recorded yet"), std::string::npos) << b.reason;

    const std::string one = "dc of 1", two = "dc of 2";
    Job(1, kFull, D::Successful);
    DirChange(1, "", "DC1.zyf", &one);
    Job(2, kInc, D::Successful);
    DirChange(2, "DCTmp2.zyf", "DC2.zyf", &two);
    Job(3, kInc, D::Running);
    m_sm.GetBaseline({kFull, kInc}, b);
    EXPECT_FALSE(b.found);
    EXPECT_NE(b.reason.find("no earlier job of this subclient (job types 1,2) is known to have succeeded"),
              std::string::npos)
        << b.reason;

    Process(3);  // 1 and 2 resolved; 2's DirChange was not promoted (no cleanup callback)
    m_sm.GetBaseline({kFull, kInc}, b);
    ASSERT_TRUE(b.found) << b.reason;
    EXPECT_EQ(b.jobId, 2);
    EXPECT_EQ(b.jobType, kInc);
    EXPECT_EQ(b.dirChangePath, m_dir / "DCTmp2.zyf");
    EXPECT_FALSE(b.dirChangePromoted);
    ASSERT_TRUE(b.job);
    EXPECT_EQ(b.job->get_JobId(), 2);

    m_sm.GetBaseline({kFull}, b);
    ASSERT_TRUE(b.found);
    EXPECT_EQ(b.jobId, 1);
    EXPECT_EQ(b.dirChangePath, m_dir / "DC1.zyf");
    EXPECT_TRUE(b.dirChangePromoted);

    // The promotion done (by hand here) moves the answer to the final name.
    ASSERT_EQ(std::rename((m_dir / "DCTmp2.zyf").c_str(), (m_dir / "DC2.zyf").c_str()), 0);
    m_sm.GetBaseline({kFull, kInc}, b);
    EXPECT_EQ(b.dirChangePath, m_dir / "DC2.zyf");
    EXPECT_TRUE(b.dirChangePromoted);

    ASSERT_EQ(std::remove((m_dir / "DC2.zyf").c_str()), 0);
    m_sm.GetBaseline({kFull, kInc}, b);
    EXPECT_FALSE(b.found);
    EXPECT_NE(b.reason.find("the DirChange of job 2 is missing, FileName=[" + (m_dir / "DC2.zyf") + "]"),
              std::string::npos)
        << b.reason;

    // A record whose names leave the folder is not followed.
    DirChange(2, "", "../DC1.zyf", nullptr);
    m_sm.GetBaseline({kFull, kInc}, b);
    EXPECT_FALSE(b.found);
    EXPECT_NE(b.reason.find("DirChange record of job 2 is damaged"), std::string::npos) << b.reason;
}

// Fails every rename, as a full disk fails the creation of the new document.
class NoRenameEnv : public FXEnvWrapper {
public:
    NoRenameEnv() : FXEnvWrapper(FXEnv::Default()) {}
    CKoError RenameFile(const std::string& from, const std::string&) override {
        return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOSPC, "injected, FileName=[%s]", from.c_str());
    }
};

TEST_F(StateManagerTest, AFailedSaveLeavesThePreviousDocument) {
    Job(1, kInc, D::Successful);
    const std::string before = ReadFile(m_path);
    NoRenameEnv env;
    FXScopedEnv scoped(&env);
    auto cb = std::make_shared<RecordingCallback>();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(m_sm.ProcessPendingJobs(2, CTimeStamp(), "", cb), ENOSPC));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(m_sm.UpdateCurrentJob(2, CTimeStamp(), "", kInc), ENOSPC));
    EXPECT_EQ(ReadFile(m_path), before);
    EXPECT_FALSE(FXPath::DoesPathExist(m_path + ".tmp"));
}

TEST_F(StateManagerTest, ASuccessfulJobsDirChangeIsPromotedOnce) {
    const std::string content = "dc of 1";
    Job(1, kInc, D::Successful);
    DirChange(1, "DCTmp.zyf", "DCInc.zyf", &content);
    WriteFile(m_dir / "DCInc.zyf", "older");
    auto cleanup = std::make_shared<CJobCleanupCallback>();
    ASSERT_TRUE(m_sm.ProcessPendingJobs(2, CTimeStamp(), "", cleanup).IsSuccess());
    EXPECT_EQ(ReadFile(m_dir / "DCInc.zyf"), content);
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "DCTmp.zyf"));
    CKoXNodePtr node;
    ASSERT_TRUE(m_sm.GetGenericNodeInJob(1, node, "DirChange").IsSuccess());
    EXPECT_FALSE(node->HasAttribute("TempFileName"));
    EXPECT_EQ(XDirChange(node).get_FinalFileName(), "DCInc.zyf");
}

TEST_F(StateManagerTest, APromotionThatCannotHappenLeavesTheJobSuccessful) {
    struct Case {
        const char* temp;
        const char* final;
        bool writeTemp;
        const char* logged;
    } cases[] = {
        {"DCTmp.zyf", "DCInc.zyf", false, "Job DirChange file not found, failed to rename to final name"},
        {"../DCTmp.zyf", "DCInc.zyf", false, "Invalid DirChange rename record"},
        {"DCTmp.zyf", "/etc/DCInc.zyf", true, "Invalid DirChange rename record"},
        {"", "DCInc.zyf", false, "No DirChange rename is scheduled for this job"},
    };
    int64_t id = 0;
    for (const Case& c : cases) {
        ++id;
        testsupport::ScopedLogCapture log;
        const std::string content = "dc";
        Job(id, kInc, D::Successful);
        DirChange(id, c.temp, c.final, c.writeTemp ? &content : nullptr);
        auto cleanup = std::make_shared<CJobCleanupCallback>();
        ASSERT_TRUE(m_sm.ProcessPendingJobs(id + 1, CTimeStamp(), "", cleanup).IsSuccess());
        EXPECT_TRUE(log.Log().Contains(c.logged)) << c.temp << " " << c.final;
        EXPECT_EQ(Ids(Summary().lastSuccessful), std::vector<long long>{id});
        EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "DCInc.zyf"));
    }
    // With a job-folder root, a record naming a folder outside it is not followed.
    {
        testsupport::ScopedLogCapture log;
        const std::string content = "dc";
        Job(8, kInc, D::Successful);
        DirChange(8, "DCTmp.zyf", "DCInc.zyf", &content);
        auto cleanup = std::make_shared<CJobCleanupCallback>();
        cleanup->SetJobFolderRoot(m_dir / "J8");
        ASSERT_TRUE(m_sm.ProcessPendingJobs(9, CTimeStamp(), "", cleanup).IsSuccess());
        EXPECT_TRUE(log.Log().Contains("Invalid DirChange rename record"));
        EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "DCTmp.zyf"));
    }
    // A record without any DirChange element: still successful.
    Job(10, kInc, D::Successful);
    ASSERT_TRUE(m_sm.ProcessPendingJobs(11, CTimeStamp(), "", std::make_shared<CJobCleanupCallback>()).IsSuccess());
    EXPECT_EQ(Ids(Summary().lastSuccessful), std::vector<long long>{10});
}

TEST_F(StateManagerTest, JobFoldersGoWithTheirRecords) {
    auto mkjob = [&](int64_t id) {
        const std::string folder = m_dir / CJobCleanupCallback::JobFolderName(id);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        WriteFile(folder + "/CollectInc1.zyf", "x\n");
    };
    Job(1, kInc, D::Successful);
    mkjob(1);
    Process(2);
    Job(2, kInc, D::Failed);
    mkjob(2);
    Job(3, kInc, D::Successful);
    mkjob(3);
    mkjob(4);  // killed before its record was saved
    auto cleanup = std::make_shared<CJobCleanupCallback>();
    cleanup->SetJobFolderRoot(m_dir.Path());
    ASSERT_TRUE(m_sm.ProcessPendingJobs(5, CTimeStamp(), "", cleanup).IsSuccess());
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "J1"));  // replaced by 3
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "J2"));  // failed
    EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "J3/CollectInc1.zyf"));
    EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "J4"));

    // The orphan sweep takes folders of unknown jobs only, and only folders named as jobs are.
    ASSERT_EQ(::mkdir((m_dir / "J04").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((m_dir / "Jx").c_str(), 0755), 0);
    WriteFile(m_dir / "J7", "a file with a job's name");
    ASSERT_EQ(::mkdir((m_dir / "J8").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((m_dir / "J8/sub").c_str(), 0755), 0);
    std::set<int64_t> keep;
    for (long long id : Summary().jobs) keep.insert(id);
    EXPECT_TRUE(CJobCleanupCallback::RemoveOrphanJobFolders(m_dir.Path(), keep).IsError());  // J7 and J8 stay
    EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "J3"));
    EXPECT_FALSE(FXPath::DoesPathExist(m_dir / "J4"));
    EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "J04"));
    EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "Jx"));
    EXPECT_EQ(ReadFile(m_dir / "J7"), "a file with a job's name");
    EXPECT_TRUE(FXPath::DoesPathExist(m_dir / "J8/sub"));

    int64_t id = 0;
    for (const char* name : {"J", "J0", "J01", "J-1", "J1x", "J99999999999999999999", "j1"})
        EXPECT_FALSE(CJobCleanupCallback::ParseJobFolderName(name, id)) << name;
    EXPECT_TRUE(CJobCleanupCallback::ParseJobFolderName("J123", id));
    EXPECT_EQ(id, 123);
}

TEST(JobManagerToken, FieldsAreNumbersInAnyBaseAndMissingOnesAreZero) {
    struct Case {
        const char* text;
        uint64_t value;
        int phase, further;
    } cases[] = {{"", 0, 0, 0},          {"12", 12, 0, 0},      {"12:3", 12, 3, 0},   {"0x10:0x2:7", 16, 2, 7},
                 {"5:x:9", 5, 0, 9},     {"a:b:c:d", 0, 0, 0},  {"18446744073709551615:-1:1", UINT64_MAX, -1, 1}};
    for (const Case& c : cases) {
        CJobManagerToken t(c.text);
        EXPECT_EQ(t.GetValue(), c.value) << c.text;
        EXPECT_EQ(t.GetPhase(), c.phase) << c.text;
        EXPECT_EQ(t.GetFurther(), c.further) << c.text;
    }
    EXPECT_EQ(CJobManagerToken(CJobManagerToken::Format(9, 4, 1)).GetPhase(), 4);
}

}  // namespace
