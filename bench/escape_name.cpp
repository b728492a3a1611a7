// escapeFileName on typical item names: plain ones (nothing to escape, the common case) and ones
// with bytes the line grammar reserves, with and without the encode-all setting.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "scan/Unix/CollectFileEncode.h"

namespace {

std::vector<std::string> Names(bool special) {
    std::vector<std::string> names;
    for (int i = 0; i < 1024; ++i) {
        std::string n = "/home/user_" + std::to_string(i % 37) + "/Documents/reports/2026/quarter_" +
                        std::to_string(i % 4) + "/summary_of_results_" + std::to_string(i) + ".pdf";
        if (special) n += (i % 2) ? " 100% done|v2" : " caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9";
        names.push_back(n);
    }
    return names;
}

void Run(benchmark::State& state, bool special, bool encodeAll) {
    const std::vector<std::string> names = Names(special);
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const std::string& n = names[i++ & 1023];
        std::string escaped = escapeFileName(n.c_str(), encodeAll);
        benchmark::DoNotOptimize(escaped.data());
        bytes += n.size();
    }
    state.counters["names/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_Escape_Plain(benchmark::State& state) { Run(state, false, false); }
void BM_Escape_Plain_EncodeAll(benchmark::State& state) { Run(state, false, true); }
void BM_Escape_Special(benchmark::State& state) { Run(state, true, false); }
void BM_Escape_Special_EncodeAll(benchmark::State& state) { Run(state, true, true); }
BENCHMARK(BM_Escape_Plain);
BENCHMARK(BM_Escape_Plain_EncodeAll);
BENCHMARK(BM_Escape_Special);
BENCHMARK(BM_Escape_Special_EncodeAll);

void BM_Decode_Special(benchmark::State& state) {
    std::vector<std::string> escaped;
    for (const std::string& n : Names(true)) escaped.push_back(escapeFileName(n.c_str(), true));
    size_t i = 0;
    for (auto _ : state) {
        std::string decoded = decodeFileName(escaped[i++ & 1023].c_str());
        benchmark::DoNotOptimize(decoded.data());
    }
    state.counters["names/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Decode_Special);

}  // namespace
