// The three DirChange kinds on an in-library scan simulation: 1,000,000 files in 100,000 folders
// (/sim/dNNN/dNNN, 10 files each), walked in scan order through CDirChangeRecorder, without a
// file system under it. A full job writes the DirChange; an incremental job loads it, asks about
// every item, records what it finds (1% of the files touched, 0.2% gone, 0.2% new) and lists the
// deleted items. Each job runs in its own child process: time (wall clock and CPU, the steadier
// figure on a shared machine) and peak resident memory are the job's own (the process itself is a
// few MB of them).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BenchChild.h"
#include "scan/dirchange/DirChangeRecorder.h"

namespace {

constexpr size_t kTop = 100, kSub = 1000, kFiles = 10;

uint64_t Mix(uint64_t a, uint64_t b, uint64_t c) {
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full ^ c * 0x165667B19E3779F9ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}
bool Touched(size_t a, size_t b, size_t f) { return Mix(a, b, f) % 100 == 0; }
bool Gone(size_t a, size_t b, size_t f) { return f == kFiles - 1 && Mix(a, b, 7777) % 50 == 0; }
bool Added(size_t a, size_t b) { return Mix(a, b, 8888) % 50 == 0; }

// Counts the lines written to it.
ssize_t CountLines(void* cookie, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) *static_cast<uint64_t*>(cookie) += data[i] == '\n';
    return static_cast<ssize_t>(size);
}

// One job; answers {seconds, collected, deleted, seconds listing the deleted}, or nothing when
// something failed.
std::vector<double> Job(EDirChangeKind kind, const std::string& previous, const std::string& current) {
    const bool incremental = !previous.empty();
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<CDirChangeRecorder> recorder;
    if (CDirChangeRecorder::Create(kind, CDirChangeRecorder::SOptions(), recorder).IsError()) return {};
    if (incremental && recorder->LoadPrevious(previous, nullptr).IsError()) return {};
    if (recorder->StartCurrent(current).IsError() || recorder->AddSurface("/sim").IsError()) return {};
    double collected = 0;
    std::string top, sub, path;
    char name[32];
    if (recorder->AddFolder("/sim").IsError()) return {};
    for (size_t a = 0; a < kTop; ++a) {
        std::snprintf(name, sizeof name, "/d%03zu", a);
        top = std::string("/sim") + name;
        if (incremental && !recorder->IsFolderInPreviousJob(top)) ++collected;
        if (recorder->AddFolder(top).IsError()) return {};
        for (size_t b = 0; b < kSub; ++b) {
            std::snprintf(name, sizeof name, "/d%03zu", b);
            sub = top + name;
            if (incremental && !recorder->IsFolderInPreviousJob(sub)) ++collected;
            if (recorder->AddFolder(sub).IsError()) return {};
            for (size_t f = 0; f <= kFiles; ++f) {
                if (f == kFiles && !(incremental && Added(a, b))) continue;
                if (f < kFiles && incremental && Gone(a, b, f)) continue;
                std::snprintf(name, sizeof name, f == kFiles ? "/new.dat" : "/file-%02zu.dat", f);
                path = sub + name;
                const bool collect =
                    !incremental || !recorder->IsFileInPreviousJob(path) || (f < kFiles && Touched(a, b, f));
                if (collect) ++collected;
                if (recorder->AddFile(path, collect).IsError()) return {};
            }
        }
    }
    if (recorder->EndScan().IsError()) return {};
    const auto listing = std::chrono::steady_clock::now();
    uint64_t deleted = 0;
    cookie_io_functions_t functions{nullptr, CountLines, nullptr, nullptr};
    FILE* out = fopencookie(&deleted, "w", functions);
    const bool listed = recorder->WriteDeletedItems(out, false).IsSuccess();
    std::fclose(out);
    if (!listed) return {};
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - start).count(), collected, static_cast<double>(deleted),
            std::chrono::duration<double>(end - listing).count()};
}

void BM_Jobs(benchmark::State& state) {
    const EDirChangeKind kind(static_cast<EDirChangeKind::Value>(state.range(0)));
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_dirchange_kinds_" + std::to_string(getpid()) +
                             "_" + kind.AsString();
    for (auto _ : state) {
        SBenchChildResult full = BenchRunInChild([&] { return Job(kind, std::string(), base + ".full"); });
        SBenchChildResult incr = BenchRunInChild([&] { return Job(kind, base + ".full", base + ".incr"); });
        if (!full.ok || !incr.ok) {
            state.SkipWithError("a job failed");
            break;
        }
        state.SetIterationTime(incr.values[0]);
        state.counters["full_s"] = full.values[0];
        state.counters["full_cpu_s"] = full.cpuSeconds;
        state.counters["incr_cpu_s"] = incr.cpuSeconds;
        state.counters["full_peak_MB"] = static_cast<double>(full.peakRssBytes) / 1e6;
        state.counters["incr_s"] = incr.values[0];
        state.counters["incr_peak_MB"] = static_cast<double>(incr.peakRssBytes) / 1e6;
        state.counters["incr_collected"] = incr.values[1];
        state.counters["incr_deleted"] = incr.values[2];
        state.counters["incr_listing_s"] = incr.values[3];
    }
    std::remove((base + ".full").c_str());
    std::remove((base + ".incr").c_str());
    state.SetLabel(kind.AsString());
}

BENCHMARK(BM_Jobs)
    ->ArgName("kind")
    ->DenseRange(EDirChangeKind::DIRCHANGE_KIND_TREE, EDirChangeKind::DIRCHANGE_KIND_SEGMENTS)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
