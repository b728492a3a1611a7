// Incremental scan jobs (CScanJob, the job fsscan runs) of the generated tree of 1,000,000 items
// (bench/BenchTree.h, written once to $FILTER_BENCH_DIR, default /dev/shm) with 0, 100 and 10,000
// filters and exceptions (bench/BenchFilterRules.h: plain paths and wildcards mixed).
//   BM_IncrementalScan/N  one job-results folder per N, each prepared by a full job and one
//                         incremental job with the same filters (so the filters did not change);
//                         each iteration times an incremental job without filters and one with N,
//                         one after the other. ratio: the filtered job's processor time over the
//                         unfiltered one's (a busy machine stretches wall time more than it);
//                         wall_ratio the same for wall time. find_s: `find ROOT` in the same run.
// $SCAN_FILTER_BENCH_ITEMS changes the tree's size (default 1,000,000).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "BenchFilterRules.h"
#include "BenchTree.h"
#include "agent/FilterTerm.h"
#include "core/LogWriter.h"
#include "scan/job/ScanJob.h"

namespace {

std::string g_base;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
void RemoveBase() {
    if (!g_base.empty()) ::nftw(g_base.c_str(), RemoveEntry, 64, FTW_DEPTH | FTW_PHYS);
}

size_t Items() {
    const char* text = std::getenv("SCAN_FILTER_BENCH_ITEMS");
    return text ? static_cast<size_t>(std::strtoull(text, nullptr, 10)) : 1000000;
}

const std::vector<SBenchEntry>& Tree() {
    static const std::vector<SBenchEntry> tree = GenerateBenchTree(Items());
    return tree;
}

// The folder holding the tree ("/data" below it) and the job-results folders.
const std::string& Base() {
    static const std::string base = [] {
        const char* dir = std::getenv("FILTER_BENCH_DIR");
        g_base = std::string(dir ? dir : "/dev/shm") + "/scan-filter-jobs-" + std::to_string(getpid());
        if (::mkdir(g_base.c_str(), 0755) != 0 || ::mkdir((g_base + "/data").c_str(), 0755) != 0) std::abort();
        std::atexit(RemoveBase);
        WriteBenchTree(g_base + "/data", Tree());
        return g_base;
    }();
    return base;
}

CEffectiveFilters Filters(size_t count) {
    const std::string root = Base() + "/data";
    std::vector<bool> exception;
    const std::vector<std::string> patterns =
        BenchRulePatterns(Tree(), count, CFilterTerm::EscapeLiteral(root), exception);
    CEffectiveFilters filters;
    for (size_t i = 0; i < patterns.size(); ++i)
        if (filters.Add(patterns[i], exception[i] ? EFilterRuleKind::Exception : EFilterRuleKind::Filter,
                        EFilterSyntax::Subclient, "bench")
                .IsError())
            std::abort();
    return filters;
}

double ProcessSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct SJobTimes {
    double cpu = 0, wall = 0;
    SScanJobSummary summary;
};

SJobTimes RunJob(const std::string& results, const CEffectiveFilters& filters, bool incremental) {
    SScanJobOptions options;
    options.contents = {Base() + "/data"};
    options.resultsDir = results;
    options.incremental = incremental;
    options.filters = filters;
    SJobTimes t;
    const double cpu = ProcessSeconds(), wall = WallSeconds();
    CScanJob job(options);
    CKoError e = job.Run();
    t.cpu = ProcessSeconds() - cpu;
    t.wall = WallSeconds() - wall;
    if (e.IsError()) {
        std::fprintf(stderr, "scan job failed: %s\n", e.AsString().c_str());
        std::abort();
    }
    t.summary = job.Summary();
    return t;
}

// A job-results folder per filter count, with a full job and a first incremental job done.
const std::string& Prepared(size_t count) {
    static std::map<size_t, std::string> folders;
    auto it = folders.find(count);
    if (it != folders.end()) return it->second;
    const std::string results = Base() + "/results-" + std::to_string(count);
    const CEffectiveFilters filters = Filters(count);
    RunJob(results, filters, false);
    RunJob(results, filters, true);
    return folders.emplace(count, results).first->second;
}

double FindSeconds(const std::string& root) {
    const double start = WallSeconds();
    if (std::system(("find '" + root + "' > /dev/null").c_str()) != 0) std::abort();
    return WallSeconds() - start;
}

void BM_IncrementalScan(benchmark::State& state) {
    g_ptrLogWriter = std::make_shared<CLogWriter>(-1);
    const size_t count = static_cast<size_t>(state.range(0));
    const CEffectiveFilters none, filters = Filters(count);
    const std::string& plainResults = Prepared(0);
    const std::string& filteredResults = Prepared(count);
    SJobTimes plain, filtered;
    double plainCpu = 0, plainWall = 0, filteredCpu = 0, filteredWall = 0, find = 0;
    for (auto _ : state) {
        plain = RunJob(plainResults, none, true);
        filtered = RunJob(filteredResults, filters, true);
        find += FindSeconds(Base() + "/data");
        plainCpu += plain.cpu;
        plainWall += plain.wall;
        filteredCpu += filtered.cpu;
        filteredWall += filtered.wall;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["rules"] = static_cast<double>(count);
    state.counters["unfiltered_cpu_s"] = plainCpu / n;
    state.counters["filtered_cpu_s"] = filteredCpu / n;
    state.counters["ratio"] = filteredCpu / plainCpu;
    state.counters["wall_ratio"] = filteredWall / plainWall;
    state.counters["find_s"] = find / n;
    state.counters["scan_over_find"] = plainWall / find;
    state.counters["items_seen"] = static_cast<double>(filtered.summary.seen);
    state.counters["left_out"] = static_cast<double>(filtered.summary.filtered);
    if (filtered.summary.filtersChanged || filtered.summary.full) state.SkipWithError("the filtered job did not run as a steady incremental");
}

BENCHMARK(BM_IncrementalScan)->Arg(0)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
