// Runs a piece of a benchmark in a child process, so that its peak resident memory is its own:
// the child sends back the figures it measured, the parent adds the child's peak RSS.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// The process's resident memory now, in bytes.
inline long long BenchCurrentRss() {
    std::ifstream statm("/proc/self/statm");
    long long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

struct SBenchChildResult {
    bool ok = false;
    std::vector<double> values;  // what the child sent
    long long peakRssBytes = 0;  // the child's own peak
    double cpuSeconds = 0;       // the child's user and system time
};

// `work` runs in the child and returns its figures (an empty vector means it failed).
template <class Work>
SBenchChildResult BenchRunInChild(Work&& work) {
    SBenchChildResult result;
    int fds[2];
    if (pipe(fds) != 0) return result;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        close(fds[0]);
        const std::vector<double> values = work();
        const size_t n = values.size();
        bool ok = write(fds[1], &n, sizeof n) == static_cast<ssize_t>(sizeof n);
        if (n) ok = ok && write(fds[1], values.data(), n * sizeof(double)) == static_cast<ssize_t>(n * sizeof(double));
        _exit(ok && n ? 0 : 1);
    }
    close(fds[1]);
    size_t n = 0;
    if (read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n) && n > 0 && n < 1024) {
        result.values.resize(n);
        result.ok = read(fds[0], result.values.data(), n * sizeof(double)) == static_cast<ssize_t>(n * sizeof(double));
    }
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    result.ok = result.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.peakRssBytes = static_cast<long long>(usage.ru_maxrss) * 1024;
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return result;
}
