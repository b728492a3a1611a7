// The collect-file writer on the per-item path of a scan: 1,000,000 entries of a generated tree
// (folders 3 to 12 levels deep, 10 to 50 entries per folder) written through CBasicCollectFile
// with a start-character formatter, in scan order.
//
// Full: every folder and file is added, as a full scan adds them (each folder before its
// contents). FilesOnly: only the files, as an incremental scan adds changed items, so that every
// folder line comes from the writer's own ancestor walk. Short is the form most jobs write (the
// bare path), Extended the form with start characters and tags.
//
// Entries are built outside the timed part, 10,000 at a time: the figures are the writer's
// (line formatting, ancestor walks, folder bookkeeping, buffered writes), not the entries'.
// The output goes to $TMPDIR (default /tmp) and is removed afterwards.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "scan/BasicCollectFile.h"

namespace {

constexpr size_t kEntries = 1000000;
constexpr size_t kChunk = 10000;

struct SItem {
    std::string path;
    bool folder;
};

std::string MakeName(std::mt19937& rng, bool folder) {
    static const char* const kStems[] = {"src",    "include", "lib",     "bin",     "doc",       "test",     "data",
                                         "build",  "config",  "images",  "Photos",  "Documents", "cache",    "tmp",
                                         "backup", "reports", "project", "release", "archive",   "invoice",  "meeting"};
    static const char* const kExtensions[] = {".txt", ".cpp", ".h",  ".jpg", ".png", ".pdf", ".log", ".json",
                                              ".xml", ".so",  ".py", ".gz",  ".dat", ".html", ".csv", ".docx"};
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const char* stem = kStems[pick(sizeof kStems / sizeof *kStems)];
    char buffer[96];
    if (folder) {
        std::snprintf(buffer, sizeof buffer, pick(2) ? "%s" : "%s_%d", stem, pick(10000));
    } else if (pick(4) == 0) {
        std::snprintf(buffer, sizeof buffer, "IMG_2019%04d_%06d.jpg", pick(1300), pick(1000000));
    } else {
        std::string word;
        for (int i = 3 + pick(10); i > 0; --i) word.push_back(static_cast<char>('a' + pick(26)));
        std::snprintf(buffer, sizeof buffer, "%s%s", word.c_str(), kExtensions[pick(16)]);
    }
    return buffer;
}

// The tree in scan order (pre-order, names sorted). Each top-level folder gets a depth limit of
// 3 to 12 and a share of the entries, grown depth first until its share is used.
const std::vector<SItem>& Tree() {
    static const std::vector<SItem> items = [] {
        std::mt19937 rng(20240601);
        std::vector<SItem> out;
        out.reserve(kEntries);
        std::unordered_set<std::string> names;
        constexpr int kTopFolders = 25;
        for (int top = 0; out.size() < kEntries; ++top) {
            const int maxDepth = std::uniform_int_distribution<int>(3, 12)(rng);
            const size_t budget = out.size() + (kEntries - out.size()) / std::max(1, kTopFolders - top);
            out.push_back({"/data/" + MakeName(rng, true) + "_" + std::to_string(top), true});
            std::vector<std::pair<std::string, int>> stack{{out.back().path, 2}};
            while (!stack.empty() && out.size() < budget) {
                auto [folder, depth] = std::move(stack.back());
                stack.pop_back();
                names.clear();
                for (int i = std::uniform_int_distribution<int>(10, 50)(rng); i > 0 && out.size() < budget; --i) {
                    const bool isFolder = depth + 1 < maxDepth && std::bernoulli_distribution(0.15)(rng);
                    std::string name = MakeName(rng, isFolder);
                    while (!names.insert(name).second) name += "_";
                    out.push_back({folder + "/" + name, isFolder});
                    if (isFolder) stack.emplace_back(out.back().path, depth + 1);
                }
            }
        }
        std::vector<std::pair<std::string, size_t>> keys;  // "/" sorts before every byte of a name
        keys.reserve(out.size());
        for (size_t i = 0; i < out.size(); ++i) {
            keys.emplace_back(out[i].path, i);
            std::replace(keys.back().first.begin(), keys.back().first.end(), '/', '\x01');
        }
        std::sort(keys.begin(), keys.end());
        std::vector<SItem> sorted;
        sorted.reserve(out.size());
        for (const auto& k : keys) sorted.push_back(std::move(out[k.second]));
        return sorted;
    }();
    return items;
}

std::string OutputPath() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/collect_writer_bench.zyf";
}

void Write(benchmark::State& state, bool extended, bool filesOnly) {
    const std::vector<SItem>& tree = Tree();
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(extended ? EScanJobType::BRIM_SYNC : EScanJobType::FILE_SYSTEM);
    CStartCharacterCollectLineFormatter formatter(info, '?', '?', '?');
    const std::string path = OutputPath();
    std::vector<CCollectFileFileEntry> files;
    std::vector<CCollectFileFolderEntry> folders;
    std::vector<bool> order;
    files.reserve(kChunk);
    folders.reserve(kChunk);
    long long entries = 0, bytes = 0, lines = 0;
    size_t pathsMemory = 0;
    for (auto _ : state) {
        CBasicCollectFile writer;
        writer.SetOutputFilePath(path);
        if (writer.OpenOutputFile(false).IsError()) return state.SkipWithError("cannot open the output");
        writer.AddSurface("/data");
        for (size_t begin = 0; begin < tree.size(); begin += kChunk) {
            state.PauseTiming();
            files.clear();
            folders.clear();
            order.clear();
            for (size_t i = begin; i < std::min(tree.size(), begin + kChunk); ++i) {
                if (tree[i].folder && filesOnly) continue;
                if (tree[i].folder)
                    folders.emplace_back(tree[i].path, ZY_HERE, "scan", false);
                else
                    files.emplace_back(tree[i].path, ZY_HERE, "scan", static_cast<uint64_t>(i));
                order.push_back(tree[i].folder);
            }
            state.ResumeTiming();
            size_t file = 0, folder = 0;
            for (bool isFolder : order) {
                CKoError e = isFolder ? writer.AddEntry(folders[folder++], formatter) : writer.AddEntry(files[file++], formatter);
                if (e.IsError()) return state.SkipWithError(e.AsString().c_str());
            }
            entries += static_cast<long long>(order.size());
        }
        if (writer.Close().IsError()) return state.SkipWithError("flush failed");
        state.PauseTiming();
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) bytes += st.st_size;
        lines += writer.GetCountedFilesWritten() + writer.GetCountedFoldersWritten();
        pathsMemory = writer.GetPathsMemoryUsed();
        state.ResumeTiming();
    }
    std::remove(path.c_str());
    state.counters["entries_per_s"] = benchmark::Counter(static_cast<double>(entries), benchmark::Counter::kIsRate);
    state.counters["bytes_per_s"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsRate);
    state.counters["lines"] = static_cast<double>(lines) / static_cast<double>(state.iterations());
    state.counters["paths_memory"] = static_cast<double>(pathsMemory);
}

void BM_FullShort(benchmark::State& state) { Write(state, false, false); }
void BM_FullExtended(benchmark::State& state) { Write(state, true, false); }
void BM_FilesOnlyShort(benchmark::State& state) { Write(state, false, true); }
void BM_FilesOnlyExtended(benchmark::State& state) { Write(state, true, true); }

BENCHMARK(BM_FullShort)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FullExtended)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FilesOnlyShort)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FilesOnlyExtended)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
