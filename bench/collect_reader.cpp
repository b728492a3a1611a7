// Reading a collect file of 1,000,000 lines through CCollectFileReader, in the short form the
// scan writes for most jobs (the path alone) and in the extended form (start characters and tags).
//
// The generated file is $COLLECT_BENCH_FILE (default $TMPDIR/collect_reader_bench_<form>.zyf); it
// is removed at exit unless COLLECT_BENCH_KEEP=1, so that other tools can be timed on it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "agent/PlatformServices.h"
#include "scan/collect/CollectFileReader.h"
#include "scan/collect/CollectLineFormatter.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

namespace {

constexpr int kLines = 1000000;

// A typical path of 60 to 120 bytes: a few folders and a file name.
std::string MakePath(std::mt19937& rng) {
    static const char* const kFolders[] = {"home",    "users",  "projects", "src",     "include", "build",
                                           "Documents", "photos", "2026",     "archive", "reports", "node_modules",
                                           "lib",     "share",  "config",   "backup",  "data",    "var"};
    static const char* const kExtensions[] = {".cpp", ".h", ".txt", ".jpg", ".pdf", ".json", ".log", ".xml"};
    size_t target = 60 + rng() % 61;
    std::string path = "/";
    while (path.size() + 24 < target) {
        path += kFolders[rng() % (sizeof kFolders / sizeof *kFolders)];
        path += "_" + std::to_string(rng() % 1000) + "/";
    }
    std::string name = "file_" + std::to_string(rng());
    while (path.size() + name.size() + 5 < target) name += static_cast<char>('a' + rng() % 26);
    return path + name + kExtensions[rng() % (sizeof kExtensions / sizeof *kExtensions)];
}

std::string BenchFile(const char* form) {
    if (const char* p = std::getenv("COLLECT_BENCH_FILE")) return std::string(p) + "." + form;
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/collect_reader_bench_" + form + ".zyf";
}

// Writes the file through the formatter, as a scan would.
void Generate(const std::string& path, bool extended) {
    auto info = std::make_shared<CStartCharacterCommonInfo>();
    info->scanJobType = EScanJobType(extended ? EScanJobType::SOLR_CLOUD_BACKUP : EScanJobType::FILE_SYSTEM);
    CStartCharacterCollectLineFormatter formatter(info, '?', '?', '?');
    std::mt19937 rng(42);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    for (int i = 0; i < kLines; ++i) {
        std::string line;
        if (i % 12 == 0) {
            line = formatter.GetFormattedLine(CCollectFileFolderEntry(MakePath(rng), ZY_HERE, "", false));
        } else {
            line = formatter.GetFormattedLine(CCollectFileFileEntry(MakePath(rng), ZY_HERE, "", rng() % 100000));
        }
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fclose(f);
}

struct SBenchFile {
    explicit SBenchFile(bool extended) : path(BenchFile(extended ? "extended" : "short")) { Generate(path, extended); }
    ~SBenchFile() {
        const char* keep = std::getenv("COLLECT_BENCH_KEEP");
        if (!(keep && *keep == '1')) std::remove(path.c_str());
    }
    std::string path;
};

void ReadAll(benchmark::State& state, const std::string& path, bool startCharacters) {
    ZYPI_Focus::SetIsService(true);  // no settings look-up for a local job-results folder
    long long lines = 0, bytes = 0;
    for (auto _ : state) {
        CCollectFileReader reader(path);
        reader.SetHasStartCharacters(startCharacters);
        if (reader.OpenCollectFile().IsError()) {
            state.SkipWithError("cannot open the collect file");
            return;
        }
        std::string name;
        long long n = 0;
        while (reader.GetNextLine(name).IsSuccess()) {
            benchmark::DoNotOptimize(name.data());
            ++n;
        }
        if (n != kLines) {
            state.SkipWithError("lines lost");
            return;
        }
        lines += n;
        bytes += reader.GetCurrentPosition();
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(bytes);
}

void BM_CollectReader_ShortForm(benchmark::State& state) {
    static SBenchFile file(false);
    ReadAll(state, file.path, false);
}
BENCHMARK(BM_CollectReader_ShortForm)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_CollectReader_ExtendedForm(benchmark::State& state) {
    static SBenchFile file(true);
    ReadAll(state, file.path, true);
}
BENCHMARK(BM_CollectReader_ExtendedForm)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
