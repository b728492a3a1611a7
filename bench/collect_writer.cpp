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

#include "BenchTree.h"
#include "scan/collect/BasicCollectFile.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

namespace {

constexpr size_t kEntries = 1000000;
constexpr size_t kChunk = 10000;

struct SItem {
    std::string path;
    bool folder;
};

const std::vector<SItem>& Tree() {
    static const std::vector<SItem> items = [] {
        std::vector<SItem> out;
        for (SBenchEntry& e : GenerateBenchTree(kEntries, "/data")) out.push_back({std::move(e.path), e.folder});
        return out;
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
