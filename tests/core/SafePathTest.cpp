#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/PathWalker.h"
#include "core/SafePath.h"
#include "core/Sync.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

TEST(SafePath, CleanPathsAreTheOnlyOnesAccepted) {
    struct Case {
        std::string path;
        bool absolute, relative;
    };
    const Case cases[] = {
        {"/", true, false},          {"/a", true, false},       {"/a/b c/d", true, false},  {"a", false, true},
        {"a/b", false, true},        {"", false, false},        {"//a", false, false},      {"/a//b", false, false},
        {"/a/", false, false},       {"/a/.", false, false},    {"/a/..", false, false},    {"/../etc", false, false},
        {"a/../b", false, false},    {"./a", false, false},     {"a/", false, false},       {"/..a/b..", true, false},
        {"...", false, true},        {std::string("/a\0b", 4), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXSafePath::IsCleanAbsolute(c.path), c.absolute) << c.path;
        EXPECT_EQ(FXSafePath::IsCleanRelative(c.path), c.relative) << c.path;
    }
    EXPECT_TRUE(FXSafePath::IsCleanName("a b"));
    for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(FXSafePath::IsCleanName(bad)) << bad;
}

TEST(SafePath, NestingAndOrderGoByWholeComponents) {
    EXPECT_TRUE(FXSafePath::IsAtOrBelow("/a", "/a"));
    EXPECT_TRUE(FXSafePath::IsAtOrBelow("/a", "/a/b"));
    EXPECT_FALSE(FXSafePath::IsAtOrBelow("/a", "/ab"));
    EXPECT_FALSE(FXSafePath::IsAtOrBelow("/a/b", "/a"));
    EXPECT_TRUE(FXSafePath::IsAtOrBelow("/", "/x"));
    EXPECT_EQ(FXSafePath::RelativeTo("/a", "/a/b/c"), "b/c");
    EXPECT_EQ(FXSafePath::RelativeTo("/", "/a"), "a");
    EXPECT_EQ(FXSafePath::RelativeTo("/a", "/a"), "");
    // A walk lists "/a", all of "/a/...", then "/a-b": names sorted as bytes, folders first.
    const char* order[] = {"/", "/a", "/a/b", "/a/b/c", "/a/z", "/a-b", "/a\xff", "/b"};
    for (size_t i = 0; i + 1 < sizeof order / sizeof *order; ++i) {
        EXPECT_LT(FXSafePath::CompareComponents(order[i], order[i + 1]), 0) << order[i] << " " << order[i + 1];
        EXPECT_GT(FXSafePath::CompareComponents(order[i + 1], order[i]), 0);
    }
    EXPECT_EQ(FXSafePath::CompareComponents("/a/b", "/a/b"), 0);
}

struct Tree {
    ScopedTempDir dir;
    std::string base = dir / "base", outside = dir / "outside";
    Tree() {
        ::mkdir(base.c_str(), 0755);
        ::mkdir(outside.c_str(), 0755);
        WriteFile(outside + "/canary", "canary");
    }
};

