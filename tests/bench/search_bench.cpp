// Times the controller search over simulated machines of 10, 1,000 and
// 100,000 present devices with 4 to 8 hardware identifiers each, none of
// them a controller, so every entry of every list is examined. Reported per
// examined entry, next to a plain loop over the same lists, with a fitted
// complexity to show that the time grows linearly with the entries.
//
// The search runs in this process over a sim::Session: the SetupDi calls,
// the list allocations and the trace (written with printf and captured by
// the session) are all part of what is timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nt/nt.h"
#include "sim/presets.h"
#include "sim/runtime.h"

namespace {

const char kSearchId[] = "PCI\\VEN_C4B9&DEV_8E3A";

// Hardware-identifier lists of the kinds a PC shows: PCI functions with
// subsystem, revision and class forms, USB and ACPI devices. Device i has
// 4 + i % 5 entries; some begin like the search identifier but differ
// within its first 21 characters, so the comparison is not always cut
// short at the first character.
std::vector<sim::Bytes> MakeLists(int devices, long* entries) {
    std::vector<sim::Bytes> lists;
    lists.reserve(devices);
    *entries = 0;
    char id[128];
    for (int i = 0; i < devices; ++i) {
        int count = 4 + i % 5;
        unsigned vendor = (i % 3 == 0) ? 0xC4B9 : 0x8086 + i % 97;
        unsigned device = 0x1000 + (i * 7919) % 0xE000;
        std::vector<std::string> ids;
        for (int k = 0; k < count; ++k) {
            switch (k) {
                case 0:
                    snprintf(id, sizeof id, "PCI\\VEN_%04X&DEV_%04X&SUBSYS_%08X&REV_%02X", vendor,
                             device, i * 31u, i % 256);
                    break;
                case 1:
                    snprintf(id, sizeof id, "PCI\\VEN_%04X&DEV_%04X&SUBSYS_%08X", vendor, device,
                             i * 31u);
                    break;
                case 2:
                    snprintf(id, sizeof id, "PCI\\VEN_%04X&DEV_%04X&CC_0C0300", vendor, device);
                    break;
                case 3:
                    snprintf(id, sizeof id, "PCI\\VEN_%04X&DEV_%04X&CC_0C03", vendor, device);
                    break;
                case 4:
                    snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X&REV_%04X", vendor, device,
                             i % 9999);
                    break;
                case 5:
                    snprintf(id, sizeof id, "ACPI\\PNP%04X", i % 0xFFFF);
                    break;
                case 6:
                    snprintf(id, sizeof id, "*PNP%04X", i % 0xFFFF);
                    break;
                default:
                    snprintf(id, sizeof id, "ROOT\\LEGACY_DEVICE_%d", i);
                    break;
            }
            ids.push_back(id);
        }
        *entries += count;
        lists.push_back(sim::MultiSz(ids));
    }
    return lists;
}

sim::Machine MachineWith(const std::vector<sim::Bytes>& lists) {
    sim::Machine m = sim::PresetMachine("xp");
    m.devices.clear();
    for (const auto& list : lists) {
        sim::Device d;
        d.hardware_ids = list;
        m.devices.push_back(d);
    }
    return m;
}

// A session that keeps no events, only counts the trace lines: a record of
// millions of calls would dominate the memory.
size_t g_lines = 0;
sim::RunOptions Quiet() {
    sim::RunOptions options;
    options.keep_events = false;
    options.sink = [](const sim::Event& e) { g_lines += e.type() == "stdout"; };
    return options;
}

// Time per examined identifier, and the size the linear fit is made over.
void Report(benchmark::State& state, long entries, BOOL found) {
    if (found) state.SkipWithError("a controller was found where there is none");
    state.SetComplexityN(entries);
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["per_entry"] = benchmark::Counter(
        static_cast<double>(entries),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The program's search, SetupDi calls and trace included.
void BM_Search(benchmark::State& state) {
    long entries = 0;
    sim::Machine m = MachineWith(MakeLists(static_cast<int>(state.range(0)), &entries));
    sim::Session session(m, Quiet());
    HMODULE setupapi = BindSetupLibrary();
    BOOL found = FALSE;
    for (auto _ : state) {
        g_lines = 0;
        found = SearchController(kSearchId);
        benchmark::DoNotOptimize(found);
        // The captured trace lines: one per entry, plus the search and
        // failure lines.
        if (g_lines != static_cast<size_t>(entries) + 2) {
            state.SkipWithError("the trace does not have one line per entry");
            break;
        }
    }
    UnbindSetupLibrary(setupapi);
    Report(state, entries, found);
}

// The same with no standard output, as when setup.exe runs without a
// console: printf still formats every line, and the write fails.
void BM_SearchNoConsole(benchmark::State& state) {
    long entries = 0;
    sim::Machine m = MachineWith(MakeLists(static_cast<int>(state.range(0)), &entries));
    m.has_stdout = false;
    sim::Session session(m, Quiet());
    HMODULE setupapi = BindSetupLibrary();
    BOOL found = FALSE;
    for (auto _ : state) {
        found = SearchController(kSearchId);
        benchmark::DoNotOptimize(found);
    }
    UnbindSetupLibrary(setupapi);
    Report(state, entries, found);
}

// The floor: the same lists walked in memory with the same prefix test, no
// system calls, no allocation, no trace.
void BM_PlainLoop(benchmark::State& state) {
    long entries = 0;
    std::vector<sim::Bytes> lists = MakeLists(static_cast<int>(state.range(0)), &entries);
    const size_t n = sizeof kSearchId - 1;
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    bool found = false;
    for (auto _ : state) {
        long seen = 0;
        found = false;
        for (const auto& list : lists) {
            for (size_t at = 0; at < list.size() && list[at];) {
                size_t length = 0;
                while (at + length < list.size() && list[at + length]) ++length;
                ++seen;
                if (length >= n) {
                    size_t i = 0;
                    while (i < n && upper(list[at + i]) == upper(kSearchId[i])) ++i;
                    found = found || i == n;
                }
                at += length + 1;
            }
        }
        benchmark::DoNotOptimize(seen);
        benchmark::DoNotOptimize(found);
    }
    Report(state, entries, found);
}

}  // namespace

BENCHMARK(BM_Search)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_SearchNoConsole)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_PlainLoop)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
