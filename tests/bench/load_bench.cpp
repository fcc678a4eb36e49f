// Loading and running large machines: 1,000 to 100,000 registry keys,
// values, controller keys or present devices. BM_LoadAndRun times each phase
// in-process (the machine file read, the run in its child process, the JSON
// document, the text report, the machine's dump); BM_Command runs
// vntrsetup-sim itself on such a file, as a user would, and reports its time
// and its peak resident memory (the largest of its processes). Built with the
// native build and run by hand; it is no test:
//   build/native/load_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
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
    double load = 0, run = 0, json = 0, report = 0, dump = 0;
    size_t events = 0, record = 0;
    for (auto _ : state) {
        auto mark = std::chrono::steady_clock::now();
        sim::LoadedMachine loaded = sim::ParseMachine(text, "bench.toml");
        load += Since(mark);
        sim::Outcome o = sim::Run(loaded.machine, {}, 600);
        run += Since(mark);
        if (o.status != "ok") state.SkipWithError(o.message.c_str());
        std::ofstream null("/dev/null");
        sim::WriteJsonDocument(null, loaded.machine, o);
        json += Since(mark);
        PrintReport(null, loaded.machine, o);
        report += Since(mark);
        sim::WriteMachineDump(null, loaded);
        dump += Since(mark);
        events = o.events.size();
        record = o.events.bytes();
    }
    double iterations = static_cast<double>(state.iterations());
    state.counters["load_s"] = load / iterations;
    state.counters["run_s"] = run / iterations;
    state.counters["json_s"] = json / iterations;
    state.counters["report_s"] = report / iterations;
    state.counters["dump_s"] = dump / iterations;
    state.counters["events"] = static_cast<double>(events);
    state.counters["record_MB"] = static_cast<double>(record) / 1e6;
    state.SetComplexityN(n);
}

// vntrsetup-sim on the machine file, its output thrown away: the text
// report (mode 0), --json (1) or --dump-machine (2).
void BM_Command(benchmark::State& state) {
    Kind kind = static_cast<Kind>(state.range(0));
    int n = static_cast<int>(state.range(1));
    const char* mode = state.range(2) == 1 ? "--json" : state.range(2) == 2 ? "--dump-machine" : "";
    char path[] = "/tmp/load_bench_XXXXXX.toml";
    int fd = mkstemps(path, 5);
    std::string text = MachineText(kind, n);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        state.SkipWithError("cannot write the machine file");
        return;
    }
    close(fd);
    double seconds = 0, peak = 0;
    for (auto _ : state) {
        auto mark = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            const char* argv[] = {VNTRSETUP_SIM, path, *mode ? mode : nullptr, nullptr};
            execv(VNTRSETUP_SIM, const_cast<char**>(argv));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        seconds += Since(mark);
        peak = std::max(peak, static_cast<double>(usage.ru_maxrss) / 1024);  // KiB -> MiB
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("vntrsetup-sim did not end with status 0");
    }
    unlink(path);
    state.counters["wall_s"] = seconds / static_cast<double>(state.iterations());
    state.counters["peak_MiB"] = peak;
}

}  // namespace

BENCHMARK(BM_LoadAndRun)
    ->ArgNames({"kind", "n"})
    ->ArgsProduct({{kKeys, kControllerKeys, kValues, kDevices}, {1000, 10000, 100000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

BENCHMARK(BM_Command)
    ->ArgNames({"kind", "n", "mode"})
    ->ArgsProduct({{kKeys, kControllerKeys, kValues, kDevices}, {10000, 100000}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

BENCHMARK_MAIN();
