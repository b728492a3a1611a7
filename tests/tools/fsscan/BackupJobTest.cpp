#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

#include "scan/job/BackupJob.h"
#include "scan/job/BackupMetadataStore.h"
#include "FsScanTestSupport.h"
#include "agent/FileSystemScanner.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

// What a mirror must agree with its source on, per item: type, mode, content or link target,
// and modification time (of files and links; folders get theirs at the end of a backup).
std::map<std::string, std::string> Describe(const std::string& root) {
    struct Collector : IScanItemCallback {
        std::string root;
        std::map<std::string, std::string> items;
        CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
            const SItemStat& st = item->Stat();
            std::string d = std::to_string(st.mode) + " " + std::to_string(st.mtime.tv_sec) + "." +
                            std::to_string(st.mtime.tv_nsec);
            if (item->IsFile()) d += " " + ReadFile(item->GetPath());
            if (item->IsSymLink()) {
                char target[4096];
                ssize_t n = ::readlink(item->GetPath().c_str(), target, sizeof target);
                d += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            }
            items[item->GetPath().substr(root.size())] = d;
            return CKoError::Success();
        }
        void OnScanError(const std::string& path, const CKoError&) override { items[path] = "unreadable"; }
    } c;
    c.root = root;
    CFileSystemScanner scanner;
    EXPECT_TRUE(scanner.Scan(root, c).IsSuccess());
    return c.items;
}

void ExpectMirrored(const std::string& tree, const std::string& dest) {
    auto source = Describe(tree), mirror = Describe(dest + tree);
    EXPECT_EQ(source.size(), mirror.size());
    for (const auto& [path, what] : source) {
        auto it = mirror.find(path);
        if (it == mirror.end()) {
            ADD_FAILURE() << "missing in the mirror: " << path;
        } else {
            EXPECT_EQ(it->second, what) << path;
        }
    }
    for (const auto& [path, what] : mirror)
        if (!source.count(path)) ADD_FAILURE() << "left in the mirror: " << path;
}

// Every item of the tree has its metadata in the store, as it is now: what the collect map says
// was done was committed to the store before.
void ExpectMetadataKept(const std::string& tree, const std::string& results) {
    CBackupMetadataStore store;
    ASSERT_TRUE(store.Open(results, false).IsSuccess());
    struct Checker : IScanItemCallback {
        CBackupMetadataStore* store;
        size_t checked = 0;
        CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
            SItemMetadata m;
            bool found = false;
            EXPECT_TRUE(store->Get(item->GetPath(), m, found).IsSuccess());
            EXPECT_TRUE(found) << item->GetPath();
            const SItemStat& st = item->Stat();
            if (found) {
                EXPECT_EQ(m.mode, st.mode) << item->GetPath();
            }
            if (found && !item->IsFolder()) {
                EXPECT_EQ(m.mtimeNs, int64_t(st.mtime.tv_sec) * 1000000000 + st.mtime.tv_nsec) << item->GetPath();
            }
            ++checked;
            return CKoError::Success();
        }
        void OnScanError(const std::string& path, const CKoError&) override { ADD_FAILURE() << path; }
    } c;
    c.store = &store;
    CFileSystemScanner scanner;
    EXPECT_TRUE(scanner.Scan(tree, c).IsSuccess());
    EXPECT_GT(c.checked, 1000u);
}

std::string Gentree(const std::string& args) { return std::string(GENTREE_BINARY) + " " + args + " >/dev/null"; }

RunResult Scan(const std::vector<std::string>& roots, const std::string& results, const char* level) {
    std::vector<std::string> args = {"scan", "--results", results, "--level", level};
    for (const std::string& r : roots) {
        args.push_back("--content");
        args.push_back(r);
    }
    return Fsscan(args);
}

RunResult Backup(const std::string& results, const std::string& dest, const char* streams = "2") {
    return Fsscan({"backup", "--results", results, "--dest", dest, "--streams", streams, "--checkpoint", "40"});
}

