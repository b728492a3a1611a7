// TrueUp jobs over a job-results folder that a real scan and backup filled: the report lines, and
// every way a run can go wrong without registering a repair that is not whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "agent/BackupIndex.h"
#include "agent/ScriptedIdxBrowseClient.h"
#include "core/File.h"
#include "core/Path.h"
#include "scan/job/BackupJob.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJob.h"
#include "scan/job/TrueUpJob.h"
#include "scan/job/TrueUpReport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedTempDir;
using testsupport::WriteFile;

class TrueUpJob : public ::testing::Test {
protected:
    void SetUp() override {
        tree = dir / "tree";
        results = dir / "results";
        for (const char* d : {"", "/docs", "/src"}) ::mkdir((tree + d).c_str(), 0755);
        for (const char* f : {"/docs/a", "/docs/b", "/src/c", "/top"}) WriteFile(tree + f, std::string("content of ") + f);
        ASSERT_TRUE(RunScan(false).IsSuccess());
        ASSERT_TRUE(RunBackup().IsSuccess());
    }
    CKoError RunScan(bool incremental) {
        SScanJobOptions options;
        options.contents = {tree};
        options.resultsDir = results;
        options.incremental = incremental;
        CScanJob job(options);
        return job.Run();
    }
    CKoError RunBackup() {
        SBackupJobOptions options;
        options.resultsDir = results;
        options.dest = dir / "dest";
        CBackupJob job(options);
        return job.Run();
    }
    CKoError RunTrueUp(STrueUpJobOptions options = STrueUpJobOptions()) {
        options.resultsDir = results;
        if (!options.onLine) options.onLine = [this](const std::string& line) { lines.push_back(line); };
        CTrueUpJob job(options);
        CKoError e = job.Run();
        summary = job.Summary();
        return e;
    }
    // No repair job, no repair collect and no work files: the folder is as the backup left it.
    void ExpectNothingRegistered(long long scanJobId) {
        CScanJobState state;
        ASSERT_TRUE(state.Load(results).IsSuccess());
        EXPECT_EQ(state.lastScan.jobId, scanJobId);
        EXPECT_EQ(summary.repairJobId, 0);
        std::vector<std::string> names;
        ASSERT_TRUE(FXFile::GetMatchingFiles(results, "CollectTrueUp*", names).IsSuccess());
        EXPECT_TRUE(names.empty()) << names.front();
        if (FXPath::DoesPathExist(results + "/TrueUp")) {
            ASSERT_TRUE(FXFile::GetMatchingFiles(results + "/TrueUp", "*", names).IsSuccess());
            EXPECT_TRUE(names.empty()) << names.front();
        }
    }

    ScopedTempDir dir;
    std::string tree, results;
    std::vector<std::string> lines;
    STrueUpJobSummary summary;
};

TEST_F(TrueUpJob, BrowseRepliesThatCannotBeTrustedFailTheRun) {
    struct Case {
        const char* what;
        std::vector<std::string> paths;
        databrowse::BrowseStatus status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"twice", {"/", "/t", "/t/a", "/t/a"}, databrowse::BROWSE_STATUS_OK, "names an item twice or out of order"},
        {"out of order", {"/", "/t", "/t/b", "/t/a"}, databrowse::BROWSE_STATUS_OK, "names an item twice or out of order"},
        {"partial", {"/", "/t"}, databrowse::BROWSE_STATUS_PARTIAL, "IdxBrowseClient::Browse failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto client = std::make_shared<CScriptedIdxBrowseClient>();
        databrowse::BrowseReply page;
        page.tagId = 1;
        page.status = c.status;
        for (const std::string& p : c.paths) {
            databrowse::BrowseItem item;
            item.path = p == "/" ? p : tree + p.substr(2);
            item.folder = p.size() < 3;
            page.items.push_back(item);
        }
        client->AddPage(page);
        client->SetBrowseResult(0);
        STrueUpJobOptions options;
        options.browseClient = client;
        options.repair = true;
        CKoError e = RunTrueUp(options);
        ASSERT_TRUE(e.IsError());
        EXPECT_NE(e.AsString().find(c.message), std::string::npos) << e.AsString();
        ExpectNothingRegistered(1);
    }
}

TEST_F(TrueUpJob, AStoppedComparisonIsPartialAndRegistersNoRepair) {
    ASSERT_EQ(::unlink((tree + "/docs/a").c_str()), 0);
    ASSERT_EQ(::unlink((tree + "/docs/b").c_str()), 0);
    WriteFile(tree + "/src/new", "never backed up");
    struct StopOnRequest : CAbortOperationCheck {
        bool IsAborted() override { return stop; }
        bool stop = false;
    };
    auto abort = std::make_shared<StopOnRequest>();
    STrueUpJobOptions options;
    options.repair = true;
    options.abortCheck = abort;
    options.onLine = [&](const std::string& line) {
        lines.push_back(line);
        abort->stop = true;  // at the first difference
    };
    CKoError e = RunTrueUp(options);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED)) << e.AsString();
    EXPECT_TRUE(summary.partial);
    // Stopped at its next question, before the new file of the next folder.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "deleted " + tree + "/docs/a");
    for (const std::string& line : lines) EXPECT_EQ(line.find("new "), std::string::npos) << line;
    ExpectNothingRegistered(1);
    EXPECT_TRUE(FXPath::DoesPathExist(tree + "/src/new"));

    // Not stopped: all three, and a repair job.
    lines.clear();
    STrueUpJobOptions again;
    again.method = EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER;
    again.repair = true;
    ASSERT_TRUE(RunTrueUp(again).IsSuccess());
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(summary.repairJobId, 2);
}

