// vntrsetup-sim: runs the setup program's own code over a simulated Windows
// machine and shows what it did: every box, the trace, every change.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "res/version.h"
#include "sim/calls.h"
#include "sim/cli/report.h"
#include "sim/expect.h"
#include "sim/hostfiles.h"
#include "sim/machine_file.h"
#include "sim/presets.h"
#include "sim/runner.h"

namespace {

const char kUsage[] =
    "usage: vntrsetup-sim [--machine FILE | --os 98|98se|me|95|2000|xp|2003] [options]\n"
    "       vntrsetup-sim FILE [options]\n"
    "\n"
    "Runs the Vantor CardBus controller setup program over a simulated Windows\n"
    "machine and prints every message box, every host call with its arguments and\n"
    "result, the program's trace, the changes it made, the outcome and the exit\n"
    "code. Nothing outside the simulated machine is changed: it lives in memory.\n"
    "\n"
    "  --machine FILE      the machine, described in TOML (see examples/machines);\n"
    "                      - reads it from standard input\n"
    "  --os NAME           a built-in machine of that Windows version with one 8E3A\n"
    "                      controller and the example package (default: xp)\n"
    "  --package DIR       host folder mounted as the driver package, replacing the\n"
    "                      machine's (the file's `[package] omit` still applies)\n"
    "  --cwd PATH          the program's current directory, a Windows path; the\n"
    "                      package moves with it unless the file puts it elsewhere\n"
    "  --locale ID         the system default locale, hexadecimal (0407 or 0x0407)\n"
    "  --command-line TEXT what the program receives as its command line (it\n"
    "                      ignores it)\n"
    "  --answer yes|no     answer to the next Yes/No box; repeat for later boxes.\n"
    "                      Replaces the file's `answers`. When the answers run out\n"
    "                      the simulator asks on a terminal, and otherwise stops.\n"
    "  --ask               ask every Yes/No question on the terminal instead\n"
    "  --json              print the run as one JSON document (byte strings with one\n"
    "                      character per byte, U+0000 to U+00FF)\n"
    "  --check             compare the run with the file's [expect] table; print the\n"
    "                      differences\n"
    "  --print-expect      print an [expect] table that says what the run did\n"
    "  --dump-machine      print the machine, fully resolved, as JSON; run nothing\n"
    "  --list-calls        print the host functions the simulator implements\n"
    "  --version, --help   this program's version, this text\n"
    "\n"
    "Options take their value as --opt VALUE or --opt=VALUE; -- ends the options.\n"
    "Warnings and errors go to standard error.\n"
    "\n"
    "Exit status:\n"
    "  0  the run completed (the program itself always returns 0)\n"
    "  1  --check: the run differs from [expect]\n"
    "  2  bad command line or machine file\n"
    "  3  the program crashed or hung\n"
    "  4  a Yes/No box had no answer\n"
    "  5  the simulator itself failed (out of memory, for example)\n";

int Usage(const std::string& problem) {
    std::cerr << "vntrsetup-sim: " << problem << "\n(see vntrsetup-sim --help)\n";
    return 2;
}

// Asks on the terminal; stdin and stderr are the user's even while the
// program's own standard output is being captured.
std::optional<bool> AskTerminal(const sim::Event& box, uint32_t codepage) {
    std::cerr << "\n" << DescribeBox(box, codepage) << "\n";
    while (true) {
        std::cerr << "        Yes or No? [y/n] " << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) return std::nullopt;
        if (line == "y" || line == "Y" || line == "yes" || line == "Yes") return true;
        if (line == "n" || line == "N" || line == "no" || line == "No") return false;
    }
}

void ListCalls() {
    printf("%-36s %-14s %-9s %s\n", "host function", "library", "can fail", "records");
    for (size_t i = 0; i < sim::kHostCallCount; ++i) {
        const sim::HostCall& c = sim::kHostCalls[i];
        std::string fail = c.can_fail ? "yes (" + std::to_string(c.default_error) + ")" : "no";
        printf("%-36s %-14s %-9s %s\n", c.name, c.library, fail.c_str(), c.records);
    }
    printf(
        "\nA [[faults]] entry names one of the functions that can fail; the number is the\n"
        "error a planned failure gives when the entry names none.\n");
}

struct Options {
    std::map<std::string, std::string> single;  // option -> value
    std::vector<bool> answers;
    std::vector<std::string> positional;
};

