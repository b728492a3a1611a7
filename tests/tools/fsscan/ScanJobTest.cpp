#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "scan/job/CollectLine.h"
#include "FsScanTestSupport.h"
#include "scan/job/JobHistory.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJob.h"
#include "core/File.h"
#include "support/TestSupport.h"

using fsscantest::Expected;
using fsscantest::Fsscan;
using fsscantest::List;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

void MakeDir(const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0755), 0) << p; }

// What a scan of `root` lists besides the items below it: the folders above it.
std::set<std::string> WithAncestors(std::set<std::string> items, const std::string& root) {
    for (size_t slash = root.find('/', 1); slash != std::string::npos; slash = root.find('/', slash + 1))
        items.insert("+ " + root.substr(0, slash) + "/");
    return items;
}

RunResult Scan(const std::string& root, const std::string& results, const char* level, bool unprivileged = false) {
    return Fsscan({"scan", "--content", root, "--results", results, "--level", level}, unprivileged);
}

// A tree with awkward names: line feeds, "|", "%", escapes that are not, bytes that are not UTF-8.
std::string MakeTree(const ScopedTempDir& dir) {
    std::string root = dir / "content";
    MakeDir(root);
    MakeDir(root + "/docs");
    MakeDir(root + "/docs/old");
    MakeDir(root + "/line\nfeed|%41");
    WriteFile(root + "/docs/a.txt", "a");
    WriteFile(root + "/docs/old/b.txt", "b");
    WriteFile(root + "/docs/old/c.txt", "c");
    WriteFile(root + "/line\nfeed|%41/\xff\xfe bytes?", "x");
    WriteFile(root + "/%25 literal", "y");
    WriteFile(root + "/tab\tname", "z");
    return root;
}

TEST(FsScan, FullScanListsEveryItemWhateverItsName) {
    ScopedTempDir dir;
    std::string root = MakeTree(dir), results = dir / "results";
    RunResult r = Scan(root, results, "full");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("(full): 10 items seen, 10 collected, 0 deleted"), std::string::npos) << r.out;
    EXPECT_EQ(List(results), WithAncestors(Expected(root), root));
}

TEST(FsScan, IncrementalCollectsNewChangedMovedAndListsDeleted) {
    ScopedTempDir dir;
    std::string root = MakeTree(dir), results = dir / "results";
    ASSERT_EQ(Scan(root, results, "full").exitCode, 0);
    // Changes made after the scan are newer than its start time by more than the margin.
    const std::string old = root + "/docs/old";
    struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    // Age everything first so that only what we change below is "changed".
    for (const std::string& p : {root + "/docs/a.txt", old + "/b.txt", old + "/c.txt", root + "/tab\tname",
                                root + "/%25 literal", root + "/line\nfeed|%41/\xff\xfe bytes?"})
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), past, 0), 0);
    // Setting the times changed the change time: let it fall behind the next scan's start.
    ::sleep(static_cast<unsigned>(CScanJob::kStartTimeMarginMicros / 1000000 + 1));
    ASSERT_EQ(Scan(root, results, "full").exitCode, 0);
    fsscantest::MarkBackedUp(results);  // only a job whose backup succeeded is compared against

    WriteFile(root + "/docs/a.txt", "changed");
    WriteFile(root + "/docs/new.txt", "new");
    ASSERT_EQ(::rename(old.c_str(), (root + "/moved").c_str()), 0);
    ASSERT_EQ(::unlink((root + "/tab\tname").c_str()), 0);
    ASSERT_EQ(::unlink((root + "/line\nfeed|%41/\xff\xfe bytes?").c_str()), 0);
    ASSERT_EQ(::rmdir((root + "/line\nfeed|%41").c_str()), 0);

    RunResult r = Scan(root, results, "incremental");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> expected = WithAncestors({}, root);
    for (const std::string& item :
         {"+ " + root + "/docs/", "+ " + root + "/docs/a.txt", "+ " + root + "/docs/new.txt", "+ " + root + "/moved/",
          "+ " + root + "/moved/b.txt", "+ " + root + "/moved/c.txt", "- " + root + "/docs/old/",
          "- " + root + "/tab\tname", "- " + root + "/line\nfeed|%41/", "+ " + root + "/"})
        expected.insert(item);
    std::set<std::string> listed = List(results);
    // The root and its ancestors are written as the ancestors of what was collected.
    EXPECT_EQ(listed, expected);
    EXPECT_NE(r.out.find("(incremental)"), std::string::npos);
    EXPECT_NE(r.out.find("3 deleted"), std::string::npos) << r.out;
}

