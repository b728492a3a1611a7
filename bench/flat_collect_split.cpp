// Splitting a flat collect file into 8 parts for 8 readers: by lines, by size, and sorted first
// then by size. The collect file holds the items of a generated tree (folders 3 to 12 levels deep)
// as Unix flat lines with file sizes spread over six orders of magnitude.
//
// Figures: lines per second of the whole split (counting, copying into parts, syncing every part,
// renames), and the peak resident memory of a fresh process that does one split (this program run
// again with --split-once, against one that does nothing, --idle; VmHWM), for 100,000 and 1,000,000
// lines: the split's memory must not grow with the file.
//
// The files go to $TMPDIR (default /tmp); TMPDIR=/dev/shm measures the split without the disk.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchTree.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/FlatCollectFileSplit.h"

namespace {

std::string Folder() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/flat_collect_split_bench";
}

std::string Original(long lines) { return Folder() + "/collect_" + std::to_string(lines) + ".zyf"; }
std::string Work() { return Folder() + "/Collect1.zyf"; }

// Generated in a child process, so that the tree's memory never belongs to this one.
void Generate(long lines) {
    const std::string path = Original(lines);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return;
    ::mkdir(Folder().c_str(), 0755);
    pid_t pid = ::fork();
    if (pid == 0) {
        std::mt19937_64 rng(lines);
        std::lognormal_distribution<double> size(8.0, 3.0);
        std::string out, escaped;
        for (const SBenchEntry& e : GenerateBenchTree(static_cast<size_t>(lines), "/data")) {
            escapeFileName(e.path.c_str(), false, escaped);
            out += escaped;
            out += e.folder ? "/|4096\n" : "|" + std::to_string(static_cast<unsigned long long>(size(rng))) + "\n";
        }
        std::ofstream(path + ".tmp", std::ios::binary) << out;
        std::rename((path + ".tmp").c_str(), path.c_str());
        _exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

void CopyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
}

struct CNames : IFlatCollectFileSplitCallback {
    std::string GetSplitFileName(int n) override { return Folder() + "/Collect1_" + std::to_string(n) + ".zyf"; }
};

// One split of the work file for 8 readers; the parts are removed afterwards (not timed when
// `state` is given).
size_t SplitOnce(int flags, benchmark::State* state) {
    std::pair<int, int> numbers{0, 0};
    std::vector<SplitFileInfo> parts;
    FlatCollectFileSplit split(Work(), 1, 100, 1, flags, numbers, parts, std::make_shared<CNames>());
    CKoError e = split.Run(8);
    if (state) state->PauseTiming();
    if (e.IsError()) {
        if (state) state->SkipWithError(e.AsString().c_str());
        return 0;
    }
    FlatCollectFileSplit::Complete(Work()).IgnoreError();
    for (const SplitFileInfo& p : parts)
        if (p.path != Work()) std::remove(p.path.c_str());
    if (state) state->ResumeTiming();
    return parts.size();
}

// The peak resident memory (MB) of this process: VmHWM counts from the program's start (exec),
// unlike the rusage of a child, which also counts the memory of the process that started it.
double OwnPeakMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

// The peak of a fresh run of this program with `arguments` (it prints its own).
double ChildPeakMb(const std::string& arguments) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = 0;
    FILE* child = ::popen(("'" + std::string(self) + "' " + arguments).c_str(), "r");
    if (!child) return -1;
    double peak = -1;
    if (std::fscanf(child, "%lf", &peak) != 1) peak = -1;
    ::pclose(child);
    return peak;
}

void Split(benchmark::State& state) {
    const long lines = state.range(0);
    const int flags = static_cast<int>(state.range(1));
    Generate(lines);
    size_t parts = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CopyFile(Original(lines), Work());
        state.ResumeTiming();
        parts = SplitOnce(flags, &state);
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["parts"] = static_cast<double>(parts);
    const double idle = ChildPeakMb("--idle");
    CopyFile(Original(lines), Work());
    state.counters["peak_MB"] = ChildPeakMb("--split-once " + std::to_string(flags));
    state.counters["above_idle_MB"] = state.counters["peak_MB"] - idle;
    std::remove(Work().c_str());
}

}  // namespace

BENCHMARK(Split)
    ->ArgNames({"lines", "flags"})
    ->ArgsProduct({{100000, 1000000},
                   {0, FlatCollectFileSplit::SPLIT_BY_SIZE,
                    FlatCollectFileSplit::SPLIT_BY_SIZE | FlatCollectFileSplit::SORT_FIRST}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The figures' own main: a fresh process for one split when asked, the benchmarks otherwise.
int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--idle") {
        std::printf("%f\n", OwnPeakMb());
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--split-once") {
        const size_t parts = SplitOnce(std::atoi(argv[2]), nullptr);
        std::printf("%f\n", OwnPeakMb());
        return parts > 0 ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
