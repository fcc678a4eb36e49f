// vntrcapture-sim: runs the machine capture program's own code over a
// simulated Windows machine and prints the machine file it wrote.
#include <signal.h>

#include <iostream>
#include <string>
#include <vector>

#include "res/version.h"
#include "sim/cli/capture_run.h"
#include "sim/cli/options.h"
#include "sim/codepage.h"
#include "sim/machine_file.h"

namespace {

const char kAbout[] =
    "usage: vntrcapture-sim [--machine FILE | --os NAME] [options]\n"
    "       vntrcapture-sim FILE [options]\n"
    "\n"
    "Runs the machine capture program (the code of vntrcapture.exe) over a\n"
    "simulated Windows machine and prints the machine file it wrote, as\n"
    "vntrcapture.exe would write it there.\n"
    "\n";

const char kExitStatus[] =
    "\n"
    "Exit status: 0 the machine file was written; 1 the capture failed (its\n"
    "messages follow on standard error); 2 bad command line or machine file\n"
    "(with --json, an error object on standard output as well); 3 the capture\n"
    "crashed or hung; 5 the simulator itself failed, or standard output could\n"
    "not be written.\n";

std::vector<cli::Option> Options() {
    std::vector<cli::Option> table = cli::kMachineOptions;
    table.insert(table.end(), {
                                  {"--command-line", "TEXT", false,
                                   "the capture's arguments (default none: the machine file\n"
                                   "goes to its standard output; a file name: it creates\n"
                                   "that file in the simulated machine)"},
                                  {"--json", "", false,
                                   "print the run as JSON: status, exit_code, output (the\n"
                                   "machine file), stderr, changes and every event"},
                              });
    table.insert(table.end(), cli::kCommonOptions.begin(), cli::kCommonOptions.end());
    return table;
}

std::string Json(const sim::Outcome& o, const cli::Tool& tool) {
    sim::json head = {{"status", o.status},
                      {"message", o.message},
                      {"exit_code", o.exit_code},
                      {"warnings", tool.warnings()},
                      {"notes", tool.notes()}};
    std::string out = sim::Dump(head);
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

int Main(cli::Tool& tool, int argc, char** argv) {
    cli::CommandLine args(Options());
    std::string problem = args.Parse(argc, argv);
    tool.json = args.Has("--json");
    if (!problem.empty()) return tool.Usage(problem);
    if (args.Has("--help")) {
        tool.out() << kAbout << args.Help() << "\n" << cli::kOptionsNote << kExitStatus;
        return 0;
    }
    if (args.Has("--version")) {
        tool.out() << "vntrcapture-sim " << VNTR_VERSION << "\n";
        return 0;
    }

    sim::Overrides overrides;
    // Read as setup.exe's would be (the machine's code page, Windows' length),
    // but only from the command line: a file's `command_line` is setup.exe's.
    if (args.Has("--command-line")) overrides.command_line = args.Value("--command-line");
    sim::LoadedMachine loaded;
    if (int status = cli::LoadMachine(tool, args, overrides, &loaded)) return status;

    std::string command_line = args.Has("--command-line") ? loaded.machine.command_line : "";
    sim::Outcome o = capture::Run(loaded.machine, command_line);
    if (tool.json)
        tool.out() << Json(o, tool);
    else
        tool.out() << capture::Output(o);
    // The capture's own messages, a line each, shown as the report shows texts.
    sim::Bytes errors = capture::Errors(o);
    for (size_t start = 0; start < errors.size();) {
        size_t end = errors.find('\n', start);
        if (end == std::string::npos) end = errors.size();
        size_t text_end = end > start && errors[end - 1] == '\r' ? end - 1 : end;
        std::cerr << sim::Visible(errors.substr(start, text_end - start), loaded.machine.codepage)
                  << "\n";
        start = end + 1;
    }
    if (o.status == "sim_failed") {
        tool.Say("the simulator failed: " + o.message);
        return 5;
    }
    if (o.status != "ok") {
        tool.Say(o.message);
        return 3;
    }
    return o.exit_code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away is seen as EPIPE on the next write.
    signal(SIGPIPE, SIG_IGN);
    cli::Tool tool("vntrcapture-sim");
    return cli::RunMain(tool, Main, argc, argv);
}