// The options and whether each takes a value; only --answer may repeat.
const std::map<std::string, bool> kOptions = {
    {"--machine", true},       {"--os", true},
    {"--package", true},       {"--cwd", true},
    {"--locale", true},        {"--command-line", true},
    {"--answer", true},        {"--ask", false},
    {"--json", false},         {"--check", false},
    {"--print-expect", false}, {"--dump-machine", false},
    {"--list-calls", false},   {"--version", false},
    {"--help", false},
};

// Parses the command line; an error message, or "" when it is sound.
std::string Parse(int argc, char** argv, Options* o) {
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            o->positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "-h") arg = "--help";
        std::optional<std::string> value;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        auto it = kOptions.find(arg);
        if (it == kOptions.end()) return "unknown option '" + arg + "'";
        if (!it->second && value) return arg + " takes no value";
        if (it->second && !value) {
            if (i + 1 >= argc) return arg + " needs a value";
            value = argv[++i];
        }
        if (arg == "--answer") {
            if (*value != "yes" && *value != "no")
                return "--answer takes yes or no, not '" + *value + "'";
            o->answers.push_back(*value == "yes");
            continue;
        }
        if (o->single.count(arg)) return arg + " is given twice";
        o->single[arg] = value.value_or("");
    }
    if (o->positional.size() > 1) return "more than one machine file given";
    if (!o->positional.empty()) {
        if (o->single.count("--machine")) return "the machine file is given twice";
        o->single["--machine"] = o->positional[0];
    }
    if (o->single.count("--machine") && o->single.count("--os"))
        return "give --machine or --os, not both";
    int modes =
        static_cast<int>(o->single.count("--json") + o->single.count("--check") +
                         o->single.count("--print-expect") + o->single.count("--dump-machine"));
    if (modes > 1) return "choose one of --json, --check, --print-expect and --dump-machine";
    return "";
}

// A locale identifier: hexadecimal, with or without 0x.
std::optional<uint32_t> ParseLocale(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        int d = isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : c >= 'a' && c <= 'f'                 ? c - 'a' + 10
                : c >= 'A' && c <= 'F'                 ? c - 'A' + 10
                                                       : -1;
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
}

