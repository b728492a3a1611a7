#include "core/Env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

FXEnv* env() { return FXEnv::Default(); }

std::string ReadAll(FXSequentialFile& f) {
    std::string out;
    char buf[7];  // small, so reads split
    for (;;) {
        size_t got = 0;
        EXPECT_TRUE(f.Read(buf, sizeof buf, got).IsSuccess());
        if (got == 0) return out;
        out.append(buf, got);
    }
}

// Counts the renames it forwards and fails the one it is told to.
class FailRenameEnv : public FXEnvWrapper {
public:
    using FXEnvWrapper::FXEnvWrapper;
    CKoError RenameFile(const std::string& from, const std::string& to) override {
        ++renames;
        if (fail) return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOSPC, "injected");
        return FXEnvWrapper::RenameFile(from, to);
    }
    int renames = 0;
    bool fail = false;
};

}  // namespace

TEST(Env, ReadsWritesAndTruncatesThroughEveryFileKind) {
    ScopedTempDir dir;
    const std::string p = dir / "f";
    std::unique_ptr<FXWritableFile> w;
    ASSERT_TRUE(env()->NewWritableFile(p, EWriteMode::Truncate, w).IsSuccess());
    ASSERT_TRUE(w->Append("hello ").IsSuccess());
    ASSERT_TRUE(w->Append("torn reco").IsSuccess());
    EXPECT_EQ(w->Size(), 15u);
    ASSERT_TRUE(w->Truncate(6).IsSuccess());
    ASSERT_TRUE(w->Append("world\n").IsSuccess());
    ASSERT_TRUE(w->Sync().IsSuccess());
    ASSERT_TRUE(w->Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "hello world\n");

    ASSERT_TRUE(env()->NewWritableFile(p, EWriteMode::Append, w).IsSuccess());
    EXPECT_EQ(w->Size(), 12u);
    ASSERT_TRUE(w->Append("more").IsSuccess());
    w.reset();  // closes silently
    EXPECT_EQ(ReadFile(p), "hello world\nmore");

    std::unique_ptr<FXSequentialFile> s;
    ASSERT_TRUE(env()->NewSequentialFile(p, s).IsSuccess());
    ASSERT_TRUE(s->Skip(6).IsSuccess());
    EXPECT_EQ(ReadAll(*s), "world\nmore");

    std::unique_ptr<FXRandomAccessFile> r;
    ASSERT_TRUE(env()->NewRandomAccessFile(p, r).IsSuccess());
    char buf[16];
    size_t got = 0;
    ASSERT_TRUE(r->Read(12, buf, sizeof buf, got).IsSuccess());
    EXPECT_EQ(std::string(buf, got), "more");
    uint64_t size = 0;
    ASSERT_TRUE(r->Size(size).IsSuccess());
    EXPECT_EQ(size, 16u);

    std::unique_ptr<FXRandomRWFile> rw;
    ASSERT_TRUE(env()->NewRandomRWFile(p, false, rw).IsSuccess());
    ASSERT_TRUE(rw->Write(0, "HELLO").IsSuccess());
    ASSERT_TRUE(rw->Truncate(11).IsSuccess());
    ASSERT_TRUE(rw->Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "HELLO world");
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->NewRandomRWFile(dir / "none", false, rw), ZyWin32::ERROR_FILE_NOT_FOUND));
}

TEST(Env, RefusesLinksFifosAndPlantedNamesWithoutBlocking) {
    ScopedTempDir dir;
    WriteFile(dir / "target", "secret");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    std::unique_ptr<FXSequentialFile> s;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(env()->NewSequentialFile(dir / "link", s), ELOOP));
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->NewSequentialFile(dir / "fifo", s), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->NewSequentialFile(dir.Path(), s), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_TRUE(env()->NewSequentialFile(dir / "link", s, FXOpenOptions::Any()).IsSuccess());

    std::unique_ptr<FXWritableFile> w;
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->NewWritableFile(dir / "link", EWriteMode::Exclusive, w),
                                     ZyWin32::ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(env()->NewWritableFile(dir / "link", EWriteMode::Truncate, w).IsError());
    EXPECT_TRUE(env()->NewWritableFile(dir / "fifo", EWriteMode::Truncate, w).IsError());
    EXPECT_EQ(ReadFile(dir / "target"), "secret");
}

TEST(Env, ListsStatsRemovesAndLocks) {
    ScopedTempDir dir;
    ASSERT_TRUE(env()->CreateDir(dir / "sub").IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->CreateDir(dir / "sub"), ZyWin32::ERROR_ALREADY_EXISTS));
    WriteFile(dir / "a", "12345");
    std::vector<std::string> names;
    ASSERT_TRUE(env()->GetChildren(dir.Path(), names).IsSuccess());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "sub"}));

    FXFileStat st;
    ASSERT_TRUE(env()->Stat(dir / "a", st).IsSuccess());
    EXPECT_TRUE(st.IsRegular());
    EXPECT_EQ(st.size, 5u);
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->Stat(dir / "gone", st), ZyWin32::ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->RemoveFile(dir / "gone"), ZyWin32::ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(env()->RemoveDir(dir / "sub").IsSuccess());
    EXPECT_TRUE(env()->SyncDir(dir.Path()).IsSuccess());

    std::unique_ptr<FXFileLock> first, second;
    ASSERT_TRUE(env()->LockFile(dir / "lock", first).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(env()->LockFile(dir / "lock", second), ZyWin32::ERROR_LOCK_VIOLATION));
    first.reset();
    EXPECT_TRUE(env()->LockFile(dir / "lock", second).IsSuccess());
    ASSERT_TRUE(env()->Stat(dir / "lock", st).IsSuccess());
    EXPECT_EQ(st.mode & 0777, 0600u);
    ASSERT_EQ(::symlink((dir / "a").c_str(), (dir / "lock2").c_str()), 0);
    EXPECT_TRUE(env()->LockFile(dir / "lock2", first).IsError());
}

TEST(Env, DurableReplaceLeavesTheOldFileOrTheNewOneAndNoTemporary) {
    ScopedTempDir dir;
    const std::string p = dir / "state";
    WriteFile(p, "old");
    // A leftover temporary that is a link to an outside file is removed, not written through.
    WriteFile(dir / "outside", "keep");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (p + ".tmp").c_str()), 0);
    ASSERT_TRUE(FXDurableReplace::WriteWhole(p, "new").IsSuccess());
    EXPECT_EQ(ReadFile(p), "new");
    EXPECT_EQ(ReadFile(dir / "outside"), "keep");
    EXPECT_NE(::access((p + ".tmp").c_str(), F_OK), 0);

    FailRenameEnv failing(FXEnv::Default());
    failing.fail = true;
    {
        FXScopedEnv scoped(&failing);
        EXPECT_TRUE(FXErrorUtil::IsErrNo(FXDurableReplace::WriteWhole(p, "newer"), ENOSPC));
    }
    EXPECT_EQ(failing.renames, 1);
    EXPECT_EQ(ReadFile(p), "new");
    EXPECT_NE(::access((p + ".tmp").c_str(), F_OK), 0);

    {  // dropped without Commit: nothing changes
        FXDurableReplace replace(p);
        ASSERT_TRUE(replace.Open().IsSuccess());
        ASSERT_TRUE(replace.Append("half").IsSuccess());
    }
    EXPECT_EQ(ReadFile(p), "new");
    EXPECT_NE(::access((p + ".tmp").c_str(), F_OK), 0);
    EXPECT_EQ(FXEnv::Current(), FXEnv::Default());
}
