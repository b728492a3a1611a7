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

#include "scan/DirChangeItemFlags.h"
#include "scan/PathCache.h"
#include "scan/PathCacheCombineFlags.h"

namespace {

constexpr size_t kPaths = 1000000;
using Flags = BDirChangeItemFlags;
using Trie = CPathCacheOrderedT<Flags>;

std::string MakeName(std::mt19937& rng, bool folder) {
    static const char* const kStems[] = {"src",     "include", "lib",     "bin",       "doc",     "test",   "data",
                                         "build",   "config",  "images",  "Photos",    "Documents", "cache", "tmp",
                                         "backup",  "reports", "project", "release",   "archive", "invoice", "meeting",
                                         "Thumbs",  "module",  "package", "resources", "assets",  "scripts", "notes"};
    static const char* const kExtensions[] = {".txt", ".cpp", ".h", ".jpg", ".png", ".pdf", ".log", ".json",
                                              ".xml", ".so",  ".py", ".docx", ".gz", ".dat", ".html", ".csv"};
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const char* stem = kStems[pick(sizeof(kStems) / sizeof(kStems[0]))];
    char buffer[96];
    switch (pick(folder ? 3 : 5)) {
        case 0:
            std::snprintf(buffer, sizeof(buffer), "%s", stem);
            break;
        case 1:
            std::snprintf(buffer, sizeof(buffer), "%s_%d", stem, pick(10000));
            break;
        case 2:
            std::snprintf(buffer, sizeof(buffer), "%s-%d.%d.%d", stem, pick(5), pick(20), pick(100));
            break;
        case 3:
            std::snprintf(buffer, sizeof(buffer), "IMG_2019%04d_%06d.jpg", pick(1300), pick(1000000));
            break;
        default: {
            std::string word;
            const int length = 3 + pick(10);
            for (int i = 0; i < length; ++i) word.push_back(static_cast<char>('a' + pick(26)));
            std::snprintf(buffer, sizeof(buffer), "%s%s", word.c_str(), kExtensions[pick(16)]);
        }
    }
    return buffer;
}

// The items of a generated tree in scan order (pre-order, names sorted).
const std::vector<std::string>& ScanOrderPaths() {
    static const std::vector<std::string> paths = [] {
        // Top-level folders each get a depth limit of 3 to 12 and a share of the paths; each
        // subtree is grown depth first until its share is used, so every depth is populated.
        struct Folder {
            std::string path;
            int depth;
        };
        std::mt19937 rng(20240601);
        std::vector<std::string> out;
        out.reserve(kPaths);
        std::unordered_set<std::string> names, topNames;
        constexpr int kTopFolders = 25;
        for (int top = 0; out.size() < kPaths; ++top) {
            std::string topName = MakeName(rng, true);
            while (!topNames.insert(topName).second) topName += "_";
            const int maxDepth = std::uniform_int_distribution<int>(3, 12)(rng);
            const size_t budget = out.size() + (kPaths - out.size()) / std::max(1, kTopFolders - top);
            out.push_back("/" + topName);
            std::vector<Folder> stack{{"/" + topName, 1}};
            while (!stack.empty() && out.size() < budget) {
                Folder folder = std::move(stack.back());
                stack.pop_back();
                const int entries = std::uniform_int_distribution<int>(10, 50)(rng);
                names.clear();
                for (int i = 0; i < entries && out.size() < budget; ++i) {
                    const bool isFolder = folder.depth + 1 < maxDepth && std::bernoulli_distribution(0.15)(rng);
                    std::string name = MakeName(rng, isFolder);
                    while (!names.insert(name).second) name += "_";
                    out.push_back(folder.path + "/" + name);
                    if (isFolder) stack.push_back({out.back(), folder.depth + 1});
                }
            }
        }
        // Pre-order: "/" sorts before every byte of a name.
        std::vector<std::pair<std::string, size_t>> keys;
        keys.reserve(out.size());
        for (size_t i = 0; i < out.size(); ++i) {
            std::string key = out[i];
            std::replace(key.begin(), key.end(), '/', '\x01');
            keys.emplace_back(std::move(key), i);
        }
        std::sort(keys.begin(), keys.end());
        int depths[64] = {0};
        for (const auto& k : keys) ++depths[std::min<size_t>(63, std::count(k.first.begin(), k.first.end(), '\x01'))];
        std::fprintf(stderr, "Generated %zu paths; by depth:", out.size());
        for (int d = 1; d < 16; ++d) std::fprintf(stderr, " %d", depths[d]);
        std::fprintf(stderr, "\n");
        std::vector<std::string> sorted;
        sorted.reserve(out.size());
        for (const auto& k : keys) sorted.push_back(out[k.second]);
        return sorted;
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
    for (size_t i = 0; i < kPaths; ++i) paths.push_back("/huge/" + MakeName(rng, false) + std::to_string(i));
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
