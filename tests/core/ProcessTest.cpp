#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "core/Process.h"
#include "support/TestSupport.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ended: no such process, or a zombie waiting for whoever adopted it.
bool Gone(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        std::string stat;
        FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        if (!f) return true;
        char buffer[512] = {};
        size_t n = fread(buffer, 1, sizeof buffer - 1, f);
        fclose(f);
        stat.assign(buffer, n);
        size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') return true;
        usleep(10000);
    }
    return false;
}

TEST(ZyProcess, SystemCapturesOutputAndExitCode) {
    std::string out, err;
    int code = -5;
    ASSERT_TRUE(ZyProcess::system("echo out; echo err >&2; exit 3", out, err, code).IsSuccess());
    EXPECT_EQ(out, "out\n");
    EXPECT_EQ(err, "err\n");
    EXPECT_EQ(code, 3);

    // Standard input is empty, not ours.
    ASSERT_TRUE(ZyProcess::system("cat; echo end", out, err, code).IsSuccess());
    EXPECT_EQ(out, "end\n");
    EXPECT_EQ(code, 0);

    ASSERT_TRUE(ZyProcess::system("no-such-command-here", out, err, code).IsSuccess());
    EXPECT_EQ(code, 127);
    EXPECT_NE(err.find("not found"), std::string::npos) << err;
}

TEST(ZyProcess, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // Far more than a pipe holds, on both streams, stderr first: a reader that drained only
    // stdout would hang here.
    std::string out, err;
    int code = -1;
    CKoError e = ZyProcess::system("head -c 1000000 /dev/zero | tr '\\0' e >&2; head -c 300000 /dev/zero | tr '\\0' o; "
                                   "head -c 70000 /dev/zero | tr '\\0' E >&2",
                                   out, err, code, 30000);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, std::string(300000, 'o'));
    EXPECT_EQ(err, std::string(1000000, 'e') + std::string(70000, 'E'));
}

TEST(ZyProcess, TimeOutKillsTheCommandAndWhatItStarted) {
    std::string out, err;
    int code = 0;
    auto start = std::chrono::steady_clock::now();
    CKoError e = ZyProcess::system("echo before; sleep 30 & echo $!; wait; echo after", out, err, code, 300);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::WAIT_TIMEOUT)) << e.AsString();
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(code, 128 + SIGTERM);
    // What came before the time-out is kept: "before" and the pid of the shell's own child.
    ASSERT_EQ(out.rfind("before\n", 0), 0u) << out;
    pid_t sleeper = std::stoi(out.substr(7));
    EXPECT_TRUE(Gone(sleeper));

    // A command that ignores SIGTERM gets SIGKILL after the grace period.
    ZyProcess p;
    p.SetKillGraceMs(200);
    ASSERT_TRUE(p.StartProcess("trap '' TERM; echo ready; while :; do sleep 0.05; done").IsSuccess());
    start = std::chrono::steady_clock::now();
    e = p.WaitForProcessToEnd(300, code);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::WAIT_TIMEOUT)) << e.AsString();
    EXPECT_EQ(code, 128 + SIGKILL);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(p.GetStdOut(), "ready\n");
    EXPECT_FALSE(p.IsRunning());
    EXPECT_NE(kill(p.GetChildPid(), 0), 0);  // reaped
}

TEST(ZyProcess, WaitWithoutKillLeavesTheChildToTheCaller) {
    ZyProcess p;
    ASSERT_TRUE(p.StartProcess(std::vector<std::string>{"sleep", "30"}, EProcessOutput::Discard).IsSuccess());
    pid_t pid = p.GetChildPid();
    ASSERT_GT(pid, 0);
    int code = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(p.WaitForProcessToEnd(50, code, false), ZyWin32::WAIT_TIMEOUT));
    EXPECT_TRUE(p.IsRunning());
    EXPECT_EQ(kill(pid, 0), 0);

    // A child killed by a signal reports 128 + the signal, and says so in the log.
    testsupport::ScopedLogCapture log(1);
    ASSERT_TRUE(p.Kill(SIGKILL).IsSuccess());
    ASSERT_TRUE(p.WaitForProcessToEnd(-1, code).IsSuccess());
    EXPECT_EQ(code, 128 + SIGKILL);
    EXPECT_TRUE(log.Log().Contains("Signal=[9]"));
    // Waiting again answers the same; a second start is allowed now.
    ASSERT_TRUE(p.WaitForProcessToEnd(0, code).IsSuccess());
    EXPECT_EQ(code, 128 + SIGKILL);
    EXPECT_TRUE(FXErrorUtil::IsWin32(p.Kill(SIGTERM), ZyWin32::ERROR_INVALID_HANDLE));
    ASSERT_TRUE(p.StartProcess("exit 4").IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(p.StartProcess("exit 5"), ZyWin32::ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(p.WaitForProcessToEnd(10000, code).IsSuccess());
    EXPECT_EQ(code, 4);
}

TEST(ZyProcess, StartFailuresAndDestruction) {
    ZyProcess p;
    int code = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(p.WaitForProcessToEnd(0, code), ZyWin32::ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(p.StartProcess(std::vector<std::string>{"/no/such/program"}), ENOENT));
    EXPECT_TRUE(FXErrorUtil::IsWin32(p.StartProcess(std::vector<std::string>{}), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(p.IsRunning());

    pid_t pid = -1;
    {
        ZyProcess running;
        ASSERT_TRUE(running.StartProcess("sleep 30").IsSuccess());
        pid = running.GetChildPid();
    }
    EXPECT_NE(kill(pid, 0), 0);  // killed and reaped by the destructor
}

TEST(ZyProcess, ChildGetsACleanStart) {
    // A descriptor opened without O_CLOEXEC does not reach the child.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    std::string out, err;
    int code = -1;
    ASSERT_TRUE(ZyProcess::system("ls /proc/$$/fd", out, err, code).IsSuccess());
    EXPECT_EQ(out, "0\n1\n2\n") << err;
    close(leaked);

    // SIGPIPE ignored here is back to its default there: "yes" ends quietly when "head" is done.
    struct sigaction old {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    CKoError e = ZyProcess::system("yes | head -n 1", out, err, code, 10000);
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_EQ(out, "y\n");
    EXPECT_EQ(err, "");

    // A background process holding the output pipes open does not hold up the wait.
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ZyProcess::system("sleep 3 & echo started", out, err, code, 10000).IsSuccess());
    EXPECT_EQ(out, "started\n");
    EXPECT_LT(SecondsSince(start), 2.5);
}

}  // namespace
