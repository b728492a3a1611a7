#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "agent/FileSystemScanner.h"
#include "support/TestSupport.h"

using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

struct Recorder : IScanItemCallback {
    std::vector<std::string> paths;  // folders end in "/", links in "@"
    std::vector<std::string> errors;
    std::string prune;  // a folder not to descend into
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override {
        std::string p = item->GetPath();
        if (item->IsFolder()) p += "/";
        if (item->IsSymLink()) p += "@";
        paths.push_back(p);
        if (item->GetPath() == prune) descend = false;
        return CKoError::Success();
    }
    void OnScanError(const std::string& path, const CKoError&) override { errors.push_back(path); }
};

void MakeDir(const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0755), 0) << p; }

TEST(FileSystemScanner, PreOrderByNameWithAnyByteInNames) {
    ScopedTempDir dir;
    std::string root = dir / "root";
    MakeDir(root);
    const std::string weird = "new\nline|pipe%25\xff\xfe";
    MakeDir(root + "/b");
    WriteFile(root + "/b/" + weird, "x");
    WriteFile(root + "/a", "12345");
    WriteFile(root + "/B", "");
    MakeDir(root + "/b/c");
    ASSERT_EQ(::symlink("/etc", (root + "/link").c_str()), 0);

    Recorder r;
    CFileSystemScanner scanner;
    ASSERT_TRUE(scanner.Scan(root + "//", r).IsSuccess());
    std::vector<std::string> expected = {root + "/",     root + "/B",         root + "/a",   root + "/b/",
                                         root + "/b/c/", root + "/b/" + weird, root + "/link@"};
    EXPECT_EQ(r.paths, expected);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(scanner.Statistics().items, 7u);
    EXPECT_EQ(scanner.Statistics().folders, 3u);
    EXPECT_EQ(scanner.Statistics().bytes, 6u);

    // Pruning skips what lies below, not the folder itself.
    Recorder pruned;
    pruned.prune = root + "/b";
    CFileSystemScanner again;
    ASSERT_TRUE(again.Scan(root, pruned).IsSuccess());
    EXPECT_EQ(pruned.paths, (std::vector<std::string>{root + "/", root + "/B", root + "/a", root + "/b/", root + "/link@"}));
}

TEST(FileSystemScanner, MissingRootIsAnErrorAndAFileRootIsOneItem) {
    ScopedTempDir dir;
    Recorder r;
    CFileSystemScanner scanner;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(scanner.Scan(dir / "none", r), ENOENT));
    WriteFile(dir / "f", "abc");
    ASSERT_TRUE(scanner.Scan(dir / "f", r).IsSuccess());
    EXPECT_EQ(r.paths, (std::vector<std::string>{dir / "f"}));
}

TEST(FileSystemScanner, PathsLongerThanPathMax) {
    ScopedTempDir dir;
    std::string name(200, 'n');
    int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 30; ++i) {  // about 6,000 bytes deep
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    int file = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
    ::close(file);
    ::close(fd);

    Recorder r;
    CFileSystemScanner scanner;
    ASSERT_TRUE(scanner.Scan(dir.Path(), r).IsSuccess());
    ASSERT_EQ(r.paths.size(), 32u);
    EXPECT_GT(r.paths.back().size(), 6000u);
    EXPECT_EQ(r.paths.back().substr(r.paths.back().size() - 5), "/leaf");
    EXPECT_TRUE(r.errors.empty());
}

TEST(FileSystemScanner, UnreadableFolderIsReportedAndTheWalkGoesOn) {
    ScopedTempDir dir;
    std::string root = dir / "root";
    MakeDir(root);
    ::chmod(dir.Path().c_str(), 0755);
    MakeDir(root + "/closed");
    WriteFile(root + "/closed/secret", "");
    WriteFile(root + "/open", "");
    // Mode 0 bars even the owner once the permission override is gone.
    ASSERT_EQ(::chmod((root + "/closed").c_str(), 0), 0);

    // Root reads everything, so the walk runs in a child without the permission override (and
    // stays uid 0, so that the test's folder is reachable wherever it lies).
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!testsupport::DropFileAccessOverride()) _exit(3);
        Recorder r;
        CFileSystemScanner scanner;
        if (scanner.Scan(root, r).IsError()) _exit(4);
        std::string out;
        for (const auto& p : r.paths) out += "+" + p + "\n";
        for (const auto& p : r.errors) out += "!" + p + "\n";
        (void)!::write(pipeFds[1], out.data(), out.size());
        _exit(0);
    }
    ::close(pipeFds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(out, "+" + root + "/\n+" + root + "/closed/\n+" + root + "/open\n!" + root + "/closed\n");
}

