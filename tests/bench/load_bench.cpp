// Loading and running large machines: 1,000 to 100,000 registry keys,
// values, controller keys or present devices, timed phase by phase (the
// machine file read, the run in its child process, the JSON document and
// the text report). Built with the native build and run by hand; it is no
// test:
//   build/native/load_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <sstream>
#include <string>

#include "sim/cli/report.h"
#include "sim/machine_file.h"
#include "sim/runner.h"

namespace {

enum Kind { kKeys, kControllerKeys, kValues, kDevices };

// A machine file with `n` entries of one kind.
std::string MachineText(Kind kind, int n) {
    std::ostringstream s;
    s << (kind == kDevices ? "os = 'xp'\nanswers = ['yes']\n"
                           : "os = '98se'\nanswers = ['yes', 'no']\n");
    char line[160];
    for (int i = 0; i < n; ++i) {
        switch (kind) {
            case kKeys:
                snprintf(line, sizeof line, "[[keys]]\npath = 'Enum\\PCI\\VEN_8086&DEV_%06d'\n", i);
                break;
            case kControllerKeys:
                snprintf(line, sizeof line,
                         "[[keys]]\npath = 'Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_%08d\\BUS_00'\n",
                         i);
                break;
            case kValues:
                snprintf(line, sizeof line,
                         "[[values]]\nkey = 'SOFTWARE\\Vendor'\nname = 'V%06d'\ntext = 'x'\n", i);
                break;
            case kDevices:
                snprintf(line, sizeof line,
                         "[[devices]]\nids = ['PCI\\VEN_8086&DEV_%04X&SUBSYS_%08d', "
                         "'PCI\\VEN_8086&DEV_%04X']\n",
                         i % 65536, i, i % 65536);
                break;
        }
        s << line;
    }
    return s.str();
}

double Since(std::chrono::steady_clock::time_point& mark) {
    auto now = std::chrono::steady_clock::now();
    double s = std::chrono::duration<double>(now - mark).count();
    mark = now;
    return s;
}

void BM_LoadAndRun(benchmark::State& state) {
    Kind kind = static_cast<Kind>(state.range(0));
    int n = static_cast<int>(state.range(1));
    std::string text = MachineText(kind, n);
    double load = 0, run = 0, json = 0, report = 0;
    size_t events = 0;
    for (auto _ : state) {
        auto mark = std::chrono::steady_clock::now();
        sim::LoadedMachine loaded = sim::ParseMachine(text, "bench.toml");
        load += Since(mark);
        sim::Outcome o = sim::Run(loaded.machine, {}, 600);
        run += Since(mark);
        if (o.status != "ok") state.SkipWithError(o.message.c_str());
        std::string doc = sim::JsonDocument(loaded.machine, o);
        benchmark::DoNotOptimize(doc);
        json += Since(mark);
        std::ostringstream out;
        PrintReport(out, loaded.machine, o);
        report += Since(mark);
        events = o.events.size();
    }
    double iterations = static_cast<double>(state.iterations());
    state.counters["load_s"] = load / iterations;
    state.counters["run_s"] = run / iterations;
    state.counters["json_s"] = json / iterations;
    state.counters["report_s"] = report / iterations;
    state.counters["events"] = static_cast<double>(events);
    state.SetComplexityN(n);
}

}  // namespace

BENCHMARK(BM_LoadAndRun)
    ->ArgNames({"kind", "n"})
    ->ArgsProduct({{kKeys, kControllerKeys, kValues, kDevices}, {1000, 10000, 100000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

BENCHMARK_MAIN();
