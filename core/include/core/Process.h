// Child processes: run a command and collect its output and exit code, with a time limit.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/File.h"
#include "core/KoError.h"

// Where a child's standard output and error go. Its standard input is always /dev/null.
enum class EProcessOutput {
    Capture,  // collected while waiting: GetStdOut, GetStdErr
    Discard,  // /dev/null (a "silent" child)
    Inherit,  // this process's own
};

// One child process. The child runs in a process group of its own, so that a time-out ends the
// command together with whatever it started (a shell and its pipeline). It inherits no file
// descriptor of ours besides 0 to 2 and starts with default signal dispositions.
//
// Exit codes: the child's exit status, or 128 + the signal number when a signal ended it (also
// logged). An object belongs to one thread.
class ZyProcess {
public:
    // Between SIGTERM and SIGKILL on a time-out, and after SIGKILL before giving up on reaping.
    static constexpr long DEFAULT_KILL_GRACE_MS = 2000;

    ZyProcess() = default;
    // A child still running is killed (SIGKILL to its group) and reaped if it goes quickly.
    ~ZyProcess();
    ZyProcess(const ZyProcess&) = delete;
    ZyProcess& operator=(const ZyProcess&) = delete;

    // Runs "/bin/sh -c command", collects its whole standard output and error, and answers its
    // exit code. A command that runs and fails is a success of this call with a non-zero
    // exitCode; errors are for commands that cannot be run, and for time-outs (timeoutMs >= 0):
    // Win32 code 258, after the command was killed; out and err then hold what came before.
    static CKoError system(const std::string& command, std::string& out, std::string& err, int& exitCode,
                           long timeoutMs = -1);

    // "/bin/sh -c command".
    CKoError StartProcess(const std::string& command, EProcessOutput output = EProcessOutput::Capture);
    // argv[0] is looked up in PATH when it holds no "/". A program that cannot be executed fails
    // here (ENOENT, EACCES, ...), not with an exit code.
    CKoError StartProcess(const std::vector<std::string>& argv, EProcessOutput output = EProcessOutput::Capture);

    // Waits at most timeoutMs (negative: for ever) for the child to end, collecting captured
    // output meanwhile, and answers its exit code. On a time-out it fails with Win32 code 258;
    // with killOnTimeout the child's group is sent SIGTERM, then SIGKILL after the grace period,
    // and exitCode is that of the killed child (-1 when it could not be reaped, as a process in
    // uninterruptible sleep on a dead mount may not be). Without killOnTimeout the child is left
    // running and may be waited for again. Waiting for a child that has ended answers its code.
    CKoError WaitForProcessToEnd(long timeoutMs, int& exitCode, bool killOnTimeout = true);

    // Sends a signal to the child's process group (while it has not been reaped).
    CKoError Kill(int signal);

    // The child's process id (-1 before a start); it stays readable after the child ended.
    pid_t GetChildPid() const { return m_pid; }
    // Started and not yet reaped.
    bool IsRunning() const { return m_pid > 0 && !m_reaped; }
    const std::string& GetStdOut() const { return m_stdout; }
    const std::string& GetStdErr() const { return m_stderr; }
    void SetKillGraceMs(long ms) { m_killGraceMs = ms < 0 ? 0 : ms; }

private:
    // Collects output until the child is reaped or the deadline (ms on the steady clock, negative:
    // none) passes; answers whether it was reaped.
    CKoError WaitUntil(long long deadlineMs, bool& reaped);
    CKoError TryReap(bool& reaped);
    CKoError ReadPipe(FXFd& fd, std::string& sink, size_t limit);
    void DrainPipes();
    void EndChild();

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_exitCode = -1;
    FXFd m_out;    // read ends of the capture pipes
    FXFd m_err;
    FXFd m_pidfd;  // readable when the child ends, where the kernel offers it
    std::string m_stdout;
    std::string m_stderr;
    std::string m_command;  // for log lines and messages
    long m_killGraceMs = DEFAULT_KILL_GRACE_MS;
};
