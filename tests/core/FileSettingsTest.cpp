#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/FaultInjectionEnv.h"
#include "core/File.h"
#include "core/PlatformInfo.h"
#include "core/Sync.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

TEST(FXFile, OpenMissingAndRemoveMissing) {
    ScopedTempDir dir;
    FXFileHandle f;
    CKoError e = FXFile::zyfopen(dir / "missing", "rb", f);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) << e.AsString();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::RemoveFile(dir / "missing"), ZyWin32::ERROR_FILE_NOT_FOUND));
}

TEST(FXFile, MoveRefusesToReplaceUnlessAsked) {
    ScopedTempDir dir;
    WriteFile(dir / "a", "A");
    WriteFile(dir / "b", "B");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::ZYMoveFileEx(dir / "a", dir / "b", false), ZyWin32::ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadFile(dir / "b"), "B");
    ASSERT_TRUE(FXFile::ZYMoveFileEx(dir / "a", dir / "b", true).IsSuccess());
    EXPECT_EQ(ReadFile(dir / "b"), "A");
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "a"));
}

TEST(FXFile, EnumerationAndPatterns) {
    ScopedTempDir dir;
    WriteFile(dir / "Collect1.zyf", "");
    WriteFile(dir / "Collect2.zyf", "");
    WriteFile(dir / "DC.zyf", "");
    ASSERT_TRUE(FXFile::CreateFoldersIteratively(dir / "sub/deeper/x").IsSuccess());
    ASSERT_TRUE(FXFile::CreateFoldersIteratively(dir / "sub/deeper/x").IsSuccess());

    std::vector<std::string> names;
    ASSERT_TRUE(FXFile::GetMatchingFiles(dir.Path(), "Collect*.zyf", names).IsSuccess());
    EXPECT_EQ(names, (std::vector<std::string>{"Collect1.zyf", "Collect2.zyf"}));

    FXFindHandle h;
    FXFindData d;
    std::vector<std::string> found;
    CKoError e = FXFile::ZYFindFirstFile(dir / "*", h, d);
    while (e.IsSuccess()) {
        found.push_back(d.name + (d.isDirectory ? "/" : ""));
        e = FXFile::ZYFindNextFile(h, d);
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_FILES));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"Collect1.zyf", "Collect2.zyf", "DC.zyf", "sub/"}));

    ASSERT_TRUE(FXFile::DeleteMatchingFiles(dir.Path(), "Collect*").IsSuccess());
    ASSERT_TRUE(FXFile::GetMatchingFiles(dir.Path(), "*.zyf", names).IsSuccess());
    EXPECT_EQ(names, (std::vector<std::string>{"DC.zyf"}));

    WriteFile(dir / "plain", "");
    EXPECT_TRUE(FXFile::CreateFoldersIteratively(dir / "plain/below").IsError());
}

TEST(FXFile, AtomicReplaceLeavesOldContentOnFailure) {
    ScopedTempDir dir;
    ASSERT_TRUE(FXFile::WriteFileAtomically(dir / "state", "one").IsSuccess());
    ASSERT_TRUE(FXFile::WriteFileAtomically(dir / "state", "two").IsSuccess());
    EXPECT_EQ(ReadFile(dir / "state"), "two");
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "state.tmp"));
    // A full disk under it: FXFileSeam.HelpersFailCleanlyWhereTheSeamFails.
}

TEST(FXFile, IsVolumeUnc) {
    EXPECT_TRUE(FXFile::IsVolumeUnc("//srv/share"));
    EXPECT_TRUE(FXFile::IsVolumeUnc("\\\\srv\\share"));
    EXPECT_FALSE(FXFile::IsVolumeUnc("/srv/share"));
    EXPECT_FALSE(FXFile::IsVolumeUnc("///x"));
    EXPECT_FALSE(FXFile::IsVolumeUnc("//"));
    EXPECT_FALSE(FXFile::IsVolumeUnc("/\\x"));
}