// Starts backups and kills them at random moments until one gets to its end by itself.
int KillUntilDone(const std::string& results, const std::string& dest, std::mt19937& rng) {
    int kills = 0;
    for (int round = 0; round < 60; ++round) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execl(FSSCAN_BINARY, FSSCAN_BINARY, "backup", "--results", results.c_str(), "--dest", dest.c_str(),
                    "--streams", "2", "--checkpoint", "40", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::usleep(static_cast<useconds_t>(5000 + rng() % 150000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
            return kills;
        }
        ++kills;
    }
    return kills;
}

TEST(FsScanBackup, KilledAtAnyMomentItEndsWithAnExactMirror) {
    ScopedTempDir dir;
    std::string tree = dir / "tree", results = dir / "results", dest = dir / "dest";
    ASSERT_EQ(testsupport::Shell(Gentree("create '" + tree + "' --folders 150 --files 1500 --seed 3 --weird")), 0);
    ASSERT_EQ(::symlink("../somewhere else", (tree + "/link").c_str()), 0);
    for (const char* folder : {"/gone", "/mover", "/mover/deeper"}) {
        ASSERT_EQ(::mkdir((tree + folder).c_str(), 0755), 0);
        for (int i = 0; i < 20; ++i) WriteFile(tree + folder + "/f" + std::to_string(i), std::string(i * 100, 'x'));
    }
    std::mt19937 rng(5);

    ASSERT_EQ(Scan({tree}, results, "full").exitCode, 0);
    int kills = KillUntilDone(results, dest, rng);
    RunResult r = Backup(results, dest);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectMirrored(tree, dest);
    ExpectMetadataKept(tree, results);

    // Changes: rewritten files, a deleted folder, a renamed one, a file that became a folder.
    ASSERT_EQ(testsupport::Shell(Gentree("touch '" + tree + "' --percent 20 --seed 4")), 0);
    ASSERT_EQ(testsupport::Shell("rm -rf '" + tree + "/gone' && mv '" + tree + "/mover' '" + tree + "/moved here'"), 0);
    ASSERT_EQ(::unlink((tree + "/link").c_str()), 0);
    ASSERT_EQ(::mkdir((tree + "/link").c_str(), 0750), 0);
    WriteFile(tree + "/link/inside", "now a folder");
    ASSERT_EQ(Scan({tree}, results, "incremental").exitCode, 0);
    kills += KillUntilDone(results, dest, rng);
    r = Backup(results, dest);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectMirrored(tree, dest);
    ExpectMetadataKept(tree, results);
    EXPECT_GT(kills, 2) << "the backups ended before they could be killed: the test proves little";
}

TEST(FsScanBackup, OneCollectFilePerRootAndAStreamForEach) {
    ScopedTempDir dir;
    std::string a = dir / "a", b = dir / "b", results = dir / "results", dest = dir / "dest";
    ASSERT_EQ(testsupport::Shell(Gentree("create '" + a + "' --folders 5 --files 30 --seed 1")), 0);
    ASSERT_EQ(testsupport::Shell(Gentree("create '" + b + "' --folders 5 --files 30 --seed 2")), 0);
    ASSERT_EQ(Scan({a, b, a + "/d1"}, results, "full").exitCode, 0);
    EXPECT_NE(ReadFile(results + "/CollectTot1.zyf").find(a + "/"), std::string::npos);
    EXPECT_NE(ReadFile(results + "/CollectTot2.zyf").find(b + "/"), std::string::npos);
    EXPECT_FALSE(testsupport::ReadFile(results + "/CollectTot3.zyf").size());  // the nested root is a's
    RunResult r = Backup(results, dest, "3");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ExpectMirrored(a, dest);
    ExpectMirrored(b, dest);

    // Deleted items land in the file of their root; a rerun of a finished backup does nothing.
    ASSERT_EQ(testsupport::Shell("rm -rf '" + b + "/d0'"), 0);
    ASSERT_EQ(Scan({a, b}, results, "incremental").exitCode, 0);
    EXPECT_NE(ReadFile(results + "/CollectInc2.zyf").find("??D" + b + "/d0/"), std::string::npos);
    EXPECT_EQ(ReadFile(results + "/CollectInc1.zyf").find("??"), std::string::npos);
    ASSERT_EQ(Backup(results, dest).exitCode, 0);
    ExpectMirrored(b, dest);
    RunResult again = Backup(results, dest);
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.out.find("already backed up"), std::string::npos);
}

TEST(FsScanBackup, UnreadableFilesBecomePendingCausesAndExitOne) {
    ScopedTempDir dir;
    std::string tree = dir / "tree", results = dir / "results", dest = dir / "dest";
    ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
    WriteFile(tree + "/readable", "r");
    WriteFile(tree + "/secret|1", "s");
    ASSERT_EQ(Fsscan({"scan", "--content", tree, "--results", results, "--level", "full"}).exitCode, 0);
    // Mode 0 bars even the owner once the permission override is gone.
    ASSERT_EQ(::chmod((tree + "/secret|1").c_str(), 0), 0);

    RunResult r = Fsscan({"backup", "--results", results, "--dest", dest}, true);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find("1 items could not be read"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dest + tree + "/readable"), "r");
    std::string causes = ReadFile(results + "/PendingCauses.txt");
    EXPECT_NE(causes.find(std::to_string(CBackupJob::kItemUnreadableMessageId)), std::string::npos) << causes;
    // The "|" of the name stays in its argument: the path and the reason, two arguments.
    EXPECT_NE(causes.find("ArgCount=[2] Args=[" + tree + "/secret%7C1|Permission denied]"), std::string::npos) << causes;
}

TEST(FsScanBackup, Usage) {
    EXPECT_EQ(Fsscan({"backup", "--results", "/tmp"}).exitCode, 2);
    EXPECT_EQ(Fsscan({"backup", "--results", "/tmp", "--dest", "/x", "--streams", "0"}).exitCode, 2);
    ScopedTempDir dir;
    RunResult r = Fsscan({"backup", "--results", dir.Path(), "--dest", dir / "d"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("No scan has completed"), std::string::npos) << r.err;
}

}  // namespace
