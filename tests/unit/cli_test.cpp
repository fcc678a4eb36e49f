// The simulator's two front ends, vntrsetup-sim and vntrcapture-sim, as
// users and scripts call them: the options, the exit statuses, the ordinary
// mistakes and hostile inputs they must turn away quickly with a message
// that names the file and the reason, output that cannot be written, and
// texts of a machine that must never reach a terminal raw. Then the run
// loop: the time limit and the child process a run starts.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine_file.h"
#include "sim/runner.h"
#include "tests/unit/flow.h"

namespace {

const char kSetup[] = VNTR_SIM_BINARY;
const char kCapture[] = VNTR_CAPTURE_SIM_BINARY;

// Where a run's standard output goes.
enum Stream {
    kFile,        // a file the test reads
    kFull,        // /dev/full: every write fails with ENOSPC
    kClosedPipe,  // a pipe whose reader has gone: every write fails with EPIPE
};

struct Result {
    int status;
    std::string out;  // standard output
    std::string err;  // standard error
    double seconds;
};

// A folder of this process's own: CTest runs the tests side by side.
std::string Dir() {
    static const std::string dir =
        testing::TempDir() + "cli_test." + std::to_string(getpid()) + "/";
    return dir;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& name, const std::string& text) {
    std::ofstream(Dir() + name, std::ios::binary) << text;
}

// Runs `program args` through the shell in the test folder, with `input`
// (or nothing) as standard input; a run that hangs is killed after 30 s.
Result Start(const std::string& program, const std::string& args, const std::string& input = "",
             Stream stream = kFile) {
    Write("stdin.txt", input);
    const std::string command = "exec timeout 30 " + program + " " + args;
    const std::string in = Dir() + "stdin.txt", out = Dir() + "out.txt", err = Dir() + "err.txt";
    remove(out.c_str());
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(Dir().c_str()) != 0) _exit(126);
        int fds[2] = {-1, -1};
        if (stream == kClosedPipe && pipe(fds) == 0) close(fds[0]);
        int to = stream == kFile   ? open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                 : stream == kFull ? open("/dev/full", O_WRONLY)
                                   : fds[1];
        dup2(open(in.c_str(), O_RDONLY), 0);
        dup2(to, 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        signal(SIGPIPE, SIG_DFL);  // as a shell starts it
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err), seconds};
}

std::string Repeat(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// `count` files of 16 MiB given by size and CRC-32: placeholders.
std::string Placeholders(int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += "[[files]]\npath = 'C:\\data\\f" + std::to_string(i) +
               ".bin'\nsize = 16777216\ncrc32 = " + std::to_string(i) + "\n";
    return out;
}

using flow::Has;

// Text a terminal shows as it is: no control character but tab and line
// ends (CR only before LF), no C1 control in UTF-8.
bool Harmless(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\r' ? next != '\n' : (c < 0x20 && c != '\n' && c != '\t') || c == 0x7F)
            return false;
        if (c == 0xC2 && next >= 0x80 && next < 0xA0) return false;
    }
    return true;
}

const std::string kExamples = std::string(VNTR_SOURCE_DIR) + "/examples/machines/";
const std::string kRegression = std::string(VNTR_SOURCE_DIR) + "/tests/machines/";

// A machine whose texts would paint the terminal: a name that ends the
// line and starts a fake one, a caption that sets the window title, a key
// that clears the screen, an expected box in bold.
const char kHostile[] =
    "name = \"x\\u001b[31mRED\\u0007\\r\\noutcome: installed\"\n"
    "os = '98se'\nanswers = ['yes', 'no']\n"
    "caption = \"T\\u001b]0;pwned\\u0007\"\n"
    "[[keys]]\npath = \"Enum\\\\PCI\\\\VEN_C4B9&DEV_8E3A\\u001b[2J\\\\INST\"\n"
    "[expect]\nboxes = [\"\\u001b[1mexpected\"]\n";

// A message file whose question holds a C1 control (byte 0x81 is U+0081 in
// code page 1252) and an escape sequence.
const char kHostileMessages[] =
    "current_dir = 'C:\\VNTR'\nfiles = [{ path = 'C:\\VNTR\\MultiLang\\0409.dat', hex = "
    "'61 0d 0a 62 0d 0a 63 0d 0a 64 0d 0a 51 81 1b 5b 32 4a 3f 0d 0a' }]\n";

// A machine as vntrcapture writes it: the package files by size and CRC-32
// (VNTRXP.INF as the example package has it), the message file by its bytes.
const char kCaptured[] =
    "os = { base = 'xp', platform = 2, major = 5, minor = 1, build_number = 2600 }\n"
    "codepage = 1252\nlocale = 0x0407\ncurrent_dir = 'C:\\VNTR'\npackage = false\n"
    "[[files]]\npath = 'C:\\VNTR\\VNTRXP.INF'\nsize = 1051\ncrc32 = 0x7A163EB1\n"
    "[[files]]\npath = 'C:\\VNTR\\MultiLang\\0407.dat'\n"
    "hex = '41 0d 0a 42 0d 0a 43 0d 0a 44 0d 0a 41 6c 74 3f 0d 0a'\n";

// A machine file name that clears the screen, and one that is no UTF-8.
const char kHostileName[] = "n\x1b[2Jame.toml";
const char kLatin1Name[] = "\xff.toml";

