// Path-cache trie: insertion and search rates and the real memory per path, on a generated tree of
// 1,000,000 paths shaped like a file system (folders 3 to 12 levels deep, 10 to 50 entries per
// folder, file and folder names of realistic lengths), and a single folder of 1,000,000 entries.
//
// bytes_per_path is measured from the allocator (mallinfo2().uordblks before and after building
// the trie, malloc chunk overhead included); estimate_per_path is the trie's own GetMemoryUsed().
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "BenchTree.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/PathCache.h"
#include "scan/dirchange/PathCacheCombineFlags.h"

namespace {

constexpr size_t kPaths = 1000000;
using Flags = BDirChangeItemFlags;
using Trie = CPathCacheOrderedT<Flags>;

// The items of the generated tree in scan order.
const std::vector<std::string>& ScanOrderPaths() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> out;
        for (SBenchEntry& e : GenerateBenchTree(kPaths)) out.push_back(std::move(e.path));
        return out;
    }();
    return paths;
}

const std::vector<std::string>& RandomOrderPaths() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> p = ScanOrderPaths();
        std::shuffle(p.begin(), p.end(), std::mt19937(7));
        return p;
    }();
    return paths;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

void Build(Trie& trie, const std::vector<std::string>& paths) {
    const Flags flags(Flags::PREVIOUSDIRCHANGE | Flags::PD_FILE);
    for (const auto& path : paths) {
        if (trie.Insert(path, flags).IsError()) std::abort();
    }
}

void Insert(benchmark::State& state, const std::vector<std::string>& paths) {
    size_t bytes = 0, estimate = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto trie = std::make_unique<Trie>();
        const size_t before = HeapInUse();
        state.ResumeTiming();
        Build(*trie, paths);
        state.PauseTiming();
        bytes = HeapInUse() - before;
        estimate = trie->GetMemoryUsed();
        trie.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * paths.size()));
    state.counters["paths"] = static_cast<double>(paths.size());
    state.counters["bytes_per_path"] = static_cast<double>(bytes) / static_cast<double>(paths.size());
    state.counters["estimate_per_path"] = static_cast<double>(estimate) / static_cast<double>(paths.size());
    state.counters["inserts_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * paths.size()), benchmark::Counter::kIsRate);
}

void BM_InsertScanOrder(benchmark::State& state) { Insert(state, ScanOrderPaths()); }
void BM_InsertRandomOrder(benchmark::State& state) { Insert(state, RandomOrderPaths()); }

const Trie& BuiltTrie() {
    static const Trie* trie = [] {
        auto* t = new Trie();
        Build(*t, ScanOrderPaths());
        return t;
    }();
    return *trie;
}

void Search(benchmark::State& state, const std::vector<std::string>& paths) {
    const Trie& trie = BuiltTrie();
    size_t exact = 0;
    for (auto _ : state) {
        Flags flags;
        for (const auto& path : paths) exact += trie.Search(path, flags) == EPathCacheResult::FOUND_EXACT;
        benchmark::DoNotOptimize(exact);
    }
    if (exact != state.iterations() * paths.size()) state.SkipWithError("a path was not found");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * paths.size()));
    state.counters["searches_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * paths.size()), benchmark::Counter::kIsRate);
}

void BM_SearchScanOrder(benchmark::State& state) { Search(state, ScanOrderPaths()); }
void BM_SearchRandomOrder(benchmark::State& state) { Search(state, RandomOrderPaths()); }

// Searches for paths the trie does not hold (a new file in a known folder): FOUND_PARENT.
void BM_SearchMissingScanOrder(benchmark::State& state) {
    const Trie& trie = BuiltTrie();
    std::vector<std::string> missing;
    for (const auto& path : ScanOrderPaths()) missing.push_back(path + ".new");
    for (auto _ : state) {
        Flags flags;
        size_t n = 0;
        for (const auto& path : missing) n += trie.Search(path, flags) == EPathCacheResult::FOUND_PARENT;
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * missing.size()));
}

void BM_SearchNodeForm(benchmark::State& state) {
    const Trie& trie = BuiltTrie();
    const auto& paths = ScanOrderPaths();
    for (auto _ : state) {
        Trie::NodePtr node;
        for (const auto& path : paths) benchmark::DoNotOptimize(trie.Search(path, node));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * paths.size()));
}

void BM_Walk(benchmark::State& state) {
    const Trie& trie = BuiltTrie();
    CPathCacheOrderedTWalkCallback<Flags> callback;
    int nodes = 0;
    for (auto _ : state) nodes = trie.Walk(callback);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * nodes);
}

// One folder of 1,000,000 entries arriving in random order, as readdir gives them.
void BM_HugeFolderRandomInsert(benchmark::State& state) {
    std::vector<std::string> paths;
    std::mt19937 rng(5);
    for (size_t i = 0; i < kPaths; ++i) paths.push_back("/huge/" + BenchName(rng, false) + std::to_string(i));
    std::shuffle(paths.begin(), paths.end(), rng);
    Insert(state, paths);
}

BENCHMARK(BM_InsertScanOrder)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_InsertRandomOrder)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SearchScanOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchRandomOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchMissingScanOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchNodeForm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Walk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HugeFolderRandomInsert)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
