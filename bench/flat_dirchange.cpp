// A synthetic previous DirChange of N files in N/10 folders (100 folders per level, 10 files per
// leaf folder), loaded and asked in scan order: every file once, folder after folder, with
// IsItemInPreviousJob(file, PD_FILE). For the flat-file index (flat DirChange file), the segment
// DirChange and the tree DirChange (both on the tree DirChange file).
//
// Each run is a child process. load_s is the load; questions_per_s the questions (wall clock, and
// per CPU second, which a machine shared with other work disturbs less); the memory
// figures are resident memory per file: after the load (load_bytes_per_file, what holding the
// previous job costs) and the child's peak (peak_bytes_per_file, with the questions' caches and
// the process itself). Files go to $TMPDIR (or /tmp).
//
// The full size (10,000,000 files) takes minutes and some GB for the tree kind; run it with
//   bench_flat_dirchange --benchmark_filter=10000000
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BenchChild.h"
#include "scan/dirchange/DirChange.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/dirchange/SymLinkDirChange.h"

namespace {

using Flags = BDirChangeItemFlags;
enum EKind { kFlat = 0, kSegments = 1, kTree = 2 };
constexpr size_t kFilesPerFolder = 10;

// Leaf folder i of `leaves`, 100 entries per level: "/bench/d17/d03/d99".
void LeafFolder(size_t i, size_t leaves, std::string& out) {
    int levels = 1;
    for (size_t n = 100; n < leaves; n *= 100) ++levels;
    char part[8];
    out = "/bench";
    for (int level = levels - 1; level >= 0; --level) {
        size_t divisor = 1;
        for (int k = 0; k < level; ++k) divisor *= 100;
        std::snprintf(part, sizeof part, "/d%02zu", (i / divisor) % 100);
        out += part;
    }
}

void FileName(size_t f, std::string& out) {
    char name[32];
    std::snprintf(name, sizeof name, "file-%04zu.dat", f);
    out = name;
}

std::string TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// The previous job's file: flat grammar (folder lines end in "/") or tree grammar.
std::string MakeFile(size_t files, bool flat) {
    const std::string path = TempFolder() + "/bench_flat_dirchange_" + std::to_string(getpid()) + "_" +
                             std::to_string(files) + (flat ? ".flat" : ".tree");
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out) std::abort();
    const size_t leaves = files / kFilesPerFolder;
    std::string folder, name, text;
    for (size_t i = 0; i < leaves; ++i) {
        LeafFolder(i, leaves, folder);
        text.clear();
        text += folder;
        text += flat ? "/\n" : "\n";
        for (size_t f = 0; f < kFilesPerFolder; ++f) {
            FileName(f, name);
            text += '\t';
            text += name;
            text += '\n';
        }
        std::fwrite(text.data(), 1, text.size(), out);
    }
    std::fclose(out);
    return path;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// CPU time of the process: on a machine shared with other work, the steadier figure.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// In the child: load, then ask. Answers {load s, ask s, rss before, rss after load, wrong answers}.
std::vector<double> LoadAndAsk(EKind kind, const std::string& file, size_t files) {
    const double rssBefore = static_cast<double>(BenchCurrentRss());
    std::unique_ptr<IDirChange> dc;
    if (kind == kFlat) {
        auto index = std::make_unique<CPathCacheFlatFileIndex>();
        index->SetIncludeFiles(true);
        dc = std::move(index);
    } else if (kind == kSegments) {
        dc = std::make_unique<SymLinkDirChange>();
    } else {
        auto tree = std::make_unique<CDirChange>();
        tree->SetIncludeFiles(true);
        dc = std::move(tree);
    }
    auto start = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();
    if (dc->LoadFile(file, nullptr).IsError()) return {};
    const double loadS = Seconds(start);
    const double loadCpu = CpuSeconds() - cpu;
    const double rssLoaded = static_cast<double>(BenchCurrentRss());
    const size_t leaves = files / kFilesPerFolder;
    std::string folder, name, path;
    double wrong = 0;
    start = std::chrono::steady_clock::now();
    cpu = CpuSeconds();
    for (size_t i = 0; i < leaves; ++i) {
        LeafFolder(i, leaves, folder);
        for (size_t f = 0; f < kFilesPerFolder; ++f) {
            FileName(f, name);
            path = folder;
            path += '/';
            path += name;
            if (!dc->IsItemInPreviousJob(path, Flags::PD_FILE)) ++wrong;
        }
    }
    const double askS = Seconds(start);
    const double askCpu = CpuSeconds() - cpu;
    return {loadS, askS, rssBefore, rssLoaded, wrong, loadCpu, askCpu};
}

void BM_LoadAndAsk(benchmark::State& state) {
    const EKind kind = static_cast<EKind>(state.range(0));
    const size_t files = static_cast<size_t>(state.range(1));
    const std::string file = MakeFile(files, kind == kFlat);
    for (auto _ : state) {
        SBenchChildResult r = BenchRunInChild([&] { return LoadAndAsk(kind, file, files); });
        if (!r.ok || r.values.size() != 7 || r.values[4] != 0) {
            state.SkipWithError("the run failed or answered wrong");
            break;
        }
        state.SetIterationTime(r.values[0] + r.values[1]);
        state.counters["load_s"] = r.values[0];
        state.counters["load_cpu_s"] = r.values[5];
        state.counters["questions_per_s"] = static_cast<double>(files) / r.values[1];
        state.counters["questions_per_cpu_s"] = static_cast<double>(files) / r.values[6];
        state.counters["load_bytes_per_file"] = (r.values[3] - r.values[2]) / static_cast<double>(files);
        state.counters["peak_bytes_per_file"] = static_cast<double>(r.peakRssBytes) / static_cast<double>(files);
        state.counters["peak_MB"] = static_cast<double>(r.peakRssBytes) / 1e6;
    }
    std::remove(file.c_str());
    state.SetLabel(kind == kFlat ? "flat" : kind == kSegments ? "segments" : "tree");
}

BENCHMARK(BM_LoadAndAsk)
    ->ArgNames({"kind", "files"})
    ->ArgsProduct({{kFlat, kSegments, kTree}, {1000000, 10000000}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