TEST(FsScan, DamagedPreviousDirChangeFallsBackToFull) {
    ScopedTempDir dir;
    std::string root = MakeTree(dir), results = dir / "results";
    ASSERT_EQ(Scan(root, results, "full").exitCode, 0);
    std::string good = ReadFile(fsscantest::JobFile(results, "DCTmp.zyf"));
    const std::vector<std::string> damages = {good.substr(0, good.size() / 2), std::string("\0\x01\xff garbage\n", 13),
                                              good + std::string(1 << 20, 'x') + "\n", ""};
    for (const std::string& damaged : damages) {
        // The baseline's DirChange is damaged while it waits for the next job.
        fsscantest::MarkBackedUp(results);
        WriteFile(fsscantest::JobFile(results, "DCTmp.zyf"), damaged);
        RunResult r = Scan(root, results, "incremental");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("running a full scan: the previous DirChange is unusable"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("(the DirChange of job"), std::string::npos) << r.err;
        EXPECT_EQ(List(results), WithAncestors(Expected(root), root));
        // The full job wrote a new, good DirChange.
        EXPECT_EQ(ReadFile(fsscantest::JobFile(results, "DCTmp.zyf")), good);
    }
}

// The DirChange of the last successful job must be exactly as it was after a failed job, and
// that job must stay the one the next incremental compares against.
std::map<std::string, std::string> Snapshot(const std::string& results) {
    // Its DirChange takes its final name once a later job learns that it succeeded.
    std::map<std::string, std::string> files;
    const std::string folder = results + "/J1";
    for (const char* name : {"/DCTmp.zyf", "/DCTot.zyf"})
        if (FXFile::DoesFileExist(folder + name)) files["DirChange"] = ReadFile(folder + name);
    EXPECT_EQ(files.count("DirChange"), 1u);
    SJobHistory history;
    EXPECT_TRUE(CJobHistory::Read(results, history).IsSuccess());
    EXPECT_EQ(history.nextBaseline, 1) << history.nextReason;
    return files;
}

TEST(FsScan, FailuresExitTwoAndLeaveThePreviousStateAlone) {
    ScopedTempDir dir;
    std::string root = MakeTree(dir), results = dir / "results";
    ASSERT_EQ(Scan(root, results, "full").exitCode, 0);
    fsscantest::MarkBackedUp(results);
    auto before = Snapshot(results);

    RunResult missing = Scan(dir / "no-such-folder", results, "incremental");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("Content path cannot be scanned"), std::string::npos) << missing.err;
    EXPECT_EQ(Snapshot(results), before);

    // An immutable folder refuses even root's writes. (Without root: FaultSweep fails every
    // file operation of a scan in turn.)
    if (::geteuid() != 0) GTEST_SKIP() << "chattr +i needs root";
    ASSERT_EQ(testsupport::Shell("chattr +i '" + results + "'"), 0);
    RunResult readOnly = Scan(root, results, "incremental");
    testsupport::Shell("chattr -i '" + results + "'");
    EXPECT_EQ(readOnly.exitCode, 2);
    EXPECT_EQ(Snapshot(results), before);
}

TEST(FsScan, FullDiskExitsTwoAndKeepsThePreviousJob) {
    ScopedTempDir dir;
    testsupport::TinyTmpfs fs(96 * 1024);
    if (!fs.Mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
    std::string root = dir / "content", results = fs.Path() + "/results";
    MakeDir(root);
    WriteFile(root + "/small", "s");
    ASSERT_EQ(Scan(root, results, "full").exitCode, 0);
    fsscantest::MarkBackedUp(results);
    auto before = Snapshot(results);
    // Enough names to overflow the collect file or the DirChange on a 96 KiB file system.
    for (int i = 0; i < 3000; ++i) WriteFile(root + "/a-rather-long-file-name-to-fill-the-disk-" + std::to_string(i), "");
    RunResult r = Scan(root, results, "incremental");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(Snapshot(results), before);
}

TEST(FsScan, UnreadableFolderIsAScanErrorAndIsCollectedOnceReadable) {
    ScopedTempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    std::string root = dir / "content", results = dir / "results";
    MakeDir(root);
    MakeDir(root + "/locked");
    WriteFile(root + "/locked/kept", "k");
    WriteFile(root + "/open", "o");
    MakeDir(results);
    const bool unprivileged = true;
    ASSERT_EQ(Scan(root, results, "full", unprivileged).exitCode, 0);
    fsscantest::MarkBackedUp(results);

    ASSERT_EQ(::chmod((root + "/locked").c_str(), 0), 0);
    RunResult r = Scan(root, results, "incremental", unprivileged);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("cannot scan " + root + "/locked"), std::string::npos) << r.err;
    // What could not be read is not reported deleted.
    for (const std::string& item : List(results)) EXPECT_EQ(item.find("- "), std::string::npos) << item;

    // Changed while unreadable: the next job collects everything below it again.
    fsscantest::MarkBackedUp(results);
    ASSERT_EQ(::chmod((root + "/locked").c_str(), 0755), 0);
    r = Scan(root, results, "incremental", unprivileged);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(List(results).count("+ " + root + "/locked/kept"), 1u);
}

