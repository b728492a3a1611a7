// Filter matching on the generated tree of 1,000,000 items (bench/BenchTree.h) with 0, 100 and
// 10,000 rules: plain paths (half of them real items of the tree, half missing names below
// real folders, so the trie is followed along real paths), wildcards below real folders, name
// patterns at any depth (by suffix, by prefix, a few with neither) and some exceptions.
//   BM_PathsOnly   the floor: each path looked at once, nothing asked.
//   BM_Walk/N      the scan's way: CFilterWalk.Decide for every item met, in scan order, pruned
//                  folders skipped; ns_per_item is per item met.
//   BM_FullPath/N  CFilterMatcher::Match from each full path alone, for comparison.
//   BM_Scan/N      a real walk of the tree (written once to $FILTER_BENCH_DIR, default /dev/shm)
//                  by the agent's scanner, without filters and then with N rules asked per item;
//                  ratio is the filtered time over the unfiltered time of the same iteration,
//                  both the walking thread's processor time (a busy machine stretches wall time).
// The tree on disk is removed at exit, unless $FILTER_BENCH_KEEP names where to keep it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "BenchFilterRules.h"
#include "BenchTree.h"
#include "agent/FileSystemScanner.h"
#include "scan/content/FilterMatcher.h"
#include "scan/content/FilterWalk.h"

namespace {

constexpr size_t kItems = 1000000;

const std::vector<SBenchEntry>& Tree() {
    static const std::vector<SBenchEntry> tree = GenerateBenchTree(kItems);
    return tree;
}

std::vector<std::string> RulePatterns(size_t count, const std::string& prefix, std::vector<bool>& exception) {
    return BenchRulePatterns(Tree(), count, prefix, exception);
}

std::shared_ptr<const CFilterMatcher> Matcher(size_t count, const std::string& prefix = std::string()) {
    std::vector<bool> exception;
    const std::vector<std::string> patterns = RulePatterns(count, CFilterTerm::EscapeLiteral(prefix), exception);
    std::vector<SFilterRule> rules(patterns.size());
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (rules[i].term.LoadRaw(patterns[i]).IsError()) std::abort();
        rules[i].kind = exception[i] ? EFilterRuleKind::Exception : EFilterRuleKind::Filter;
    }
    std::shared_ptr<const CFilterMatcher> m;
    if (CFilterMatcher::Build(rules, m).IsError()) std::abort();
    return m;
}

// The index past the last item below the folder at `i` (scan order keeps a subtree together).
size_t SubtreeEnd(const std::vector<SBenchEntry>& tree, size_t i) {
    const std::string& folder = tree[i].path;
    size_t j = i + 1;
    while (j < tree.size() && tree[j].path.size() > folder.size() && tree[j].path[folder.size()] == '/' &&
           tree[j].path.compare(0, folder.size(), folder) == 0)
        ++j;
    return j;
}

