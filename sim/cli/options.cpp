#include "sim/cli/options.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "sim/codepage.h"
#include "sim/presets.h"

namespace cli {

namespace {

std::string PresetList() {
    std::string out;
    const std::vector<std::string>& names = sim::PresetNames();
    for (size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return out;
}

}  // namespace

const std::vector<Option> kMachineOptions = {
    {"--machine", "FILE", false,
     "the machine, described in TOML (see examples/machines);\n"
     "- reads it from standard input; FILE alone does the same"},
    {"--os", "NAME", false,
     "a built-in machine of that Windows version with one 8E3A\n"
     "controller and the example package (default: xp); with a\n"
     "machine file, the file's Windows replaced by that version;\n"
     "NAME is " +
         PresetList()},
    {"--package", "DIR", false,
     "host folder mounted as the driver package: it replaces the\n"
     "package folder's content as a whole, whatever the machine\n"
     "file says of files in that folder (each entry it replaces\n"
     "is named in a note)"},
    {"--cwd", "PATH", false,
     "the program's current directory, a Windows path; the\n"
     "package folder moves with it, with every entry the file\n"
     "puts there, unless the file puts the package elsewhere"},
};

const std::vector<Option> kCommonOptions = {
    {"--version", "", false, "this program's version"},
    {"--help", "", false, "this text (also -h)"},
};

const char kOptionsNote[] =
    "Options take their value as --opt VALUE or --opt=VALUE; -- ends the options.\n"
    "Names are never abbreviated; an option that does not repeat is given once.\n"
    "Warnings, errors and notes (what an option replaced of the machine file) go\n"
    "to standard error. Texts of the machine, in them and in the report, are\n"
    "shown with control characters made visible (\\r, \\n, \\xNN); --json keeps\n"
    "every byte. Standard output is checked: when it cannot be written the exit\n"
    "status is 5. A reader that stops early (| head) ends the output quietly,\n"
    "and the exit status stays that of the run.\n";

// ---- the command line ------------------------------------------------------------

const Option* CommandLine::Find(const std::string& name) const {
    for (const Option& o : table_)
        if (o.name == name) return &o;
    return nullptr;
}

std::string CommandLine::Parse(int argc, char** argv) {
    std::string problem;
    auto fail = [&](const std::string& p) {
        if (problem.empty()) problem = p;
    };
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "-h") arg = "--help";
        bool has_value = false;
        std::string value;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            has_value = true;
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const Option* option = Find(arg);
        if (!option) {
            fail("unknown option '" + arg + "'");
            continue;
        }
        if (option->value.empty() && has_value) fail(arg + " takes no value");
        if (!option->value.empty() && !has_value) {
            if (i + 1 >= argc) {
                fail(arg + " needs a value (" + option->value + ")");
                continue;
            }
            value = argv[++i];
        }
        std::vector<std::string>& values = given_[arg];
        if (!values.empty() && !option->repeats) fail(arg + " is given twice");
        values.push_back(value);
    }
    return problem;
}

std::string CommandLine::Value(const std::string& name) const {
    auto it = given_.find(name);
    return it == given_.end() ? "" : it->second.back();
}

std::vector<std::string> CommandLine::Values(const std::string& name) const {
    auto it = given_.find(name);
    return it == given_.end() ? std::vector<std::string>() : it->second;
}

std::string CommandLine::Help() const {
    const size_t kColumn = 20;
    std::string out;
    for (const Option& o : table_) {
        std::string head = o.name + (o.value.empty() ? "" : " " + o.value);
        out += "  " + head;
        out += head.size() < kColumn ? std::string(kColumn - head.size(), ' ') : " ";
        for (size_t start = 0; start <= o.help.size();) {
            size_t end = o.help.find('\n', start);
            if (end == std::string::npos) end = o.help.size();
            if (start) out += std::string(kColumn + 2, ' ');
            out += o.help.substr(start, end - start) + "\n";
            start = end + 1;
        }
    }
    return out;
}

// ---- the checked output ------------------------------------------------------

Output::Output(int fd, std::string name) : fd_(fd), name_(std::move(name)), stream_(this) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

