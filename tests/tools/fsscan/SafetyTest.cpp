// fsscan run as a hostile local user or a faulty machine would have it run: links swapped in at
// any moment, forged and damaged job files, odd destinations. Nothing outside DEST may change
// (a canary tree is hashed before and after), nothing outside the content may be read, and
// every run ends by itself with a clear exit code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "scan/job/BackupJob.h"
#include "FsScanTestSupport.h"
#include "scan/job/JobState.h"
#include "scan/job/Progress.h"
#include "core/PathWalker.h"
#include "core/Sync.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

void MakeDir(const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0755), 0) << p; }
bool Exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

// Type, mode, size, content and link target of everything below `root`, as one string.
std::string Digest(const std::string& root) {
    static std::string* out;
    static size_t rootLength;
    std::string result;
    out = &result;
    rootLength = root.size();
    ::nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int, struct FTW*) {
            *out += std::string(path).substr(rootLength) + " " + std::to_string(st->st_mode) + " " +
                    std::to_string(st->st_size) + " " + std::to_string(st->st_mtim.tv_sec);
            if (S_ISREG(st->st_mode)) *out += " " + std::to_string(std::hash<std::string>()(ReadFile(path)));
            if (S_ISLNK(st->st_mode)) {
                char target[4096];
                ssize_t n = ::readlink(path, target, sizeof target);
                *out += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            }
            *out += "\n";
            return 0;
        },
        16, FTW_PHYS);
    return result;
}

// A content tree, its job-results folder, DEST, and a canary tree outside all of them.
struct Job {
    ScopedTempDir dir;
    std::string content = dir / "c", results = dir / "results", dest = dir / "dest", canary = dir / "canary";

    Job() {
        MakeDir(content);
        MakeDir(content + "/d");
        MakeDir(content + "/d/sub");
        WriteFile(content + "/top", "top");
        WriteFile(content + "/d/file", "file");
        WriteFile(content + "/d/sub/deep", "deep");
        MakeDir(canary);
        MakeDir(canary + "/sub");
        WriteFile(canary + "/sub/deep", "canary deep");
        WriteFile(canary + "/file", "canary file");
        WriteFile(canary + "/top", "canary top");
    }
    RunResult Scan(const char* level, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"scan", "--content", content, "--results", results, "--level", level};
        args.insert(args.end(), extra.begin(), extra.end());
        return Fsscan(args, false, 60);
    }
    RunResult Backup(const std::string& streams = "1") {
        return Fsscan({"backup", "--results", results, "--dest", dest, "--streams", streams, "--checkpoint", "3"}, false, 60);
    }
    RunResult List() { return Fsscan({"list", "--results", results}, false, 60); }
    std::string Mirror(const std::string& path) const { return dest + path; }

    CScanJobState State() {
        CScanJobState s;
        EXPECT_TRUE(s.Load(results).IsSuccess());
        return s;
    }
    // A file of the last scan's job folder.
    std::string F(const std::string& name) { return fsscantest::JobFile(results, name); }
    // Forges a collect file as one who can also rewrite the job state would.
    void Forge(const std::string& name, const std::string& content) {
        WriteFile(F(name), content);
        CScanJobState s = State();
        for (size_t i = 0; i < s.lastScan.collectFiles.size(); ++i)
            if (s.lastScan.collectFiles[i] == name) s.lastScan.collectSizes[i] = content.size();
        ASSERT_TRUE(s.Save(results).IsSuccess());
    }
    // The backup of the last scan is to run again, as after a crash.
    void MarkUnfinished() { fsscantest::MarkBackupUnfinished(results); }
};

