// fsscan trueup against backups damaged behind their back, and the backup index that killed
// backups leave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>

#include "FsScanTestSupport.h"
#include "agent/BackupIndex.h"
#include "core/Path.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("trueup of ", 0) != 0 && line.rfind("repair: ", 0) != 0) lines.insert(line);
    return lines;
}

std::string SummaryLine(const std::string& text) {
    size_t at = text.find("trueup of ");
    return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
}

RunResult TrueUp(const std::string& results, const char* method = "file", bool repair = false) {
    std::vector<std::string> args = {"trueup", "--results", results, "--method", method};
    if (repair) args.push_back("--repair");
    return Fsscan(args);
}

// Change times have whole seconds in the index: damage done in the second of the backup would
// not show. Waits until the file system stamps a later second than it gave `since`.
void WaitForNextSecond(const std::string& folder, const std::string& since) {
    struct stat reference;
    ASSERT_EQ(::stat(since.c_str(), &reference), 0);
    for (;;) {
        WriteFile(folder + "/.probe", "x");
        struct stat st;
        ASSERT_EQ(::stat((folder + "/.probe").c_str(), &st), 0);
        ::unlink((folder + "/.probe").c_str());
        if (st.st_ctim.tv_sec > reference.st_ctim.tv_sec) return;
        timespec pause{0, 5000000};
        nanosleep(&pause, nullptr);
    }
}

// Rewrites a file and puts its old times back (touch -r).
void RewriteKeepingTimes(const std::string& path, const std::string& content) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    WriteFile(path, content);
    timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Every live item of the index.
std::vector<SBackupIndexItem> Indexed(const std::string& results) {
    CSQLiteBackupIndex index;
    std::vector<SBackupIndexItem> all, page;
    EXPECT_TRUE(index.Open(CSQLiteBackupIndex::DefaultPathFor(results), false).IsSuccess());
    SBackupIndexPosition at;
    do {
        EXPECT_TRUE(index.ReadPage(at, 500, page).IsSuccess());
        for (SBackupIndexItem& item : page)
            if (!item.deleted) all.push_back(std::move(item));
    } while (page.size() == 500);
    return all;
}

TEST(FsScanTrueUp, DamageBehindTheBackupsBackIsFoundRepairedAndThenNothingDiffers) {
    ScopedTempDir dir;
    const std::string tree = dir / "tree", results = dir / "results", dest = dir / "dest";
    for (const char* d : {"", "/docs", "/docs/old", "/src"}) ::mkdir((tree + d).c_str(), 0755);
    for (const char* f : {"/docs/same", "/docs/grows", "/docs/lost", "/docs/old/x", "/src/gone", "/src/kept"})
        WriteFile(tree + f, std::string("content of ") + f);
    WriteFile(tree + "/vanishes", "scanned, gone before the backup");
    ASSERT_EQ(Fsscan({"scan", "--content", tree, "--results", results, "--level", "full"}).exitCode, 0);
    ASSERT_EQ(::unlink((tree + "/vanishes").c_str()), 0);
    RunResult r = Fsscan({"backup", "--results", results, "--dest", dest});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const SBackupIndexItem& item : Indexed(results))
        EXPECT_EQ(item.path.find("vanishes"), std::string::npos) << "indexed, never copied: " << item.path;
    r = TrueUp(results);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(SummaryLine(r.out), "trueup of job 1: 10 items on the file system, 0 new, 0 modified, 0 deleted");

    WaitForNextSecond(dir.Path(), tree + "/docs/same");
    RewriteKeepingTimes(tree + "/docs/same", "CONTENT OF /docs/same");   // same size
    RewriteKeepingTimes(tree + "/docs/grows", "content that is longer now");
    {  // lost by the backups: from the mirror and from the index
        ASSERT_EQ(::unlink((dest + tree + "/docs/lost").c_str()), 0);
        CSQLiteBackupIndex index;
        ASSERT_TRUE(index.Open(CSQLiteBackupIndex::DefaultPathFor(results), false).IsSuccess());
        ASSERT_TRUE(index.RecordDeletion(tree + "/docs/lost", false, 9).IsSuccess());
    }
    ASSERT_EQ(::unlink((tree + "/src/gone").c_str()), 0);  // while no job ran
    ASSERT_EQ(testsupport::Shell("rm -r '" + tree + "/docs/old'"), 0);

    const std::set<std::string> expected = {
        "modified " + tree + "/docs/same (ctime)", "modified " + tree + "/docs/grows (size, ctime)",
        "new " + tree + "/docs/lost", "deleted " + tree + "/src/gone", "deleted " + tree + "/docs/old/",
        "deleted " + tree + "/docs/old/x"};
    for (const char* method : {"file", "container"}) {
        SCOPED_TRACE(method);
        r = TrueUp(results, method);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(Lines(r.out), expected);
        EXPECT_EQ(SummaryLine(r.out), "trueup of job 1: 7 items on the file system, 1 new, 2 modified, 3 deleted");
    }

    r = TrueUp(results, "file", true);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find("repair: job 2 backs them up"), std::string::npos) << r.out;
    r = Fsscan({"backup", "--results", results, "--dest", dest});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(dest + tree + "/docs/same"), "CONTENT OF /docs/same");
    EXPECT_EQ(ReadFile(dest + tree + "/docs/lost"), "content of /docs/lost");
    EXPECT_FALSE(FXPath::DoesPathExist(dest + tree + "/src/gone"));
    EXPECT_FALSE(FXPath::DoesPathExist(dest + tree + "/docs/old"));
    for (const char* method : {"file", "container"}) {
        r = TrueUp(results, method);
        EXPECT_EQ(r.exitCode, 0) << method << "\n" << r.out << r.err;
    }

    // The job cycle goes on from the scan before the repair.
    WriteFile(tree + "/src/later", "after the repair");
    r = Fsscan({"scan", "--content", tree, "--results", results, "--level", "incremental"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(Fsscan({"backup", "--results", results, "--dest", dest}).exitCode, 0);
    r = TrueUp(results);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(dest + tree + "/src/later"), "after the repair");
}

