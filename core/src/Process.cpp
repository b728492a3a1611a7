#include "core/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/LogWriter.h"

extern char** environ;

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long DeadlineAfter(long timeoutMs) { return timeoutMs < 0 ? -1 : NowMs() + timeoutMs; }

// Owns spawn attributes and file actions for the length of one start.
struct SSpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SSpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SSpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SSpawnSetup(const SSpawnSetup&) = delete;
    SSpawnSetup& operator=(const SSpawnSetup&) = delete;
};

// A pipe whose ends are close-on-exec and above the standard descriptors, so that the child's
// dup2 onto 1 and 2 always makes a fresh, inheritable copy.
CKoError MakePipe(FXFd& readEnd, FXFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "pipe2 failed");
    for (int i = 0; i < 2; ++i) {
        if (fds[i] > 2) continue;
        int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
        int err = errno;
        ::close(fds[i]);
        fds[i] = moved;
        if (moved < 0) {
            if (fds[1 - i] >= 0) ::close(fds[1 - i]);
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "fcntl(F_DUPFD_CLOEXEC) failed");
        }
    }
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    // Only our end is non-blocking; the child's end is a separate open file.
    int flags = ::fcntl(readEnd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(readEnd.Get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "fcntl(O_NONBLOCK) failed");
    return CKoError::Success();
}

std::string JoinArgv(const std::vector<std::string>& argv) {
    std::string out;
    for (const std::string& a : argv) {
        if (!out.empty()) out += ' ';
        out += a;
    }
    return out;
}

}  // namespace

ZyProcess::~ZyProcess() { EndChild(); }

void ZyProcess::EndChild() {
    if (!IsRunning()) return;
    ZYLOG(1, "Killing child process that is still running, Pid=[%d], Command=[%s]", m_pid, m_command.c_str());
    Kill(SIGKILL).IgnoreError();
    bool reaped = false;
    // Not waiting long: a child stuck in the kernel would hold up our caller's destructor.
    m_out.Reset();
    m_err.Reset();
    if (WaitUntil(NowMs() + 100, reaped).IsError() || !reaped)
        ZYLOG_ERROR("Child process did not end after SIGKILL; leaving it, Pid=[%d], Command=[%s]", m_pid, m_command.c_str());
}

CKoError ZyProcess::system(const std::string& command, std::string& out, std::string& err, int& exitCode, long timeoutMs) {
    out.clear();
    err.clear();
    exitCode = -1;
    ZyProcess process;
    CKoError e = process.StartProcess(command, EProcessOutput::Capture);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = process.WaitForProcessToEnd(timeoutMs, exitCode, true);
    out = std::move(process.m_stdout);
    err = std::move(process.m_stderr);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError ZyProcess::StartProcess(const std::string& command, EProcessOutput output) {
    CKoError e = StartProcess(std::vector<std::string>{"/bin/sh", "-c", command}, output);
    if (e.IsError()) return e.Push(ZY_HERE);
    m_command = command;
    return CKoError::Success();
}

CKoError ZyProcess::StartProcess(const std::vector<std::string>& argv, EProcessOutput output) {
    if (IsRunning())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "A child is still running, Pid=[%d], Command=[%s]",
                                       m_pid, m_command.c_str());
    if (argv.empty() || argv[0].empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No program to start");
    m_pid = -1;
    m_reaped = false;
    m_exitCode = -1;
    m_out.Reset();
    m_err.Reset();
    m_pidfd.Reset();
    m_stdout.clear();
    m_stderr.clear();
    m_command = JoinArgv(argv);

    SSpawnSetup setup;
    FXFd outWrite, errWrite;
    int rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0 && output == EProcessOutput::Capture) {
        CKoError e = MakePipe(m_out, outWrite);
        if (e.IsSuccess()) e = MakePipe(m_err, errWrite);
        if (e.IsError()) return e.Push(ZY_HERE, "Command=[%s]", m_command.c_str());
        rc = posix_spawn_file_actions_adddup2(&setup.actions, outWrite.Get(), 1);
        if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, errWrite.Get(), 2);
    } else if (rc == 0 && output == EProcessOutput::Discard) {
        rc = posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
        if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // Descriptors opened without O_CLOEXEC elsewhere in the process stay out of the child.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

    // Signals this process ignores or blocks would stay ignored or blocked in the child.
    sigset_t defaults, empty;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    sigemptyset(&empty);
    const short spawnFlags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (rc == 0) rc = posix_spawnattr_setflags(&setup.attributes, spawnFlags);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&setup.attributes, 0);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attributes, &empty);
    if (rc != 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, rc, "Cannot prepare process start, Command=[%s]", m_command.c_str());

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    rc = ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
    if (rc != 0) {
        m_out.Reset();
        m_err.Reset();
        return FXErrorUtil::ErrorErrNo(ZY_HERE, rc, "Cannot start process, Command=[%s]", m_command.c_str());
    }
    m_pid = pid;
    // Without a pidfd (older kernels, seccomp) the wait polls in short slices instead.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) m_pidfd.Reset(pidfd);
    ZYLOG(5, "Started process, Pid=[%d], Command=[%s]", m_pid, m_command.c_str());
    return CKoError::Success();
}

CKoError ZyProcess::Kill(int signal) {
    if (!IsRunning())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "No child process to signal, Pid=[%d]", m_pid);
    // The group is ours as long as its leader is not reaped; the leader alone when the group
    // cannot be signalled (nothing but the leader's zombie left in it).
    if (::kill(-m_pid, signal) == 0 || ::kill(m_pid, signal) == 0) return CKoError::Success();
    if (errno == ESRCH) return CKoError::Success();  // ended and waiting to be reaped
    return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "kill failed, Pid=[%d], Signal=[%d]", m_pid, signal);
}