TEST(FsScanSafety, FolderSwappedForALinkBetweenJobsDeletesNothingOutside) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    const std::string before = Digest(j.canary);
    ASSERT_EQ(testsupport::Shell("rm -rf '" + j.content + "/d'"), 0);
    ASSERT_EQ(::symlink(j.canary.c_str(), (j.content + "/d").c_str()), 0);
    RunResult scan = j.Scan("incremental");
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    RunResult r = j.Backup();
    EXPECT_LE(r.exitCode, 1) << r.err;
    EXPECT_EQ(Digest(j.canary), before);
    struct stat st;
    ASSERT_EQ(::lstat(j.Mirror(j.content + "/d").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(FsScanSafety, FolderSwappedForALinkBeforeTheBackupReadsNothingOutside) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    const std::string before = Digest(j.canary);
    // The canary holds the names the scan saw under d: the backup must not read or truncate them.
    ASSERT_EQ(testsupport::Shell("rm -rf '" + j.content + "/d'"), 0);
    ASSERT_EQ(::symlink(j.canary.c_str(), (j.content + "/d").c_str()), 0);
    RunResult r = j.Backup();
    EXPECT_LE(r.exitCode, 1) << r.err;
    EXPECT_EQ(Digest(j.canary), before);
    // d is mirrored as what it now is, a link; nothing was read through it.
    struct stat st;
    ASSERT_EQ(::lstat(j.Mirror(j.content + "/d").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(j.Mirror(j.content + "/top")), "top");
}

TEST(FsScanSafety, DestinationAndResultsAreCheckedByRealPath) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    const std::string content = Digest(j.content);
    struct Case {
        std::string dest, message;
    };
    const Case cases[] = {
        {"/.", "cannot be /"},
        {"/tmp/..", "cannot be /"},
        {j.content + "/d/../.", "lies inside the content"},
        {j.content + "/d/mirror", "lies inside the content"},
        {j.dir.Path(), "holds the content"},
        {j.results + "/mirror", "job-results folder"},
    };
    for (const Case& c : cases) {
        RunResult r = Fsscan({"backup", "--results", j.results, "--dest", c.dest}, false, 60);
        EXPECT_EQ(r.exitCode, 2) << c.dest;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.dest << ": " << r.err;
    }
    EXPECT_EQ(Digest(j.content), content);
    RunResult inside = Fsscan({"scan", "--content", j.content, "--results", j.content + "/d/results"}, false, 60);
    EXPECT_EQ(inside.exitCode, 2);
    EXPECT_NE(inside.err.find("The job-results folder lies inside the content"), std::string::npos) << inside.err;
    EXPECT_EQ(Digest(j.content), content) << "nothing is made in the content";
}

TEST(FsScanSafety, ForgedCollectLinesAreRefusedNamedAndCounted) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    const std::string before = Digest(j.canary);
    std::string good = ReadFile(j.F("CollectTot1.zyf"));
    const std::vector<std::string> forged = {
        j.canary + "/file",                             // outside the content
        "??D" + j.content + "/../canary/",              // ".." leading out
        "??d" + j.canary + "/top",                      // a deletion outside
        "not a path",                                   // not a line of ours
        j.content + "//d/x",                            // an empty component
        j.content + "%2F..%2F..%2Fcanary%2Ffile",       // ".." hidden in escapes
        j.content + "/x%00/y",                          // a NUL
        std::string(70000, 'a') + j.canary + "/top",    // longer than a line can be: no piece is a path
    };
    std::string text = good;
    for (const std::string& line : forged) text += line + "\n";
    j.Forge("CollectTot1.zyf", text);
    RunResult r = j.Backup();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find(std::to_string(forged.size()) + " collect lines refused"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("refused the line"), std::string::npos) << r.err;
    EXPECT_EQ(Digest(j.canary), before);
    EXPECT_FALSE(Exists(j.Mirror(j.canary)));
    EXPECT_EQ(ReadFile(j.Mirror(j.content + "/d/sub/deep")), "deep");
    std::string causes = ReadFile(j.results + "/PendingCauses.txt");
    EXPECT_NE(causes.find("MessageId=[" + std::to_string(CBackupJob::kLineRefusedMessageId) + "]"), std::string::npos);
    // list shows items only; what it cannot show as one it counts.
    RunResult list = j.List();
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.out.find(j.canary), std::string::npos) << list.out;
}

