// The job cycle as the scan and backup jobs drive it with the library alone: a scan registers
// its job as pending, writes its outputs in a folder of its own ("J<id>") with the DirChange
// under its temporary name, and marks its scan complete in the job-state document; the backup
// records the job's disposition with the job manager; the next scan learns it, promotes or
// drops the job, and compares against the last successful job. A crash at any change leaves the
// previous job or the new one.
#include <gtest/gtest.h>

#include "agent/SQLiteJobManager.h"
#include "core/Env.h"
#include "core/Path.h"
#include "scan/job/FSJobResultCleanup.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/jobstate/JobManagerToken.h"
#include "scan/jobstate/ScanCommitJobs.h"
#include "scan/jobstate/StateManager.h"
#include "support/CrashEnv.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;

namespace {

using D = EJobDisposition;
constexpr int kFull = 1, kInc = 2;
constexpr const char* kServer = "job-cycle";

// What a scan learned at its start.
struct SScanStart {
    SStateBaseline baseline;
    std::string setAside;  // the damaged document, when there was one
};

class JobCycle : public ::testing::Test {
protected:
    JobCycle() : m_jm(std::make_shared<CSQLiteJobManager>()), m_sm(m_dir / "JobState.xml") {
        EXPECT_TRUE(m_jm->Open(CSQLiteJobManager::DefaultPathFor(m_dir.Path())).IsSuccess());
        ZYJobManagerDirectory::Register(kServer, m_jm);
    }
    ~JobCycle() override { ZYJobManagerDirectory::Unregister(kServer); }

    std::string JobFolder(int64_t id) const { return m_dir / CJobCleanupCallback::JobFolderName(id); }
    static std::string DirChangeOf(int64_t id) { return "dc of job " + std::to_string(id) + "\n"; }

    // The start of a scan: resolve what earlier jobs left, find the baseline, record this job.
    CKoError StartScan(int64_t id, int level, SScanStart& start) {
        m_sm.SetJobDispositionQueryCallback(std::make_shared<CJobDispositionQueryCallback>(kServer));
        auto cleanup = std::make_shared<CJobCleanupCallback>();
        cleanup->SetJobFolderRoot(m_dir.Path());
        const std::string token = CJobManagerToken::Format(static_cast<uint64_t>(id), 1);
        CKoError e = m_sm.ProcessPendingJobs(id, CTimeStamp(), token, cleanup);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) e = m_sm.SetAsideDamagedFile(start.setAside);
        if (e.IsError()) return e;
        m_sm.GetBaseline({kFull, kInc}, start.baseline);
        // Folders of jobs the document does not name are what a crash left before a record.
        SStateSummary summary;
        e = m_sm.GetSummary(summary);
        if (e.IsError()) return e;
        std::set<int64_t> keep(summary.jobs.begin(), summary.jobs.end());
        e = CJobCleanupCallback::RemoveOrphanJobFolders(m_dir.Path(), keep);
        if (e.IsError()) return e;
        return m_sm.UpdateCurrentJob(id, CTimeStamp(), token, level);
    }