class Cli : public testing::Test {
   protected:
    static void TearDownTestSuite() { system(("rm -rf " + Dir()).c_str()); }
    static void SetUpTestSuite() {
        system(("rm -rf " + Dir() + " && mkdir -p " + Dir()).c_str());
        mkdir((Dir() + "empty").c_str(), 0700);
        mkdir((Dir() + "with-fifo").c_str(), 0700);
        mkfifo((Dir() + "with-fifo/pipe").c_str(), 0600);
        mkdir((Dir() + "linked").c_str(), 0700);
        symlink("/etc/hostname", (Dir() + "linked/outside").c_str());
        std::ofstream(Dir() + "huge.toml").close();
        truncate((Dir() + "huge.toml").c_str(), (64 << 20) + 1);
        std::ofstream(Dir() + "huge.bin").close();
        truncate((Dir() + "huge.bin").c_str(), (16 << 20) + 1);
        Write(kHostileName,
              "os = '98se'\nanswers = ['yes']\n[[faults]]\ncall = 'CopyFileA'\nnth = 9\n");
        // A fixed package: its INF and its German messages differ from the
        // captured ones. Package folders Windows could not hold.
        mkdir((Dir() + "fixed").c_str(), 0700);
        mkdir((Dir() + "fixed/MultiLang").c_str(), 0700);
        Write("fixed/VNTRXP.INF", "; FIXED\r\n");
        Write("fixed/MultiLang/0407.dat", "F0\r\nF1\r\nF2\r\nF3\r\nNeu?\r\n");
        mkdir((Dir() + "twocase").c_str(), 0700);
        Write("twocase/VNTRXP.INF", "a");
        Write("twocase/vntrxp.inf", "b");
        // The example package whose XP INF has models for x64 Windows only.
        system(("cp -r " + std::string(VNTR_SOURCE_DIR) + "/examples/package " + Dir() + "amd64")
                   .c_str());
        Write("amd64/VNTRXP.INF",
              "[Version]\r\nSignature = \"$Windows NT$\"\r\nClass = PCMCIA\r\n"
              "ClassGUID = {4d36e977-e325-11ce-bfc1-08002be10318}\r\nProvider = Vantor\r\n"
              "DriverVer = 06/01/2004,5.1.0.4\r\n\r\n[Manufacturer]\r\n"
              "Vantor = Vantor, NTamd64\r\n\r\n[Vantor.NTamd64]\r\n"
              "\"Vantor CardBus Controller 8E3A\" = VNTR_CardBus, PCI\\VEN_C4B9&DEV_8E3A\r\n"
              "\"Vantor CardBus Controller 8E51\" = VNTR_CardBus, PCI\\VEN_C4B9&DEV_8E51\r\n"
              "\r\n[VNTR_CardBus.NT]\r\nAddReg = VNTR_CardBus.AddReg\r\n"
              "\r\n[VNTR_CardBus.AddReg]\r\nHKR,,VantorModel,,\"CardBus\"\r\n");
        // The example package whose 98 INF leaves a quote open.
        system(("cp -r " + std::string(VNTR_SOURCE_DIR) + "/examples/package " + Dir() + "broken")
                   .c_str());
        Write("broken/VNTR98.INF", "[Version]\r\nSignature = \"$CHICAGO$\r\n");
        mkdir((Dir() + "devname").c_str(), 0700);
        Write("devname/VNTRXP.INF", "a");
        Write("devname/aux.inf", "b");
    }
};

}  // namespace

