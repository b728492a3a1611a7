// Per-item path conversion cost of the content mappers, with heap allocations per conversion.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "scan/content/ContentMapper.h"
#include "scan/content/ProxyContentMapper.h"
#include "scan/content/LiveSyncRepContentMapper.h"

namespace {
std::atomic<long long> g_allocations{0};
}

// Out of line, so that the compiler does not pair an inlined malloc() or free() with the other.
__attribute__((noinline)) void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

ContentMapperAPI::Map Volumes(int count, bool withRoot) {
    ContentMapperAPI::Map map;
    for (int i = 0; i < count; ++i) {
        std::string n = std::to_string(100 + i);
        map["/export/vol" + n] = "/mnt/snapshots/vol" + n;
    }
    if (withRoot) map["/"] = "/mnt/snapshots/root";
    return map;
}

std::vector<std::string> Paths(int volumes, int perVolume) {
    std::vector<std::string> paths;
    for (int v = 0; v < volumes; ++v)
        for (int i = 0; i < perVolume; ++i)
            paths.push_back("/export/vol" + std::to_string(100 + v) + "/projects/team/src/module" + std::to_string(i) +
                            "/file.cpp");
    return paths;
}

void Report(benchmark::State& state, long long before) {
    state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_allocations.load() - before),
                                                     benchmark::Counter::kAvgIterations);
}

// Consecutive items of one volume: the cached key answers.
void BM_SourceToLocal_CachedKey(benchmark::State& state) {
    CContentMapper mapper;
    mapper.SetSourceToLocalMap(Volumes(static_cast<int>(state.range(0)), false));
    std::vector<std::string> paths = Paths(1, 64);
    std::string out;
    out.reserve(256);
    size_t i = 0;
    long long before = g_allocations.load();
    for (auto _ : state) {
        mapper.MakeProxyPathFromHostPath(paths[i++ & 63], out);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, before);
}
BENCHMARK(BM_SourceToLocal_CachedKey)->Arg(4)->Arg(64);

// The root is mapped, so keys nest and every lookup scans the sorted keys.
void BM_SourceToLocal_ScanKeys(benchmark::State& state) {
    CContentMapper mapper;
    mapper.SetSourceToLocalMap(Volumes(static_cast<int>(state.range(0)), true));
    int volumes = static_cast<int>(state.range(0));
    std::vector<std::string> paths = Paths(volumes, 4);
    std::string out;
    out.reserve(256);
    size_t i = 0;
    long long before = g_allocations.load();
    for (auto _ : state) {
        mapper.MakeProxyPathFromHostPath(paths[i++ % paths.size()], out);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, before);
}
BENCHMARK(BM_SourceToLocal_ScanKeys)->Arg(4)->Arg(64);

void BM_LocalToSource_CachedKey(benchmark::State& state) {
    CContentMapper mapper;
    mapper.SetSourceToLocalMap(Volumes(16, false));
    std::string local = "/mnt/snapshots/vol105/projects/team/src/module7/file.cpp";
    std::string out;
    out.reserve(256);
    long long before = g_allocations.load();
    for (auto _ : state) {
        mapper.MakeHostPathFromProxyPath(local, out);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, before);
}
BENCHMARK(BM_LocalToSource_CachedKey);

void BM_SourceToLocal_BufferForm(benchmark::State& state) {
    CContentMapper mapper;
    mapper.SetSourceToLocalMap(Volumes(16, false));
    const char* path = "/export/vol105/projects/team/src/module7/file.cpp";
    char out[4096];
    long long before = g_allocations.load();
    for (auto _ : state) {
        mapper.MakeProxyPathFromHostPath(path, out, sizeof out);
        benchmark::DoNotOptimize(out);
    }
    Report(state, before);
}
BENCHMARK(BM_SourceToLocal_BufferForm);

// The proxy/host mapper scans its table and builds its result afresh: configuration-time use.
void BM_ProxyHost_Linear(benchmark::State& state) {
    CLiveSyncRepContentMapper mapper;
    mapper.Initialize().IgnoreError();
    for (auto& pair : Volumes(static_cast<int>(state.range(0)), false)) mapper.AddContentMapEntry(pair.first, pair.second, 0);
    std::string path = "/export/vol" + std::to_string(100 + state.range(0) - 1) + "/projects/team/src/file.cpp";
    std::string out;
    long long before = g_allocations.load();
    for (auto _ : state) {
        mapper.MakeProxyPathFromHostPath(path, out);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, before);
}
BENCHMARK(BM_ProxyHost_Linear)->Arg(4)->Arg(64);

}  // namespace
