// What the simulator's two front ends (vntrsetup-sim, vntrcapture-sim)
// share: one command-line parser, one checked standard output, one way to
// refuse, warn and fail, and the choice of the machine to run.
#ifndef VNTR_SIM_CLI_OPTIONS_H
#define VNTR_SIM_CLI_OPTIONS_H

#include <map>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "sim/machine_file.h"

namespace cli {

// One option of a front end.
struct Option {
    std::string name;   // "--machine"
    std::string value;  // what it takes, as the help names it ("FILE"); "" for none
    bool repeats;       // may be given more than once (else twice is an error)
    std::string help;   // lines of the help text, "\n" between them
};

// The options that choose the machine, the same in both front ends.
extern const std::vector<Option> kMachineOptions;
// --version and --help (with -h), which every front end takes.
extern const std::vector<Option> kCommonOptions;

// A command line read against a table of options: --opt VALUE and
// --opt=VALUE; -- ends the options; "-" and words that do not start with a
// dash are positional; names are matched whole, never abbreviated.
class CommandLine {
   public:
    explicit CommandLine(std::vector<Option> table) : table_(std::move(table)) {}

    // Reads argv[1..]; "" when it is sound, otherwise the first problem.
    // Reading goes on past a problem, so that Has("--json") still tells
    // whether the answer is wanted as JSON.
    std::string Parse(int argc, char** argv);

    bool Has(const std::string& name) const { return given_.count(name) > 0; }
    // The value of an option given once ("" when it is not given).
    std::string Value(const std::string& name) const;
    // Every value of a repeating option, in order.
    std::vector<std::string> Values(const std::string& name) const;
    const std::vector<std::string>& Positional() const { return positional_; }

    // The table as the help shows it: one option a line, its help beside.
    std::string Help() const;

   private:
    const Option* Find(const std::string& name) const;

    std::vector<Option> table_;
    std::map<std::string, std::vector<std::string>> given_;
    std::vector<std::string> positional_;
};

// A checked output: what is written to it is buffered and sent with
// write(2); the first failure is kept and everything after it dropped.
// Close() flushes, closes and tells whether everything arrived.
class Output : public std::streambuf {
   public:
    Output(int fd, std::string name);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    std::ostream& stream() { return stream_; }
    const std::string& name() const { return name_; }
    // 0 when everything written so far has arrived, else the errno of the
    // first failure (EPIPE: the reader went away).
    int error() const { return error_; }
    // Flushes and closes; the errno of the first failure, or 0.
    int Close();

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int sync() override;

   private:
    void Send(const char* data, size_t size);

    int fd_;
    std::string name_;
    int error_ = 0;
    bool closed_ = false;
    char buffer_[1 << 16];
    std::ostream stream_;
};

// A front end's voice. Every message that reaches standard error names the
// program and shows any text it quotes through sim::Visible; with --json,
// a refusal also prints an error object on standard output, so that the
// output always parses.
class Tool {
   public:
    // Its standard output is `fd` (closed by Finish).
    explicit Tool(const char* program, int fd = 1);

    const char* program() const { return program_; }
    std::ostream& out() { return stdout_.stream(); }
    bool json = false;
    // Every warning and note given, as it was given (the JSON documents
    // list them).
    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::vector<std::string>& notes() const { return notes_; }

    // "PROGRAM: TEXT" on standard error.
    void Say(const std::string& text) const;
    // "PROGRAM: warning: TEXT" on standard error.
    void Warn(const std::string& text);
    // "PROGRAM: note: TEXT" on standard error: what an option did that the
    // user asked for but may not have known of (what it replaced).
    void Note(const std::string& text);
    // A bad command line: the problem, "(see PROGRAM --help)", and with
    // --json the error object; returns 2.
    int Usage(const std::string& problem);
    // A machine file (or other input) it cannot take: the message, which
    // names the file and line, and with --json the error object; returns 2.
    int Refuse(const std::string& message);
    // The simulator itself failed: the message, and with --json the error
    // object; returns 5.
    int Failed(const std::string& message);

    // The end of every run: standard output flushed and closed with a check.
    // Returns `status`, or 5 with a message when the output could not be
    // written. A reader that went away early (a pipe into `head`) is not
    // the tool's failure: the status stays and nothing is said.
    int Finish(int status);

   private:
    int Error(const char* status_word, int exit_status, const std::string& message);

    const char* program_;
    Output stdout_;
    std::vector<std::string> warnings_;
    std::vector<std::string> notes_;
};

// The front end's own Main: runs one command line with `tool`'s voice.
using MainFunction = int (*)(Tool& tool, int argc, char** argv);

// Runs `main_function` to its end with `tool`'s voice: a host out of memory
// is the simulator's failure; returns the exit status after Finish.
int RunMain(Tool& tool, MainFunction main_function, int argc, char** argv);

// Writes all `size` bytes to `fd`, again after an interruption. Returns 0,
// or the error that stopped it (EIO for a write that wrote nothing).
int WriteAll(int fd, const char* data, size_t size);

// The help text every front end ends with: how options are written and
// what becomes of a reader that stops early.
extern const char kOptionsNote[];

// Loads the machine the command line names: --machine FILE or a single FILE
// ("-": standard input), or the built-in machine of --os NAME (default
// xp), with `overrides` and the --os, --package and --cwd of `args` (--os
// with a file replaces the file's Windows); its warnings and notes go to
// `tool`. Returns 0, or the exit status after the problem has been
// reported.
int LoadMachine(Tool& tool, const CommandLine& args, const sim::Overrides& overrides,
                sim::LoadedMachine* loaded);

}  // namespace cli

#endif  // VNTR_SIM_CLI_OPTIONS_H
