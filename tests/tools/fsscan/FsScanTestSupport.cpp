#include "FsScanTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <ctime>

#include "agent/FileSystemScanner.h"
#include "scan/job/JobState.h"
#include "support/TestSupport.h"

namespace fsscantest {

namespace {
std::string ReadAll(int fd) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
}
}  // namespace

RunResult Fsscan(const std::vector<std::string>& args, bool unprivileged, unsigned timeoutSeconds) {
    std::vector<char*> argv;
    std::string binary = FSSCAN_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    int outPipe[2], errPipe[2];
    RunResult r;
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return r;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        if (unprivileged && !testsupport::DropFileAccessOverride()) _exit(126);
        // A run that hangs is killed: the test then fails instead of hanging too.
        ::alarm(timeoutSeconds);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    // stderr is small; read stdout fully first, then stderr.
    r.out = ReadAll(outPipe[0]);
    r.err = ReadAll(errPipe[0]);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::set<std::string> List(const std::string& results) {
    RunResult r = Fsscan({"list", "--results", results, "-0"});
    std::set<std::string> items;
    size_t start = 0;
    for (size_t nul; (nul = r.out.find('\0', start)) != std::string::npos; start = nul + 1)
        items.insert(r.out.substr(start, nul - start));
    return items;
}

std::set<std::string> Expected(const std::string& root) {
    struct Collector : IScanItemCallback {
        std::set<std::string> items;
        CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
            items.insert("+ " + item->GetPath() + (item->IsFolder() ? "/" : ""));
            return CKoError::Success();
        }
        void OnScanError(const std::string&, const CKoError&) override {}
    } c;
    CFileSystemScanner scanner;
    scanner.Scan(root, c).IgnoreError();
    return c.items;
}

bool MoveLastScanStartAhead(const std::string& results, long long micros) {
    CScanJobState state;
    if (state.Load(results).IsError() || !state.hasLastScan) return false;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    state.lastScan.startTimeMicros = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000 + micros;
    return state.Save(results).IsSuccess();
}

}  // namespace fsscantest