CKoError ZyProcess::TryReap(bool& reaped) {
    reaped = m_reaped;
    if (m_reaped) return CKoError::Success();
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "waitpid failed (is SIGCHLD ignored?), Pid=[%d], Command=[%s]", m_pid,
                                       m_command.c_str());
    if (r == 0) return CKoError::Success();
    m_reaped = reaped = true;
    m_pidfd.Reset();
    if (WIFEXITED(status)) {
        m_exitCode = WEXITSTATUS(status);
        ZYLOG(6, "Process ended, Pid=[%d], ExitCode=[%d]", m_pid, m_exitCode);
    } else if (WIFSIGNALED(status)) {
        m_exitCode = 128 + WTERMSIG(status);
        ZYLOG(1, "Process ended by a signal, Pid=[%d], Signal=[%d], ExitCode=[%d], Command=[%s]", m_pid, WTERMSIG(status),
              m_exitCode, m_command.c_str());
    } else {
        m_exitCode = -1;
    }
    return CKoError::Success();
}

CKoError ZyProcess::ReadPipe(FXFd& fd, std::string& sink, size_t limit) {
    char buffer[1 << 16];
    while (limit > 0) {
        ssize_t n = ::read(fd.Get(), buffer, limit < sizeof buffer ? limit : sizeof buffer);
        if (n > 0) {
            sink.append(buffer, static_cast<size_t>(n));
            limit -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            fd.Reset();  // every writer has closed it
            return CKoError::Success();
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return CKoError::Success();
        int err = errno;
        fd.Reset();
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Cannot read child output, Pid=[%d]", m_pid);
    }
    return CKoError::Success();
}

// After the child is reaped, takes what it left in the pipes and stops there: a background
// process it started may hold the pipes open (and keep writing) for ever.
void ZyProcess::DrainPipes() {
    std::pair<FXFd*, std::string*> pipes[] = {{&m_out, &m_stdout}, {&m_err, &m_stderr}};
    for (auto& [fd, sink] : pipes) {
        if (!fd->IsOpen()) continue;
        int pending = 0;
        if (::ioctl(fd->Get(), FIONREAD, &pending) == 0 && pending > 0) {
            CKoError e = ReadPipe(*fd, *sink, static_cast<size_t>(pending));
            if (e.IsError()) ZYLOG_ERROR("%s", e.AsString().c_str());
        }
        fd->Reset();
    }
}

CKoError ZyProcess::WaitUntil(long long deadlineMs, bool& reaped) {
    long sliceMs = 1;  // polling interval while there is no pidfd
    for (;;) {
        CKoError e = TryReap(reaped);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (reaped) {
            DrainPipes();
            return CKoError::Success();
        }
        long long waitMs = -1;
        if (deadlineMs >= 0) {
            waitMs = deadlineMs - NowMs();
            if (waitMs <= 0) return CKoError::Success();
        }
        if (!m_pidfd.IsOpen() && (waitMs < 0 || waitMs > sliceMs)) {
            waitMs = sliceMs;
            if (sliceMs < 50) sliceMs *= 2;
        }

        pollfd fds[3];
        nfds_t count = 0;
        if (m_out.IsOpen()) fds[count++] = {m_out.Get(), POLLIN, 0};
        if (m_err.IsOpen()) fds[count++] = {m_err.Get(), POLLIN, 0};
        if (m_pidfd.IsOpen()) fds[count++] = {m_pidfd.Get(), POLLIN, 0};
        int timeout = waitMs < 0 ? -1 : static_cast<int>(waitMs > 1000000 ? 1000000 : waitMs);
        int n = ::poll(fds, count, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "poll failed, Pid=[%d]", m_pid);
        }
        for (nfds_t i = 0; i < count && n > 0; ++i) {
            if (fds[i].revents == 0 || fds[i].fd == m_pidfd.Get()) continue;
            bool isOut = fds[i].fd == m_out.Get();
            e = ReadPipe(isOut ? m_out : m_err, isOut ? m_stdout : m_stderr, SIZE_MAX);
            if (e.IsError()) return e.Push(ZY_HERE, "Command=[%s]", m_command.c_str());
        }
    }
}

CKoError ZyProcess::WaitForProcessToEnd(long timeoutMs, int& exitCode, bool killOnTimeout) {
    exitCode = -1;
    if (m_pid <= 0) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "No process was started");
    bool reaped = false;
    CKoError e = WaitUntil(DeadlineAfter(timeoutMs), reaped);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (reaped) {
        exitCode = m_exitCode;
        return CKoError::Success();
    }
    if (!killOnTimeout)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::WAIT_TIMEOUT,
                                       "Process did not end in time, Pid=[%d], TimeoutMs=[%ld], Command=[%s]",
                                       m_pid, timeoutMs, m_command.c_str());

    ZYLOG_ERROR("Process did not end in time; terminating it, Pid=[%d], TimeoutMs=[%ld], Command=[%s]", m_pid, timeoutMs,
                m_command.c_str());
    for (int signal : {SIGTERM, SIGKILL}) {
        e = Kill(signal);
        if (e.IsError()) return e.Push(ZY_HERE);
        e = WaitUntil(NowMs() + m_killGraceMs, reaped);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (reaped) {
            exitCode = m_exitCode;
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::WAIT_TIMEOUT,
                                           "Process did not end in time and was killed, Pid=[%d], TimeoutMs=[%ld], "
                                           "Signal=[%d], Command=[%s]",
                                           m_pid, timeoutMs, signal, m_command.c_str());
        }
    }
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::WAIT_TIMEOUT,
                                   "Process did not end in time and not even after SIGKILL, Pid=[%d], TimeoutMs=[%ld], "
                                   "Command=[%s]",
                                   m_pid, timeoutMs, m_command.c_str());
}