int Main(int argc, char** argv) {
    Options o;
    std::string problem = Parse(argc, argv, &o);
    if (!problem.empty()) return Usage(problem);
    auto has = [&](const char* name) { return o.single.count(name) > 0; };
    if (has("--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (has("--version")) {
        std::cout << "vntrsetup-sim " << VNTR_VERSION << "\n";
        return 0;
    }
    if (has("--list-calls")) {
        ListCalls();
        return 0;
    }

    sim::Overrides overrides;
    if (has("--cwd")) overrides.current_dir = o.single["--cwd"];
    if (has("--package")) overrides.package = o.single["--package"];
    if (has("--command-line")) overrides.command_line = o.single["--command-line"];
    if (has("--locale")) {
        overrides.locale = ParseLocale(o.single["--locale"]);
        if (!overrides.locale)
            return Usage(
                "--locale needs a hexadecimal locale identifier such as 0407 or "
                "0x0407, not '" +
                o.single["--locale"] + "'");
    }
    if (has("--os") && !sim::IsPreset(o.single["--os"]))
        return Usage("unknown Windows version '" + o.single["--os"] + "' for --os");

    sim::LoadedMachine loaded;
    try {
        loaded =
            has("--machine")
                ? sim::LoadMachineFile(o.single["--machine"], overrides)
                : sim::BuiltInMachine(o.single.count("--os") ? o.single["--os"] : "xp", overrides);
    } catch (const std::bad_alloc&) {
        std::cerr << "vntrsetup-sim: out of memory while reading the machine\n";
        return 5;
    } catch (const std::exception& e) {
        std::cerr << "vntrsetup-sim: " << e.what() << "\n";
        return 2;
    }
    sim::Machine& machine = loaded.machine;
    for (const auto& w : loaded.warnings) std::cerr << "vntrsetup-sim: warning: " << w << "\n";

    if (has("--dump-machine")) {
        std::cout << sim::DumpMachine(loaded).dump(2, ' ', false,
                                                   sim::json::error_handler_t::replace)
                  << "\n";
        return 0;
    }
    if (has("--check") && !loaded.expect)
        return Usage(machine.source + " has no [expect] table to check the run against");

    // Answers: the command line's, or the file's, in order; on a terminal
    // the user is asked once they run out (or for every box with --ask).
    if (!o.answers.empty()) machine.answers = o.answers;
    bool terminal = isatty(0) && isatty(2) && o.single["--machine"] != "-";
    if (has("--ask") && !terminal) return Usage("--ask needs a terminal to ask on");
    sim::RunOptions options;
    options.summary_registry = has("--json");  // the text report does not show it
    uint32_t cp = machine.codepage;
    if (has("--ask")) {
        options.answer = [cp](const sim::Event& box) { return AskTerminal(box, cp); };
    } else if (terminal) {
        std::vector<bool> list = machine.answers;
        auto next = std::make_shared<size_t>(0);
        options.answer = [list, next, cp](const sim::Event& box) -> std::optional<bool> {
            if (*next < list.size()) return list[(*next)++];
            return AskTerminal(box, cp);
        };
    }

    sim::Outcome outcome = sim::Run(machine, options);

    std::vector<std::string> warnings;
    if (!has("--ask")) {
        size_t used = 0;
        for (size_t i = 0; i < outcome.events.size(); ++i) {
            if (outcome.events.TypeAt(i) != "box") continue;
            sim::Event e = outcome.events[i];
            if (e.GetStr("buttons") == "Yes/No" && e.Has("answer") && !e.IsNull("answer")) ++used;
        }
        if (used < machine.answers.size())
            warnings.push_back(std::to_string(machine.answers.size() - used) +
                               " answer(s) left over: the program asked fewer Yes/No questions");
    }
    if (outcome.summary.contains("faults_not_fired")) {
        // One look-up table: a file may plan many thousands of faults.
        std::unordered_map<std::string, int> line_of;
        for (const auto& s : loaded.settings) line_of.emplace(s.field, s.line);
        for (const auto& index : outcome.summary["faults_not_fired"]) {
            size_t i = index.get<size_t>();
            std::string where = machine.source;
            std::string field = "faults[" + std::to_string(i) + "]";
            auto line = line_of.find(field + ".call");
            if (line != line_of.end()) where += ":" + std::to_string(line->second);
            const sim::Fault& f = machine.faults[i];
            warnings.push_back(where + ": " + field + ": the planned fault on " + f.call +
                               " (call " + std::to_string(f.nth) +
                               ") never fired: the program made fewer such calls");
        }
    }
    for (const auto& w : warnings) std::cerr << "vntrsetup-sim: warning: " << w << "\n";

    int status = 0;
    if (outcome.status == "no_answer") {
        std::cerr << "vntrsetup-sim: " << outcome.message
                  << "; give more --answer yes|no or answers in the machine file\n";
        status = 4;
    } else if (outcome.status == "sim_failed") {
        std::cerr << "vntrsetup-sim: the simulator failed: " << outcome.message << "\n";
        status = 5;
    } else if (outcome.status != "ok") {
        std::cerr << "vntrsetup-sim: " << outcome.message << "\n";
        status = 3;
    } else {
        status = outcome.exit_code;
    }

    if (has("--json")) {
        std::string doc = sim::JsonDocument(machine, outcome);
        doc.pop_back();
        doc += ",\n\"warnings\":";
        sim::json all = loaded.warnings;
        for (const auto& w : warnings) all.push_back(w);
        doc += all.dump(-1, ' ', false, sim::json::error_handler_t::replace) + "}\n";
        fwrite(doc.data(), 1, doc.size(), stdout);
    } else if (has("--check")) {
        sim::Observed seen = sim::Observe(machine, outcome);
        std::vector<std::string> diff = sim::Differences(*loaded.expect, seen);
        std::string where = machine.source + ":" + std::to_string(loaded.expect->line);
        if (diff.empty()) {
            std::cout << where << ": as expected (" << seen.outcome << ", " << seen.boxes.size()
                      << " boxes, " << seen.changes.size() << " changes)\n";
        } else {
            std::cout << where << ": the run differs from [expect]:\n";
            for (const auto& line : diff) std::cout << "  " << line << "\n";
            if (status == 0) status = 1;
        }
    } else if (has("--print-expect")) {
        std::cout << sim::ExpectTable(sim::Observe(machine, outcome));
    } else {
        PrintReport(std::cout, machine, outcome);
    }
    std::cout.flush();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "vntrsetup-sim: out of memory\n";
        return 5;
    }
}
