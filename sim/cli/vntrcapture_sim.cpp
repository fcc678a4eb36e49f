// vntrcapture-sim: runs the machine capture program's own code over a
// simulated Windows machine and prints the machine file it wrote.
#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "res/version.h"
#include "sim/cli/capture_run.h"
#include "sim/machine_file.h"
#include "sim/presets.h"

namespace {

const char kUsage[] =
    "usage: vntrcapture-sim [--machine FILE | --os 98|98se|me|95|2000|xp|2003] [options]\n"
    "\n"
    "Runs the machine capture program (the code of vntrcapture.exe) over a\n"
    "simulated Windows machine and prints the machine file it wrote, as\n"
    "vntrcapture.exe would write it there.\n"
    "\n"
    "  --machine FILE      the machine, described in TOML (see examples/machines);\n"
    "                      - reads it from standard input\n"
    "  --os NAME           a built-in machine of that Windows version with one 8E3A\n"
    "                      controller and the example package (default: xp)\n"
    "  --package DIR       host folder mounted as the driver package\n"
    "  --cwd PATH          the current directory, a Windows path\n"
    "  --command-line TEXT the capture's arguments (default none: the machine file\n"
    "                      goes to its standard output; a file name: it creates\n"
    "                      that file in the simulated machine)\n"
    "  --json              print the run as JSON: status, exit_code, output (the\n"
    "                      machine file), stderr, changes and every event\n"
    "  --version, --help   this program's version, this text\n"
    "\n"
    "Exit status: 0 the machine file was written; 1 the capture failed (its\n"
    "messages follow on standard error); 2 bad command line or machine file;\n"
    "3 the capture crashed or hung; 5 the simulator itself failed.\n";

int Usage(const std::string& problem) {
    std::cerr << "vntrcapture-sim: " << problem << "\n(see vntrcapture-sim --help)\n";
    return 2;
}

void Write(const sim::Bytes& bytes, FILE* stream) { fwrite(bytes.data(), 1, bytes.size(), stream); }

std::string Json(const sim::Outcome& o) {
    sim::json head = {{"status", o.status}, {"message", o.message}, {"exit_code", o.exit_code}};
    std::string out = head.dump(-1, ' ', false, sim::json::error_handler_t::replace);
    out.pop_back();
    out += ",\n\"output\":";
    sim::AppendJsonBytes(out, capture::Output(o));
    out += ",\n\"stderr\":";
    sim::AppendJsonBytes(out, capture::Errors(o));
    out += ",\n\"changes\":[";
    std::vector<sim::Event> changes = o.ChangeEvents();
    for (size_t i = 0; i < changes.size(); ++i) {
        if (i) out += ",\n  ";
        changes[i].AppendJson(out);
    }
    out += "],\n\"events\":[";
    for (size_t i = 0; i < o.events.size(); ++i) {
        if (i) out += ",\n  ";
        o.events[i].AppendJson(out);
    }
    out += "]}\n";
    return out;
}

int Main(int argc, char** argv) {
    static const std::map<std::string, bool> kOptions = {
        {"--machine", true}, {"--os", true},           {"--package", true},  {"--cwd", true},
        {"--json", false},   {"--command-line", true}, {"--version", false}, {"--help", false},
    };
    std::map<std::string, std::string> given;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) value = arg.substr(eq + 1), arg = arg.substr(0, eq);
        if (arg == "-h") arg = "--help";
        auto it = kOptions.find(arg);
        if (it == kOptions.end()) return Usage("unknown option '" + arg + "'");
        if (it->second && eq == std::string::npos) {
            if (i + 1 >= argc) return Usage(arg + " needs a value");
            value = argv[++i];
        } else if (!it->second && eq != std::string::npos) {
            return Usage(arg + " takes no value");
        }
        if (given.count(arg)) return Usage(arg + " is given twice");
        given[arg] = value;
    }
    if (given.count("--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (given.count("--version")) {
        std::cout << "vntrcapture-sim " << VNTR_VERSION << "\n";
        return 0;
    }
    if (given.count("--machine") && given.count("--os"))
        return Usage("give --machine or --os, not both");
    if (given.count("--os") && !sim::IsPreset(given["--os"]))
        return Usage("unknown Windows version '" + given["--os"] + "' for --os");

    sim::Overrides overrides;
    if (given.count("--cwd")) overrides.current_dir = given["--cwd"];
    if (given.count("--package")) overrides.package = given["--package"];
    sim::LoadedMachine loaded;
    try {
        loaded = given.count("--machine")
                     ? sim::LoadMachineFile(given["--machine"], overrides)
                     : sim::BuiltInMachine(given.count("--os") ? given["--os"] : "xp", overrides);
    } catch (const std::exception& e) {
        std::cerr << "vntrcapture-sim: " << e.what() << "\n";
        return 2;
    }
    for (const auto& w : loaded.warnings) std::cerr << "vntrcapture-sim: warning: " << w << "\n";

    sim::Outcome o = capture::Run(loaded.machine, given["--command-line"]);
    if (given.count("--json")) {
        std::string doc = Json(o);
        fwrite(doc.data(), 1, doc.size(), stdout);
    } else {
        Write(capture::Output(o), stdout);
    }
    Write(capture::Errors(o), stderr);
    if (o.status == "sim_failed") {
        std::cerr << "vntrcapture-sim: the simulator failed: " << o.message << "\n";
        return 5;
    }
    if (o.status != "ok") {
        std::cerr << "vntrcapture-sim: " << o.message << "\n";
        return 3;
    }
    return o.exit_code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "vntrcapture-sim: out of memory\n";
        return 5;
    }
}
