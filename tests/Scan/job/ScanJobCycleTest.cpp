// The pieces the scan and backup jobs add to the job cycle: the scan record in the job-state
// document, the items a backup could not read, the job cycle's own rules (job ids, where a
// stopped job got to, commits, destinations) and the history fsscan status prints.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent/SQLiteJobManager.h"
#include "core/Path.h"
#include "scan/job/BackupJob.h"
#include "scan/job/JobCycle.h"
#include "scan/job/JobHistory.h"
#include "scan/job/JobState.h"
#include "scan/job/UnreadableItemList.h"
#include "scan/jobstate/ScanCommitJobs.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/jobstate/ScanErrorFileHandler.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;

namespace {

SScanRecord Sample() {
    SScanRecord r;
    r.jobId = 9;
    r.full = false;
    r.includeFiles = false;
    r.startTimeMicros = 1700000000123456;
    r.folder = "J9";
    r.baselineJobId = 4;
    r.dirChangeSize = 77;
    r.dirChangeHash = 0xfedcba9876543210ull;
    r.collectFiles = {"CollectInc1.zyf", "CollectInc2.zyf"};
    r.collectSizes = {10, 20};
    r.collectInfoFile = "CollectInfoInc.zyf";
    r.rescanPaths = {"/a/\xff\xfe", "/b/%7C|x"};
    r.contentRoots = {"/a", "/b"};
    r.formerRoots = {"/c"};
    return r;
}

TEST(ScanRecordNode, RoundTripsEveryFieldAndRefusesRecordsThatLeadElsewhere) {
    CKoXDocument holder;
    CKoXNodePtr node;
    ASSERT_TRUE(CScanRecordNode::Write(Sample(), holder, node).IsSuccess());
    SScanRecord back;
    ASSERT_TRUE(CScanRecordNode::Read(node, back).IsSuccess());
    const SScanRecord s = Sample();
    EXPECT_EQ(back.jobId, s.jobId);
    EXPECT_EQ(back.full, s.full);
    EXPECT_EQ(back.includeFiles, s.includeFiles);
    EXPECT_EQ(back.startTimeMicros, s.startTimeMicros);
    EXPECT_EQ(back.baselineJobId, s.baselineJobId);
    EXPECT_EQ(back.dirChangeHash, s.dirChangeHash);
    EXPECT_EQ(back.collectFiles, s.collectFiles);
    EXPECT_EQ(back.collectSizes, s.collectSizes);
    EXPECT_EQ(back.rescanPaths, s.rescanPaths);
    EXPECT_EQ(back.contentRoots, s.contentRoots);
    EXPECT_EQ(back.formerRoots, s.formerRoots);

    struct Case {
        const char* what;
        void (*damage)(SScanRecord&);
    };
    const Case cases[] = {
        {"another job's folder", [](SScanRecord& r) { r.folder = "J8"; }},
        {"a folder outside", [](SScanRecord& r) { r.folder = "../J9"; }},
        {"a collect file outside", [](SScanRecord& r) { r.collectFiles[1] = "../x"; }},
        {"a description outside", [](SScanRecord& r) { r.collectInfoFile = "/etc/passwd"; }},
        {"a relative root", [](SScanRecord& r) { r.contentRoots = {"a/b"}; }},
        {"a root with ..", [](SScanRecord& r) { r.formerRoots = {"/a/../b"}; }},
        {"job id 0", [](SScanRecord& r) { r.jobId = 0; r.folder = "J0"; }},
    };
    for (const Case& c : cases) {
        SScanRecord r = Sample();
        c.damage(r);
        CKoXDocument h;
        ASSERT_TRUE(CScanRecordNode::Write(r, h, node).IsSuccess());
        EXPECT_TRUE(FXErrorUtil::IsWin32(CScanRecordNode::Read(node, back), ZyWin32::ERROR_INVALID_DATA)) << c.what;
    }
    // A scan that never completed is no record.
    CKoXDocument partial;
    ASSERT_TRUE(partial.AppendNode(CScanRecordNode::kElementName, node).IsSuccess());
    EXPECT_TRUE(CScanRecordNode::Read(node, back).IsError());
}

TEST(UnreadableItemList, ReadsBackThePathsOfItemRecordsOnly) {
    ScopedTempDir dir;
    CScanErrorFileHandler file(dir.Path());
    const std::vector<std::string> paths = {"/t/a|b", "/t/100%", "/t/plain"};
    for (const std::string& path : paths) {
        CScanErrorFileData data;
        data.messageId = CBackupJob::kItemUnreadableMessageId;
        data.arguments = CUnreadableItemList::EscapeArgument(path) + "|Permission denied";
        ASSERT_TRUE(file.WriteMessage(data).IsSuccess());
        CScanErrorFileData refused;  // a refused line names a collect file, not an item
        refused.messageId = CBackupJob::kLineRefusedMessageId;
        refused.arguments = "/r/CollectTot1.zyf|7|not ours";
        ASSERT_TRUE(file.WriteMessage(refused).IsSuccess());
    }
    std::vector<std::string> read;
    ASSERT_TRUE(CUnreadableItemList::Read(dir.Path(), read).IsSuccess());
    EXPECT_EQ(read, paths);
    ScopedTempDir empty;
    ASSERT_TRUE(CUnreadableItemList::Read(empty.Path(), read).IsSuccess());
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(CUnreadableItemList::UnescapeArgument("%25%7C%7c%2"), "%||%2");
}

class JobCycleRules : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_cycle.Open(m_dir.Path()).IsSuccess()); }
    ScopedTempDir m_dir;
    CJobCycle m_cycle;
};

