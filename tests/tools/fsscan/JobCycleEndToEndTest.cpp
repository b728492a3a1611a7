// The job cycle end to end: what a scan compares against, what a stopped, failed, killed or
// committed backup leaves for the next job, and that the mirror ends equal to the tree.
//
// Most steps run the fsscan program. Where a test must tell "changed since job A" from "changed
// since job B", the scans run in-process (the same CScanJob fsscan runs) under a clock set hours
// ahead, so that every scan starts at a known time and a file's change time is placed between
// two scans with utimensat, with no sleeping.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>

#include "FsScanTestSupport.h"
#include "core/Env.h"
#include "core/File.h"
#include "scan/job/BackupJob.h"
#include "scan/job/JobHistory.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJob.h"
#include "support/CrashEnv.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

constexpr int64_t kHour = 3600ll * 1000000;

// The real clock moved ahead by a settable offset.
class CShiftedClock : public FXEnvWrapper {
public:
    CShiftedClock() : FXEnvWrapper(FXEnv::Default()) {}
    int64_t NowMicros() override { return Target()->NowMicros() + offset; }
    int64_t offset = 0;
};

// Every item below `root` (relative path) with its type, mode and content or link target.
std::map<std::string, std::string> Describe(const std::string& root) {
    static std::map<std::string, std::string>* out;
    static size_t prefix;
    std::map<std::string, std::string> items;
    out = &items;
    prefix = root.size();
    ::nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int, struct FTW*) {
            std::string d = std::to_string(st->st_mode);
            if (S_ISREG(st->st_mode)) d += " " + ReadFile(path);
            if (S_ISLNK(st->st_mode)) {
                char target[4096];
                ssize_t n = ::readlink(path, target, sizeof target);
                d += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            }
            (*out)[std::string(path).substr(prefix)] = d;
            return 0;
        },
        16, FTW_PHYS);
    return items;
}

