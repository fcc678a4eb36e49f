// vntrsetup-sim: runs the setup program's own code over a simulated Windows
// machine and shows what it did: every box, the trace, every change.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "res/version.h"
#include "sim/calls.h"
#include "sim/cli/batch.h"
#include "sim/cli/check_package.h"
#include "sim/cli/options.h"
#include "sim/cli/report.h"
#include "sim/codepage.h"
#include "sim/expect.h"
#include "sim/hostfiles.h"
#include "sim/locales.h"
#include "sim/machine_file.h"
#include "sim/package.h"
#include "sim/presets.h"
#include "sim/runner.h"

namespace {

const char kAbout[] =
    "usage: vntrsetup-sim [--machine FILE | --os NAME] [options]\n"
    "       vntrsetup-sim FILE [options]\n"
    "       vntrsetup-sim --batch   (one run a line of standard input, its arguments\n"
    "                               as a JSON array; each output out, RS before)\n"
    "\n"
    "Runs the Vantor CardBus controller setup program over a simulated Windows\n"
    "machine and prints every message box, every host call with its arguments and\n"
    "result, the program's trace, the changes it made, the outcome and the exit\n"
    "code. Nothing outside the simulated machine is changed: it lives in memory.\n"
    "\n";

const char kExitStatus[] =
    "\n"
    "Exit status:\n"
    "  0  the run completed (the program itself always returns 0)\n"
    "  1  --check: the run differs from [expect]; --check-package: a Windows\n"
    "     version or model is not served, or a message file lacks a message\n"
    "  2  bad command line or machine file (with --json, an error object on\n"
    "     standard output as well)\n"
    "  3  the program crashed or hung: its own work took more than 60 s (time a\n"
    "     question waits on the terminal does not count)\n"
    "  4  a Yes/No box had no answer\n"
    "  5  the simulator itself failed (out of memory, for example), or standard\n"
    "     output could not be written\n";

std::vector<cli::Option> Options() {
    std::vector<cli::Option> table = cli::kMachineOptions;
    table.insert(
        table.end(),
        {
            {"--locale", "ID", false,
             "the system default locale, hexadecimal (0407 or 0x0407),\n"
             "and with it the code page"},
            {"--command-line", "TEXT", false,
             "what the program receives as its command line (it\nignores it)"},
            {"--answer", "yes|no", true,
             "answer to the next Yes/No box; repeat for later boxes.\n"
             "Replaces the file's `answers`. When the answers run out\n"
             "the simulator asks on a terminal, and otherwise stops."},
            {"--ask", "", false, "ask every Yes/No question on the terminal instead"},
            {"--json", "", false,
             "print the run as one JSON document (byte strings with one\n"
             "character per byte, U+0000 to U+00FF)"},
            {"--check", "", false,
             "compare the run with the file's [expect] table, byte for\n"
             "byte; print both sides of each difference as the table\n"
             "writes them"},
            {"--print-expect", "", false,
             "print an [expect] table that says what the run did (none\n"
             "for a run that did not finish)"},
            {"--dump-machine", "", false,
             "print the machine, fully resolved, as JSON; run nothing"},
            {"--dump-file", "PATH", false,
             "write the bytes of the machine's file PATH (a Windows\n"
             "path, in the machine's code page) to standard output as\n"
             "the program reads them; run nothing"},
            {"--list-calls", "", false, "print the host functions the simulator implements"},
            {"--check-package", "DIR", false,
             "check the driver package in host folder DIR as Windows 98,\n"
             "98 SE, ME, 2000 and XP read it, for each controller model;\n"
             "runs no machine (with --json, as one document)"},
        });
    table.insert(table.end(), cli::kCommonOptions.begin(), cli::kCommonOptions.end());
    return table;
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

void ListCalls(std::ostream& out) {
    char line[512];
    snprintf(line, sizeof line, "%-36s %-14s %-9s %s\n", "host function", "library", "can fail",
             "records");
    out << line;
    for (size_t i = 0; i < sim::kHostCallCount; ++i) {
        const sim::HostCall& c = sim::kHostCalls[i];
        std::string fail = c.can_fail ? "yes (" + std::to_string(c.default_error) + ")" : "no";
        snprintf(line, sizeof line, "%-36s %-14s %-9s %s\n", c.name, c.library, fail.c_str(),
                 c.records);
        out << line;
    }
    out << "\nA [[faults]] entry names one of the functions that can fail; the number is the\n"
           "error a planned failure gives when the entry names none.\n";
}

// The bytes of one file of the machine, placeholders as the program reads
// them, written a block at a time: a file of 16 MiB is never held twice.
// Bytes as they are would reach a terminal's control sequences: a terminal
// is refused.
int DumpFile(cli::Tool& tool, const sim::Machine& machine, const std::string& path) {
    if (isatty(1))
        return tool.Usage(
            "--dump-file writes the file's bytes as they are: send standard "
            "output to a file or a pipe, not a terminal");
    const sim::FileSystem::Node* node =
        machine.files.Find(sim::FileSystem::Absolute(path, machine.current_dir));
    if (!node || node->dir)
        return tool.Usage("--dump-file " + sim::Visible(path, machine.codepage) +
                          ": the machine has no such file");
    std::string block(size_t{1} << 16, '\0');
    for (size_t at = 0; at < node->data.size();) {
        size_t got = node->data.Copy(at, block.size(), &block[0]);
        tool.out().write(block.data(), static_cast<std::streamsize>(got));
        at += got;
    }
    return 0;
}

// A locale identifier: hexadecimal, with or without 0x.
std::optional<uint32_t> ParseLocale(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        int d = sim::HexDigitValue(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
}

// A likely slip: a locale written in decimal (1031 for 0x0407), read as
// hexadecimal it names no locale, read as decimal it names one.
std::optional<uint32_t> DecimalLocale(const std::string& text, uint32_t read) {
    if (sim::LocaleName(read) || text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    uint32_t decimal = static_cast<uint32_t>(std::stoul(text));
    if (!sim::LocaleName(decimal)) return std::nullopt;
    return decimal;
}

// The settings the command line gives over the machine: --answer, --ask,
// --command-line and --locale (--os, --cwd and --package go with the
// machine's choice, cli::LoadMachine). Returns 0, or the exit status of a
// refusal.
int ReadOverrides(cli::Tool& tool, const cli::CommandLine& args, sim::Overrides* overrides) {
    std::vector<bool> answers;
    for (const std::string& a : args.Values("--answer")) {
        if (a != "yes" && a != "no") return tool.Usage("--answer takes yes or no, not '" + a + "'");
        answers.push_back(a == "yes");
    }
    if (!answers.empty()) overrides->answers = answers;
    if (args.Has("--ask")) {
        overrides->answers = std::vector<bool>();
        overrides->ask = true;
    }
    if (args.Has("--command-line")) overrides->command_line = args.Value("--command-line");
    if (!args.Has("--locale")) return 0;
    std::string text = args.Value("--locale");
    overrides->locale = ParseLocale(text);
    if (!overrides->locale)
        return tool.Usage(
            "--locale needs a hexadecimal locale identifier such as 0407 or 0x0407, not '" + text +
            "'");
    // The range a machine file's locale has.
    if (*overrides->locale == 0 || *overrides->locale > sim::kMaxLocale)
        return tool.Usage("--locale " + text + ": out of range (" + sim::LocaleText(1) + " to " +
                          sim::LocaleText(sim::kMaxLocale) + ")");
    if (auto decimal = DecimalLocale(text, *overrides->locale))
        tool.Warn("--locale " + text + " is read as hexadecimal, " +
                  sim::LocaleText(*overrides->locale) +
                  ", which is no locale Windows knows; did you mean " + sim::LocaleText(*decimal) +
                  " (" + sim::LocaleName(*decimal) + ")?");
    return 0;
}

// Who answers the Yes/No boxes: the command line's answers, or the file's,
// in order; on a terminal the user is asked once they run out (or for every
// box with --ask). Returns false when --ask has no terminal to ask on.
bool Answering(const cli::CommandLine& args, const sim::Machine& machine,
               sim::RunOptions* options) {
    bool from_stdin = args.Value("--machine") == "-" ||
                      (!args.Positional().empty() && args.Positional()[0] == "-");
    bool terminal = isatty(0) && isatty(2) && !from_stdin;
    if (args.Has("--ask") && !terminal) return false;
    uint32_t cp = machine.codepage;
    if (args.Has("--ask")) {
        options->answer = [cp](const sim::Event& box) { return AskTerminal(box, cp); };
    } else if (terminal) {
        std::vector<bool> list = machine.answers;
        auto next = std::make_shared<size_t>(0);
        options->answer = [list, next, cp](const sim::Event& box) -> std::optional<bool> {
            if (*next < list.size()) return list[(*next)++];
            return AskTerminal(box, cp);
        };
    }
    return true;
}

// What the machine planned and the run did not use: answers left over,
// faults that never fired.
void WarnUnused(cli::Tool& tool, const cli::CommandLine& args, const sim::LoadedMachine& loaded,
                const sim::Outcome& outcome) {
    const sim::Machine& machine = loaded.machine;
    if (!args.Has("--ask")) {
        size_t used = 0;
        outcome.EachOf(sim::Row(sim::Call::MessageBoxA).event, [&](const sim::Event& e) {
            used += e.GetStr("buttons") == "Yes/No" && e.Has("answer") && !e.IsNull("answer");
        });
        if (used < machine.answers.size())
            tool.Warn(std::to_string(machine.answers.size() - used) +
                      " answer(s) left over: the program asked fewer Yes/No questions");
    }
    if (!outcome.summary.contains("faults_not_fired") ||
        outcome.summary["faults_not_fired"].empty())
        return;
    // One look-up table of the faults' lines: a file may plan many
    // thousands of faults, and give many more settings.
    std::unordered_map<std::string, int> line_of;
    for (const auto& s : loaded.settings)
        if (s.field.rfind("faults[", 0) == 0) line_of.emplace(s.field, s.line);
    for (const auto& index : outcome.summary["faults_not_fired"]) {
        size_t i = index.get<size_t>();
        std::string where = machine.source;
        std::string field = "faults[" + std::to_string(i) + "]";
        auto line = line_of.find(field + ".call");
        if (line != line_of.end()) where += ":" + std::to_string(line->second);
        const sim::Fault& f = machine.faults[i];
        tool.Warn(where + ": " + field + ": the planned fault on " + f.call + " (call " +
                  std::to_string(f.nth) + ") never fired: the program made fewer such calls");
    }
}

// An update given an INF known only by its size and CRC-32 (a capture
// records larger files so) cannot be predicted: what the run shows after it
// is what [update] says, or made up.
void WarnUnpredictable(cli::Tool& tool, const sim::Outcome& outcome) {
    outcome.EachOf(
        sim::Row(sim::Call::UpdateDriverForPlugAndPlayDevicesA).event, [&](const sim::Event& e) {
            if (e.GetStr("inf_verdict") != "unpredictable") return;
            tool.Warn("the driver update cannot be predicted: " +
                      sim::Visible(e.GetStr("inf_why"), sim::kUtf8) +
                      (e.GetFlag("update_given")
                           ? "; the run takes what [update] says"
                           : "; the outcome is " + std::string(sim::kUnpredictableOutcome)));
        });
}

// The exit status of a run (see kExitStatus); the reason for any but a
// finished run's is said.
int StatusOf(cli::Tool& tool, const sim::Outcome& outcome) {
    if (outcome.status == "ok") return outcome.exit_code;
    if (outcome.status == "no_answer") {
        tool.Say(outcome.message + "; give more --answer yes|no or answers in the machine file");
        return 4;
    }
    if (outcome.status == "sim_failed") {
        tool.Say("the simulator failed: " + outcome.message);
        return 5;
    }
    tool.Say(outcome.message);
    return 3;
}

// --check: the run against [expect]; 1 when they differ.
int Check(cli::Tool& tool, const sim::LoadedMachine& loaded, const sim::Observed& seen,
          int status) {
    const sim::Machine& machine = loaded.machine;
    std::vector<std::string> diff = sim::Differences(*loaded.expect, seen);
    std::string where =
        sim::Visible(machine.source, sim::kUtf8) + ":" + std::to_string(loaded.expect->line);
    if (diff.empty()) {
        tool.out() << where << ": as expected (" << seen.outcome << ", " << seen.boxes.size()
                   << " boxes, " << seen.changes.size() << " changes)\n";
        return status;
    }
    tool.out() << where << ": the run differs from [expect]:\n";
    for (const auto& line : diff) tool.out() << "  " << line << "\n";
    return status == 0 ? 1 : status;
}

// The run as the mode asks: --json, --check, --print-expect, or the report.
// Returns the exit status. --check gives the run back once it has taken
// what it compares.
int Print(cli::Tool& tool, const cli::CommandLine& args, const sim::LoadedMachine& loaded,
          sim::Outcome& outcome, int status) {
    const sim::Machine& machine = loaded.machine;
    auto listed = [](const std::vector<std::string>& texts) { return sim::Dump(sim::json(texts)); };
    if (args.Has("--json")) {
        sim::WriteJsonDocument(
            tool.out(), machine, outcome,
            ",\n\"warnings\":" + listed(tool.warnings()) + ",\n\"notes\":" + listed(tool.notes()));
        tool.out() << "\n";
    } else if (args.Has("--check")) {
        sim::Observed seen = sim::Observe(machine, outcome);
        // The run's record (78 MB for 100,000 devices) goes back to the
        // system before the comparison, which may take as much again.
        outcome = sim::Outcome();
        return Check(tool, loaded, seen, status);
    } else if (args.Has("--print-expect")) {
        // A table describes a finished run; the reason this one did not
        // finish was said above, and its exit status stays.
        sim::Observed seen = sim::Observe(machine, outcome);
        if (seen.finished)
            sim::WriteExpectTable(tool.out(), seen);
        else
            tool.Say("no [expect] table written: the run did not finish (" + outcome.status +
                     "), and a table describes a finished run");
    } else {
        PrintReport(tool.out(), machine, outcome);
    }
    return status;
}

// What asks for no machine: --help, --version, --list-calls. Returns
// whether one was given.
bool About(cli::Tool& tool, const cli::CommandLine& args) {
    if (args.Has("--help"))
        tool.out() << kAbout << args.Help() << "\n" << cli::kOptionsNote << kExitStatus;
    else if (args.Has("--version"))
        tool.out() << "vntrsetup-sim " << VNTR_VERSION << "\n";
    else if (args.Has("--list-calls"))
        ListCalls(tool.out());
    else
        return false;
    return true;
}

int Main(cli::Tool& tool, int argc, char** argv) {
    cli::CommandLine args(Options());
    std::string problem = args.Parse(argc, argv);
    // Both print JSON: a refusal is JSON there too.
    tool.json = args.Has("--json") || args.Has("--dump-machine");
    if (!problem.empty()) return tool.Usage(problem);
    if (About(tool, args)) return 0;
    if (args.Has("--check-package")) {
        if (args.Has("--check") || args.Has("--print-expect") || args.Has("--dump-machine") ||
            args.Has("--machine") || !args.Positional().empty())
            return tool.Usage("--check-package runs no machine: give it alone, or with --json");
        return cli::CheckPackage(tool, args.Value("--check-package"));
    }
    int modes = args.Has("--json") + args.Has("--check") + args.Has("--print-expect") +
                args.Has("--dump-machine") + args.Has("--dump-file");
    if (modes > 1)
        return tool.Usage(
            "choose one of --json, --check, --print-expect, --dump-machine and --dump-file");
    sim::Overrides overrides;
    if (int status = ReadOverrides(tool, args, &overrides)) return status;

    // The machine and the run's record stay until the process ends: the
    // system takes them back at once, where freeing a registry of 100,000
    // keys piece by piece takes half a second. Both are held here, so that
    // no leak check counts them as lost.
    static sim::LoadedMachine* const kept_machine = new sim::LoadedMachine;
    static sim::Outcome* const kept_outcome = new sim::Outcome;
    sim::LoadedMachine& loaded = *kept_machine;
    if (int status = cli::LoadMachine(tool, args, overrides, &loaded)) return status;
    if (args.Has("--dump-machine")) {
        sim::WriteMachineDump(tool.out(), loaded);
        tool.out() << "\n";
        return 0;
    }
    if (args.Has("--dump-file")) return DumpFile(tool, loaded.machine, args.Value("--dump-file"));
    if (args.Has("--check") && !loaded.expect)
        return tool.Usage(loaded.machine.source +
                          " has no [expect] table to check the run against");
    sim::RunOptions options;
    options.summary_registry = args.Has("--json");  // the text report does not show it
    if (!Answering(args, loaded.machine, &options))
        return tool.Usage("--ask needs a terminal to ask on");

    sim::Outcome& outcome = *kept_outcome;
    outcome = sim::Run(loaded.machine, options);
    WarnUnused(tool, args, loaded, outcome);
    WarnUnpredictable(tool, outcome);
    return Print(tool, args, loaded, outcome, StatusOf(tool, outcome));
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away is seen as EPIPE on the next write.
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::string(argv[1]) == "--batch") return cli::RunBatch("vntrsetup-sim", Main);
    cli::Tool tool("vntrsetup-sim");
    return cli::RunMain(tool, Main, argc, argv);
}