TEST(FileSystemScanner, StaysOnItsFileSystemUnlessAsked) {
    ScopedTempDir dir;
    std::string root = dir / "root";
    MakeDir(root);
    MakeDir(root + "/mnt");
    if (::mount("tmpfs", (root + "/mnt").c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "needs root";
    WriteFile(root + "/mnt/inside", "");

    Recorder same;
    CFileSystemScanner scanner;
    EXPECT_TRUE(scanner.Scan(root, same).IsSuccess());
    Recorder cross;
    CFileSystemScanner crossing(CFileSystemScanner::Options{true});
    EXPECT_TRUE(crossing.Scan(root, cross).IsSuccess());
    ::umount2((root + "/mnt").c_str(), MNT_DETACH);

    EXPECT_EQ(same.paths, (std::vector<std::string>{root + "/", root + "/mnt/"}));
    EXPECT_EQ(cross.paths, (std::vector<std::string>{root + "/", root + "/mnt/", root + "/mnt/inside"}));
}

struct KeepingConsumer : CItemConsumer {
    KeepingConsumer() : CItemConsumer(7) {}
    std::vector<std::shared_ptr<CItem>> kept;
    CKoError Process(std::shared_ptr<CItem> item) override {
        kept.push_back(item);
        return CItemConsumer::Process(std::move(item));
    }
};

struct StopAfter : Recorder {
    CFileSystemScanner* scanner = nullptr;
    size_t after = 0;
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override {
        if (paths.size() + 1 == after) scanner->RequestStop();
        return Recorder::OnItem(item, descend);
    }
};

TEST(FileSystemScanner, ConsumersKeepTheirItemsAndStopAborts) {
    ScopedTempDir dir;
    for (const char* n : {"a", "b", "c", "d"}) WriteFile(dir / n, n);
    auto consumer = std::make_shared<KeepingConsumer>();
    StopAfter r;
    CFileSystemScanner scanner;
    scanner.AddConsumer(consumer);
    r.scanner = &scanner;
    r.after = 3;
    CKoError e = scanner.Scan(dir.Path(), r);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED)) << e.AsString();
    ASSERT_EQ(consumer->kept.size(), 3u);
    // Each kept item still says what it was when handed over.
    EXPECT_EQ(consumer->kept[1]->GetPath(), dir / "a");
    EXPECT_EQ(consumer->kept[2]->GetPath(), dir / "b");
    EXPECT_EQ(consumer->getProcessedItemsCount(), 3);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Several walkers.

#include <mutex>
#include <set>

#include "support/AsNobody.h"
#include "support/RandomTree.h"

namespace {

// Thread-safe: records every item and checks that each one's folder came before it.
struct SharedRecorder : IScanItemCallback {
    std::mutex mutex;
    std::vector<std::string> paths;  // as Recorder writes them
    std::vector<std::string> errors;
    std::set<std::string> folders;
    std::string root;
    std::string prune;
    size_t orphans = 0;  // items reported before their folder
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string& p = item->GetPath();
        if (p != root && !folders.count(std::string(item->GetParentPath()))) ++orphans;
        if (item->IsFolder()) folders.insert(p);
        paths.push_back(p + (item->IsFolder() ? "/" : item->IsSymLink() ? "@" : ""));
        if (p == prune) descend = false;
        return CKoError::Success();
    }
    void OnScanError(const std::string& path, const CKoError&) override {
        std::lock_guard<std::mutex> lock(mutex);
        errors.push_back(path);
    }
    std::vector<std::string> Sorted() const {
        std::vector<std::string> v = paths;
        std::sort(v.begin(), v.end());
        return v;
    }
};

CFileSystemScanner::Options Threads(unsigned n, bool cross = false) {
    CFileSystemScanner::Options o;
    o.threads = n;
    o.crossFileSystems = cross;
    return o;
}

TEST(FileSystemScannerThreads, SameItemsAsOneThreadOnRandomTrees) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        ScopedTempDir dir;
        std::mt19937 rng(seed);
        testsupport::MakeRandomTree(dir.Path(), rng, 600, 1000000000);
        Recorder one;
        CFileSystemScanner single;
        ASSERT_TRUE(single.Scan(dir.Path(), one).IsSuccess());
        std::sort(one.paths.begin(), one.paths.end());
        for (unsigned threads : {2u, 3u, 8u}) {
            SCOPED_TRACE(std::to_string(seed) + " with " + std::to_string(threads) + " threads");
            SharedRecorder many;
            many.root = dir.Path();
            CFileSystemScanner scanner(Threads(threads));
            ASSERT_TRUE(scanner.Scan(dir.Path(), many).IsSuccess());
            EXPECT_EQ(many.Sorted(), one.paths);
            EXPECT_EQ(many.orphans, 0u);
            EXPECT_TRUE(many.errors.empty());
            EXPECT_EQ(scanner.Statistics().items, single.Statistics().items);
            EXPECT_EQ(scanner.Statistics().folders, single.Statistics().folders);
            EXPECT_EQ(scanner.Statistics().bytes, single.Statistics().bytes);
        }
    }
}