TEST_F(JobCycleRules, AJobIdIsUsedOnceAndNewJobsTakeTheNextOne) {
    long long next = 0;
    ASSERT_TRUE(m_cycle.NextJobId(next).IsSuccess());
    EXPECT_EQ(next, 1);
    SScanStart start;
    ASSERT_TRUE(m_cycle.StartScan(5, true, start).IsSuccess());
    EXPECT_FALSE(start.incremental);
    EXPECT_NE(start.reason.find("run full, because"), std::string::npos) << start.reason;
    EXPECT_TRUE(FXPath::DoesPathExist(m_cycle.JobFolder(5)));
    for (long long used : {5ll, 3ll}) {
        CKoError e = m_cycle.StartScan(used, true, start);
        EXPECT_NE(e.AsString().find("was used before in this job-results folder"), std::string::npos) << e.AsString();
    }
    ASSERT_TRUE(m_cycle.NextJobId(next).IsSuccess());
    EXPECT_EQ(next, 6);
}

// Where each reader stopped becomes the restart map and the restart string a commit reads:
// a file read to its end is skipped, one never started is whole, and files are known by number.
TEST_F(JobCycleRules, AStopRecordsWhereEachCollectFileGotTo) {
    SScanStart start;
    ASSERT_TRUE(m_cycle.StartScan(1, false, start).IsSuccess());
    const std::string folder = m_cycle.JobFolder(1);
    ASSERT_TRUE(m_cycle.RecordStop(1, true, folder,
                                   {{folder + "/CollectTot1.zyf", -999},
                                    {folder + "/CollectTot2.zyf", 120},
                                    {folder + "/CollectTot3.zyf", -1},
                                    {folder + "/CollectTot12.zyf", 0},
                                    {folder + "/Other.zyf", 5}})
                    .IsSuccess());
    EXPECT_EQ(ReadFile(folder + "/restartMapTot"), "1 -1\n2 120\n3 0\n12 0\n");
    SJobManagerJob job;
    ASSERT_TRUE(m_cycle.JobManager().GetJob(1, job).IsSuccess());
    EXPECT_EQ(job.disposition, EJobDisposition::Stopped);
    EXPECT_EQ(job.restartString, "-o 1|-1@2|120@3|0@12|0");
    // The restart string says the same as the map: a commit copies 2 from 120, 3 and 12 whole.
    ScanCommitJobs commit(m_cycle.ServerName(), 2, 1, 0, 1, 1, folder, EDirChangeMethod::DIRCHANGE_METHOD_FILE,
                          folder + "/DCTmp.zyf", false);
    ASSERT_TRUE(commit.FindOffsetDataFromRestartMapFile().IsSuccess());
    ASSERT_TRUE(commit.ParseRestartString(job.restartString).IsSuccess());
    const auto& entries = commit.GetRestartEntries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries.at(1).GetRestartOffset(), ScanCommitJobs::kSkipFile);
    EXPECT_EQ(entries.at(2).GetRestartOffset(), 120);
    EXPECT_EQ(entries.at(12).GetRestartOffset(), 0);
}

TEST_F(JobCycleRules, OnlyAStoppedJobWithACompleteScanIsCommitted) {
    SScanStart start;
    ASSERT_TRUE(m_cycle.StartScan(1, false, start).IsSuccess());
    uint64_t uncommitted = 0;
    CKoError e = m_cycle.CommitJob(1, uncommitted);
    EXPECT_NE(e.AsString().find("Only a stopped job can be committed; job 1 is running"), std::string::npos) << e.AsString();
    ASSERT_TRUE(m_cycle.RecordStop(1, true, m_cycle.JobFolder(1), {}).IsSuccess());
    e = m_cycle.CommitJob(1, uncommitted);
    EXPECT_NE(e.AsString().find("has no complete scan"), std::string::npos) << e.AsString();
    e = m_cycle.CommitJob(77, uncommitted);
    EXPECT_TRUE(e.IsError());
}