// Starts backups and kills them at moments spread over a backup's length, a few times, then lets
// one finish; after each kill the index may hold less than the mirror, never more.
int KillThenFinish(const std::string& results, const std::string& dest, std::mt19937& rng) {
    int kills = 0;
    for (int round = 0; round < 8; ++round) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execl(FSSCAN_BINARY, FSSCAN_BINARY, "backup", "--results", results.c_str(), "--dest", dest.c_str(),
                    "--streams", "2", "--checkpoint", "40", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::usleep(static_cast<useconds_t>(20000 + rng() % (100000 * (round + 1))));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
            return kills;
        }
        ++kills;
        if (!FXPath::DoesPathExist(CSQLiteBackupIndex::DefaultPathFor(results))) continue;
        for (const SBackupIndexItem& item : Indexed(results)) {
            struct stat st;
            if (::lstat((dest + item.path).c_str(), &st) != 0) {
                ADD_FAILURE() << "the index claims what the mirror lacks after a kill: " << item.path;
                return kills;
            }
        }
    }
    RunResult r = Fsscan({"backup", "--results", results, "--dest", dest});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return kills;
}

TEST(FsScanTrueUp, KilledBackupsNeverLeaveTheIndexAheadOfTheMirror) {
    ScopedTempDir dir;
    const std::string tree = dir / "tree", results = dir / "results", dest = dir / "dest";
    ASSERT_EQ(testsupport::Shell(std::string(GENTREE_BINARY) + " create '" + tree +
                                 "' --folders 40 --files 500 --seed 8 >/dev/null"),
              0);
    std::mt19937 rng(11);
    ASSERT_EQ(Fsscan({"scan", "--content", tree, "--results", results, "--level", "full"}).exitCode, 0);
    int kills = KillThenFinish(results, dest, rng);
    RunResult r = TrueUp(results);
    EXPECT_EQ(r.exitCode, 0) << r.out.substr(0, 2000) << r.err;

    // Changes, and a removed folder, backed up by an incremental job that is killed as well.
    ASSERT_EQ(testsupport::Shell(std::string(GENTREE_BINARY) + " touch '" + tree + "' --percent 20 --seed 4 >/dev/null"), 0);
    std::vector<std::string> first;
    for (const SBackupIndexItem& item : Indexed(results))
        if (item.folder && item.path.size() > tree.size() + 1) first.push_back(item.path);
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(testsupport::Shell("rm -rf '" + first.back() + "'"), 0);
    ASSERT_EQ(Fsscan({"scan", "--content", tree, "--results", results, "--level", "incremental"}).exitCode, 0);
    kills += KillThenFinish(results, dest, rng);
    r = TrueUp(results, "container");
    EXPECT_EQ(r.exitCode, 0) << r.out.substr(0, 2000) << r.err;
    for (const SBackupIndexItem& item : Indexed(results))
        EXPECT_NE(item.path.rfind(first.back(), 0), 0u) << "a removed folder's item is still held: " << item.path;
    EXPECT_GT(kills, 2) << "the backups ended before they could be killed: the test proves little";
    std::printf("%d backups killed\n", kills);
}

TEST(FsScanTrueUp, FailuresExitTwoWithAMessage) {
    ScopedTempDir dir;
    const std::string tree = dir / "tree", results = dir / "results";
    ::mkdir(tree.c_str(), 0755);
    WriteFile(tree + "/f", "x");
    ::mkdir(results.c_str(), 0755);
    RunResult r = TrueUp(results);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("No scan has completed"), std::string::npos) << r.err;
    ASSERT_EQ(Fsscan({"scan", "--content", tree, "--results", results, "--level", "full"}).exitCode, 0);
    r = TrueUp(results);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("No backup index"), std::string::npos) << r.err;
    r = TrueUp(results, "file", true);
    EXPECT_NE(r.err.find("The backup of job 1 has not finished"), std::string::npos) << r.err;
    ASSERT_EQ(Fsscan({"backup", "--results", results, "--dest", dir / "dest"}).exitCode, 0);
    WriteFile(CSQLiteBackupIndex::DefaultPathFor(results), std::string(4096, 'z'));
    ::unlink((CSQLiteBackupIndex::DefaultPathFor(results) + "-wal").c_str());
    r = TrueUp(results, "container", true);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("BackupIndex.db"), std::string::npos) << r.err;
    EXPECT_EQ(SummaryLine(r.out), "");
    // The backup refuses the damaged index too, and says what to do.
    WriteFile(tree + "/g", "y");
    ASSERT_EQ(Fsscan({"scan", "--content", tree, "--results", results, "--level", "incremental"}).exitCode, 0);
    r = Fsscan({"backup", "--results", results, "--dest", dir / "dest"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("move it away"), std::string::npos) << r.err;

    EXPECT_EQ(Fsscan({"trueup", "--results", results, "--method", "tree"}).exitCode, 2);
    EXPECT_EQ(Fsscan({"trueup"}).exitCode, 2);
    r = Fsscan({"trueup", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("--repair"), std::string::npos);
}

}  // namespace