TEST_F(TrueUpJob, ARepairWaitsForTheBackupAndADamagedIndexIsNamed) {
    WriteFile(tree + "/later", "scanned, not yet backed up");
    ASSERT_TRUE(RunScan(true).IsSuccess());
    STrueUpJobOptions repair;
    repair.repair = true;
    CKoError e = RunTrueUp(repair);
    EXPECT_NE(e.AsString().find("The backup of job 2 has not finished"), std::string::npos) << e.AsString();
    ExpectNothingRegistered(2);
    // A look without repair says what the backups lack.
    ASSERT_TRUE(RunTrueUp().IsSuccess());
    EXPECT_TRUE(summary.backupPending);
    EXPECT_EQ(lines, std::vector<std::string>{"new " + tree + "/later"});

    ASSERT_TRUE(RunBackup().IsSuccess());
    const std::string index = CSQLiteBackupIndex::DefaultPathFor(results);
    WriteFile(index, std::string(4096, '\x07'));
    ::unlink((index + "-wal").c_str());
    ::unlink((index + "-shm").c_str());
    e = RunTrueUp(repair);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("BackupIndex.db"), std::string::npos) << e.AsString();
    ExpectNothingRegistered(2);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    e = RunTrueUp();
    EXPECT_NE(e.AsString().find("No backup index"), std::string::npos) << e.AsString();
}

TEST(TrueUpReport, LinesForEachKindAndNoDeletionOfWhatIsThere) {
    ScopedTempDir dir;
    WriteFile(dir / "here", "x");
    std::vector<std::string> lines;
    struct Next : CTrueUpDifferenceCallback {
        CKoError OnDeletedItem(const CTrueUpDifferenceItemPtr& item) override {
            deleted.push_back(item->GetPath());
            return CKoError::Success();
        }
        std::vector<std::string> deleted;
    };
    auto next = std::make_shared<Next>();
    CTrueUpReport report({dir.Path()}, [&](const std::string& line) { lines.push_back(line); }, next);
    auto item = [](std::string path, bool deleted, bool folder, uint32_t changes = 0, bool acl = false) {
        auto i = std::make_shared<CTrueUpDifferenceItem>(std::move(path), "", deleted, 0, folder, 0, acl);
        i->SetChanges(changes);
        return i;
    };
    using D = CTrueUpDifferenceItem;
    ASSERT_TRUE(report.OnNewItem(item(dir / "fresh", false, true)).IsSuccess());
    ASSERT_TRUE(report.OnNewItem(item(dir / "line\nbreak", false, false)).IsSuccess());
    ASSERT_TRUE(report.OnModifiedItem(item(dir / "m", false, false, D::CHANGE_SIZE | D::CHANGE_CHANGE_TIME)).IsSuccess());
    ASSERT_TRUE(report.OnModifiedItem(item(dir / "acl", false, false, D::CHANGE_CHANGE_TIME, true)).IsSuccess());
    ASSERT_TRUE(report.OnModifiedItem(item(dir / "t", false, false, D::CHANGE_MODIFIED_TIME)).IsSuccess());
    ASSERT_TRUE(report.OnDeletedItem(item(dir / "gone", true, true)).IsSuccess());
    ASSERT_TRUE(report.OnDeletedItem(item(dir / "here", true, false)).IsSuccess());       // still there
    ASSERT_TRUE(report.OnDeletedItem(item(dir / "here/below", true, false)).IsSuccess());  // ENOTDIR: gone
    ASSERT_TRUE(report.OnDeletedItem(item("/elsewhere/x", true, false)).IsSuccess());      // not the content
    ASSERT_TRUE(report.OnNewItem(item(dir.Path() + "x/y", false, false)).IsSuccess());     // a name alike
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = dir / "sock";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(report.OnNewItem(item(socketPath, false, false)).IsSuccess());
    ::close(listener);
    EXPECT_EQ(report.GetCounts().sockets, 1u);
    const std::string d = dir.Path();
    EXPECT_EQ(lines, (std::vector<std::string>{"new " + d + "/fresh/", "new " + d + "/line%0Abreak",
                                               "modified " + d + "/m (size, ctime)", "modified " + d + "/acl (acl)",
                                               "modified " + d + "/t (mtime)", "deleted " + d + "/gone/",
                                               "deleted " + d + "/here/below"}));
    EXPECT_EQ(next->deleted, (std::vector<std::string>{d + "/gone", d + "/here/below"}));
    EXPECT_EQ(report.GetCounts().unverified, 1u);
    EXPECT_EQ(report.GetCounts().outside, 2u);
    EXPECT_EQ(report.GetCounts().Total(), 7u);
}

}  // namespace