TEST_F(JobCycleRules, ADestinationIsTheFolderNotItsName) {
    const std::string dest = m_dir / "dest";
    ASSERT_EQ(::mkdir(dest.c_str(), 0755), 0);
    SDestIdentity first, again, remade;
    ASSERT_TRUE(CJobCycle::IdentifyDest(dest, first).IsSuccess());
    ASSERT_TRUE(CJobCycle::IdentifyDest(dest, again).IsSuccess());
    EXPECT_TRUE(first == again);
    // Made anew under the same name while the old one is held open elsewhere (so that its inode
    // cannot be reused at once).
    ASSERT_EQ(::rename(dest.c_str(), (dest + ".old").c_str()), 0);
    ASSERT_EQ(::mkdir(dest.c_str(), 0755), 0);
    ASSERT_TRUE(CJobCycle::IdentifyDest(dest, remade).IsSuccess());
    EXPECT_FALSE(first == remade);
    EXPECT_TRUE(CJobCycle::IdentifyDest(m_dir / "missing", remade).IsError());

    SScanStart start;
    ASSERT_TRUE(m_cycle.StartScan(1, false, start).IsSuccess());
    SDestIdentity recorded;
    ASSERT_TRUE(m_cycle.GetBackupDest(1, recorded).IsSuccess());
    EXPECT_TRUE(recorded.id.empty());
    ASSERT_TRUE(m_cycle.RecordBackupDest(1, first).IsSuccess());
    ASSERT_TRUE(m_cycle.GetBackupDest(1, recorded).IsSuccess());
    EXPECT_EQ(recorded.path, dest);
    EXPECT_TRUE(recorded == first);
}

// What status predicts: a pending job whose backup succeeded becomes the baseline at the next
// scan; one still running or stopped does not, and status says so.
TEST_F(JobCycleRules, HistoryTellsWhatTheNextIncrementalComparesAgainst) {
    SJobHistory history;
    ASSERT_TRUE(CJobHistory::Read(m_dir.Path(), history).IsSuccess());
    EXPECT_EQ(history.nextBaseline, 0);
    EXPECT_NE(history.nextReason.find("no job is recorded yet"), std::string::npos) << history.nextReason;

    auto complete = [&](long long id, bool full) {
        SScanStart start;
        ASSERT_TRUE(m_cycle.StartScan(id, !full, start).IsSuccess());
        SScanRecord r = Sample();
        r.jobId = id;
        r.full = full;
        r.folder = CJobCleanupCallback::JobFolderName(id);
        ASSERT_TRUE(m_cycle.CompleteScan(r).IsSuccess());
    };
    complete(1, true);
    ASSERT_TRUE(m_cycle.EndJob(1, EJobDisposition::Successful, "").IsSuccess());
    ASSERT_TRUE(CJobHistory::Read(m_dir.Path(), history).IsSuccess());
    EXPECT_EQ(history.nextBaseline, 1) << history.nextReason;
    complete(2, false);  // resolves 1: the last successful full job
    ASSERT_TRUE(m_cycle.RecordStop(2, false, m_cycle.JobFolder(2), {}).IsSuccess());
    ASSERT_TRUE(CJobHistory::Read(m_dir.Path(), history).IsSuccess());
    EXPECT_EQ(history.nextBaseline, 1);
    EXPECT_NE(history.nextReason.find("job 2 is stopped, so it does not count"), std::string::npos) << history.nextReason;
    ASSERT_EQ(history.jobs.size(), 2u);
    EXPECT_TRUE(history.jobs[0].lastSuccessful);
    EXPECT_TRUE(history.jobs[1].pending);
    EXPECT_TRUE(history.jobs[1].scanComplete);
    // A damaged document: the next job runs full, and the history says why.
    testsupport::WriteFile(m_dir / "JobState.xml", "<JobState><Jobs>");
    ASSERT_TRUE(CJobHistory::Read(m_dir.Path(), history).IsSuccess());
    EXPECT_EQ(history.nextBaseline, 0);
    EXPECT_NE(history.nextReason.find("runs full, because the job-state document is damaged"), std::string::npos)
        << history.nextReason;
}

}  // namespace
