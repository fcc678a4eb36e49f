// Loading and running large machines: 1,000 to 100,000 registry keys,
// values, controller keys or present devices. BM_LoadAndRun times each phase
// in-process (the machine file read, the run in its child process, the JSON
// document, the text report, the machine's dump); BM_Command runs
// vntrsetup-sim itself on such a file, as a user would, and reports its wall
// and CPU time (the median of its runs) and its peak resident memory (the
// largest of its processes, in any run). Built with the native build and run
// by hand; it is no test:
//   build/native/load_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/cli/report.h"
#include "sim/machine_file.h"
#include "sim/runner.h"
#include "tests/bench/command.h"

namespace {

enum Kind { kKeys, kControllerKeys, kValues, kDevices, kPackage };

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
            case kPackage:  // its entries are the package folder's (BM_Command)
                return s.str();
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

// The modes of vntrsetup-sim, each timed by BM_Command.
enum Mode { kReport, kJson, kDump, kCheck, kPrintExpect, kModes };
const char* const kModeOptions[kModes] = {nullptr, "--json", "--dump-machine", "--check",
                                          "--print-expect"};

// vntrsetup-sim's standard output for `args` (a machine file first).
std::string Output(const std::vector<std::string>& args) {
    std::string command = VNTRSETUP_SIM;
    for (const std::string& a : args) command += " '" + a + "'";
    std::string out;
    if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[1 << 16];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

// An [expect] table for the machine file at `path` with every other item
// wrong (boxes, changes, trace lines), as --check meets it at its worst:
// half of 400,000 trace lines on 100,000 devices.
std::string HalfWrongExpectation(const std::string& path) {
    std::istringstream table(Output({path, "--print-expect"}));
    std::string out, line;
    bool wrong = false;
    while (std::getline(table, line)) {
        bool item = line.rfind("    '", 0) == 0 || line.rfind("    \"", 0) == 0;
        if (item && (wrong = !wrong)) line.insert(5, "NOT ");
        out += line + "\n";
    }
    return out;
}

// A package folder of `n` entries (the most one may hold is 100,000):
// folders of 999 files of 1 KiB each; its path. Made once for every mode
// that mounts it (100,000 files take minutes to write), removed at exit.
const std::string& PackageFolder(int n) {
    struct Folders {
        std::map<int, std::string> made;
        ~Folders() {
            for (const auto& [count, dir] : made) std::filesystem::remove_all(dir);
        }
    };
    static Folders folders;
    std::string& dir = folders.made[n];
    if (!dir.empty()) return dir;
    char name[] = "/tmp/load_bench_package_XXXXXX";
    if (!mkdtemp(name)) return dir;
    dir = name;
    std::string block(1024, 'x');
    for (int i = 0; i < n; ++i) {
        std::string sub = dir + "/D" + std::to_string(i / 1000);
        if (i % 1000 == 0)
            mkdir(sub.c_str(), 0700);
        else
            std::ofstream(sub + "/F" + std::to_string(i) + ".BIN") << block;
    }
    return dir;
}

// The middle of `values` (3 runs: the one between the others).
double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// vntrsetup-sim on the machine file, its output thrown away, as a user runs
// it: each mode of kModeOptions; kind kPackage is the package folder of n
// files mounted with --package on a machine of one controller.
void BM_Command(benchmark::State& state) {
    Kind kind = static_cast<Kind>(state.range(0));
    int n = static_cast<int>(state.range(1));
    Mode mode = static_cast<Mode>(state.range(2));
    char path[] = "/tmp/load_bench_XXXXXX.toml";
    int fd = mkstemps(path, 5);
    std::string text = kind == kPackage ? "os = 'xp'\nanswers = ['yes']\n[[devices]]\nids = "
                                          "['PCI\\VEN_C4B9&DEV_8E3A']\n"
                                        : MachineText(kind, n);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        state.SkipWithError("cannot write the machine file");
        return;
    }
    close(fd);
    std::vector<const char*> argv = {VNTRSETUP_SIM, path};
    if (kind == kPackage) {
        argv.push_back("--package");
        argv.push_back(PackageFolder(n).c_str());
    }
    if (mode == kCheck) std::ofstream(path, std::ios::app) << HalfWrongExpectation(path);
    if (kModeOptions[mode]) argv.push_back(kModeOptions[mode]);
    argv.push_back(nullptr);
    std::vector<double> seconds, cpu;
    double peak = 0;
    for (auto _ : state) {
        bench::Timed t = bench::RunCommand(argv.data());
        seconds.push_back(t.wall);
        cpu.push_back(t.cpu);
        peak = std::max(peak, t.peak);
        // --check finds the differences it was given: status 1.
        if (t.status != (mode == kCheck ? 1 : 0))
            state.SkipWithError("vntrsetup-sim did not end with the status expected");
    }
    unlink(path);
    state.counters["wall_s"] = Median(seconds);
    state.counters["cpu_s"] = Median(cpu);
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
    ->ArgsProduct({{kKeys, kControllerKeys, kValues, kDevices, kPackage},
                   {10000, 100000},
                   {kReport, kJson, kDump, kCheck, kPrintExpect}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

BENCHMARK_MAIN();
