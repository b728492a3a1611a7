// The job files of fsscan through the file-system seam: the output files, the job state, and a
// scan that must fail rather than lose what it could not read.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scan/job/JobState.h"
#include "scan/job/OutputFile.h"
#include "scan/job/ScanJob.h"
#include "core/FaultInjectionEnv.h"
#include "ForwardingRecorder.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

TEST(OutputFile, EveryFailureUpToTheCloseIsReportedWithItsOwnErrno) {
    ScopedTempDir dir;
    const std::string p = dir / "out";
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    COutputFile out;
    ASSERT_TRUE(out.Open(p, false).IsSuccess());
    std::fputs("one\ntwo\n", out.Stream());
    ASSERT_TRUE(out.Close().IsSuccess());
    EXPECT_EQ(out.Lines(), 2u);
    EXPECT_EQ(ReadFile(p), "one\ntwo\n");

    struct Case {
        EFaultOp op;
        int err;
    } cases[] = {{EFaultOp::Open, EACCES}, {EFaultOp::Write, ENOSPC}, {EFaultOp::Sync, EIO}, {EFaultOp::Close, EDQUOT}};
    for (const Case& c : cases) {
        COutputFile failing;
        env.FailNth(c.op, 1, c.err);
        CKoError e = failing.Open(p, true);
        if (e.IsSuccess()) {
            std::fputs("three\n", failing.Stream());
            e = failing.Close();
        }
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, c.err)) << AsString(c.op) << ": " << e.AsString();
        EXPECT_NE(e.AsString().find(p), std::string::npos) << e.AsString();
    }
}

TEST(ScanJobState, AStateThatCannotBeReadIsNotTakenForNone) {
    ScopedTempDir dir;
    CScanJobState state;
    state.lastJobId = 4;
    state.hasLastScan = true;
    state.lastScan.dirChangeFile = "DCTot.zyf";
    ASSERT_TRUE(state.Save(dir.Path()).IsSuccess());
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Read, 1, EIO);
    CScanJobState loaded;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(loaded.Load(dir.Path()), EIO));
    ASSERT_TRUE(loaded.Load(dir.Path()).IsSuccess());
    EXPECT_EQ(loaded.lastJobId, 4);

    env.FailNth(EFaultOp::Read, 1, EIO);
    unsigned long long size = 0, hash = 0;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(HashFile(dir / CScanJobState::kFileName, size, hash), EIO));
}

// escapeFileName throws when it cannot have its buffer; through a function that returns CKoError
// that is an error.
TEST(ScanJobState, NoMemoryToEscapeAPathIsAnError) {
    ScopedTempDir dir;
    CScanJobState state;
    state.hasLastScan = true;
    state.lastScan.dirChangeFile = "DCTot.zyf";
    state.lastScan.rescanPaths = {"/big/" + std::string(100000, '%')};
    CKoError e;
    bool threw = false;
    {
        testsupport::ScopedAllocationLimit limit(200000);  // the path fits, its escaped form does not
        try {
            e = state.Save(dir.Path());
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OUTOFMEMORY)) << e.AsString();
    EXPECT_FALSE(FXFile::DoesFileExist(dir / CScanJobState::kFileName));
}

// Drops the two capabilities that let root read any folder, so that a folder with mode 0 is
// unreadable to this process as it is to anyone else.
bool DropReadOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// What the previous job saw below a folder that cannot be read now is carried forward; if that
// fails the job must fail, not report those items deleted.
TEST(ScanJob, AFailureToCarryAnUnreadableFolderForwardFailsTheJob) {
    struct FailingCarry : CForwardingRecorder {
        using CForwardingRecorder::CForwardingRecorder;
        CKoError CarryForward(const std::string& path) override {
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "No memory, Path=[%s]", path.c_str());
        }
    };
    ScopedTempDir dir;
    const std::string root = dir / "content", results = dir / "results";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/locked").c_str(), 0755), 0);
    WriteFile(root + "/locked/kept", "k");
    SScanJobOptions options;
    options.contents = {root};
    options.resultsDir = results;
    options.incremental = false;
    ASSERT_TRUE(CScanJob(options).Run().IsSuccess());
    const std::string stateBefore = ReadFile(results + "/" + CScanJobState::kFileName);

    ASSERT_EQ(::chmod((root + "/locked").c_str(), 0), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && !DropReadOverride()) ::_exit(10);
        options.incremental = true;
        options.newDirChange = [](EDirChangeKind kind, const CDirChangeRecorder::SOptions& o,
                                  std::unique_ptr<CDirChangeRecorder>& out) {
            std::unique_ptr<CDirChangeRecorder> real;
            CKoError e = CDirChangeRecorder::Create(kind, o, real);
            if (e.IsSuccess()) out = std::make_unique<FailingCarry>(std::move(real));
            return e;
        };
        CScanJob job(options);
        CKoError e = job.Run();
        if (e.IsSuccess()) ::_exit(job.Summary().scanErrors == 0 ? 11 : 12);
        ::_exit(e.AsString().find("Cannot keep what the previous job saw below an unreadable folder") == std::string::npos ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod((root + "/locked").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10 || WEXITSTATUS(status) == 11) GTEST_SKIP() << "cannot make a folder unreadable here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "12: the job succeeded; 13: it failed for another reason";
    EXPECT_EQ(ReadFile(results + "/" + CScanJobState::kFileName), stateBefore);
}

}  // namespace