    // A whole scan: its outputs in its own folder, the DirChange under its temporary name, and
    // last the "ScanInfo" element that says the scan is complete.
    CKoError Scan(int64_t id, int level, SScanStart& start) {
        CKoError e = m_jm->BeginJob(id, level);
        if (e.IsSuccess()) e = StartScan(id, level, start);
        if (e.IsError()) return e;
        FXEnv* env = FXEnv::Current();
        const std::string folder = JobFolder(id);
        e = env->CreateDir(folder);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) e = CKoError::Success();
        XDirChange dc;
        if (e.IsSuccess()) e = XDirChange::Create(dc);
        if (e.IsSuccess()) e = dc.Set_SubclientFolder(folder);
        if (e.IsSuccess()) e = dc.Set_TempFileName("DCTmp.zyf");
        if (e.IsSuccess()) e = dc.Set_FinalFileName(level == kFull ? "DCTot.zyf" : "DCInc.zyf");
        if (e.IsSuccess()) e = m_sm.AddOrReplaceNodeInJob(id, dc.GetNode(), XDirChange::kElementName);
        const bool full = level == kFull;
        if (e.IsSuccess())
            e = FXDurableReplace::WriteWhole(FXPath::Join(folder, ScanCommitJobs::CollectFileName(full, 1)),
                                             "*??" "/d/x" + std::to_string(id) + "\n*??" "/d/y\n");
        if (e.IsSuccess())
            e = ScanCommitJobs::WriteRestartMapFile(FXPath::Join(folder, ScanCommitJobs::RestartMapFileName(full)),
                                                    {{1, 0}});
        if (e.IsSuccess()) e = FXDurableReplace::WriteWhole(FXPath::Join(folder, "DCTmp.zyf"), DirChangeOf(id));
        CKoXDocument info;
        CKoXNodePtr node;
        if (e.IsSuccess()) e = info.AppendNode("ScanInfo", node);
        if (e.IsSuccess()) e = node->SetAttributeBOOL("Complete", true);
        if (e.IsSuccess()) e = m_sm.AddOrReplaceNodeInJob(id, node, "ScanInfo");
        return e;
    }
    // The baseline a scan of `id` (which must succeed) compared against.
    SStateBaseline ScanOk(int64_t id, int level) {
        SScanStart start;
        CKoError e = Scan(id, level, start);
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        return start.baseline;
    }
    void EndBackup(int64_t id, D disposition) {
        ASSERT_TRUE(m_jm->SetJobDisposition(id, disposition, "").IsSuccess());
        if (disposition == D::Successful) {
            SJobManagerJob job;
            ASSERT_TRUE(m_jm->GetJob(id, job).IsSuccess());
            CFSJobResultCleanup cleanup(JobFolder(id), job.backupLevel, false, false, id);
            ASSERT_TRUE(cleanup.Execute().IsSuccess());
        }
    }
    void ExpectBaseline(const SStateBaseline& b, int64_t id) {
        ASSERT_TRUE(b.found) << b.reason;
        EXPECT_EQ(b.jobId, id);
        EXPECT_EQ(ReadFile(b.dirChangePath), DirChangeOf(id));
    }

    testsupport::ScopedTempDir m_dir;
    std::shared_ptr<CSQLiteJobManager> m_jm;
    CStateManager m_sm;
};

TEST_F(JobCycle, OnlyAJobWhoseBackupSucceededBecomesTheBaseline) {
    SStateBaseline b = ScanOk(1, kFull);
    EXPECT_FALSE(b.found);
    EndBackup(1, D::Successful);
    EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(1) + "/CollectTot1.zyf"));  // read, so removed

    b = ScanOk(2, kInc);  // never backed up
    ExpectBaseline(b, 1);
    EXPECT_TRUE(b.dirChangePromoted);
    EXPECT_EQ(b.dirChangePath, JobFolder(1) + "/DCTot.zyf");

    b = ScanOk(3, kInc);  // job 2 was killed: job 1 stays the baseline
    ExpectBaseline(b, 1);
    EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(2)));
    EndBackup(3, D::Failed);

    b = ScanOk(4, kInc);
    ExpectBaseline(b, 1);
    EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(3)));
    EndBackup(4, D::Successful);

    b = ScanOk(5, kInc);
    ExpectBaseline(b, 4);
    EXPECT_EQ(b.dirChangePath, JobFolder(4) + "/DCInc.zyf");
    EndBackup(5, D::Successful);
    b = ScanOk(6, kInc);
    ExpectBaseline(b, 5);
    // 4 was replaced by 5 as the last incremental; 1 stays as the last full.
    EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(4)));
    EXPECT_TRUE(FXPath::DoesPathExist(JobFolder(1) + "/DCTot.zyf"));

    SScanStart start;
    CKoError e = Scan(6, kInc, start);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) << e.AsString();
}