TEST(FileSystemScannerThreads, PruningLongPathsAndLinksAsWithOneThread) {
    ScopedTempDir dir;
    std::string root = dir / "root";
    MakeDir(root);
    MakeDir(root + "/b");
    MakeDir(root + "/b/c");
    WriteFile(root + "/b/c/f", "x");
    WriteFile(root + "/a", "12345");
    ASSERT_EQ(::symlink(root.c_str(), (root + "/loop").c_str()), 0);
    std::string deep = root + "/deep";
    MakeDir(deep);
    int fd = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    const std::string name(200, 'n');
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644));
    ::close(fd);

    SharedRecorder r;
    r.root = root;
    r.prune = root + "/b";
    CFileSystemScanner scanner(Threads(3));
    ASSERT_TRUE(scanner.Scan(root, r).IsSuccess());
    std::vector<std::string> paths = r.Sorted();
    EXPECT_EQ(paths.size(), 1u + 1 + 1 + 1 + 1 + 25 + 1);  // root, a, b, loop, deep, 25 levels, leaf
    EXPECT_TRUE(std::count(paths.begin(), paths.end(), root + "/loop@"));
    EXPECT_FALSE(std::count(paths.begin(), paths.end(), root + "/b/c/"));
    EXPECT_GT(std::max_element(paths.begin(), paths.end(), [](auto& a, auto& b) { return a.size() < b.size(); })->size(),
              5000u);
    EXPECT_EQ(r.orphans, 0u);
}

TEST(FileSystemScannerThreads, UnreadableFoldersAreReportedAndTheOthersWalked) {
    ScopedTempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    std::mt19937 rng(11);
    testsupport::MakeRandomTree(dir.Path(), rng, 400, 1000000000);
    std::vector<std::string> closed;
    for (const char* n : {"/closed1", "/closed2"}) {
        MakeDir(dir / n);
        WriteFile(dir / n + "/secret", "");
        ASSERT_EQ(::chmod((dir / n).c_str(), 0700), 0);
        closed.push_back(dir.Path() + n);
    }
    for (unsigned threads : {1u, 4u}) {
        SharedRecorder r;
        r.root = dir.Path();
        testsupport::RunAsNobody([&] {
            CFileSystemScanner scanner(Threads(threads));
            EXPECT_TRUE(scanner.Scan(dir.Path(), r).IsSuccess());
            EXPECT_EQ(scanner.Statistics().errors, 2u);
        });
        std::sort(r.errors.begin(), r.errors.end());
        EXPECT_EQ(r.errors, closed) << threads;
        std::vector<std::string> paths = r.Sorted();
        EXPECT_TRUE(std::count(paths.begin(), paths.end(), dir / "closed1/"));
        EXPECT_FALSE(std::count(paths.begin(), paths.end(), dir / "closed1/secret"));
        EXPECT_EQ(paths.size(), testsupport::SnapshotTree(dir.Path()).size() - 2);  // the secrets
    }
}

TEST(FileSystemScannerThreads, StaysOnItsFileSystemUnlessAsked) {
    ScopedTempDir dir;
    std::string root = dir / "root";
    MakeDir(root);
    MakeDir(root + "/mnt");
    MakeDir(root + "/x");
    if (::mount("tmpfs", (root + "/mnt").c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "needs root";
    WriteFile(root + "/mnt/inside", "");
    SharedRecorder same, cross;
    same.root = cross.root = root;
    CFileSystemScanner staying(Threads(2)), crossing(Threads(2, true));
    EXPECT_TRUE(staying.Scan(root, same).IsSuccess());
    EXPECT_TRUE(crossing.Scan(root, cross).IsSuccess());
    ::umount2((root + "/mnt").c_str(), MNT_DETACH);
    EXPECT_EQ(same.Sorted(), (std::vector<std::string>{root + "/", root + "/mnt/", root + "/x/"}));
    EXPECT_EQ(cross.Sorted(), (std::vector<std::string>{root + "/", root + "/mnt/", root + "/mnt/inside", root + "/x/"}));
}

// The first failure of the callback stops every walker and is what Scan returns; a stop request
// is Win32 995.
struct FailAfter : SharedRecorder {
    std::atomic<int> left{0};
    CFileSystemScanner* scanner = nullptr;
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override {
        const int n = --left;
        if (n == 0 && scanner) scanner->RequestStop();
        if (n == 0 && !scanner) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GEN_FAILURE, "enough");
        return SharedRecorder::OnItem(item, descend);
    }
};

TEST(FileSystemScannerThreads, AFailureOrAStopEndsEveryWalker) {
    ScopedTempDir dir;
    std::mt19937 rng(5);
    testsupport::MakeRandomTree(dir.Path(), rng, 1000, 1000000000);
    for (bool stop : {false, true}) {
        FailAfter r;
        r.root = dir.Path();
        r.left = 300;
        CFileSystemScanner scanner(Threads(4));
        if (stop) r.scanner = &scanner;
        CKoError e = scanner.Scan(dir.Path(), r);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, stop ? ZyWin32::ERROR_OPERATION_ABORTED : ZyWin32::ERROR_GEN_FAILURE))
            << e.AsString();
        // Walkers stop soon after, well before the end of the 1000-item tree (how many items are
        // already past the check when the flag is raised depends on the machine's scheduling).
        EXPECT_LE(r.paths.size(), 300u + 100u);
    }
}

}  // namespace
