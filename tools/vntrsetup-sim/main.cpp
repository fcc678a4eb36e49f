// vntrsetup-sim: runs the setup program's own code over a simulated Windows
// machine and shows what it did: every box, the trace, every change.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "host/sim/machine_file.h"
#include "host/sim/presets.h"
#include "host/sim/runner.h"
#include "tools/vntrsetup-sim/report.h"

namespace {

const char kUsage[] =
    "usage: vntrsetup-sim [--machine FILE | --os 98|98se|me|95|2000|xp|2003]\n"
    "                     [--package DIR] [--cwd PATH] [--locale 0xNNNN]\n"
    "                     [--answer yes|no]... [--json] [--help]\n"
    "\n"
    "Runs the Vantor CardBus controller setup program over a simulated Windows\n"
    "machine and prints every message box, the program's trace, the changes it\n"
    "made to the machine and its exit code. Nothing outside the simulated\n"
    "machine is changed: the machine lives in memory.\n"
    "\n"
    "  --machine FILE   the machine, described in TOML (see examples/machines)\n"
    "  --os NAME        a built-in machine of that Windows version with one\n"
    "                   8E3A controller (default: xp)\n"
    "  --package DIR    host folder mounted as the driver package in the current\n"
    "                   directory (default: the example package)\n"
    "  --cwd PATH       the program's current directory, a Windows path\n"
    "                   (default C:\\VNTR, or the machine file's)\n"
    "  --locale 0xNNNN  the system default locale identifier (default 0x0409)\n"
    "  --answer yes|no  answer to the next Yes/No box; repeat for later boxes.\n"
    "                   Without answers the simulator asks on a terminal, and\n"
    "                   otherwise uses the machine's answers. OK boxes need none.\n"
    "  --json           print the run as one JSON document (byte strings are\n"
    "                   given with one character per byte, U+0000 to U+00FF)\n"
    "  --help           this text\n"
    "\n"
    "Exit status: the program's exit code (always 0); 2 for a bad command line\n"
    "or machine file, or a Yes/No box with no answer left; 3 when the program\n"
    "crashed or hung.\n";

int Usage(const std::string& problem) {
    std::cerr << "vntrsetup-sim: " << problem << "\n(see vntrsetup-sim --help)\n";
    return 2;
}

// Asks on the terminal; stdin and stderr are the user's even while the
// program's own standard output is being captured.
std::optional<bool> AskTerminal(const sim::json& box) {
    std::cerr << "\n" << DescribeBox(box) << "\n";
    while (true) {
        std::cerr << "        Yes or No? [y/n] " << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) return std::nullopt;
        if (line == "y" || line == "Y" || line == "yes" || line == "Yes") return true;
        if (line == "n" || line == "N" || line == "no" || line == "No") return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> machine_file, os, package, cwd;
    std::optional<uint32_t> locale;
    std::vector<bool> answers;
    bool as_json = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            (void)name;
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--json") {
            as_json = true;
        } else if (arg == "--machine" || arg == "--os" || arg == "--package" || arg == "--cwd" ||
                   arg == "--locale" || arg == "--answer") {
            auto v = value(arg.c_str());
            if (!v) return Usage(arg + " needs a value");
            if (arg == "--machine") machine_file = v;
            if (arg == "--os") {
                if (!sim::IsPreset(*v))
                    return Usage("unknown Windows version '" + *v + "' for --os");
                os = v;
            }
            if (arg == "--package") package = v;
            if (arg == "--cwd") {
                std::string abs = sim::FileSystem::Absolute(*v, "");
                if (abs.empty() || v->size() < 3 || (*v)[1] != ':' || (*v)[2] != '\\')
                    return Usage("--cwd needs an absolute Windows path such as C:\\VNTR, not '" +
                                 *v + "'");
                cwd = abs;
            }
            if (arg == "--locale") {
                try {
                    size_t used = 0;
                    unsigned long n = std::stoul(*v, &used, 0);
                    if (used != v->size() || n > 0xFFFFFFFFul) throw std::invalid_argument("");
                    locale = static_cast<uint32_t>(n);
                } catch (const std::exception&) {
                    return Usage("--locale needs a number such as 0x0409, not '" + *v + "'");
                }
            }
            if (arg == "--answer") {
                if (*v != "yes" && *v != "no")
                    return Usage("--answer takes yes or no, not '" + *v + "'");
                answers.push_back(*v == "yes");
            }
        } else {
            return Usage("unknown argument '" + arg + "'");
        }
    }
    if (machine_file && os) return Usage("give --machine or --os, not both");

    sim::Machine machine;
    try {
        if (machine_file) {
            machine = sim::LoadMachineFile(*machine_file);
        } else {
            machine = sim::PresetMachine(os.value_or("xp"));
            machine.name = "Windows " + os.value_or("xp") + " with one 8E3A controller";
            machine.current_dir = "C:\\VNTR";
            sim::AddController(machine);
            machine.answers = {true};
            if (!cwd && !package)
                sim::MountPackage(machine, sim::DefaultPackageDir(), machine.current_dir);
        }
        if (cwd) machine.current_dir = *cwd;
        if (cwd || package) {
            sim::MountPackage(machine, package ? *package : sim::DefaultPackageDir(),
                              machine.current_dir);
        }
        if (locale) machine.locale = *locale;
    } catch (const sim::MachineError& e) {
        std::cerr << "vntrsetup-sim: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vntrsetup-sim: " << e.what() << "\n";
        return 2;
    }

    sim::RunOptions options;
    bool from_list = !answers.empty();
    if (from_list) {
        machine.answers = answers;
    } else if (isatty(0) && isatty(2)) {
        options.answer = AskTerminal;
        from_list = false;
    } else {
        from_list = true;
    }

    sim::Outcome outcome = sim::Run(machine, options);

    std::vector<std::string> warnings;
    if (from_list) {
        size_t used = 0;
        for (const auto& b : outcome.Boxes())
            if (b.value("buttons", "") == "Yes/No" && !b["answer"].is_null()) ++used;
        if (used < machine.answers.size())
            warnings.push_back(std::to_string(machine.answers.size() - used) +
                               " answer(s) left over: the program asked fewer Yes/No questions");
    }

    if (as_json) {
        sim::json doc = sim::ToJson(machine, outcome);
        doc["warnings"] = warnings;
        std::cout << doc.dump(2, ' ', false, sim::json::error_handler_t::replace) << "\n";
    } else {
        PrintReport(std::cout, machine, outcome, warnings);
    }
    if (outcome.status == "no_answer") {
        std::cerr << "vntrsetup-sim: " << outcome.message
                  << "; give more --answer yes|no or answers in the machine file\n";
        return 2;
    }
    if (outcome.status != "ok") {
        std::cerr << "vntrsetup-sim: " << outcome.message << "\n";
        return 3;
    }
    return outcome.exit_code;
}