TEST(FsScan, UsageErrors) {
    EXPECT_EQ(Fsscan({}).exitCode, 2);
    EXPECT_EQ(Fsscan({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(Fsscan({"scan", "--results", "/tmp/x"}).exitCode, 2);
    EXPECT_EQ(Fsscan({"scan", "--content", "/", "--results", "/tmp/x", "--level", "weekly"}).exitCode, 2);
    for (const char* option : {"--threads", "--readers"})
        for (const char* bad : {"0", "-1", "two", "", "99999999999999999999", "1001"}) {
            RunResult r = Fsscan({"scan", "--content", "/", "--results", "/tmp/x", option, bad});
            EXPECT_EQ(r.exitCode, 2) << option << " " << bad;
            if (bad[0] != '-' && bad[0] != 0) {
                EXPECT_NE(r.err.find("--threads takes a number from 1 to 64, --readers from 1 to 1000"), std::string::npos)
                    << option << " " << bad << ": " << r.err;
            }
        }
    RunResult help = Fsscan({"scan", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--folders-only"), std::string::npos);
    ScopedTempDir dir;
    RunResult list = Fsscan({"list", "--results", dir.Path()});
    EXPECT_EQ(list.exitCode, 2);
    EXPECT_NE(list.err.find("no scan has completed"), std::string::npos);
}

TEST(CollectLine, TellsItemsFromDeletionLines) {
    SCollectLine line;
    ASSERT_TRUE(ParseCollectLine("/a/b%7Cc", line));
    EXPECT_EQ(line.kind, ECollectLineKind::Item);
    EXPECT_EQ(line.path, "/a/b|c");
    EXPECT_FALSE(line.folder);
    ASSERT_TRUE(ParseCollectLine("/a/", line));
    EXPECT_TRUE(line.folder);
    EXPECT_EQ(line.path, "/a");
    ASSERT_TRUE(ParseCollectLine("/", line));
    EXPECT_TRUE(line.folder);
    EXPECT_EQ(line.path, "/");
    ASSERT_TRUE(ParseCollectLine("??d/x/y?", line));
    EXPECT_EQ(line.kind, ECollectLineKind::Deleted);
    EXPECT_EQ(line.path, "/x/y?");
    ASSERT_TRUE(ParseCollectLine("??D/x/", line));
    EXPECT_EQ(line.kind, ECollectLineKind::DeletedTree);
    EXPECT_TRUE(line.folder);
    EXPECT_FALSE(ParseCollectLine("relative", line));
    EXPECT_FALSE(ParseCollectLine("", line));
    EXPECT_FALSE(ParseCollectLine("??d", line));
}

TEST(ScanJobState, RoundTripsRescanPathsWithAnyByte) {
    ScopedTempDir dir;
    CScanJobState state;
    state.hasLastScan = true;
    state.lastJobId = 12;
    state.lastScan.jobId = 12;
    state.lastScan.folder = "J12";
    state.lastScan.full = false;
    state.lastScan.startTimeMicros = 1700000000123456;
    state.lastScan.dirChangeFile = "DCInc.zyf";
    state.lastScan.dirChangeHash = 0xfedcba9876543210ull;
    state.lastScan.collectFiles = {"CollectInc.zyf"};
    state.lastScan.rescanPaths = {"/a/\xff\xfe", "/b/%7C"};
    ASSERT_TRUE(state.Save(dir.Path()).IsSuccess());
    CScanJobState loaded;
    ASSERT_TRUE(loaded.Load(dir.Path()).IsSuccess());
    EXPECT_TRUE(loaded.hasLastScan);
    EXPECT_EQ(loaded.lastScan.startTimeMicros, 1700000000123456);
    EXPECT_EQ(loaded.lastScan.dirChangeHash, 0xfedcba9876543210ull);
    EXPECT_EQ(loaded.lastScan.rescanPaths, state.lastScan.rescanPaths);
    EXPECT_FALSE(loaded.lastScan.full);

    WriteFile(dir / CScanJobState::kFileName, "<FsScanState><LastScan JobId='x'/></FsScanState>");
    EXPECT_TRUE(loaded.Load(dir.Path()).IsError());
}

}  // namespace