// Every command line of both front ends: its status, what must be on
// standard output and standard error, and what must not be on standard
// output. Each run ends within seconds; with --json, standard output
// parses whatever happened; a reader that went away is not told about;
// and outside JSON nothing raw from the machine reaches the terminal.
TEST_F(Cli, every_command_line_ends_as_it_should) {
    const std::string xp = kExamples + "xp.toml", se = kExamples + "98se.toml";
    // One row a line where it fits, the columns in order.
    // clang-format off
    struct Case {
        const char* what;
        const char* program;
        std::string toml;  // written to case.toml first, when given
        std::string args;
        int status;
        std::vector<std::string> out;          // each expected in standard output
        std::vector<std::string> err;          // each expected in standard error
        std::vector<std::string> absent = {};  // each not in standard output
        Stream stream = kFile;
        std::string input = "";
    } cases[] = {
        // What a user expects of a command line.
        {"help", kSetup, "", "--help", 0,
         {"--machine FILE", "--os NAME", "--package DIR", "--cwd PATH", "--locale ID",
          "--answer yes|no", "--ask", "--json", "--check", "--list-calls", "--version",
          "  4  a Yes/No box had no answer", "A reader that stops early (| head)"}, {}},
        {"help", kCapture, "", "-h", 0,
         {"usage: vntrcapture-sim", "vntrcapture-sim FILE", "--command-line TEXT",
          "A reader that stops early"}, {}},
        {"version", kSetup, "", "--version", 0, {"vntrsetup-sim 1."}, {}},
        {"version", kCapture, "", "--version", 0, {"vntrcapture-sim 1."}, {}},
        {"host calls", kSetup, "", "--list-calls", 0, {"UpdateDriverForPlugAndPlayDevicesA"}, {}},
        // A file's bytes as the program reads them: a placeholder's are zeros
        // but for the four that give its CRC-32 (of "123456789": CBF43926).
        {"a file's bytes", kSetup, "", "--os xp --dump-file 'C:\\VNTR\\vntrxp.inf'", 0,
         {"Signature = \"$Windows NT$\""}, {}},
        {"a placeholder's bytes", kSetup,
         "[[files]]\npath = 'C:\\VNTR\\X.BIN'\nsize = 6\ncrc32 = 0xCBF43926\n",
         "case.toml --dump-file 'C:\\VNTR\\X.BIN'", 0,
         {std::string("\0\0\xd5\x1f\x14\xb3", 6)}, {}},
        {"no such file", kSetup, "", "--os xp --dump-file 'C:\\VNTR'", 2, {},
         {"--dump-file C:\\VNTR: the machine has no such file"}},
        {"--opt=value", kSetup, "", "--os=98se --answer=yes --answer=no", 0, {"outcome: staged"}, {}},
        {"-- before the file", kSetup, "", "--answer no -- " + xp, 0, {"outcome: declined"}, {}},
        {"the machine from standard input", kSetup, "", "--machine - --answer yes", 0,
         {"(standard input)"}, {}, {}, kFile, "os = '98'\n"},
        {"a machine file alone", kCapture, "", se, 0, {"path = 'Enum\\PCI'"}, {}},
        {"- alone", kCapture, "", "-", 0, {"base = \"98se\", platform = 1"}, {}, {}, kFile,
         "os = '98'\n"},
        {"-- before the file", kCapture, "", "-- " + se, 0, {"path = 'Enum\\PCI'"}, {}},
        {"a file to create", kCapture, "", "--os 2000 --command-line 'C:\\VNTR\\m.toml'", 0,
         {"windows_dir = 'C:\\WINNT'"}, {}},
        {"the run as JSON", kCapture, "", "--os xp --json", 0, {"\"exit_code\":0"}, {}},
        {"two files for the capture", kCapture, "", "--os xp --command-line 'a b'", 1, {},
         {"give one file at most"}},
        {"machine file missing", kCapture, "", "--machine " + kExamples + "none.toml", 2, {},
         {"none.toml: cannot open"}},

        // Command lines refused, with status 2 and the pointer to --help: the two
        // front ends share one option parser, so each refusal is tried once.
        {"unknown Windows", kCapture, "", "--os vista", 2, {},
         {"unknown Windows version 'vista' for --os", "(see vntrcapture-sim --help)"}},
        {"unknown option", kSetup, "", "--frobnicate", 2, {}, {"unknown option '--frobnicate'"}},
        {"no abbreviations", kSetup, "", "--mach x.toml", 2, {}, {"unknown option '--mach'"}},
        {"no short options but -h", kCapture, "", "-x", 2, {}, {"unknown option '-x'"}},
        {"--answer maybe", kSetup, "", "--answer maybe", 2, {},
         {"--answer takes yes or no, not 'maybe'"}},
        {"--machine and a file", kCapture, "", "--machine x.toml y.toml", 2, {},
         {"the machine file is given twice"}},
        {"a relative --cwd", kSetup, "", "--cwd relative", 2, {}, {"--cwd: expected an absolute"}},
        {"a value missing", kCapture, "", "--os", 2, {}, {"--os needs a value (NAME)"}},
        {"a value for a switch", kSetup, "", "--json=yes", 2, {}, {"--json takes no value"}},
        {"two machine files", kSetup, "", "a.toml b.toml", 2, {}, {"more than one machine file"}},
        {"two modes", kSetup, "", "--json --check", 2, {},
         {"choose one of --json, --check, --print-expect, --dump-machine and --dump-file"}},
        {"option given twice", kCapture, "", "--cwd 'C:\\' --cwd='D:\\'", 2, {}, {"--cwd is given twice"}},
        {"--check without [expect]", kSetup, "", "--os xp --check", 2, {}, {"has no [expect] table"}},
        {"--ask without a terminal", kSetup, "", "--ask", 2, {}, {"--ask needs a terminal"}},

        // With --json, a refusal is a JSON object on standard output too.
        {"refused file, JSON", kSetup, "os = 'vista'\n", "case.toml --json", 2,
         {"\"status\":\"refused\"", "\"exit_code\":2", "\"message\":\"case.toml:1: os"},
         {"vntrsetup-sim: case.toml:1: os"}},
        {"refused file, JSON", kCapture, "os = 'vista'\n", "--json --machine case.toml", 2,
         {"\"status\":\"refused\"", "\"message\":\"case.toml:1: os"}, {"case.toml:1: os"}},
        {"refused file, --dump-machine", kSetup, "os = 'vista'\n", "case.toml --dump-machine", 2,
         {"\"status\":\"refused\""}, {"case.toml:1: os"}},
        {"refused command line, JSON", kSetup, "", "--json --frobnicate", 2,
         {"\"status\":\"refused\"", "unknown option '--frobnicate'"}, {"(see vntrsetup-sim --help)"}},
        {"refused command line, JSON", kCapture, "", "--json --os", 2,
         {"\"status\":\"refused\"", "--os needs a value"}, {"--os needs a value"}},
        {"refused after a warning, JSON", kSetup, "os = 'vista'\n", "case.toml --json --locale 1031", 2,
         {"\"warnings\":[\"--locale 1031 is read as hexadecimal"}, {"did you mean 0x0407"}},

        // Output that cannot be written is an error; a reader that went away is not.
        {"report to a full disk", kSetup, "", "--answer no", 5, {},
         {"vntrsetup-sim: cannot write to standard output: No space left on device"}, {}, kFull},
        {"JSON to a full disk", kSetup, "", "--answer no --json", 5, {},
         {"cannot write to standard output: No space left on device"}, {}, kFull},
        {"help to a full disk", kSetup, "", "--help", 5, {}, {"cannot write"}, {}, kFull},
        {"machine file to a full disk", kCapture, "", "--os xp", 5, {},
         {"vntrcapture-sim: cannot write to standard output: No space left on device"}, {}, kFull},
        {"refusal as JSON to a full disk", kCapture, "", "--json --os", 5, {},
         {"--os needs a value", "cannot write"}, {}, kFull},
        {"report to a closed pipe", kSetup, "", "--answer no", 0, {}, {}, {}, kClosedPipe},
        {"--check to a closed pipe", kSetup, "os = '98'\nanswers = ['no']\n[expect]\noutcome = 'declined'\n",
         "case.toml --check", 0, {}, {}, {}, kClosedPipe},
        {"machine file to a closed pipe", kCapture, "", "--os 98", 0, {}, {}, {}, kClosedPipe},

        // Texts of a machine are shown with their control characters made visible, in the
        // report, the header, --check, warnings and errors; JSON keeps the bytes.
        {"hostile report", kSetup, kHostile, "case.toml", 0,
         {"machine: x\\x1B[31mRED\\x07\\r\\noutcome: installed (case.toml)",
          "title:  \"T\\x1B]0;pwned\\x07\"", "regdel HKLM\\Enum\\PCI\\VEN_C4B9&DEV_8E3A\\x1B[2J"}, {}},
        {"hostile --check", kSetup, kHostile, "case.toml --check", 1, {"- \"\\u001B[1mexpected\""}, {}},
        {"hostile JSON keeps the bytes", kSetup, kHostile, "case.toml --json", 0,
         {"\"name\":\"x\\u001b[31mRED\\u0007\\r\\noutcome: installed\""}, {}},
        {"hostile message file", kSetup, kHostileMessages, "case.toml --answer no", 0,
         {"text:   \"Q\\x81\\x1B[2J?\\n\""}, {}},
        {"hostile message file, --print-expect", kSetup, kHostileMessages,
         "case.toml --answer no --print-expect", 0, {"\"Q\\u0081\\u001B[2J?\\n\""}, {}},
        {"hostile capture", kCapture, kHostile, "case.toml", 0, {"VEN_C4B9&DEV_8E3A\\u001B[2J"}, {}},
        {"hostile file name in the capture's message", kCapture, "",
         "--command-line 'C:\\VNTR\\a\x1b[2Jb.toml'", 1, {},
         {"cannot look at C:\\VNTR\\a\\x1B[2Jb.toml (error 123)"}},
        {"hostile key in an error", kSetup, "\"k\\u001b[2J\" = 1\n", "case.toml", 2, {},
         {"case.toml:1: k\\x1B[2J: unknown key"}},
        {"hostile fault in an error", kSetup, "[[faults]]\ncall = \"C\\u001b[2J\"\n", "case.toml", 2,
         {}, {"no host call is named 'C\\x1B[2J'"}},
        {"hostile path in an error", kSetup, "current_dir = \"C:\\\\\\u001b\"\n", "case.toml", 2, {},
         {"a Windows file name may not hold '\\x1B'"}},
        {"a raw control character in the file", kSetup, "name = 'a\x1b[2J'\n", "case.toml", 2, {},
         {"case.toml:1"}},
        {"hostile file name", kSetup, "", std::string("'") + kHostileName + "'", 0,
         {"(n\\x1B[2Jame.toml)"},
         {"warning: n\\x1B[2Jame.toml:4: faults[0]: the planned fault on CopyFileA"}},
        {"a file name that is no UTF-8", kCapture, "", std::string("'") + kLatin1Name + "'", 2, {},
         {"\\xFF.toml: cannot open"}},

        // Locales are hexadecimal, shown as 0x0407; a decimal slip is named.
        {"locale 0407", kSetup, "", "--locale 0407 --answer no", 0,
         {"fopen(\"C:\\VNTR\\MultiLang\\0407.dat\"", "GetSystemDefaultLCID() -> 0x0407",
          "; locale 0x0407;"}, {}},
        {"locale 0x0407", kSetup, "", "--locale 0x0407 --answer no", 0,
         {"fopen(\"C:\\VNTR\\MultiLang\\0407.dat\""}, {}},
        {"locale 407", kSetup, "", "--locale 407 --answer no", 0,
         {"fopen(\"C:\\VNTR\\MultiLang\\0407.dat\""}, {}},
        {"locale in decimal", kSetup, "", "--locale 1031 --answer no", 0, {"; locale 0x1031;"},
         {"--locale 1031 is read as hexadecimal, 0x1031, which is no locale Windows knows; "
          "did you mean 0x0407 (German, Germany)?"}},
        {"locale that is not hexadecimal", kSetup, "", "--locale 04g7", 2, {}, {"hexadecimal locale"}},

        // What the options replace, and only that.
        {"--package replaces the package", kSetup, "",
         "--machine " + se + " --package empty --answer yes", 0,
         {"outcome: failed", "changes:\n  (none)\n"}, {}},
        {"--cwd keeps the file's omit", kSetup, "",
         "--machine " + kRegression + "98se-missing-catalog.toml --cwd 'C:\\VNTR'", 0,
         {"outcome: failed",
          "changes:\n  copy C:\\VNTR\\VNTR98SE.INF -> C:\\WINDOWS\\INF\\VNTR98SE.INF\n\n"}, {}},
        {"a link in a package is mounted under its own name", kSetup, "",
         "--package linked --dump-machine", 0, {"\"C:\\\\VNTR\\\\outside\""}, {}, {"\\\\etc"}},
        {"UTF-8 on the command line", kSetup, "", "--cwd 'C:\\Tr\xC3\xA4ger' --answer no", 0,
         {"current directory C:\\Tr\xC3\xA4ger;"}, {}},
        {"bytes of the code page in JSON", kSetup,
         "codepage = 1251\ncurrent_dir = 'C:\\\xD0\x96'\nanswers = ['no']\n", "case.toml --json", 0,
         {"\"current_dir\":\"C:\\\\\xC3\x86\""}, {}},

        // An option replaces what the file says, and a note names what it replaced:
        // --package the package folder's content as a whole, captured entries included.
        {"--package over a capture", kSetup, kCaptured, "case.toml --package fixed --answer no", 0,
         {"text:   \"Neu?\\n\""},
         {"note: case.toml:5: package: false replaced by --package fixed, mounted at C:\\VNTR",
          "note: case.toml:7: files[0]: C:\\VNTR\\VNTRXP.INF is in the package folder C:\\VNTR, "
          "whose content --package fixed replaces",
          "note: case.toml:11: files[1]: C:\\VNTR\\MultiLang\\0407.dat is in the package folder"}},
        {"--package over a capture: the fixed INF", kSetup, kCaptured,
         "case.toml --package fixed --dump-machine", 0,
         {"\"hex\": \"3b2046495845440d0a\"", "\"case.toml:5: package: false replaced"}, {}},
        {"--package over a capture, JSON", kSetup, kCaptured,
         "case.toml --package fixed --answer no --json", 0, {"\"notes\":[\"case.toml:5: package"}, {}},
        {"--package over a capture, JSON", kCapture, kCaptured, "case.toml --package fixed --json", 0,
         {"\"notes\":[\"case.toml:5: package"}, {}},
        {"--cwd moves the captured package", kSetup, kCaptured, "case.toml --cwd 'D:\\P' --answer no", 0,
         {"fopen(\"D:\\P\\MultiLang\\0407.dat\"", "text:   \"Alt?\\n\""},
         {"note: case.toml:4: current_dir: C:\\VNTR replaced by --cwd D:\\P",
          "note: case.toml:11: files[1]: C:\\VNTR\\MultiLang\\0407.dat moves with the package "
          "folder to D:\\P\\MultiLang\\0407.dat (--cwd)"}},
        {"--locale replaces the locale and its code page", kSetup, kCaptured,
         "case.toml --locale 0411 --answer no", 0, {"locale 0x0411; code page 932"},
         {"note: case.toml:3: locale: 0x0407 replaced by --locale 0x0411",
          "note: case.toml:2: codepage: 1252 replaced by 932, the code page of --locale 0x0411"}},
        {"--os with a file", kSetup, kCaptured, "case.toml --os 2000 --answer no", 0,
         {"version 5.0"}, {"note: case.toml:1: os: platform 2, version 5.1 replaced by --os 2000"}},
        {"--os with a file", kCapture, "os = '98'\n", "case.toml --os xp", 0, {"base = \"xp\""},
         {"note: case.toml:1: os: Windows 98 replaced by --os xp"}},
        {"--answer", kSetup, "os = '98'\nanswers = ['yes']\n", "case.toml --answer no", 0,
         {"outcome: declined"}, {"note: case.toml:2: answers: replaced by --answer"}},

        // Names as Windows has them, read by characters.
        {"two names that differ only in case", kSetup, "", "--package twocase", 2, {},
         {"twocase: 'VNTRXP.INF' and 'vntrxp.inf' differ only in case"}},
        {"a device name in a package folder", kSetup, "", "--package devname", 2, {},
         {"devname/aux.inf: 'aux.inf': a device name Windows reserves"}},
        {"omit leaves out a name Windows cannot hold", kSetup,
         "[package]\nfrom = 'devname'\nomit = ['AUX.INF', 'MultiLang\\0407.dat']\n",
         "case.toml --answer no", 0, {}, {"case.toml:3: package.omit[1]: 'MultiLang\\0407.dat' "
         "matches nothing in the package folder"}},
        {"omit in Windows' form", kSetup,
         "current_dir = 'C:\\VNTR'\nlocale = 0x0407\npackage = { omit = ['MultiLang\\0407.dat'] }\n",
         "case.toml --answer no", 0,
         {"fopen(\"C:\\VNTR\\MultiLang\\0407.dat\", \"rt\") -> FALSE", flow::kConfirm}, {}},
        {"a double-byte character's second byte is no character", kSetup,
         "locale = 0x0411\ncurrent_dir = 'C:\\\xE3\x83\x9D'\n", "case.toml --answer no", 0,
         {"current directory C:\\\xE3\x83\x9D;"}, {}},

        // --check compares the run with the [expect] table.
        {"--check as expected", kSetup,
         "os = '98se'\nanswers = ['yes']\n[expect]\noutcome = 'no-controller'\n"
         "boxes = ['" + std::string(flow::kConfirm) + "', '" + flow::kNoController + "']\n",
         "--machine case.toml --check", 0, {"case.toml:3: as expected"}, {}},
        {"--check differs", kSetup,
         "os = '98se'\nanswers = ['yes']\n[expect]\noutcome = 'installed'\n"
         "changes = ['copy C:\\PKG\\VNTR98SE.INF -> C:\\WINDOWS\\INF\\VNTR98SE.INF']\n",
         "--machine case.toml --check", 1,
         {"outcome: expected installed, got no-controller",
          "- 'copy C:\\PKG\\VNTR98SE.INF -> C:\\WINDOWS\\INF\\VNTR98SE.INF'",
          "+ 'copy C:\\VNTR98SE.INF -> C:\\WINDOWS"}, {}},
        {"--check compares the boxes", kSetup,
         "os = '98se'\nanswers = ['yes']\n[expect]\noutcome = 'no-controller'\n"
         "boxes = ['" + std::string(flow::kConfirm) + "', '" + flow::kSuccess + "']\n",
         "--machine case.toml --check", 1,
         {"boxes differ (- expected, + got):", "- '" + std::string(flow::kSuccess) + "'",
          "+ '" + std::string(flow::kNoController) + "'"}, {}},
        {"--check compares bytes, not how they print", kSetup,
         std::string(kHostileMessages) + "[expect]\nboxes = ['Q\\x81\\x1B[2J?\\n']\n",
         "case.toml --answer no --check", 1,
         {"- 'Q\\x81\\x1B[2J?\\n'", "+ \"Q\\u0081\\u001B[2J?\\n\""}, {}},
        {"--check shows both sides of a long difference", kSetup,
         "current_dir = 'C:\\VNTR'\nanswers = ['yes']\n[expect]\ntrace = [" + Repeat("'x',", 3000) + "]\n",
         "case.toml --check", 1,
         {"    - ... 2980 more expected lines", "    + 'Search for Device ID: [PCI\\VEN_C4B9&DEV_8E3A]'"}, {}},
        {"an empty [expect]", kSetup, "os = '98'\n[expect]\n", "case.toml --check", 2, {},
         {"case.toml:2: expect: an empty table checks nothing"}},
        {"--print-expect of a run that did not finish", kSetup, "os = '98se'\n",
         "case.toml --print-expect", 4, {}, {"no [expect] table written: the run did not finish"},
         {"[expect]"}},

        // Hostile and mistaken machine files end quickly with a reason.
        // A pipe is read as a stream, as standard input is (the shell's
        // here-document is a pipe).
        {"machine file from a pipe", kSetup, "", "/dev/fd/3 --answer no 3<<'EOF'\nos = '98'\nEOF\n",
         0, {"outcome: declined"}, {}},
        {"[[files]] from a pipe", kSetup, "[[files]]\npath = 'C:\\x'\nfrom = '/dev/fd/3'\n",
         "--machine case.toml --dump-machine 3<<'EOF'\nPIPED\nEOF\n", 0, {"\"hex\": \"50495045440a\""}, {}},
        {"package from /dev", kSetup, "[package]\nfrom = '/dev'\n", "--machine case.toml", 2, {},
         {"not a regular file; a package folder may hold only files and folders"}},
        {"package folder holding a FIFO", kSetup, "[package]\nfrom = 'with-fifo'\n",
         "--machine case.toml", 2, {}, {"with-fifo/pipe: is a FIFO"}},
        {"machine file /dev/zero", kSetup, "", "--machine /dev/zero", 2, {},
         {"/dev/zero: more than 64 MiB"}},
        {"[[files]] from /dev/zero", kSetup, "[[files]]\npath = 'C:\\x'\nfrom = '/dev/zero'\n",
         "--machine case.toml", 2, {}, {"/dev/zero: more than 16 MiB"}},
        {"machine file is a directory", kSetup, "", "--machine empty", 2, {}, {"empty: is a directory"}},
        {"machine file missing", kSetup, "", "--machine nothing.toml", 2, {},
         {"nothing.toml: cannot open: no such file"}},
        {"machine file over the cap", kSetup, "", "--machine huge.toml", 2, {},
         {"67108865 bytes, more than 64 MiB"}},
        {"[[files]] from a file over the cap", kSetup, "[[files]]\npath = 'C:\\x'\nfrom = 'huge.bin'\n",
         "--machine case.toml", 2, {}, {"16777217 bytes, more than 16 MiB"}},
        {"a 1 MB current directory", kSetup, "current_dir = 'C:\\" + std::string(1 << 20, 'A') + "'\n",
         "--machine case.toml", 2, {}, {"current_dir: 1048579 characters, longer than Windows allows"}},
        {"a command line of 40,000 characters", kSetup, "", "--command-line " + std::string(40000, 'x'),
         2, {}, {"--command-line: 40000 characters, longer than Windows allows (32,767)"}},
        {"a caption of 70,000 characters", kSetup, "caption = '" + std::string(70000, 'c') + "'\n",
         "--machine case.toml", 2, {}, {"case.toml:1: caption: 70000 characters, more than a string"}},
        {"misspelt fault", kSetup, "[[faults]]\ncall = 'CopyFile'\n", "--machine case.toml", 2, {},
         {"case.toml:2: faults[0].call: no host call is named 'CopyFile' (calls that can fail: "
          "GetVersionExA,"}},
        {"fault on a call that cannot fail", kSetup, "[[faults]]\ncall = 'LocalFree'\n",
         "--machine case.toml", 2, {}, {"LocalFree is not made to fail"}},
        {"fault on GetSystemDefaultLCID", kSetup, "[[faults]]\ncall = 'GetSystemDefaultLCID'\n",
         "--machine case.toml", 2, {}, {"set `locale` instead"}},
        {"a fault that never fires", kSetup,
         "os = '98se'\nanswers = ['yes']\n[[faults]]\ncall = 'CopyFileA'\nnth = 9\n",
         "--machine case.toml", 0, {},
         {"case.toml:4: faults[0]: the planned fault on CopyFileA (call 9) never fired"}},
        {"the old spelling of a failing update", kSetup, "[update]\nresult = false\n",
         "--machine case.toml", 2, {}, {"call = \"UpdateDriverForPlugAndPlayDevicesA\""}},
        {"the old spelling of a refused restart", kSetup, "exit_windows_succeeds = false\n",
         "--machine case.toml", 2, {}, {"call = \"ExitWindowsEx\""}},
        {"NUL in a path", kSetup, "current_dir = \"C:\\\\VN\\u0000TR\"\n", "--machine case.toml", 2,
         {}, {"current_dir: a path may not hold a NUL character"}},
        {"NUL in a key name", kSetup, "[[keys]]\npath = \"Enum\\\\P\\u0000CI\"\n",
         "--machine case.toml", 2, {}, {"keys[0].path: a name may not hold a NUL character"}},
        {"a character the code page lacks", kSetup, "", "--cwd 'C:\\\xD0\x96uk' --answer no", 2, {},
         {"the character '\xD0\x96' (U+0416) has no place in code page 1252"}},
        {"a controller in devices on Windows 98 SE", kSetup,
         "os = '98se'\n[[devices]]\nids = ['PCI\\VEN_C4B9&DEV_8E51']\n",
         "--machine case.toml --answer no", 0, {},
         {"case.toml:2: devices: never observed",
          "a controller on this Windows is a key under Enum\\PCI, written [[keys]] path = "
          "'Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\\BUS_02&DEV_0C&FUNC_00'"}},
        {"Enum keys on Windows XP", kSetup, "[[keys]]\npath = 'Enum\\PCI\\X'\n",
         "--machine case.toml --answer no", 0, {}, {"case.toml:1: keys: never observed"}},
        {"a key of 100,000 dotted parts", kSetup, "\"x\" = 1\na" + Repeat(".b", 100000) + " = 1\n",
         "--machine case.toml", 2, {}, {"case.toml:2: a dotted key or table header of more than 64 parts"}},
        {"a table header of 100,000 parts", kSetup, "[a" + Repeat(".b", 100000) + "]\n",
         "--machine case.toml", 2, {}, {"case.toml:1: a dotted key or table header of more than 64"}},
        {"dots in comments and strings are text", kSetup,
         "# " + Repeat("x.", 100) + "\ncaption = '" + Repeat("x.", 100) + "'\n",
         "--machine case.toml --answer no", 0, {}, {}},
        {"a Yes/No box without answer", kSetup, "os = '98se'\n", "--machine case.toml", 4, {},
         {"a Yes/No box found no answer left"}},

        // The simulated process has the memory of a 32-bit one, on any host, and what it
        // never reads costs nothing.
        {"a list of 4 GB", kSetup, "[[devices]]\nids = ['PCI\\X']\nreported_size = 4294967295\n",
         "--machine case.toml --answer yes", 0, {"LocalAlloc(0x40, 4294967295) -> NULL, error 0x8"}, {}},
        // What Windows does with the package after the program.
        {"after restart, in the report", kSetup, "", kRegression + "98se-inf-lost-first-model.toml", 0,
         {"\nafter restart:\n", "  no INF lists PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02: "
          "Windows asks for a driver\n"}, {}},
        {"after restart, as JSON", kSetup, "", kRegression + "98se-inf-lost-first-model.toml --json",
         0, {"\"after_restart\":[{\"device\":\"PCI\\\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\","
             "\"inf\":null,"}, {}},
        {"an INF the capture did not keep", kSetup, "", kRegression + "xp-inf-not-captured.toml", 0,
         {"outcome: unpredictable (INF not captured)"},
         {"warning: the driver update cannot be predicted: C:\\VNTR\\VNTRXP.INF"}},
        // The package checked as each Windows version reads it.
        {"--check-package: the example package", kSetup, "",
         "--check-package " + std::string(VNTR_SOURCE_DIR) + "/examples/package", 0,
         {"10 of 10 Windows versions and models served", "MultiLang\\0411.dat: the five messages",
          "xp    8E51  VNTRXP.INF    served: model \"Vantor CardBus Controller 8E51\""}, {}},
        {"--check-package: XP's models are for x64 only", kSetup, "", "--check-package amd64", 1,
         {"xp    8E3A  VNTRXP.INF    NOT served", "xp    8E51  VNTRXP.INF    NOT served",
          "amd64/VNTRXP.INF:9: Windows XP reads the models section [Vantor] this line names",
          "8 of 10 Windows versions and models served"}, {}},
        {"--check-package: an INF with an error", kSetup, "", "--check-package broken", 1,
         {"98    8E3A  VNTR98.INF    NOT served: broken/VNTR98.INF:2: ",
          "98se  8E3A  VNTR98SE.INF  served", "8 of 10 Windows versions and models served"}, {}},
        {"--check-package as JSON", kSetup, "", "--check-package amd64 --json", 1,
         {"\"served\": false", "\"os\": \"xp\""}, {}},
        {"--check-package: no such folder", kSetup, "", "--check-package nowhere", 2, {},
         {"nowhere"}},
        {"--check-package runs no machine", kSetup, "", "--check-package amd64 " + xp, 2, {},
         {"--check-package runs no machine"}},
        {"a list of 2,000,000,000 bytes", kSetup,
         "[[devices]]\nids = ['PCI\\X']\nreported_size = 2000000000\n", "--machine case.toml --answer yes",
         0, {"LocalAlloc(0x40, 2000000000) -> 0x", "Compare device ID: [PCI\\X]"}, {}},
        {"forty placeholders of 16 MiB", kSetup, Placeholders(40), "--machine case.toml --dump-machine", 0,
         {"\"placeholder\": true", "\"bytes_left_out\": \"larger than 1048576 bytes\""}, {}},
        {"a message file of 16 MiB of placeholder bytes", kSetup,
         "[[files]]\npath = 'C:\\MultiLang\\0409.dat'\nsize = 16777216\ncrc32 = 1\n",
         "--machine case.toml --answer yes", 0,
         {"fopen(\"C:\\MultiLang\\0409.dat\", \"rt\") -> TRUE", "text:   \"\""}, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        if (!c.toml.empty()) Write("case.toml", c.toml);
        Result r = Start(c.program, c.args, c.input, c.stream);
        const std::string name = c.program == kSetup ? "vntrsetup-sim: " : "vntrcapture-sim: ";
        const std::string what = name + c.what + " (" + c.args.substr(0, 80) + ")";
        EXPECT_EQ(r.status, c.status) << what << "\n" << r.err;
        for (const auto& text : c.out)
            EXPECT_TRUE(Has(r.out, text)) << what << ": no " << text << " in\n"
                                          << r.out.substr(0, 3000);
        for (const auto& text : c.err)
            EXPECT_TRUE(Has(r.err, text)) << what << ": no " << text << " in\n" << r.err;
        for (const auto& text : c.absent) EXPECT_FALSE(Has(r.out, text)) << what << ": " << text;
        EXPECT_LT(r.seconds, 10) << what;
        if (c.status == 2) {
            EXPECT_EQ(r.err.rfind(name, 0), 0u) << what << "\n" << r.err;
        }
        bool json = Has(c.args, "--json") || Has(c.args, "--dump-machine");
        if (json && c.stream == kFile) {
            EXPECT_FALSE(nlohmann::json::parse(r.out, nullptr, false).is_discarded())
                << what << "\n"
                << r.out.substr(0, 3000);
        }
        if (c.stream == kClosedPipe) {
            EXPECT_EQ(r.err, "") << what;
        }
        EXPECT_TRUE(Harmless(r.err)) << what << "\n" << r.err;
        // --dump-file writes a file's bytes, and never to a terminal.
        if (!json && !Has(c.args, "--dump-file")) {
            EXPECT_TRUE(Harmless(r.out)) << what << "\n" << r.out.substr(0, 3000);
        }
    }
}

TEST_F(Cli, json_stays_one_document_and_warnings_go_to_standard_error) {
    Write("warn.toml", "os = '98'\nanswers = ['no', 'no']\n[[devices]]\nids = ['X']\n");
    Result r = Start(kSetup, "--machine warn.toml --json");
    EXPECT_EQ(r.status, 0);
    auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    EXPECT_EQ(doc["outcome"], "declined");
    EXPECT_EQ(doc["boxes"][0]["answer"], "No");
    EXPECT_EQ(doc["boxes"][0]["args"]["caption"], "Vantor CardBus Controller Setup Utility");
    EXPECT_TRUE(doc["changes"].empty());
    EXPECT_EQ(doc["machine"]["platform"], 1);
    EXPECT_EQ(doc["warnings"].size(), 2u) << doc["warnings"];
    EXPECT_TRUE(Has(r.err, "never observed")) << r.err;
    EXPECT_TRUE(Has(r.err, "1 answer(s) left over")) << r.err;

    // The command line the program receives is shown, and ignored.
    auto events = nlohmann::json::parse(
        Start(kSetup, "--command-line '/S /quiet' --answer yes --json").out)["events"];
    auto plain = nlohmann::json::parse(Start(kSetup, "--answer yes --json").out)["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0]["command_line"], "/S /quiet");
    events.erase(0);
    plain.erase(0);
    EXPECT_EQ(plain, events);
}

// Every JSON the front ends write escapes the C1 controls (U+0080 to
// U+009F), which some terminals obey, as it escapes the C0 ones. Each row
// plants one where text reaches JSON: the output holds none raw and reads
// back to the text planted (a byte of the machine is one character).
TEST_F(Cli, json_carries_c1_controls_escaped) {
    const std::string c1 = "\xC2\x85";  // U+0085 in UTF-8; byte 0x85 is "…" in 1252
    Write("box.toml", kHostileMessages);
    Write("trace.toml",
          "current_dir = 'C:\\A\xE2\x80\xA6"
          "B'\nanswers = ['yes']\n"
          "[[devices]]\nids = ['PCI\\VEN_1\xE2\x80\xA6']\n");
    Write("c1" + c1 + ".toml", "os = '98'\nanswers = ['no']\n[[devices]]\nids = ['X']\n");
    Write("bad.toml", "\"bogus" + c1 + "\" = 1\n");
    Write("file.toml", "[[files]]\npath = 'C:\\F\xE2\x80\xA6.txt'\ntext = 'x'\n");
    system(
        ("cp -r " + std::string(VNTR_SOURCE_DIR) + "/examples/package '" + Dir() + "p" + c1 + "k'")
            .c_str());
    struct Case {
        const char* where;
        const char* program;
        std::string args, input, planted;
    };
    const Case cases[] = {
        {"a box text", kSetup, "box.toml --answer no --json", "", "Q\xC2\x81"},
        {"a trace line", kSetup, "trace.toml --json", "", "[PCI\\VEN_1" + c1 + "]"},
        {"a warning", kSetup, "'c1" + c1 + ".toml' --json", "", "c1" + c1 + ".toml:"},
        {"a refusal", kSetup, "bad.toml --json", "", "bogus" + c1},
        {"a file name in the summary", kSetup, "file.toml --json", "", "C:\\F" + c1 + ".txt"},
        {"a file name in the dump", kSetup, "file.toml --dump-machine", "", "C:\\F" + c1 + ".txt"},
        {"a package folder", kSetup, "--check-package 'p" + c1 + "k' --json", "", "p" + c1 + "k"},
        {"a batch run", kSetup, "--batch", "[\"trace.toml\", \"--json\"]\n",
         "[PCI\\VEN_1" + c1 + "]"},
        // The capture's machine file in UTF-8, one character per byte.
        {"a captured file", kCapture, "trace.toml --json", "",
         sim::Text("C:\\A\xE2\x80\xA6"
                   "B")},
    };
    for (const Case& c : cases) {
        Result r = Start(c.program, c.args, c.input);
        std::string text = r.out;
        if (!text.empty() && text[0] == '\x1e') text.erase(0, 1);  // --batch's record separator
        size_t raw = 0;
        while ((raw = text.find('\xC2', raw)) != std::string::npos &&
               (static_cast<unsigned char>(text[raw + 1]) & 0xE0) != 0x80)
            ++raw;
        EXPECT_EQ(raw, std::string::npos)
            << c.where
            << ": a raw C1 control: " << text.substr(raw == std::string::npos ? 0 : raw, 40);
        auto doc = nlohmann::json::parse(text, nullptr, false);
        if (doc.is_discarded()) {
            ADD_FAILURE() << c.where << ": no JSON: " << r.out.substr(0, 300);
            continue;
        }
        bool found = false;
        std::vector<const nlohmann::json*> open = {&doc};
        while (!open.empty() && !found) {
            const nlohmann::json* j = open.back();
            open.pop_back();
            if (j->is_string()) found = Has(j->get<std::string>(), c.planted);
            if (j->is_structured())
                for (const auto& child : *j) open.push_back(&child);
        }
        EXPECT_TRUE(found) << c.where << ": " << r.out.substr(0, 600);
    }
}

// The capture's machine file says how to replay it; on every Windows the
// program installs on, that command runs to the end.
TEST_F(Cli, the_captures_replay_hint_replays_it) {
    for (const char* os : {"98", "98se", "me", "2000", "xp"}) {
        Result captured = Start(kCapture, std::string("--os ") + os);
        ASSERT_EQ(captured.status, 0) << os << captured.err;
        Write("captured.toml", captured.out);
        const std::string prefix = "# Replay: vntrsetup-sim ";
        size_t at = captured.out.find(prefix);
        ASSERT_NE(at, std::string::npos) << captured.out.substr(0, 500);
        at += prefix.size();
        std::string hint = captured.out.substr(at, captured.out.find_first_of("\r\n", at) - at);
        ASSERT_TRUE(Has(hint, "--machine FILE")) << hint;
        hint.replace(hint.find("FILE"), 4, "captured.toml");
        Result replay = Start(kSetup, hint);
        EXPECT_EQ(replay.status, 0) << os << ": " << hint << "\n" << replay.err;
        EXPECT_FALSE(Has(replay.err, "left over")) << os << ": " << hint << "\n" << replay.err;
    }
}

namespace {

// A shell script, and vntrsetup-sim in it, on a terminal of its own (a
// pseudo-terminal the test types into and reads).
class Terminal {
   public:
    explicit Terminal(const std::string& script) {
        const std::string command = script;
        pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            if (chdir(Dir().c_str()) != 0) _exit(126);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    pid_t pid() const { return pid_; }
    const std::string& seen() const { return seen_; }

    // Reads until `text` has been shown `times` times in all (false after
    // 20 s without: a hang).
    bool WaitFor(const std::string& text, int times = 1) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Count(text) < times) {
            if (std::chrono::steady_clock::now() > until || !ReadSome(1000)) return false;
        }
        return true;
    }
    int Count(const std::string& text) const {
        int n = 0;
        for (size_t at = seen_.find(text); at != std::string::npos; at = seen_.find(text, at + 1))
            ++n;
        return n;
    }
    void Type(const std::string& text) {
        EXPECT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Reads to the end; the wait status.
    int Finish() {
        while (ReadSome(20000)) {
        }
        int status = -1;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

   private:
    // False at the end of the output (or after `ms` without any).
    bool ReadSome(int ms) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char buffer[4096];
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string seen_;
};

// A process's /proc stat line, or "" once the process is gone: it may end
// between the open and the read, which then fails with ESRCH.
std::string ProcStat(const std::string& pid) {
    int fd = open(("/proc/" + pid + "/stat").c_str(), O_RDONLY);
    if (fd < 0) return "";
    char buffer[1024];
    ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
}

// The children of a process, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> out;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
    while (dirent* d = dir ? readdir(dir.get()) : nullptr) {
        if (strspn(d->d_name, "0123456789") != strlen(d->d_name)) continue;
        std::string stat = ProcStat(d->d_name);
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        int ppid = 0;
        char state;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            out.push_back(atoi(d->d_name));
    }
    return out;
}

// Whether a process has ended: gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
    std::string stat = ProcStat(std::to_string(pid));
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.size() < close + 3 || stat[close + 2] == 'Z' ||
           stat[close + 2] == 'X';
}

}  // namespace

TEST_F(Cli, on_a_terminal_the_files_answers_come_first_then_it_asks) {
    // The built-in machine answers the first question; the restart question
    // is asked, and "maybe" asks it again.
    Terminal first(std::string("exec ") + kSetup + " --os 98se");
    ASSERT_TRUE(first.WaitFor("[y/n]")) << first.seen();
    first.Type("maybe\n");
    ASSERT_TRUE(first.WaitFor("[y/n]", 2)) << first.seen();
    first.Type("n\n");
    EXPECT_EQ(WEXITSTATUS(first.Finish()), 0) << first.seen();
    EXPECT_EQ(first.Count("[y/n]"), 2) << first.seen();
    EXPECT_TRUE(Has(first.seen(), "answer: No")) << first.seen();
    EXPECT_TRUE(Has(first.seen(), "outcome: staged")) << first.seen();

    // --ask asks every question, its texts shown as the report shows them.
    Write("ask.toml", kHostile);
    Terminal ask(std::string("exec ") + kSetup + " ask.toml --ask");
    ASSERT_TRUE(ask.WaitFor("[y/n]")) << ask.seen();
    ask.Type("y\n");
    ASSERT_TRUE(ask.WaitFor("[y/n]", 2)) << ask.seen();
    ask.Type("n\n");
    ask.Finish();
    EXPECT_EQ(ask.Count("[y/n]"), 2) << ask.seen();
    EXPECT_TRUE(Has(ask.seen(), "title:  \"T\\x1B]0;pwned\\x07\"")) << ask.seen();
    EXPECT_FALSE(Has(ask.seen(), "\x1b]0;")) << ask.seen();
    EXPECT_TRUE(Has(ask.seen(), "outcome: staged")) << ask.seen();
}

// A simulator that is ended while a question waits on the terminal takes
// its child with it, whether it is asked to end or killed outright. The
// shell around it leads the terminal's session and outlives it, so that the
// end of the session (a SIGHUP to everything on the terminal) is not what
// ends the child.
TEST_F(Cli, an_ended_simulator_leaves_no_child_behind) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        Terminal t(std::string(kSetup) + " --os 98se --ask; echo ended $?; sleep 30");
        ASSERT_TRUE(t.WaitFor("[y/n]")) << t.seen();
        std::vector<pid_t> sim = ChildrenOf(t.pid());
        ASSERT_EQ(sim.size(), 1u) << strsignal(sig);
        std::vector<pid_t> children = ChildrenOf(sim[0]);
        ASSERT_EQ(children.size(), 1u) << strsignal(sig);
        kill(sim[0], sig);
        EXPECT_TRUE(t.WaitFor("ended " + std::to_string(128 + sig))) << t.seen();
        // The child ends at once; 10 s only tells a hang from a slow machine.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Ended(children[0]) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(Ended(children[0])) << strsignal(sig) << ": child " << children[0] << " lives";
    }
}