TEST_F(JobCycle, AStoppedAndCommittedJobIsTheBaselineAndItsTailIsCollectedAgain) {
    ScanOk(1, kFull);
    EndBackup(1, D::Successful);
    ScanOk(2, kInc);
    // The backup read the first line of the collect file, then was stopped and committed.
    ASSERT_TRUE(m_jm->SetRestartString(2, ScanCommitJobs::FormatRestartString({{1, 9}})).IsSuccess());
    EndBackup(2, D::Stopped);
    ASSERT_TRUE(m_jm->SetJobDisposition(2, D::Committed, "").IsSuccess());
    CFSJobResultCleanup committed(JobFolder(2), kInc, true, false, 2);
    ASSERT_TRUE(committed.Execute().IsSuccess());

    SStateBaseline b = ScanOk(3, kInc);
    ExpectBaseline(b, 2);
    SJobManagerJob job;
    ASSERT_TRUE(m_jm->GetJob(b.jobId, job).IsSuccess());
    ASSERT_EQ(job.disposition, D::Committed);
    ScanCommitJobs commit(kServer, 3, 2, 0, 2, job.backupLevel, JobFolder(2), EDirChangeMethod::DIRCHANGE_METHOD_FILE,
                          b.dirChangePath, false);
    ASSERT_TRUE(commit.CreateCommitFile().IsSuccess());
    std::vector<std::string> tail;
    UncommittedCallback take = [&](const std::string& line) {
        tail.push_back(line);
        return CKoError::Success();
    };
    ASSERT_TRUE(commit.ProcessUncommittedItems(&take).IsSuccess());
    EXPECT_EQ(tail, std::vector<std::string>{"*??" "/d/y"});
    EXPECT_EQ(ReadFile(commit.GetCommitDirChangeFileName()), DirChangeOf(2));
}

TEST_F(JobCycle, ADamagedStateDocumentMeansAFullJobThatSaysWhy) {
    ScanOk(1, kFull);
    EndBackup(1, D::Successful);
    testsupport::WriteFile(m_dir / "JobState.xml", "<JobState><Jobs><Job JobId=\"1\">");
    SScanStart start;
    ASSERT_TRUE(Scan(2, kInc, start).IsSuccess());
    EXPECT_EQ(start.setAside, m_dir / "JobState.xml.damaged");
    EXPECT_FALSE(start.baseline.found);
    EXPECT_EQ(start.baseline.reason.rfind("run full, because no job of this subclient is recorded yet", 0), 0u)
        << start.baseline.reason;
    EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(1)));  // not named by the new document
    EndBackup(2, D::Successful);
    ExpectBaseline(ScanOk(3, kInc), 2);
}

// A crash at every change of a scan's start: the next scan compares against the last job whose
// backup succeeded, with that job's own DirChange, and old job folders go.
TEST_F(JobCycle, ACrashAtAnyChangeLeavesThePreviousJobOrTheNewOne) {
    ScanOk(1, kFull);
    EndBackup(1, D::Successful);
    ScanOk(2, kInc);
    EndBackup(2, D::Successful);
    ScanOk(3, kInc);
    EndBackup(3, D::Successful);  // job 4 below promotes 3 and drops 2

    int64_t id = 4;
    for (int crashAfter = 0;; ++crashAfter, id += 2) {
        testsupport::CrashEnv env;
        env.CrashAfter(crashAfter);
        env.SkipSyncs(true);
        SScanStart start;
        {
            FXScopedEnv scoped(&env);
            Scan(id, kInc, start).IgnoreError();
        }
        // Whatever the crash left, the next scan starts from job 3, the last successful one.
        testsupport::CrashEnv fast;
        fast.SkipSyncs(true);
        FXScopedEnv scoped(&fast);
        SStateBaseline b = ScanOk(id + 1, kInc);
        ExpectBaseline(b, 3);
        EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(2))) << "crash after " << crashAfter;
        EXPECT_FALSE(FXPath::DoesPathExist(JobFolder(id))) << "crash after " << crashAfter;
        EXPECT_TRUE(FXPath::DoesPathExist(JobFolder(1) + "/DCTot.zyf"));
        ASSERT_TRUE(m_jm->SetJobDisposition(id + 1, D::Failed, "").IsSuccess());
        if (!env.Crashed()) break;
    }
    EXPECT_GT(id, 80) << id;  // the sweep went over every change of a scan
}

}  // namespace
