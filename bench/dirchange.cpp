// Tree DirChange on a generated file system of 1,000,000 entries (folders 3 to 12 levels deep, 10
// to 50 entries per folder, realistic names), as an incremental scan uses it:
//   BM_LoadFile            the previous job's DirChange file (files included) into the trie;
//   BM_AskAndAdd           IsItemInPreviousJob and AddItem for every item the scan meets;
//   BM_IdentifyIntermediateNodes, BM_WriteCurrentDirChange, BM_WriteDeletedItems  the end of the scan.
// The previous job lacks 2% of the items (new this time) and holds 2% that are gone.
//
// entries_per_s counts the lines of the previous file (load) or the items of the scan (the
// others); bytes_per_entry is the heap the loaded trie takes (mallinfo2().uordblks before and
// after, malloc overhead included), estimate_per_entry the DirChange's own GetMemoryUsed().
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "BenchTree.h"
#include "scan/dirchange/DirChange.h"

namespace {

constexpr size_t kEntries = 1020000;  // the previous job then holds about 1,000,000
using Flags = BDirChangeItemFlags;

struct Item {
    std::string path;
    bool folder;
    bool previous;  // in the previous job
    bool current;   // met by this scan
};

// The generated tree in scan order. Files only come and go (one in fifty is new, one in fifty
// gone); folders stay, so the shape of both jobs is alike.
const std::vector<Item>& Items() {
    static const std::vector<Item> items = [] {
        std::mt19937 rng(7);
        std::vector<Item> out;
        for (SBenchEntry& e : GenerateBenchTree(kEntries)) {
            const int fate = e.folder ? 2 : std::uniform_int_distribution<int>(0, 49)(rng);
            out.push_back({std::move(e.path), e.folder, fate != 0, fate != 1});
        }
        return out;
    }();
    return items;
}

// The previous job's DirChange file, as a job writes it: folder lines, then their files.
const std::string& PreviousFile() {
    static const std::string name = [] {
        char path[] = "/tmp/bench_dirchange_XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) std::abort();
        close(fd);
        CDirChange writer;
        writer.SetIncludeFiles(true);
        for (const Item& item : Items())
            if (item.previous &&
                writer.AddItem(item.path, item.folder ? Flags(Flags::CURRENTDIRCHANGE) : Flags(Flags::CURRENTDIRCHANGE | Flags::CD_FILE),
                               std::string(), FVBasePtr())
                    .IsError())
                std::abort();
        if (writer.IdentifyIntermediateNodes().IsError() || writer.WriteCurrentDirChangeFile(path).IsError()) std::abort();
        std::atexit([] { std::remove(PreviousFile().c_str()); });
        return std::string(path);
    }();
    return name;
}

size_t PreviousEntries() {
    static const size_t n = static_cast<size_t>(
        std::count_if(Items().begin(), Items().end(), [](const Item& i) { return i.previous; }));
    return n;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

std::unique_ptr<CDirChange> Loaded() {
    auto dc = std::make_unique<CDirChange>();
    dc->SetIncludeFiles(true);
    if (dc->LoadFile(PreviousFile(), nullptr).IsError()) std::abort();
    return dc;
}

// The scan: ask about every item met, then record it.
void AskAndAdd(CDirChange& dc) {
    const Flags folderFlags(Flags::CURRENTDIRCHANGE);
    const Flags fileFlags(Flags::CURRENTDIRCHANGE | Flags::CD_FILE);
    const Flags newFileFlags = fileFlags | Flags(Flags::CURRENTCOLLECT | Flags::CC_FILE);
    const std::string none;
    const FVBasePtr info;
    size_t known = 0;
    for (const Item& item : Items()) {
        if (!item.current) continue;
        if (item.folder) {
            dc.IsItemInPreviousJob(item.path, Flags::PREVIOUSDIRCHANGE);
            if (dc.AddItem(item.path, folderFlags, none, info).IsError()) std::abort();
        } else {
            const bool previous = dc.IsItemInPreviousJob(item.path, Flags::PD_FILE);
            known += previous;
            if (dc.AddItem(item.path, previous ? fileFlags : newFileFlags, none, info).IsError()) std::abort();
        }
    }
    benchmark::DoNotOptimize(known);
}

void Rate(benchmark::State& state, size_t perIteration) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perIteration));
    state.counters["entries_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * perIteration), benchmark::Counter::kIsRate);
}

void BM_LoadFile(benchmark::State& state) {
    PreviousFile();
    size_t bytes = 0;
    int64_t estimate = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const size_t before = HeapInUse();
        auto dc = std::make_unique<CDirChange>();
        dc->SetIncludeFiles(true);
        state.ResumeTiming();
        if (dc->LoadFile(PreviousFile(), nullptr).IsError()) std::abort();
        state.PauseTiming();
        bytes = HeapInUse() - before;
        estimate = dc->GetMemoryUsed();
        dc.reset();
        state.ResumeTiming();
    }
    Rate(state, PreviousEntries());
    state.counters["entries"] = static_cast<double>(PreviousEntries());
    state.counters["bytes_per_entry"] = static_cast<double>(bytes) / static_cast<double>(PreviousEntries());
    state.counters["estimate_per_entry"] = static_cast<double>(estimate) / static_cast<double>(PreviousEntries());
}

void BM_AskAndAdd(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto dc = Loaded();
        state.ResumeTiming();
        AskAndAdd(*dc);
        state.PauseTiming();
        dc.reset();
        state.ResumeTiming();
    }
    Rate(state, Items().size());
}

// One DirChange at the end of a scan, made once; the end-of-scan steps do not change what they
// are measured on after their first run.
CDirChange& Scanned() {
    static CDirChange* dc = [] {
        CDirChange* d = Loaded().release();
        AskAndAdd(*d);
        return d;
    }();
    return *dc;
}

void BM_IdentifyIntermediateNodes(benchmark::State& state) {
    CDirChange& dc = Scanned();
    for (auto _ : state)
        if (dc.IdentifyIntermediateNodes().IsError()) std::abort();
    Rate(state, Items().size());
}

void BM_WriteCurrentDirChange(benchmark::State& state) {
    CDirChange& dc = Scanned();
    if (dc.IdentifyIntermediateNodes().IsError()) std::abort();
    const std::string name = PreviousFile() + ".current";
    for (auto _ : state)
        if (dc.WriteCurrentDirChangeFile(name).IsError()) std::abort();
    std::remove(name.c_str());
    Rate(state, Items().size());
}

void BM_WriteDeletedItems(benchmark::State& state) {
    CDirChange& dc = Scanned();
    if (dc.IdentifyIntermediateNodes().IsError()) std::abort();
    FILE* out = std::fopen("/dev/null", "wb");
    for (auto _ : state)
        if (dc.WriteDeletedItems(out, true).IsError()) std::abort();
    std::fclose(out);
    Rate(state, Items().size());
}

BENCHMARK(BM_LoadFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AskAndAdd)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_IdentifyIntermediateNodes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteCurrentDirChange)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteDeletedItems)->Unit(benchmark::kMillisecond);

}  // namespace
