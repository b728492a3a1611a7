#include "core/FaultInjectionEnv.h"

#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

CKoError WriteThrough(FXEnv& env, const std::string& path, const std::string& data, bool sync) {
    std::unique_ptr<FXWritableFile> f;
    CKoError e = env.NewWritableFile(path, EWriteMode::Truncate, f);
    if (e.IsSuccess()) e = f->Append(data);
    if (e.IsSuccess() && sync) e = f->Sync();
    if (e.IsSuccess()) e = f->Close();
    return e;
}

}  // namespace

TEST(FaultInjectionEnv, FailsTheNthOperationOfAKindAndCountsEveryKind) {
    ScopedTempDir dir;
    FXFaultInjectionEnv env;
    const std::string p = dir / "f";
    ASSERT_TRUE(WriteThrough(env, p, "abc", true).IsSuccess());
    EXPECT_EQ(env.Count(EFaultOp::Open), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Write), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Sync), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Close), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Any), 4u);

    // The second write from now fails, once; the first and third go through.
    env.FailNth(EFaultOp::Write, 2, ENOSPC);
    std::unique_ptr<FXWritableFile> w;
    ASSERT_TRUE(env.NewWritableFile(p, EWriteMode::Append, w).IsSuccess());
    EXPECT_TRUE(w->Append("1").IsSuccess());
    CKoError e = w->Append("2");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    EXPECT_NE(e.GetMessage().find("injected fault"), std::string::npos);
    EXPECT_NE(e.GetMessage().find(p), std::string::npos);
    EXPECT_TRUE(w->Append("3").IsSuccess());
    ASSERT_TRUE(w->Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "abc13");
    EXPECT_EQ(env.Injected(), 1u);

    // Errnos that the environment gives as families come as those families.
    env.FailNth(EFaultOp::Open, 1, ENOENT);
    std::unique_ptr<FXSequentialFile> s;
    EXPECT_TRUE(FXErrorUtil::IsWin32(env.NewSequentialFile(p, s), ZyWin32::ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(env.NewSequentialFile(p, s).IsSuccess());

    // Any kind: the N-th operation whatever it is; sticky: every one after it too.
    env.ResetCounts();
    env.FailNth(EFaultOp::Any, 2, EIO, true);
    FXFileStat st;
    EXPECT_TRUE(env.Stat(p, st).IsSuccess());
    std::vector<std::string> names;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(env.GetChildren(dir.Path(), names), EIO));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(env.SyncDir(dir.Path()), EIO));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(env.RemoveFile(p), EIO));
    EXPECT_TRUE(Exists(p));
    env.ClearFaults();
    EXPECT_TRUE(env.Stat(p, st).IsSuccess());
    EXPECT_EQ(env.Count(EFaultOp::Stat), 2u);
    EXPECT_EQ(env.Count(EFaultOp::List), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Remove), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Any), 5u);

    // A torn write lands half its data before it fails, as a disk that fills up does.
    env.FailNth(EFaultOp::Write, 1, ENOSPC, false, true);
    ASSERT_TRUE(env.NewWritableFile(p, EWriteMode::Truncate, w).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(w->Append("0123456789"), ENOSPC));
    EXPECT_EQ(w->Size(), 5u);
    ASSERT_TRUE(w->Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "01234");
    std::unique_ptr<FXRandomRWFile> rw;
    env.FailNth(EFaultOp::Write, 1, ENOSPC, false, true);
    ASSERT_TRUE(env.NewRandomRWFile(p, false, rw).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(rw->Write(5, "abcd"), ENOSPC));
    ASSERT_TRUE(rw->Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "01234ab");
}

