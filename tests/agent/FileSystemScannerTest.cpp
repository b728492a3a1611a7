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