// The time limit counts the program's own work, not the time a person
// takes to answer: a limit of 1 s, a person who takes 1.2 s.
TEST(RunLoop, time_spent_waiting_for_a_person_does_not_count) {
    struct Case {
        const char* what;
        int person_ms;     // how long each answer takes
        const char* hang;  // the event after which the program hangs, or nullptr
        const char* status;
    } cases[] = {
        {"slow answers, quick program", 1200, nullptr, "ok"},
        {"slow answer, then a hang", 1200, "copy", "timeout"},
    };
    for (const Case& c : cases) {
        sim::Machine m = sim::BuiltInMachine("98se", {}).machine;
        sim::RunOptions options;
        auto asked = std::make_shared<int>(0);
        int ms = c.person_ms;
        options.answer = [asked, ms](const sim::Event&) -> std::optional<bool> {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return ++*asked == 1;  // Yes to the update, No to the restart
        };
        std::string hang = c.hang ? c.hang : "";
        options.sink = [hang](const sim::Event& e) {
            if (!hang.empty() && e.type() == hang)
                while (true) pause();
        };
        sim::Outcome o = sim::Run(m, options, 1);
        EXPECT_EQ(o.status, c.status) << c.what << ": " << o.message;
        if (o.status == "ok") {
            EXPECT_EQ(o.Result(), "staged") << c.what;
        } else {
            EXPECT_TRUE(Has(o.message, "did not finish within 1 s")) << o.message;
        }
    }
}