TEST(ZYPlatformInfo, StoreReadsWritesAndReportsMissingKeys) {
    ScopedTempDir dir;
    std::string path = dir / "settings.conf";
    WriteFile(path, "# comment\n[FileSystemAgent]\n encodeAllSpecialSymbols = Yes \nnCacheNames=0x10\nbad=12x\n[Other]\nk=v\n");
    ASSERT_TRUE(ZYPlatformInfo::SetSettingsFile(path).IsSuccess());

    std::string s;
    ASSERT_TRUE(ZYPlatformInfo::getString("FileSystemAgent", "encodeAllSpecialSymbols", s).IsSuccess());
    EXPECT_EQ(s, "Yes");
    long long n = -1;
    ASSERT_TRUE(ZYPlatformInfo::getNumber("FileSystemAgent", "nCacheNames", n).IsSuccess());
    EXPECT_EQ(n, 16);
    EXPECT_TRUE(FXErrorUtil::IsWin32(ZYPlatformInfo::getNumber("FileSystemAgent", "bad", n), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_EQ(n, 16);  // left alone
    EXPECT_TRUE(FXErrorUtil::IsWin32(ZYPlatformInfo::getString("FileSystemAgent", "k", s), ZyWin32::ERROR_NOT_FOUND));

    ASSERT_TRUE(ZYPlatformInfo::setString("FileSystemAgent", "nDirChangeCacheCapacity", "100").IsSuccess());
    // The file now carries it: a fresh load sees it.
    ASSERT_TRUE(ZYPlatformInfo::SetSettingsFile(path).IsSuccess());
    ASSERT_TRUE(ZYPlatformInfo::getNumber("FileSystemAgent", "nDirChangeCacheCapacity", n).IsSuccess());
    EXPECT_EQ(n, 100);
    ASSERT_TRUE(ZYPlatformInfo::getString("Other", "k", s).IsSuccess());

    // In memory only.
    ASSERT_TRUE(ZYPlatformInfo::SetSettingsFile("").IsSuccess());
    EXPECT_TRUE(ZYPlatformInfo::getString("Other", "k", s).IsError());
    ASSERT_TRUE(ZYPlatformInfo::setString("Other", "k", "w").IsSuccess());
    ASSERT_TRUE(ZYPlatformInfo::getString("Other", "k", s).IsSuccess());
    EXPECT_EQ(s, "w");
}

// A settings file that exists but cannot be read leaves every setting at its default: that is
// said in the log, and the store's own save failures come back to the caller.
TEST(ZYPlatformInfo, AnUnreadableSettingsFileIsLogged) {
    ScopedTempDir dir;
    const std::string path = dir / "settings.conf";
    WriteFile(path, "[FileSystemAgent]\nnCacheNames=1\n");
    testsupport::ScopedLogCapture log;
    {
        FXFaultInjectionEnv env;
        FXScopedEnv scoped(&env);
        env.FailNth(EFaultOp::Read, 1, EIO);
        EXPECT_TRUE(FXErrorUtil::IsErrNo(ZYPlatformInfo::SetSettingsFile(path), EIO));
        EXPECT_TRUE(log.Log().Contains("Cannot read settings file, every setting keeps its default, FileName=[" + path + "]"));
        std::string s;
        EXPECT_TRUE(ZYPlatformInfo::getString("FileSystemAgent", "nCacheNames", s).IsError());
        env.FailNth(EFaultOp::Rename, 1, ENOSPC);
        EXPECT_TRUE(FXErrorUtil::IsErrNo(ZYPlatformInfo::setString("FileSystemAgent", "k", "v"), ENOSPC));
        EXPECT_EQ(ReadFile(path), "[FileSystemAgent]\nnCacheNames=1\n");
    }
    // A missing one is no news.
    ASSERT_TRUE(ZYPlatformInfo::SetSettingsFile(dir / "none.conf").IsSuccess());
    EXPECT_EQ(log.Log().Lines().size(), 1u);
    ASSERT_TRUE(ZYPlatformInfo::SetSettingsFile("").IsSuccess());
}

TEST(ZyNamedMutex, ExcludesAnotherProcessUntilReleased) {
    ScopedTempDir dir;
    setenv("SCAN_LOCK_DIR", dir.Path().c_str(), 1);
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ZyNamedMutex m("automount_mutex");
        char c = m.lock().IsSuccess() ? 'L' : 'E';
        (void)!write(toParent[1], &c, 1);
        (void)!read(toChild[0], &c, 1);  // hold until told
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');

    ZyNamedMutex m("automount_mutex");
    CKoError e = m.lock(100);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 258)) << e.AsString();
    EXPECT_FALSE(m.IsLocked());

    // Another name is free.
    ZyNamedMutex other("other");
    EXPECT_TRUE(other.lock(0).IsSuccess());

    // Killing the holder releases it.
    (void)!write(toChild[1], "x", 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(m.lock(2000).IsSuccess());
    EXPECT_TRUE(m.unlock().IsSuccess());
    unsetenv("SCAN_LOCK_DIR");
}

}  // namespace

#include "core/MntTab.h"

namespace {
TEST(ZyMntTab, ReadsTableWithEscapedNames) {
    ScopedTempDir dir;
    WriteFile(dir / "mounts",
              "/dev/vda1 / ext4 rw,relatime 0 0\n"
              "server:/export /mnt/with\\040space nfs4 rw,vers=4.2 0 0\n");
    std::vector<ZyMntEnt> mounts;
    ASSERT_TRUE(ZyMntTab::getAll(mounts, dir / "mounts").IsSuccess());
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[1].device, "server:/export");
    EXPECT_EQ(mounts[1].mountPoint, "/mnt/with space");
    EXPECT_EQ(mounts[1].fsType, "nfs4");
    EXPECT_EQ(mounts[1].options, "rw,vers=4.2");

    ASSERT_TRUE(ZyMntTab::getAll(mounts).IsSuccess());
    bool hasRoot = false;
    for (const auto& m : mounts) hasRoot |= m.mountPoint == "/";
    EXPECT_TRUE(hasRoot);
    EXPECT_TRUE(ZyMntTab::getAll(mounts, dir / "none").IsError());
}
}  // namespace