TEST(PathWalker, NeverFollowsALinkAnywhereOnTheWay) {
    Tree t;
    ::mkdir((t.base + "/a").c_str(), 0755);
    ASSERT_EQ(::symlink(t.outside.c_str(), (t.base + "/a/link").c_str()), 0);
    ASSERT_EQ(::symlink(t.outside.c_str(), (t.base + "/top").c_str()), 0);
    FXPathWalker walker;
    ASSERT_TRUE(walker.Open(t.base).IsSuccess());
    int fd = -1;
    for (const char* path : {"a/link", "a/link/x", "top", "top/canary"}) {
        CKoError e = walker.OpenFolder(path, FXPathWalker::Mode{}, fd);
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOTDIR) || FXErrorUtil::IsErrNo(e, ELOOP)) << path << " " << e.AsString();
    }
    // Asked to make the way, it removes the link (never its target) and makes a folder there.
    FXPathWalker::Mode make{true, true, 0700};
    ASSERT_TRUE(walker.OpenFolder("a/link/new", make, fd).IsSuccess());
    struct stat st;
    ASSERT_EQ(::lstat((t.base + "/a/link/new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(ReadFile(t.outside + "/canary"), "canary");
    EXPECT_FALSE(::access((t.outside + "/new").c_str(), F_OK) == 0);
    // Paths that are not clean are refused before anything is opened.
    for (const char* bad : {"../outside", "a/../..", "/etc", "a//b"})
        EXPECT_TRUE(walker.OpenFolder(bad, make, fd).IsError()) << bad;
    // The base itself is opened by descent: a link on its way is refused too.
    FXPathWalker other;
    EXPECT_TRUE(other.Open(t.base + "/top").IsError());
    EXPECT_TRUE(other.Open(t.base + "/../outside").IsError());
}

TEST(PathWalker, KeptFoldersAreReusedAndForgotten) {
    Tree t;
    FXPathWalker walker;
    ASSERT_TRUE(walker.Open(t.base).IsSuccess());
    FXPathWalker::Mode make{true, false, 0700};
    int first = -1, again = -1, parent = -1;
    ASSERT_TRUE(walker.OpenFolder("x/y", make, first).IsSuccess());
    std::string_view leaf;
    ASSERT_TRUE(walker.OpenParent("x/y/file", make, parent, leaf).IsSuccess());
    EXPECT_EQ(parent, first);
    EXPECT_EQ(leaf, "file");
    // Replaced meanwhile by a link: a forgotten walk sees the link and refuses it.
    ASSERT_EQ(testsupport::Shell("rm -rf '" + t.base + "/x/y' && ln -s '" + t.outside + "' '" + t.base + "/x/y'"), 0);
    walker.Forget();
    EXPECT_TRUE(walker.OpenFolder("x/y", FXPathWalker::Mode{}, again).IsError());
}

TEST(PathWalker, RemovesDeepAndLongTreesWithoutFollowingLinks) {
    Tree t;
    // Deeper than the levels the remover keeps open, and longer than PATH_MAX.
    FXPathWalker walker;
    ASSERT_TRUE(walker.Open(t.base).IsSuccess());
    std::string relative = "top";
    const std::string longName(200, 'n');
    for (int i = 0; i < 120; ++i) relative += "/" + (i % 5 == 0 ? longName : std::to_string(i));
    int fd = -1;
    ASSERT_TRUE(walker.OpenFolder(relative, FXPathWalker::Mode{true, false, 0700}, fd).IsSuccess());
    ASSERT_EQ(::symlinkat(t.outside.c_str(), fd, "link"), 0);
    int file = ::openat(fd, "file", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    ::close(file);
    ASSERT_GT(t.base.size() + relative.size(), 4096u);
    walker.Forget();

    FXFd base;
    ASSERT_TRUE(FXPathWalker::OpenByDescent(t.base, base).IsSuccess());
    ASSERT_TRUE(FXPathWalker::RemoveTreeAt(base.Get(), "top").IsSuccess());
    EXPECT_NE(::access((t.base + "/top").c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(t.outside + "/canary"), "canary");
    EXPECT_TRUE(FXPathWalker::RemoveTreeAt(base.Get(), "missing").IsSuccess());
    EXPECT_TRUE(FXPathWalker::RemoveTreeAt(base.Get(), "..").IsError());
}

TEST(FolderLock, OneLockPerFolderWhateverThePath) {
    Tree t;
    std::string alias = t.dir / "alias";
    ASSERT_EQ(::symlink(t.base.c_str(), alias.c_str()), 0);
    FXFolderLock first, second;
    ASSERT_TRUE(first.Lock(t.base).IsSuccess());
    CKoError e = second.Lock(alias);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_LOCK_VIOLATION)) << e.AsString();
    // Inside the folder, private, named by identity: another folder has another lock.
    std::string name;
    ASSERT_TRUE(FXFolderLock::LockFileName(t.base, name).IsSuccess());
    struct stat st;
    ASSERT_EQ(::lstat((t.base + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(second.Lock(t.outside).IsSuccess());
    first.Unlock();
    FXFolderLock third;
    EXPECT_TRUE(third.Lock(alias).IsSuccess());
}

TEST(FolderLock, ALinkPlantedAsTheLockFileIsRefused) {
    Tree t;
    std::string name;
    ASSERT_TRUE(FXFolderLock::LockFileName(t.base, name).IsSuccess());
    ASSERT_EQ(::chmod((t.outside + "/canary").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((t.outside + "/canary").c_str(), (t.base + "/" + name).c_str()), 0);
    FXFolderLock lock;
    EXPECT_TRUE(lock.Lock(t.base).IsError());
    struct stat st;
    ASSERT_EQ(::stat((t.outside + "/canary").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ZyNamedMutex, PlantedLinksInTheSharedFolderChangeNothing) {
    Tree t;
    std::string lockDir = t.dir / "locks";
    ASSERT_EQ(::mkdir(lockDir.c_str(), 01777), 0);
    ASSERT_EQ(::chmod((t.outside + "/canary").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((t.outside + "/canary").c_str(), (lockDir + "/planted.lock").c_str()), 0);
    // A link planted as the lock folder itself is not made 01777 either.
    std::string linkedDir = t.dir / "linked-locks";
    ASSERT_EQ(::symlink(t.outside.c_str(), linkedDir.c_str()), 0);
    ::setenv("SCAN_LOCK_DIR", lockDir.c_str(), 1);
    ZyNamedMutex planted("planted");
    EXPECT_TRUE(planted.lock(0).IsError());
    ZyNamedMutex fine("fine");
    EXPECT_TRUE(fine.lock(0).IsSuccess());
    ::setenv("SCAN_LOCK_DIR", linkedDir.c_str(), 1);
    ZyNamedMutex viaLink("x");
    EXPECT_TRUE(viaLink.lock(0).IsError());
    ::unsetenv("SCAN_LOCK_DIR");
    struct stat st;
    ASSERT_EQ(::stat((t.outside + "/canary").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(t.outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((lockDir + "/fine.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u) << "a lock file others may write";
}

}  // namespace