void BM_Walk(benchmark::State& state) {
    const auto& tree = Tree();
    const auto matcher = Matcher(static_cast<size_t>(state.range(0)));
    size_t met = 0, included = 0;
    for (auto _ : state) {
        CFilterWalk walk(matcher);
        met = included = 0;
        for (size_t i = 0; i < tree.size();) {
            const SFilterVerdict v = walk.Decide(tree[i].path, tree[i].folder);
            ++met;
            included += v.included;
            i = (tree[i].folder && !v.descend) ? SubtreeEnd(tree, i) : i + 1;
        }
        benchmark::DoNotOptimize(included);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * met));
    state.counters["rules"] = static_cast<double>(state.range(0));
    state.counters["trie_nodes"] = static_cast<double>(matcher->NodeCount());
    state.counters["met"] = static_cast<double>(met);
    state.counters["included"] = static_cast<double>(included);
    state.counters["ns_per_item"] = benchmark::Counter(static_cast<double>(state.iterations() * met) / 1e9,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The floor: every item's name found in its path, nothing asked.
void BM_PathsOnly(benchmark::State& state) {
    const auto& tree = Tree();
    size_t sum = 0;
    for (auto _ : state) {
        for (const SBenchEntry& e : tree) sum += e.path.rfind('/') + e.folder;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * tree.size()));
    state.counters["ns_per_item"] = benchmark::Counter(static_cast<double>(state.iterations() * tree.size()) / 1e9,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_FullPath(benchmark::State& state) {
    const auto& tree = Tree();
    const auto matcher = Matcher(static_cast<size_t>(state.range(0)));
    size_t included = 0;
    for (auto _ : state) {
        included = 0;
        for (const SBenchEntry& e : tree) included += matcher->Match(e.path, e.folder).included;
        benchmark::DoNotOptimize(included);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * tree.size()));
    state.counters["ns_per_item"] = benchmark::Counter(static_cast<double>(state.iterations() * tree.size()) / 1e9,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The tree on disk ------------------------------------------------------------------------------

std::string g_root;

void RemoveRoot() {
    if (g_root.empty()) return;
    nftw(
        g_root.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path) == 0 ? 0 : 0; }, 64,
        FTW_DEPTH | FTW_PHYS);
}

// $FILTER_BENCH_KEEP names a folder that keeps the tree between runs (made when missing).
const std::string& DiskTree() {
    static const std::string root = [] {
        const char* keep = std::getenv("FILTER_BENCH_KEEP");
        const char* base = std::getenv("FILTER_BENCH_DIR");
        std::string dir =
            keep ? std::string(keep) : std::string(base ? base : "/dev/shm") + "/scan-filter-bench-" + std::to_string(getpid());
        struct stat st{};
        if (keep && ::stat((dir + "/.complete").c_str(), &st) == 0) return dir;
        if (::mkdir(dir.c_str(), 0755) != 0 && !keep) std::abort();
        if (!keep) {
            g_root = dir;
            std::atexit(RemoveRoot);
        }
        WriteBenchTree(dir, Tree());
        if (keep) ::close(::open((dir + "/.complete").c_str(), O_CREAT | O_WRONLY, 0644));
        return dir;
    }();
    return root;
}

class CountingCallback : public IScanItemCallback {
public:
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override {
        ++items;
        if (walk) {
            const SFilterVerdict v = walk->Decide(item->GetPath(), item->IsFolder());
            included += v.included;
            descend = v.descend;
        }
        return CKoError::Success();
    }
    void OnScanError(const std::string&, const CKoError&) override {}
    CFilterWalk* walk = nullptr;
    size_t items = 0, included = 0;
};

// The scan's own processor time (user and system): a busy machine stretches wall time.
double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double ScanSeconds(const std::string& root, CFilterWalk* walk, size_t& items) {
    CountingCallback callback;
    callback.walk = walk;
    CFileSystemScanner scanner;
    const double start = ThreadSeconds();
    if (scanner.Scan(root, callback).IsError()) std::abort();
    items = callback.items;
    return ThreadSeconds() - start;
}

void BM_Scan(benchmark::State& state) {
    const std::string& root = DiskTree();
    const auto matcher = Matcher(static_cast<size_t>(state.range(0)), root);
    size_t plainItems = 0, filteredItems = 0;
    ScanSeconds(root, nullptr, plainItems);  // warm the caches
    double plain = 0, filtered = 0;
    for (auto _ : state) {
        plain += ScanSeconds(root, nullptr, plainItems);
        CFilterWalk walk(matcher);
        filtered += ScanSeconds(root, &walk, filteredItems);
    }
    state.counters["rules"] = static_cast<double>(state.range(0));
    state.counters["unfiltered_s"] = plain / static_cast<double>(state.iterations());
    state.counters["filtered_s"] = filtered / static_cast<double>(state.iterations());
    state.counters["ratio"] = filtered / plain;
    state.counters["items_unfiltered"] = static_cast<double>(plainItems);
    state.counters["items_filtered"] = static_cast<double>(filteredItems);
}

BENCHMARK(BM_PathsOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Walk)->Arg(0)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullPath)->Arg(0)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Arg(0)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