void SetMTime(const std::string& path, int64_t micros) {
    const timespec t{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    const timespec times[2] = {t, t};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct Cycle {
    ScopedTempDir dir;
    std::string tree = dir / "tree", results = dir / "results", dest = dir / "dest";
    CShiftedClock clock;

    Cycle() {
        EXPECT_EQ(::mkdir(tree.c_str(), 0755), 0);
        EXPECT_EQ(::mkdir((tree + "/a").c_str(), 0755), 0);
        EXPECT_EQ(::mkdir((tree + "/b").c_str(), 0755), 0);
        for (int i = 0; i < 8; ++i) WriteFile(tree + "/a/f" + std::to_string(i), "a" + std::to_string(i));
        for (int i = 0; i < 4; ++i) WriteFile(tree + "/b/g" + std::to_string(i), "b" + std::to_string(i));
    }

    RunResult Scan(const char* level = "incremental", std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"scan", "--content", tree, "--results", results, "--level", level};
        args.insert(args.end(), extra.begin(), extra.end());
        return Fsscan(args, false, 120);
    }
    RunResult Backup(std::vector<std::string> extra = {}, const std::string& to = std::string()) {
        std::vector<std::string> args = {"backup", "--results", results, "--dest", to.empty() ? dest : to};
        args.insert(args.end(), extra.begin(), extra.end());
        return Fsscan(args, false, 120);
    }
    // An in-process scan at `hours` hours ahead of now.
    SScanJobSummary ScanAt(int hours, bool incremental = true) {
        clock.offset = hours * kHour;
        FXScopedEnv scoped(&clock);
        SScanJobOptions options;
        options.contents = {tree};
        options.resultsDir = results;
        options.incremental = incremental;
        CScanJob job(options);
        CKoError e = job.Run();
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        return job.Summary();
    }
    int64_t Hours(int hours) { return FXEnv::Default()->NowMicros() + hours * kHour; }
    std::set<std::string> Listed() { return fsscantest::List(results); }
    long long NextBaseline() {
        SJobHistory history;
        EXPECT_TRUE(CJobHistory::Read(results, history).IsSuccess());
        return history.nextBaseline;
    }
    void ExpectMirrored() {
        auto source = Describe(tree), mirror = Describe(dest + tree);
        EXPECT_EQ(mirror, source);
    }
};

// Must hold 1: a scan whose backup never ran is not what the next scan compares against.
TEST(FsScanJobCycle, AScanWithoutItsBackupIsNotTheBaseline) {
    Cycle c;
    ASSERT_TRUE(c.ScanAt(1, false).full);
    ASSERT_EQ(c.Backup().exitCode, 0);
    // Changed after job 1 started, and before job 2 did; a file deleted, one added.
    SetMTime(c.tree + "/a/f1", c.Hours(1) + kHour / 2);
    WriteFile(c.tree + "/a/f1", "changed");
    SetMTime(c.tree + "/a/f1", c.Hours(1) + kHour / 2);
    ASSERT_EQ(::unlink((c.tree + "/b/g0").c_str()), 0);
    SScanJobSummary second = c.ScanAt(2);  // its backup never runs
    EXPECT_FALSE(second.full);
    EXPECT_EQ(c.NextBaseline(), 1) << "job 2 is pending and its backup did not run";
    SScanJobSummary third = c.ScanAt(3);
    EXPECT_FALSE(third.full);
    std::set<std::string> listed = c.Listed();
    EXPECT_EQ(listed.count("+ " + c.tree + "/a/f1"), 1u);
    EXPECT_EQ(listed.count("- " + c.tree + "/b/g0"), 1u);
    EXPECT_EQ(listed.count("+ " + c.tree + "/a/f2"), 0u) << "unchanged since job 1";
    RunResult status = Fsscan({"status", "--results", c.results});
    EXPECT_NE(status.out.find("job 2: incremental, killed"), std::string::npos) << status.out;
    ASSERT_EQ(c.Backup().exitCode, 0);
    c.ExpectMirrored();
}

// Must hold 2: a backup killed half-way and never continued; the next scan misses nothing.
TEST(FsScanJobCycle, ABackupKilledHalfWayAndNeverContinuedLosesNothing) {
    Cycle c;
    for (int i = 0; i < 300; ++i) WriteFile(c.tree + "/a/many" + std::to_string(i), std::string(2000, 'm'));
    ASSERT_EQ(c.Scan("full").exitCode, 0);
    ASSERT_EQ(c.Backup().exitCode, 0);
    for (int i = 0; i < 300; i += 3) WriteFile(c.tree + "/a/many" + std::to_string(i), "rewritten");
    ASSERT_EQ(::unlink((c.tree + "/b/g1").c_str()), 0);
    WriteFile(c.tree + "/b/new", "new");
    ASSERT_EQ(c.Scan().exitCode, 0);
    // Killed once it has read some of its collect file.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execl(FSSCAN_BINARY, FSSCAN_BINARY, "backup", "--results", c.results.c_str(), "--dest", c.dest.c_str(),
                "--checkpoint", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string map = fsscantest::JobFile(c.results, "CollectMap_lnc.zyf");
    for (int i = 0; i < 2000 && !FXFile::DoesFileExist(map); ++i) ::usleep(5000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    RunResult scan = c.Scan();
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_NE(scan.out.find("(incremental)"), std::string::npos);
    EXPECT_EQ(c.Listed().count("- " + c.tree + "/b/g1"), 1u) << "the deletion job 2 found is found again";
    ASSERT_EQ(c.Backup().exitCode, 0);
    c.ExpectMirrored();
}

// SIGTERM (as SIGINT) stops the readers where they are: the job ends as stopped and a rerun
// continues it.
TEST(FsScanJobCycle, SigtermEndsTheBackupAsStoppedAndARerunContinuesIt) {
    Cycle c;
    for (int i = 0; i < 300; ++i) WriteFile(c.tree + "/a/many" + std::to_string(i), std::string(2000, 'm'));
    ASSERT_EQ(c.Scan("full").exitCode, 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::execl(FSSCAN_BINARY, FSSCAN_BINARY, "backup", "--results", c.results.c_str(), "--dest", c.dest.c_str(),
                "--checkpoint", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(pipeFds[1]);
    // The collect map appears once the handlers are in place and the readers about to start.
    const std::string map = fsscantest::JobFile(c.results, "CollectMap_Tot.zyf");
    for (int i = 0; i < 2000 && !FXFile::DoesFileExist(map); ++i) ::usleep(5000);
    ::kill(pid, SIGTERM);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the signal was not handled";
    if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the backup finished before the signal came";
    EXPECT_EQ(WEXITSTATUS(status), 3) << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;
    EXPECT_NE(Fsscan({"status", "--results", c.results}).out.find("job 1: full, stopped"), std::string::npos);
    RunResult again = c.Backup();
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("(continued)"), std::string::npos) << again.out;
    c.ExpectMirrored();
}

// Must hold 3: stopped, committed; the commit holds exactly the unread tail; the next job ends
// with the mirror equal to the tree. The status says what the next scan compares against.
TEST(FsScanJobCycle, AStoppedAndCommittedBackupLeavesExactlyItsTailToTheNextJob) {
    Cycle c;
    ASSERT_EQ(c.Scan("full").exitCode, 0);
    ASSERT_EQ(c.Backup().exitCode, 0);
    for (int i = 0; i < 8; ++i) WriteFile(c.tree + "/a/f" + std::to_string(i), "second " + std::to_string(i));
    ASSERT_EQ(::unlink((c.tree + "/b/g2").c_str()), 0);
    ASSERT_EQ(c.Scan().exitCode, 0);
    const std::string collect = ReadFile(fsscantest::JobFile(c.results, "CollectInc1.zyf"));

    RunResult stopped = c.Backup({"--stop-after", "5"});
    ASSERT_EQ(stopped.exitCode, 3) << stopped.err;
    EXPECT_NE(stopped.out.find("fsscan commit --results"), std::string::npos) << stopped.out;
    RunResult status = Fsscan({"status", "--results", c.results});
    EXPECT_NE(status.out.find("job 2: incremental, stopped, pending"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("next incremental: compares against job 1"), std::string::npos) << status.out;

    RunResult commit = Fsscan({"commit", "--results", c.results, "--job", "2"});
    ASSERT_EQ(commit.exitCode, 0) << commit.err;
    // The first five lines were read; the rest is the commit collect file, line for line.
    size_t at = 0;
    for (int line = 0; line < 5; ++line) at = collect.find('\n', at) + 1;
    EXPECT_EQ(ReadFile(c.results + "/J2/Commit_J2_Collect.zyf"), collect.substr(at));
    EXPECT_NE(commit.out.find("job 2 committed"), std::string::npos);
    status = Fsscan({"status", "--results", c.results});
    EXPECT_NE(status.out.find("next incremental: compares against job 2 (incremental), the last job whose backup was committed"),
              std::string::npos)
        << status.out;
    // Committing twice is harmless; committing a job that did not stop is refused.
    EXPECT_EQ(Fsscan({"commit", "--results", c.results, "--job", "2"}).exitCode, 0);
    RunResult wrong = Fsscan({"commit", "--results", c.results, "--job", "1"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err.find("Only a stopped job can be committed"), std::string::npos) << wrong.err;

    ASSERT_EQ(c.Scan().exitCode, 0);
    std::set<std::string> listed = c.Listed();
    for (const std::string& tail : {c.tree + "/a/f7", c.tree + "/b/"})
        EXPECT_EQ(listed.count("+ " + tail), 1u) << tail;
    EXPECT_EQ(listed.count("- " + c.tree + "/b/g2"), 1u);
    ASSERT_EQ(c.Backup().exitCode, 0);
    c.ExpectMirrored();
}

// A full job removes from the mirror what it did not collect only once it is read to its end:
// after a committed full job, the next job runs full, so that what was deleted goes.
TEST(FsScanJobCycle, AfterACommittedFullJobTheNextJobRunsFull) {
    Cycle c;
    ASSERT_EQ(c.Scan("full").exitCode, 0);
    ASSERT_EQ(c.Backup().exitCode, 0);
    ASSERT_EQ(::unlink((c.tree + "/b/g3").c_str()), 0);
    ASSERT_EQ(c.Scan("full").exitCode, 0);
    ASSERT_EQ(c.Backup({"--stop-after", "2"}).exitCode, 3);
    ASSERT_EQ(Fsscan({"commit", "--results", c.results, "--job", "2"}).exitCode, 0);
    RunResult scan = c.Scan();
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_NE(scan.out.find("(full)"), std::string::npos) << scan.out;
    EXPECT_NE(scan.err.find("a full job, was committed before its backup ended"), std::string::npos) << scan.err;
    ASSERT_EQ(c.Backup().exitCode, 0);
    c.ExpectMirrored();
}

// Must hold 4: what the backup could not read is collected again, unchanged as it is.
TEST(FsScanJobCycle, FilesUnreadableDuringTheBackupAreBackedUpByTheNextJob) {
    Cycle c;
    c.ScanAt(1, false);
    ASSERT_EQ(::chmod((c.tree + "/a/f3").c_str(), 0), 0);
    RunResult backup = Fsscan({"backup", "--results", c.results, "--dest", c.dest}, true);
    ASSERT_EQ(backup.exitCode, 1) << backup.err;
    EXPECT_FALSE(FXFile::DoesFileExist(c.dest + c.tree + "/a/f3"));
    ASSERT_EQ(::chmod((c.tree + "/a/f3").c_str(), 0644), 0);
    // Its change time is older than job 2's start: only the scan-error file brings it back.
    c.ScanAt(2);
    std::set<std::string> listed = c.Listed();
    EXPECT_EQ(listed.count("+ " + c.tree + "/a/f3"), 1u);
    EXPECT_EQ(listed.count("+ " + c.tree + "/a/f2"), 0u);
    ASSERT_EQ(c.Backup().exitCode, 0);
    c.ExpectMirrored();
}

// Must hold 5: a scan cut short at any file operation (its renames and the job-state saves
// among them) leaves the previous job usable: the next scan is incremental against it and finds
// the deletions again; a backup run after the cut never mixes jobs. In-process, for speed.
TEST(FsScanJobCycle, AScanCutShortAnywhereLeavesThePreviousJobUsable) {
    Cycle c;
    for (int k = 0; k < 100; ++k) WriteFile(c.tree + "/b/d" + std::to_string(k), "d");
    auto backup = [&] {
        SBackupJobOptions options;
        options.resultsDir = c.results;
        options.dest = c.dest;
        CBackupJob job(options);
        return job.Run();
    };
    c.ScanAt(1, false);
    ASSERT_TRUE(backup().IsSuccess());
    int hour = 2, crashAfter = 0;
    for (;; ++crashAfter) {
        // A deletion the cut scan may find, and the next one must.
        const std::string deleted = c.tree + "/b/d" + std::to_string(crashAfter);
        ASSERT_EQ(::unlink(deleted.c_str()), 0);
        testsupport::CrashEnv crash;
        crash.CrashAfter(crashAfter);
        crash.SkipSyncs(true);
        {
            FXScopedEnv scoped(&crash);
            SScanJobOptions options;
            options.contents = {c.tree};
            options.resultsDir = c.results;
            CScanJob(options).Run().IgnoreError();
        }
        const std::string label = "crash after " + std::to_string(crashAfter);
        // A backup now backs up the cut job only if its scan completed; never another's files.
        CKoError e = backup();
        EXPECT_TRUE(e.IsSuccess() || e.AsString().find("No scan has completed") != std::string::npos ||
                    e.AsString().find("cannot be backed up") != std::string::npos)
            << label << ": " << e.AsString();
        SScanJobSummary next = c.ScanAt(hour++);
        EXPECT_FALSE(next.full) << label << ": " << next.fallbackReason;
        if (e.IsError()) {
            const std::string collect = ReadFile(fsscantest::JobFile(c.results, "CollectInc1.zyf"));
            EXPECT_NE(collect.find("??d" + deleted + "\n"), std::string::npos) << label;
        }
        ASSERT_TRUE(backup().IsSuccess()) << label;
        c.ExpectMirrored();
        if (!crash.Crashed() || HasFailure()) break;
        ASSERT_LT(crashAfter, 99) << "more file operations than expected";
    }
    EXPECT_GT(crashAfter, 20) << "the sweep went over the scan's file operations";
    std::printf("[ sweep    ] %d crash points of a scan\n", crashAfter);
}

// Must hold 6: a job id given twice is refused; a DEST that never got the baseline is refused,
// and nothing is reported done while it stays empty. A damaged job-state document: a full job
// that says why.
TEST(FsScanJobCycle, JobIdsAreUsedOnceAndEachDestinationGetsItsOwnBaseline) {
    Cycle c;
    ASSERT_EQ(c.Scan("full", {"--job", "7"}).exitCode, 0);
    RunResult twice = c.Scan("incremental", {"--job", "7"});
    EXPECT_EQ(twice.exitCode, 2);
    EXPECT_NE(twice.err.find("Job id 7 was used before"), std::string::npos) << twice.err;
    ASSERT_EQ(c.Backup().exitCode, 0);
    RunResult done = c.Backup();
    EXPECT_NE(done.out.find("already backed up"), std::string::npos) << done.out;

    const std::string other = c.dir / "other";
    RunResult elsewhere = c.Backup({}, other);
    EXPECT_EQ(elsewhere.exitCode, 2);
    EXPECT_NE(elsewhere.err.find("run a full scan"), std::string::npos) << elsewhere.err;
    WriteFile(c.tree + "/a/f0", "changed");
    ASSERT_EQ(c.Scan().exitCode, 0);
    elsewhere = c.Backup({}, other);
    EXPECT_EQ(elsewhere.exitCode, 2);
    EXPECT_NE(elsewhere.err.find("has never received job 7"), std::string::npos) << elsewhere.err;
    EXPECT_TRUE(Describe(other).size() <= 1) << "nothing was written to the other destination";
    // Emptied and made anew under the same name: another destination too.
    ASSERT_EQ(testsupport::Shell("rm -rf '" + c.dest + "' && mkdir '" + c.dest + "'"), 0);
    elsewhere = c.Backup();
    EXPECT_EQ(elsewhere.exitCode, 2) << elsewhere.out;
    // A full job may go anywhere.
    ASSERT_EQ(c.Scan("full").exitCode, 0);
    ASSERT_EQ(c.Backup().exitCode, 0);
    c.ExpectMirrored();

    WriteFile(c.results + "/JobState.xml", "<JobState><Jobs><Job JobId=");
    RunResult damaged = c.Scan();
    EXPECT_EQ(damaged.exitCode, 0) << damaged.err;
    EXPECT_NE(damaged.out.find("(full)"), std::string::npos);
    EXPECT_NE(damaged.err.find("the job-state document was damaged; it was moved to"), std::string::npos) << damaged.err;
    EXPECT_NE(damaged.err.find("run full, because"), std::string::npos) << damaged.err;
    EXPECT_TRUE(FXFile::DoesFileExist(c.results + "/JobState.xml.damaged"));
}

// Must hold 7: SIGKILL at random moments of scans and backups over many cycles with random
// changes between them; after one undisturbed cycle the mirror equals the tree. FSSCAN_CYCLE_SEED
// runs another series.
TEST(FsScanJobCycle, KilledAtRandomMomentsOverManyCyclesTheMirrorEndsEqual) {
    Cycle c;
    const char* seedText = std::getenv("FSSCAN_CYCLE_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : 20261206u;
    SCOPED_TRACE("FSSCAN_CYCLE_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int i = 0; i < 60; ++i) WriteFile(c.tree + "/a/n" + std::to_string(i), std::string(1000 + i, 'n'));
    auto runKilled = [&](std::vector<std::string> args) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            std::vector<char*> argv{const_cast<char*>(FSSCAN_BINARY)};
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::alarm(60);
            ::execv(FSSCAN_BINARY, argv.data());
            _exit(127);
        }
        ::usleep(static_cast<useconds_t>(rng() % 900000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    };
    for (int cycle = 0; cycle < 5; ++cycle) {
        // Random changes: rewritten, deleted, new files, a folder gone or back.
        for (int n = 0; n < 6; ++n) {
            const std::string file = c.tree + "/a/n" + std::to_string(rng() % 80);
            if (rng() % 3 == 0)
                ::unlink(file.c_str());
            else
                WriteFile(file, "cycle " + std::to_string(cycle) + " " + std::to_string(rng()));
        }
        if (rng() % 3 == 0) testsupport::Shell("rm -rf '" + c.tree + "/b'");
        if (::access((c.tree + "/b").c_str(), F_OK) != 0 && rng() % 2) {
            ::mkdir((c.tree + "/b").c_str(), 0755);
            WriteFile(c.tree + "/b/back", std::to_string(cycle));
        }
        const std::vector<std::string> scan = {"scan", "--content", c.tree, "--results", c.results};
        const std::vector<std::string> backup = {"backup", "--results", c.results, "--dest", c.dest, "--checkpoint", "7"};
        if (rng() % 2) runKilled(scan); else Fsscan(scan, false, 120);
        if (rng() % 2) runKilled(backup); else Fsscan(backup, false, 120);
        if (rng() % 3 == 0) {
            RunResult stop = c.Backup({"--stop-after", std::to_string(1 + rng() % 20)});
            CScanJobState state;
            if (stop.exitCode == 3 && state.Load(c.results).IsSuccess() && state.hasLastScan)
                Fsscan({"commit", "--results", c.results, "--job", std::to_string(state.lastScan.jobId)});
        }
    }
    RunResult scan = c.Scan();
    ASSERT_LE(scan.exitCode, 1) << scan.err;
    RunResult backup = c.Backup();
    ASSERT_EQ(backup.exitCode, 0) << backup.err;
    c.ExpectMirrored();
}

}  // namespace
