// The package as Windows reads it: an INF of 10,000 models in 100,000 lines
// read, and the driver update predicted from it (BM_PredictUpdate); and the
// whole `vntrsetup-sim --check-package` over the example package
// (BM_CheckPackage). Built with the native build and run by hand; it is no
// test:
//   build/native/package_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "sim/inf.h"
#include "sim/presets.h"
#include "tests/bench/command.h"

namespace {

// An NT INF with `models` models (the controller's last) and as many
// further lines, in install sections, as make `lines` in all.
std::string LargeInf(int models, int lines) {
    std::string inf =
        "[Version]\nSignature = \"$Windows NT$\"\nClass = PCMCIA\n"
        "ClassGUID = {4d36e977-e325-11ce-bfc1-08002be10318}\nProvider = %V%\n"
        "DriverVer = 06/01/2004,5.1.0.4\n\n[Manufacturer]\n%V% = Models, NTx86\n\n"
        "[Models.NTx86]\n";
    int written = 12;
    for (int i = 0; i < models - 1; ++i, ++written)
        inf += "%D% = Install, PCI\\VEN_1000&DEV_" + std::to_string(10000 + i) + "\n";
    inf += "%D% = Install, PCI\\VEN_C4B9&DEV_8E3A\n\n[Install.NT]\nAddReg = Reg\n\n[Reg]\n";
    written += 6;
    for (; written < lines - 3; ++written)
        inf += "HKR,,Value" + std::to_string(written) + ",,\"some data\"\n";
    inf += "\n[Strings]\nV = \"Vantor\"\nD = \"Vantor CardBus Controller\"\n";
    return inf;
}

void BM_PredictUpdate(benchmark::State& state) {
    sim::Machine m = sim::DefaultMachine("xp");
    const std::string path = m.current_dir + "\\VNTRXP.INF";
    m.files.PutFile(path, sim::FileData(LargeInf(10000, 100000)));
    const std::string id = "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02";
    bool installs = false;
    for (auto _ : state) {
        sim::UpdatePrediction p = sim::PredictUpdate(m, path, id);
        installs = p.kind == sim::UpdatePrediction::kInstalls;
        benchmark::DoNotOptimize(p.why.data());
    }
    if (!installs) state.SkipWithError("the controller's model was not chosen");
}

void BM_CheckPackage(benchmark::State& state) {
    const char* argv[] = {VNTRSETUP_SIM, "--check-package", EXAMPLE_PACKAGE, nullptr};
    double seconds = 0, peak = 0;
    for (auto _ : state) {
        bench::Timed t = bench::RunCommand(argv);
        seconds += t.wall;
        peak = std::max(peak, t.peak);
        if (t.status != 0)
            state.SkipWithError("vntrsetup-sim --check-package did not end with status 0");
    }
    state.counters["wall_ms"] = 1000 * seconds / static_cast<double>(state.iterations());
    state.counters["peak_MiB"] = peak;
}

}  // namespace

BENCHMARK(BM_PredictUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckPackage)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

BENCHMARK_MAIN();