TEST(FsScanSafety, ForgedStateDescriptionAndDirChangeLeadNowhere) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    const std::string before = Digest(j.canary);

    // A DirChange naming an outside folder, with its hash recomputed in the state.
    const std::string dc = j.F("DCTmp.zyf");
    WriteFile(dc, ReadFile(dc) + j.canary + "/\n\tfile\n");
    CScanJobState s = j.State();
    ASSERT_TRUE(HashFile(dc, s.lastScan.dirChangeSize, s.lastScan.dirChangeHash).IsSuccess());
    ASSERT_TRUE(s.Save(j.results).IsSuccess());
    RunResult scan = j.Scan("incremental");
    EXPECT_EQ(scan.exitCode, 1) << scan.err;
    EXPECT_NE(scan.err.find("outside the content"), std::string::npos) << scan.err;
    EXPECT_EQ(j.List().out.find(j.canary), std::string::npos);
    EXPECT_LE(j.Backup().exitCode, 1);
    EXPECT_EQ(Digest(j.canary), before);

    // Links planted as the next job's file names (in the folder it will have) are removed, never
    // written through.
    const std::string next = j.results + "/J" + std::to_string(j.State().lastScan.jobId + 1);
    MakeDir(next);
    for (const char* name : {"CollectInc1.zyf", "DCTmp.zyf", "CollectInfoInc.zyf", "Deleted.tmp"})
        ASSERT_EQ(::symlink((j.canary + "/file").c_str(), (next + "/" + name).c_str()), 0);
    fsscantest::MarkBackedUp(j.results);
    EXPECT_EQ(j.Scan("incremental").exitCode, 0);
    EXPECT_EQ(Digest(j.canary), before);

    // A description naming a file outside the folder; a state naming one.
    const std::string info = j.F("CollectInfoInc.zyf"), collect = j.F("CollectInc1.zyf");
    std::string text = ReadFile(info);
    size_t at = text.find(collect);
    ASSERT_NE(at, std::string::npos) << text;
    WriteFile(info, text.substr(0, at) + j.canary + "/file" + text.substr(at + collect.size()));
    j.MarkUnfinished();
    RunResult backup = j.Backup();
    EXPECT_EQ(backup.exitCode, 2);
    EXPECT_NE(backup.err.find("not one of the job's collect files"), std::string::npos) << backup.err;
    s = j.State();
    s.lastScan.collectFiles = {"../canary/file"};
    ASSERT_TRUE(s.Save(j.results).IsSuccess());
    RunResult list = j.List();
    EXPECT_EQ(list.exitCode, 2);
    EXPECT_NE(list.err.find("not a plain name"), std::string::npos) << list.err;
    EXPECT_EQ(list.out, "");
    EXPECT_EQ(Digest(j.canary), before);
}

TEST(FsScanSafety, FullBackupLeavesExactlyWhatTheJobCollected) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    // Deleted before a full job (which lists no deletions), and junk that was never content.
    ASSERT_EQ(testsupport::Shell("rm -rf '" + j.content + "/d/sub' '" + j.content + "/top'"), 0);
    WriteFile(j.Mirror(j.content + "/d/junk"), "junk");
    MakeDir(j.Mirror(j.content + "/junkdir"));
    WriteFile(j.Mirror(j.content + "/junkdir/x"), "x");
    // Beside the content's mirror: not the job's business.
    WriteFile(j.Mirror(j.dir.Path() + "/beside"), "beside");
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    RunResult r = j.Backup();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Digest(j.Mirror(j.content)), Digest(j.content));
    EXPECT_EQ(ReadFile(j.Mirror(j.dir.Path() + "/beside")), "beside");
}