TEST(FaultInjectionEnv, ACrashFailsEverythingAndDropsWhatWasNotSynced) {
    ScopedTempDir dir;
    WriteFile(dir / "old", "kept");        // there before: durable
    WriteFile(dir / "victim", "durable");  // removed without a folder sync: comes back
    WriteFile(dir / "target", "before");   // replaced by an unsynced rename: comes back
    ASSERT_EQ(::mkdir((dir / "synced").c_str(), 0755), 0);
    FXFaultInjectionEnv env;

    // Synced in part: cut back to the synced part.
    std::unique_ptr<FXWritableFile> log;
    ASSERT_TRUE(env.NewWritableFile(dir / "old", EWriteMode::Append, log).IsSuccess());
    ASSERT_TRUE(log->Append("+synced").IsSuccess());
    ASSERT_TRUE(log->Sync().IsSuccess());
    ASSERT_TRUE(log->Append("+lost").IsSuccess());
    // Created and synced, in a folder that was synced: stays whole.
    ASSERT_TRUE(WriteThrough(env, dir / "synced/a", "A", true).IsSuccess());
    ASSERT_TRUE(env.SyncDir(dir / "synced/").IsSuccess());
    // Created and synced, but its folder never was: gone.
    ASSERT_TRUE(WriteThrough(env, dir / "fresh", "F", true).IsSuccess());
    ASSERT_TRUE(env.CreateDir(dir / "newdir").IsSuccess());
    ASSERT_TRUE(WriteThrough(env, dir / "newdir/x", "X", true).IsSuccess());
    ASSERT_TRUE(env.SyncDir(dir / "newdir").IsSuccess());  // its parent was not synced
    ASSERT_TRUE(env.RemoveFile(dir / "victim").IsSuccess());
    ASSERT_TRUE(WriteThrough(env, dir / "target.tmp", "after", true).IsSuccess());
    ASSERT_TRUE(env.RenameFile(dir / "target.tmp", dir / "target").IsSuccess());
    EXPECT_EQ(ReadFile(dir / "target"), "after");

    env.CrashAfter(1);
    FXFileStat st;
    EXPECT_TRUE(env.Stat(dir / "old", st).IsSuccess());  // the last one before the crash
    EXPECT_FALSE(env.HasCrashed());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(log->Append("+after"), EIO));
    EXPECT_TRUE(env.HasCrashed());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(env.Stat(dir / "old", st), EIO));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(WriteThrough(env, dir / "late", "L", true), EIO));
    EXPECT_FALSE(Exists(dir / "late"));

    ASSERT_TRUE(env.DropUnsyncedData().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "old"), "kept+synced");
    EXPECT_EQ(ReadFile(dir / "synced/a"), "A");
    EXPECT_FALSE(Exists(dir / "fresh"));
    EXPECT_FALSE(Exists(dir / "newdir"));
    EXPECT_EQ(ReadFile(dir / "victim"), "durable");
    EXPECT_EQ(ReadFile(dir / "target"), "before");
    EXPECT_FALSE(Exists(dir / "target.tmp"));  // created in an unsynced folder, so gone as well

    // The environment works again; files opened before the restart do not.
    EXPECT_TRUE(FXErrorUtil::IsErrNo(log->Append("+zombie"), EIO));
    EXPECT_TRUE(env.Stat(dir / "old", st).IsSuccess());
    ASSERT_TRUE(WriteThrough(env, dir / "fresh", "again", false).IsSuccess());
    EXPECT_EQ(ReadFile(dir / "fresh"), "again");
    EXPECT_EQ(ReadFile(dir / "old"), "kept+synced");
}

// The durable replacement under a crash after every one of its operations: the target holds the
// old content or the new one, whole, and no temporary is left once the next replacement ran.
TEST(FaultInjectionEnv, DurableReplaceSurvivesACrashAtEveryStep) {
    ScopedTempDir dir;
    const std::string p = dir / "state";
    WriteFile(p, "old state");
    FXFaultInjectionEnv counter;
    {
        FXScopedEnv scoped(&counter);
        ASSERT_TRUE(FXDurableReplace::WriteWhole(p, "old state").IsSuccess());
    }
    const uint64_t steps = counter.Count(EFaultOp::Any);
    ASSERT_GE(steps, 6u);  // remove leftover, create, write, sync, close, rename, folder sync
    int sawOld = 0, sawNew = 0;
    for (uint64_t k = 0; k <= steps; ++k) {
        FXFaultInjectionEnv env;
        FXScopedEnv scoped(&env);
        env.CrashAfter(k);
        CKoError e = FXDurableReplace::WriteWhole(p, "new state");
        EXPECT_EQ(e.IsSuccess(), k == steps) << k << " " << e.AsString();
        ASSERT_TRUE(env.DropUnsyncedData().IsSuccess());
        const std::string now = ReadFile(p);
        ASSERT_TRUE(now == "old state" || now == "new state") << k << ": " << now;
        (now == "new state" ? sawNew : sawOld)++;
        ASSERT_TRUE(FXDurableReplace::WriteWhole(p, "old state").IsSuccess());
        EXPECT_FALSE(Exists(p + ".tmp"));
    }
    EXPECT_EQ(sawNew, 1);  // only once the folder sync is done does the new state survive
    EXPECT_EQ(sawOld, static_cast<int>(steps));
}

// The backup's reader threads share one environment: counts, faults and the crash hold across
// threads, each operation counted once and the one fault injected once.
TEST(FaultInjectionEnvThreads, CountsAndFaultsHoldAcrossThreads) {
    ScopedTempDir dir;
    FXFaultInjectionEnv env;
    env.SetSyncsReachTheDisk(false);
    env.FailNth(EFaultOp::Write, 150, ENOSPC);
    constexpr int kThreads = 4, kWrites = 100;
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::unique_ptr<FXWritableFile> w;
            ASSERT_TRUE(env.NewWritableFile(dir / ("f" + std::to_string(t)), EWriteMode::Truncate, w).IsSuccess());
            for (int i = 0; i < kWrites; ++i)
                if (w->Append("x").IsError()) ++failed;
            ASSERT_TRUE(w->Sync().IsSuccess());
            ASSERT_TRUE(w->Close().IsSuccess());
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(env.Injected(), 1u);
    EXPECT_EQ(env.Count(EFaultOp::Write), static_cast<uint64_t>(kThreads * kWrites));
    EXPECT_EQ(env.Count(EFaultOp::Any), static_cast<uint64_t>(kThreads * (kWrites + 3)));
    env.Crash();
    ASSERT_TRUE(env.DropUnsyncedData().IsSuccess());
    size_t total = 0;
    for (int t = 0; t < kThreads; ++t) total += ReadFile(dir / ("f" + std::to_string(t))).size();
    EXPECT_EQ(total, 0u);  // created in a folder never synced: gone
}