void Output::Send(const char* data, size_t size) {
    if (error_ == 0) error_ = WriteAll(fd_, data, size);
}

int Output::sync() {
    Send(pbase(), static_cast<size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0 ? 0 : -1;
}

Output::int_type Output::overflow(int_type c) {
    sync();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize Output::xsputn(const char* data, std::streamsize size) {
    size_t n = static_cast<size_t>(size);
    if (n > static_cast<size_t>(epptr() - pptr())) {
        sync();
        if (n >= sizeof buffer_) {
            Send(data, n);
            return size;
        }
    }
    memcpy(pptr(), data, n);
    pbump(static_cast<int>(n));
    return size;
}

int Output::Close() {
    if (closed_) return error_;
    closed_ = true;
    sync();
    // A file system may report a failed write only now.
    if (close(fd_) != 0 && error_ == 0) error_ = errno;
    return error_;
}

// ---- the front end's voice -------------------------------------------------------

Tool::Tool(const char* program, int fd) : program_(program), stdout_(fd, "standard output") {}

void Tool::Say(const std::string& text) const {
    std::cerr << program_ << ": " << sim::Visible(text, sim::kUtf8) << "\n";
}

void Tool::Warn(const std::string& text) {
    warnings_.push_back(text);
    Say("warning: " + text);
}

void Tool::Note(const std::string& text) {
    notes_.push_back(text);
    Say("note: " + text);
}

int Tool::Error(const char* status_word, int exit_status, const std::string& message) {
    if (json) {
        sim::json doc = {{"status", status_word},
                         {"exit_code", exit_status},
                         {"message", message},
                         {"warnings", warnings_},
                         {"notes", notes_}};
        out() << sim::Dump(doc) << "\n";
    }
    return exit_status;
}

int Tool::Usage(const std::string& problem) {
    Say(problem);
    std::cerr << "(see " << program_ << " --help)\n";
    return Error("refused", 2, problem);
}

int Tool::Refuse(const std::string& message) {
    Say(message);
    return Error("refused", 2, message);
}

int Tool::Failed(const std::string& message) {
    Say(message);
    return Error("sim_failed", 5, message);
}

int RunMain(Tool& tool, MainFunction main_function, int argc, char** argv) {
    int status;
    try {
        status = main_function(tool, argc, argv);
    } catch (const std::bad_alloc&) {
        status = tool.Failed("out of memory");
    }
    return tool.Finish(status);
}

int Tool::Finish(int status) {
    int error = stdout_.Close();
    if (error == 0 || error == EPIPE) return status;
    Say("cannot write to " + stdout_.name() + ": " + strerror(error));
    return 5;
}

// ---- the machine -----------------------------------------------------------------

int LoadMachine(Tool& tool, const CommandLine& args, const sim::Overrides& overrides,
                sim::LoadedMachine* loaded) {
    const std::vector<std::string>& files = args.Positional();
    if (files.size() > 1) return tool.Usage("more than one machine file given");
    if (!files.empty() && args.Has("--machine"))
        return tool.Usage("the machine file is given twice (--machine and " + files[0] + ")");
    std::string file = files.empty() ? args.Value("--machine") : files[0];
    bool from_file = args.Has("--machine") || !files.empty();
    std::string os = args.Has("--os") ? args.Value("--os") : "xp";
    if (!sim::IsPreset(os))
        return tool.Usage("unknown Windows version '" + os + "' for --os (known: " + PresetList() +
                          ")");
    sim::Overrides given = overrides;
    if (args.Has("--os")) given.os = os;
    if (args.Has("--cwd")) given.current_dir = args.Value("--cwd");
    if (args.Has("--package")) given.package = args.Value("--package");
    try {
        *loaded = from_file ? sim::LoadMachineFile(file, given) : sim::BuiltInMachine(os, given);
    } catch (const std::bad_alloc&) {
        return tool.Failed("out of memory while reading the machine");
    } catch (const std::exception& e) {
        return tool.Refuse(e.what());
    }
    for (const auto& w : loaded->warnings) tool.Warn(w);
    for (const auto& n : loaded->notes) tool.Note(n);
    return 0;
}

}  // namespace cli