TEST(FsScanSafety, ARootThatLeftTheContentIsRemovedFromTheMirror) {
    Job j;
    const std::string other = j.dir / "other";
    MakeDir(other);
    WriteFile(other + "/o", "o");
    ASSERT_EQ(Fsscan({"scan", "--content", j.content, "--content", other, "--results", j.results, "--level", "full"}).exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    ASSERT_TRUE(Exists(j.Mirror(other + "/o")));
    // The next job has one root less: its deletions lie below a former root, and are applied.
    ASSERT_EQ(j.Scan("incremental").exitCode, 0);
    EXPECT_EQ(j.State().lastScan.formerRoots, std::vector<std::string>{other});
    RunResult r = j.Backup();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(Exists(j.Mirror(other)));
    EXPECT_EQ(ReadFile(other + "/o"), "o");
}

TEST(FsScanSafety, ChangedAndReturningFoldersAreCollected) {
    Job j;
    MakeDir(j.content + "/empty");
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    // The empty folder vanishes during the backup and comes back afterwards.
    ASSERT_EQ(::rmdir((j.content + "/empty").c_str()), 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    EXPECT_FALSE(Exists(j.Mirror(j.content + "/empty")));
    MakeDir(j.content + "/empty");
    ASSERT_EQ(::chmod((j.content + "/d/sub").c_str(), 0710), 0);
    ASSERT_EQ(j.Scan("incremental").exitCode, 0);
    std::set<std::string> listed = fsscantest::List(j.results);
    EXPECT_EQ(listed.count("+ " + j.content + "/d/sub/"), 1u);
    EXPECT_EQ(listed.count("+ " + j.content + "/empty/"), 1u);
    ASSERT_EQ(j.Backup().exitCode, 0);
    struct stat st;
    ASSERT_EQ(::stat(j.Mirror(j.content + "/d/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0710u);
    EXPECT_TRUE(Exists(j.Mirror(j.content + "/empty")));
}

TEST(FsScanSafety, PathsLongerThanPathMaxAreBackedUp) {
    Job j;
    FXPathWalker walker;
    ASSERT_TRUE(walker.Open(j.content).IsSuccess());
    std::string relative = "long";
    for (int i = 0; i < 24; ++i) relative += "/" + std::string(200, static_cast<char>('a' + i));
    int fd = -1;
    ASSERT_TRUE(walker.OpenFolder(relative, FXPathWalker::Mode{true, false, 0755}, fd).IsSuccess());
    int file = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "far down", 8), 8);
    ::close(file);
    ASSERT_GT(j.content.size() + relative.size(), 4096u);
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    RunResult r = j.Backup();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    FXPathWalker mirror;
    ASSERT_TRUE(mirror.Open(j.Mirror(j.content)).IsSuccess());
    ASSERT_TRUE(mirror.OpenFolder(relative, FXPathWalker::Mode{}, fd).IsSuccess());
    int in = ::openat(fd, "leaf", O_RDONLY);
    ASSERT_GE(in, 0);
    char buffer[16] = {};
    EXPECT_EQ(::read(in, buffer, sizeof buffer), 8);
    ::close(in);
    EXPECT_STREQ(buffer, "far down");
    // Removing it works the same way.
    ASSERT_EQ(testsupport::Shell("rm -rf '" + j.content + "/long'"), 0);
    ASSERT_EQ(j.Scan("incremental").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    EXPECT_FALSE(Exists(j.Mirror(j.content + "/long")));
}

TEST(FsScanSafety, RestartOffsetsOutsideTheirFileRestartIt) {
    for (int64_t offset : {int64_t(1) << 40, int64_t(100000), int64_t(1), int64_t(-7)}) {
        Job j;
        for (int i = 0; i < 20; ++i) WriteFile(j.content + "/f" + std::to_string(i), "x");
        ASSERT_EQ(j.Scan("full").exitCode, 0);
        ASSERT_EQ(j.Backup().exitCode, 0);
        CRestartMapFileHandler map;
        ASSERT_TRUE(map.Init(j.F(""), true, false).IsSuccess());
        std::vector<std::pair<unsigned, CRestartMapFileEntry>> entries;
        ASSERT_TRUE(map.PopulateEntries(entries).IsSuccess());
        ASSERT_FALSE(entries.empty());
        for (const auto& entry : entries) ASSERT_TRUE(map.UpdateRestartOffset(entry.first, offset).IsSuccess());
        ASSERT_TRUE(map.FlushToFile().IsSuccess());
        j.MarkUnfinished();
        // Emptied, not replaced: the job's backup goes to this one destination.
        ASSERT_EQ(testsupport::Shell("rm -rf '" + j.dest + "'/*"), 0);
        RunResult r = j.Backup();
        EXPECT_EQ(r.exitCode, 0) << offset << ": " << r.err;
        EXPECT_NE(r.err.find("the collect map is damaged"), std::string::npos) << offset << ": " << r.err;
        EXPECT_EQ(Digest(j.Mirror(j.content)), Digest(j.content)) << offset;
    }
}

TEST(FsScanSafety, ScanErrorFileWithoutItsVersionLineStillRaisesItsRecords) {
    Job j;
    WriteFile(j.content + "/closed", "c");
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(::chmod((j.content + "/closed").c_str(), 0), 0);
    ASSERT_EQ(Fsscan({"backup", "--results", j.results, "--dest", j.dest}, true, 60).exitCode, 1);
    // As a backup killed between creating the file and writing its version line leaves it, after
    // a later one appended its record.
    std::string file = ReadFile(j.F("ScanError.zyf"));
    ASSERT_EQ(file.substr(0, 3), "1\r\n");
    WriteFile(j.F("ScanError.zyf"), file.substr(3));
    ::unlink((j.results + "/PendingCauses.txt").c_str());
    j.MarkUnfinished();
    RunResult r = j.Backup();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(ReadFile(j.results + "/PendingCauses.txt").find("closed"), std::string::npos);
    // Empty: nothing to raise, and no failure either.
    WriteFile(j.F("ScanError.zyf"), "");
    j.MarkUnfinished();
    r = j.Backup();
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(FsScanSafety, TruncatedCollectFilesAreRefused) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    const std::string path = j.F("CollectTot1.zyf"), good = ReadFile(path);
    const std::string lastLineCut = good.substr(0, good.size() - 1);
    const std::string lineLost = good.substr(0, good.rfind('\n', good.size() - 2) + 1);
    for (const std::string& damaged : {lastLineCut, lineLost}) {
        WriteFile(path, damaged);
        RunResult list = j.List();
        EXPECT_EQ(list.exitCode, 2);
        EXPECT_NE(list.err.find("truncated"), std::string::npos) << list.err;
        RunResult backup = j.Backup();
        EXPECT_EQ(backup.exitCode, 2);
        EXPECT_NE(backup.err.find("truncated"), std::string::npos) << backup.err;
    }
    // Without a recorded size, the missing line end still tells.
    CScanJobState s = j.State();
    s.lastScan.collectSizes.clear();
    ASSERT_TRUE(s.Save(j.results).IsSuccess());
    WriteFile(path, lastLineCut);
    EXPECT_EQ(j.List().exitCode, 2);
}

TEST(FsScanSafety, JobFilesThatAreNotRegularFilesFailFast) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    const std::string collect = j.F("CollectTot1.zyf"), saved = ReadFile(collect);
    ASSERT_EQ(::unlink(collect.c_str()), 0);
    ASSERT_EQ(::mkfifo(collect.c_str(), 0644), 0);
    EXPECT_EQ(j.List().exitCode, 2);
    EXPECT_EQ(j.Backup().exitCode, 2);
    ASSERT_EQ(::unlink(collect.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", collect.c_str()), 0);
    EXPECT_EQ(j.List().exitCode, 2);
    ASSERT_EQ(::unlink(collect.c_str()), 0);
    WriteFile(collect, saved);

    const std::string info = j.F("CollectInfoTot.zyf");
    ASSERT_EQ(::rename(info.c_str(), (info + ".saved").c_str()), 0);
    ASSERT_EQ(::mkfifo(info.c_str(), 0644), 0);
    EXPECT_EQ(j.Backup().exitCode, 2);
    ASSERT_EQ(::unlink(info.c_str()), 0);
    ASSERT_EQ(::rename((info + ".saved").c_str(), info.c_str()), 0);

    // The collect map is ours to write: what stands in its place goes.
    ASSERT_EQ(::mkfifo(j.F("CollectMap_Tot.zyf").c_str(), 0644), 0);
    RunResult r = j.Backup();
    EXPECT_EQ(r.exitCode, 0) << r.err;

    const std::string state = j.results + "/JobState.xml";
    ASSERT_EQ(::unlink(state.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", state.c_str()), 0);
    RunResult list = j.List();
    EXPECT_EQ(list.exitCode, 2);
    EXPECT_NE(list.err.find("refused: a symbolic link"), std::string::npos) << list.err;
    EXPECT_EQ(j.Scan("incremental").exitCode, 2);
}

TEST(FsScanSafety, JobIdsAreValidated) {
    Job j;
    for (const char* bad : {"99999999999999999999999", "", "0", "-5", "12abc", " 7", "+3"}) {
        RunResult r = j.Scan("full", {"--job", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("--job takes a job id"), std::string::npos) << bad << ": " << r.err;
    }
    ASSERT_EQ(j.Scan("full", {"--job", "4611686018427387904"}).exitCode, 0);
    RunResult next = j.Scan("full");
    EXPECT_EQ(next.exitCode, 2);
    EXPECT_NE(next.err.find("leaves no next one"), std::string::npos) << next.err;
    // An id used before, or lower than one used, is refused: its job's files are not reused.
    for (const char* used : {"4611686018427387904", "5"}) {
        RunResult again = j.Scan("full", {"--job", used});
        EXPECT_EQ(again.exitCode, 2) << used;
        EXPECT_NE(again.err.find("every job needs a new, higher id"), std::string::npos) << used << ": " << again.err;
    }
}

TEST(FsScanSafety, MirrorReplacesFilesWholeAndNeverWritesThroughHardLinks) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    // A hard link into DEST (same file system) to an outside file: rewriting the mirror must not
    // write through it.
    const std::string mirrored = j.Mirror(j.content + "/top");
    ASSERT_EQ(::unlink(mirrored.c_str()), 0);
    ASSERT_EQ(::link((j.canary + "/top").c_str(), mirrored.c_str()), 0);
    const std::string before = Digest(j.canary);
    WriteFile(j.content + "/top", "changed");
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    EXPECT_EQ(ReadFile(mirrored), "changed");
    EXPECT_EQ(Digest(j.canary), before);
}

TEST(FsScanSafety, TheJobLockLivesInTheResultsFolder) {
    Job j;
    MakeDir(j.results);
    std::string alias = j.dir / "alias";
    ASSERT_EQ(::symlink(j.results.c_str(), alias.c_str()), 0);
    std::string shared = j.dir / "shared-locks";
    ::setenv("SCAN_LOCK_DIR", shared.c_str(), 1);
    {
        FXFolderLock held;
        ASSERT_TRUE(held.Lock(j.results).IsSuccess());
        RunResult r = Fsscan({"scan", "--content", j.content, "--results", alias}, false, 60);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("Another job is using the job-results folder"), std::string::npos) << r.err;
        r = Fsscan({"backup", "--results", alias, "--dest", j.dest}, false, 60);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("Another job is using the job-results folder"), std::string::npos) << r.err;
    }
    EXPECT_EQ(j.Scan("full").exitCode, 0);
    ::unsetenv("SCAN_LOCK_DIR");
    EXPECT_FALSE(Exists(shared)) << "no shared lock folder is involved";
}

// ---------------------------------------------------------------------------------------------

TEST(FsScanBackupThreads, ProgressIsSharedByTheReaders) {
    CProgress progress("done", true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&progress] {
            for (uint64_t i = 0; i < 5000; ++i) progress.Update(i, i);
        });
    for (std::thread& t : threads) t.join();
    progress.Finish(1, 1);
}

TEST(FsScanBackupThreads, StreamsAreBoundedByTheWork) {
    Job j;
    const std::string other = j.dir / "other";
    MakeDir(other);
    WriteFile(other + "/o", "o");
    RunResult scan = Fsscan({"scan", "--content", j.content, "--content", other, "--results", j.results, "--level", "full"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    RunResult r = j.Backup("50000");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(", 2 streams"), std::string::npos) << r.out;
    EXPECT_EQ(Digest(j.Mirror(other)), Digest(other));
    EXPECT_EQ(Digest(j.Mirror(j.content)), Digest(j.content));
}

// Folders of the content and of DEST are swapped for links to the canary while backups with two
// reader threads run; whatever the moment, the canary does not change.
TEST(FsScanBackupThreads, LinksSwappedInAtRandomMomentsChangeNothingOutside) {
    Job j;
    const std::string other = j.dir / "other";
    MakeDir(other);
    for (const std::string& root : {j.content, other})
        for (int f = 0; f < 6; ++f) {
            MakeDir(root + "/f" + std::to_string(f));
            for (int i = 0; i < 40; ++i) WriteFile(root + "/f" + std::to_string(f) + "/" + std::to_string(i), std::string(i * 50, 'x'));
        }
    // The canary holds the names the content has: what follows a link reaches them.
    for (int i = 0; i < 40; ++i) WriteFile(j.canary + "/" + std::to_string(i), "canary " + std::to_string(i));
    const std::string before = Digest(j.canary);
    std::mt19937 rng(11);
    for (int round = 0; round < 8; ++round) {
        RunResult scan = Fsscan({"scan", "--content", j.content, "--content", other, "--results", j.results}, false, 60);
        ASSERT_LE(scan.exitCode, 1) << scan.err;
        pid_t pid = ::fork();
        if (pid == 0) {
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::alarm(60);
            ::execl(FSSCAN_BINARY, FSSCAN_BINARY, "backup", "--results", j.results.c_str(), "--dest", j.dest.c_str(),
                    "--streams", "2", "--checkpoint", "5", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::usleep(static_cast<useconds_t>(rng() % 1200000));
        // Swap a folder of the content, and one of DEST, for a link to the canary.
        const std::string& root = rng() % 2 ? j.content : other;
        const std::string victim = root + "/f" + std::to_string(rng() % 6);
        const std::string mirrored = j.Mirror(root + "/f" + std::to_string(rng() % 6));
        for (const std::string& folder : {victim, mirrored}) {
            ::rename(folder.c_str(), (folder + ".away").c_str());
            ::symlink(j.canary.c_str(), folder.c_str());
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 2) << status;
        EXPECT_EQ(Digest(j.canary), before) << "round " << round;
        // Put the content back (the DEST link stays: the next backup must cope with it).
        ::unlink(victim.c_str());
        ::rename((victim + ".away").c_str(), victim.c_str());
        testsupport::Shell("rm -rf '" + mirrored + ".away'");
        j.MarkUnfinished();
    }
    RunResult scan = Fsscan({"scan", "--content", j.content, "--content", other, "--results", j.results, "--level", "full"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    RunResult r = j.Backup("2");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Digest(j.Mirror(j.content)), Digest(j.content));
    EXPECT_EQ(Digest(j.Mirror(other)), Digest(other));
    EXPECT_EQ(Digest(j.canary), before);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Hostile job files at random: every job file of a real job is damaged or forged in turn (bytes
// flipped, cut, grown, hostile lines and attribute values put in, sizes in the state made to
// agree), then list, backup and an incremental scan run on it. Nothing outside DEST changes,
// the content is not written, and every run ends by itself, without a crash or a sanitizer
// report, with exit code 0, 1 or 2.

namespace {

struct SHostile {
    std::mt19937& rng;
    const Job& job;

    size_t Below(size_t n) { return n ? rng() % n : 0; }

    std::string Line() {
        const std::string& c = job.content;
        const std::string& k = job.canary;
        const std::vector<std::string> lines = {
            k + "/file", k + "/", "??D" + k + "/", "??d" + k + "/top", "??D" + c + "/../canary/", c + "/../canary/file",
            c + "/d/%2E%2E/%2E%2E/canary/file", "??D/", "/", "??D" + c + "/", c + "//d", c + "/./d", "??d",
            std::string(70000, '/') + k + "/top", std::string(65535, 'x') + "\n" + k + "/file", c + "/x%00y",
            "??D" + c + "/d/", std::string(1, '\0'), "\t" + k, "\xff\xfe", "%", c + "/d/" + std::string(300, 'n'),
        };
        return lines[Below(lines.size())];
    }

    void Mutate(std::string& text) {
        switch (Below(6)) {
            case 0:  // flipped bytes
                for (size_t n = 1 + Below(8); n-- && !text.empty();) text[Below(text.size())] = static_cast<char>(rng());
                break;
            case 1:  // cut anywhere
                text.resize(Below(text.size() + 1));
                break;
            case 2:  // hostile lines anywhere
                for (size_t n = 1 + Below(4); n--;) {
                    size_t at = text.find('\n', Below(text.size() + 1));
                    text.insert(at == std::string::npos ? text.size() : at + 1, Line() + "\n");
                }
                break;
            case 3: {  // hostile attribute values and numbers
                const std::vector<std::string> values = {"../canary/file", "/", "-1", "0", "99999999999999999999999",
                                                         job.canary, job.canary + "/file", "", "CollectTot1.zyf"};
                for (size_t n = 1 + Below(3); n--;) {
                    size_t quote = text.find('"', Below(text.size() + 1));
                    size_t end = quote == std::string::npos ? quote : text.find('"', quote + 1);
                    if (end != std::string::npos) text.replace(quote + 1, end - quote - 1, values[Below(values.size())]);
                }
                break;
            }
            case 4:  // the same again, or nothing at all
                text = Below(2) ? text + text : std::string();
                break;
            default:  // random bytes
                text.assign(Below(4096), '\0');
                for (char& c : text) c = static_cast<char>(rng());
        }
    }
};

bool Acceptable(const RunResult& r, std::string& why) {
    if (r.exitCode < 0 || r.exitCode > 2) why = "exit code " + std::to_string(r.exitCode);
    for (const char* report : {"AddressSanitizer", "runtime error:", "LeakSanitizer", "ThreadSanitizer"})
        if (r.err.find(report) != std::string::npos) why = report;
    return why.empty();
}

}  // namespace

TEST(FsScanSafety, HostileJobFilesNeverTouchTheCanary) {
    Job j;
    ASSERT_EQ(j.Scan("full").exitCode, 0);
    ASSERT_EQ(j.Backup().exitCode, 0);
    ASSERT_EQ(testsupport::Shell("rm -rf '" + j.content + "/d/sub'"), 0);
    WriteFile(j.content + "/new", "new");
    ASSERT_EQ(j.Scan("incremental").exitCode, 0);
    // An interrupted backup leaves the collect map and the scan-error file to damage too.
    WriteFile(j.F("ScanError.zyf"), "1\r\n285212933\r\n" + j.content + "/top|reason\r\n14\r\n");
    {
        CRestartMapFileHandler map;
        ASSERT_TRUE(map.Init(j.F(""), false, true).IsSuccess());
        unsigned id = 0;
        CRestartMapFileEntry entry;
        entry.SetCollectFilePath(j.F("CollectInc1.zyf"));
        entry.SetRestartOffset(4);
        ASSERT_TRUE(map.AddEntryIfNotExist(entry, id).IsSuccess());
        ASSERT_TRUE(map.FlushToFile().IsSuccess());
    }
    j.MarkUnfinished();
    // The job's own files, the job-state document and the job manager's database.
    std::map<std::string, std::string> pristine;
    const std::string folder = "J" + std::to_string(j.State().lastScan.jobId) + "/";
    for (std::string name : {"CollectInc1.zyf", "DCTmp.zyf", "CollectInfoInc.zyf", "CollectMap_lnc.zyf", "ScanError.zyf"})
        pristine[folder + name] = std::string();
    for (std::string name : {"JobState.xml", "JobManager.db"}) pristine[name] = std::string();
    for (auto& [name, text] : pristine) {
        ASSERT_TRUE(Exists(j.results + "/" + name)) << name;
        text = ReadFile(j.results + "/" + name);
    }
    const std::string canary = Digest(j.canary), content = Digest(j.content);
    const char* seedText = std::getenv("FSSCAN_HOSTILE_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : 20261205u;
    std::mt19937 rng(seed);
    SHostile hostile{rng, j};
    // FSSCAN_HOSTILE_SEED and FSSCAN_HOSTILE_ROUNDS run other and longer series.
    const char* roundsText = std::getenv("FSSCAN_HOSTILE_ROUNDS");
    const int rounds = roundsText ? std::atoi(roundsText) : 30;
    for (int round = 0; round < rounds; ++round) {
        // The scan of the last round dropped the job and its folder: all of it comes back.
        ::mkdir((j.results + "/" + folder).c_str(), 0755);
        for (const auto& [name, text] : pristine) {
            ::unlink((j.results + "/" + name).c_str());
            WriteFile(j.results + "/" + name, text);
        }
        auto it = pristine.begin();
        std::advance(it, hostile.Below(pristine.size()));
        std::string text = it->second;
        hostile.Mutate(text);
        WriteFile(j.results + "/" + it->first, text);
        // Half the time the state is made to agree with a forged collect file, as a forger would.
        if (it->first == folder + "CollectInc1.zyf" && hostile.Below(2)) {
            CScanJobState s;
            if (s.Load(j.results).IsSuccess() && !s.lastScan.collectSizes.empty()) {
                s.lastScan.collectSizes[0] = text.size();
                s.Save(j.results).IgnoreError();
            }
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ", " + it->first);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"list", "--results", j.results},
              std::vector<std::string>{"backup", "--results", j.results, "--dest", j.dest, "--streams", "2", "--checkpoint", "2"},
              std::vector<std::string>{"scan", "--content", j.content, "--results", j.results}}) {
            RunResult r = Fsscan(args, false, 30);
            std::string why;
            EXPECT_TRUE(Acceptable(r, why)) << args[0] << ": " << why << "\n" << r.err.substr(0, 4000);
            if (args[0] == "scan") break;
        }
        ASSERT_EQ(Digest(j.canary), canary);
        ASSERT_EQ(Digest(j.content), content);
    }
}
