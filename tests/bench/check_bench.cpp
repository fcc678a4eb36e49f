// --check over long traces: the differences between 40,000 expected lines
// and 40,000 lines of the run, for the shapes a changed program or machine
// gives. Built with the native build and run by hand; it is no test:
//   build/native/check_bench
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sim/expect.h"

namespace {

enum Shape { kShifted, kEveryTenth, kAllDifferent, kHalfMissing, kHalvesSwapped };

// Trace lines as the controller search writes them.
std::vector<sim::Bytes> Lines(int from, int to, const char* word) {
    std::vector<sim::Bytes> out;
    for (int i = from; i < to; ++i)
        out.push_back(std::string("Compare device ID: [PCI\\VEN_8086&DEV_") + word +
                      std::to_string(i) + "]");
    return out;
}

void BM_Differences(benchmark::State& state) {
    const int n = static_cast<int>(state.range(1));
    sim::Expectation expect;
    expect.trace = Lines(0, n, "");
    sim::Observed seen;
    switch (static_cast<Shape>(state.range(0))) {
        case kShifted:  // the first line gone, one more at the end
            seen.trace = Lines(1, n + 1, "");
            break;
        case kEveryTenth: {
            std::vector<sim::Bytes> lines = Lines(0, n, "");
            for (int i = 0; i < n; i += 10) lines[static_cast<size_t>(i)] += " changed";
            seen.trace = lines;
            break;
        }
        case kAllDifferent:
            seen.trace = Lines(0, n, "other ");
            break;
        case kHalfMissing:  // every other line gone
            for (int i = 0; i < n; i += 2)
                seen.trace.push_back((*expect.trace)[static_cast<size_t>(i)]);
            break;
        case kHalvesSwapped:  // every line in both, the second half first
            seen.trace = Lines(n / 2, n, "");
            for (int i = 0; i < n / 2; ++i)
                seen.trace.push_back((*expect.trace)[static_cast<size_t>(i)]);
            break;
    }
    size_t lines = 0;
    for (auto _ : state) {
        std::vector<std::string> diff = sim::Differences(expect, seen);
        lines = diff.size();
        benchmark::DoNotOptimize(diff.data());
    }
    state.counters["diff_lines"] = static_cast<double>(lines);
}

}  // namespace

BENCHMARK(BM_Differences)
    ->ArgNames({"shape", "lines"})
    ->ArgsProduct({{kShifted, kEveryTenth, kAllDifferent, kHalfMissing, kHalvesSwapped},
                   {4000, 40000, 400000}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
