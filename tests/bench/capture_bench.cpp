// The machine capture over large simulated machines: Windows 98 SE with
// 1,000 to 100,000 keys under Enum\PCI (one in ten a controller key with an
// instance and a value), Windows XP with as many present devices. Timed
// phase by phase: the capture's run in its child process, loading the file
// it wrote, and setup.exe's run on the loaded machine. Built with the native
// build and run by hand; it is no test:
//   build/native/capture_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "sim/cli/capture_run.h"
#include "sim/machine_file.h"
#include "sim/presets.h"

namespace {

sim::Machine Large(bool devices, int n) {
    sim::Machine m = sim::PresetMachine(devices ? "xp" : "98se");
    m.current_dir = "C:\\VNTR";
    sim::MountPackage(m, sim::DefaultPackageDir(), m.current_dir);
    char name[96];
    for (int i = 0; i < n; ++i) {
        if (devices) {
            snprintf(name, sizeof name, "PCI\\VEN_8086&DEV_%04X&SUBSYS_%08d", i % 65536, i);
            sim::Device d;
            d.hardware_ids = sim::MultiSz({name, "PCI\\VEN_8086&DEV_1234"});
            m.devices.push_back(d);
        } else if (i % 10 == 9) {
            snprintf(name, sizeof name, "Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_%08d\\BUS_02", i);
            sim::MakeKeyPath(m.hklm.get(), name)->SetValue({"Driver", 1, std::string("x\0", 2)});
        } else {
            snprintf(name, sizeof name, "Enum\\PCI\\VEN_8086&DEV_%06d", i);
            sim::MakeKeyPath(m.hklm.get(), name);
        }
    }
    m.answers = {true, false};
    return m;
}

double Since(std::chrono::steady_clock::time_point& mark) {
    auto now = std::chrono::steady_clock::now();
    double s = std::chrono::duration<double>(now - mark).count();
    mark = now;
    return s;
}

void BM_CaptureAndLoad(benchmark::State& state) {
    bool devices = state.range(0) != 0;
    int n = static_cast<int>(state.range(1));
    sim::Machine m = Large(devices, n);
    double capture = 0, load = 0, replay = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        auto mark = std::chrono::steady_clock::now();
        sim::Outcome o = capture::Run(m);
        std::string text = capture::Output(o);
        capture += Since(mark);
        if (o.exit_code != 0) state.SkipWithError("the capture failed");
        sim::LoadedMachine loaded = sim::ParseMachine(text, "captured.toml");
        load += Since(mark);
        loaded.machine.answers = m.answers;
        sim::Outcome setup = sim::Run(loaded.machine, {}, 600);
        replay += Since(mark);
        if (setup.status != "ok") state.SkipWithError("the replay failed");
        bytes = text.size();
    }
    double runs = static_cast<double>(state.iterations());
    state.counters["capture_s"] = capture / runs;
    state.counters["load_s"] = load / runs;
    state.counters["setup_s"] = replay / runs;
    state.counters["file_bytes"] = static_cast<double>(bytes);
}

}  // namespace

// kind 0: Enum\PCI keys on 98 SE; kind 1: present devices on XP.
BENCHMARK(BM_CaptureAndLoad)
    ->ArgNames({"kind", "n"})
    ->ArgsProduct({{0, 1}, {1000, 10000, 100000}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK_MAIN();
