// The scanner's walk with 1 and 2 walkers against find on the same tree, in the same run: the tree
// named by $SCAN_BENCH_TREE (bench/walk_vs_find.sh makes one with scan-gentree: 1,000,000 files in
// 100,000 folders), read from a warm cache.
//
// Both sides do the same work per item: find prints "%p %s %T@ %C@" for every item to /dev/null;
// the walkers format the same line for every item they are handed and write it to /dev/null in
// 64 KiB blocks, one buffer per walker. "x_find" is the walk's wall time over find's, "cpu_x_find"
// its processor time (user and system, all walkers) over find's: on a machine that other work
// shares, the second says more about the walk itself.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/FileSystemScanner.h"

extern char** environ;

namespace {

double g_findSeconds = 0;

const char* Tree() { return std::getenv("SCAN_BENCH_TREE"); }

void AppendTime(std::string& out, const timespec& t) {
    char buffer[40];
    int n = std::snprintf(buffer, sizeof buffer, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    out.append(buffer, static_cast<size_t>(n));
}

// /dev/null, open for the whole run: walkers' buffers are flushed when their threads end.
int NullFd() {
    static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

class CPrintingCallback : public IScanItemCallback {
public:
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
        thread_local Buffer buffer;
        std::string& out = buffer.text;
        out += item->GetPath();
        out.push_back(' ');
        out += std::to_string(item->Stat().size);
        out.push_back(' ');
        AppendTime(out, item->Stat().mtime);
        out.push_back(' ');
        AppendTime(out, item->Stat().ctime);
        out.push_back('\n');
        if (out.size() >= 64 * 1024) buffer.Flush();
        m_items.fetch_add(1, std::memory_order_relaxed);
        return CKoError::Success();
    }
    void OnScanError(const std::string&, const CKoError&) override {}
    uint64_t Items() const { return m_items.load(); }

private:
    struct Buffer {
        std::string text;
        void Flush() {
            if (::write(NullFd(), text.data(), text.size()) < 0) std::perror("write");
            text.clear();
        }
        ~Buffer() { Flush(); }
    };
    std::atomic<uint64_t> m_items{0};
};

// User and system time of this process (or of its waited-for children), in seconds.
double CpuSeconds(int who) {
    struct rusage u{};
    ::getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double g_findCpuSeconds = 0;

void Find(benchmark::State& state) {
    if (!Tree()) return state.SkipWithError("SCAN_BENCH_TREE is not set (bench/walk_vs_find.sh sets it)");
    const char* argv[] = {"find", Tree(), "-printf", "%p %s %T@ %C@\\n", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    double total = 0;
    const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawnp(&pid, "find", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            return state.SkipWithError("cannot run find");
        int status = 0;
        ::waitpid(pid, &status, 0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    posix_spawn_file_actions_destroy(&actions);
    g_findSeconds = total / static_cast<double>(state.iterations());
    g_findCpuSeconds = (CpuSeconds(RUSAGE_CHILDREN) - cpuBefore) / static_cast<double>(state.iterations());
    state.counters["cpu_s"] = g_findCpuSeconds;
}

void Walk(benchmark::State& state) {
    if (!Tree()) return state.SkipWithError("SCAN_BENCH_TREE is not set (bench/walk_vs_find.sh sets it)");
    CFileSystemScanner::Options options;
    options.threads = static_cast<unsigned>(state.range(0));
    double total = 0;
    uint64_t items = 0;
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        CPrintingCallback callback;
        CFileSystemScanner scanner(options);
        CKoError e = scanner.Scan(Tree(), callback);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (e.IsError()) return state.SkipWithError(e.AsString().c_str());
        state.SetIterationTime(seconds);
        total += seconds;
        items = callback.Items();
    }
    state.counters["items"] = static_cast<double>(items);
    state.counters["items/s"] = benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsIterationInvariantRate);
    const double cpu = (CpuSeconds(RUSAGE_SELF) - cpuBefore) / static_cast<double>(state.iterations());
    state.counters["cpu_s"] = cpu;
    if (g_findSeconds > 0) state.counters["x_find"] = total / static_cast<double>(state.iterations()) / g_findSeconds;
    if (g_findCpuSeconds > 0) state.counters["cpu_x_find"] = cpu / g_findCpuSeconds;
}

}  // namespace

// find first: the walks compare themselves with it.
BENCHMARK(Find)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Walk)->ArgName("threads")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Find)->UseManualTime()->Unit(benchmark::kMillisecond);
