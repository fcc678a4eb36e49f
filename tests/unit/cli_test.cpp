// The command-line simulator as users and scripts call it: the options, the
// exit statuses, and the ordinary mistakes and hostile inputs it must turn
// away quickly with a message that names the file and the reason.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace {

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

// Runs the simulator in the test folder, with `input` (or /dev/null) as
// standard input; a run that hangs is killed after 30 s (status 124).
Result Sim(const std::string& args, const std::string& input = "") {
    std::string in = "/dev/null";
    if (!input.empty()) {
        in = Dir() + "stdin.txt";
        std::ofstream(in, std::ios::binary) << input;
    }
    std::string command = "cd " + Dir() + " && timeout 30 " + VNTR_SIM_BINARY + " " + args + " <" +
                          in + " >" + Dir() + "out.txt 2>" + Dir() + "err.txt";
    auto start = std::chrono::steady_clock::now();
    int status = system(command.c_str());
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(Dir() + "out.txt"),
            Slurp(Dir() + "err.txt"), seconds};
}

void Write(const std::string& name, const std::string& text) {
    std::ofstream(Dir() + name, std::ios::binary) << text;
}

std::string Repeat(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

bool Has(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

class Cli : public testing::Test {
   protected:
    static void TearDownTestSuite() { system(("rm -rf " + Dir()).c_str()); }
    static void SetUpTestSuite() {
        system(("rm -rf " + Dir() + " && mkdir -p " + Dir()).c_str());
        mkfifo((Dir() + "fifo").c_str(), 0600);
        mkdir((Dir() + "empty").c_str(), 0700);
        mkdir((Dir() + "with-fifo").c_str(), 0700);
        mkfifo((Dir() + "with-fifo/pipe").c_str(), 0600);
        mkdir((Dir() + "linked").c_str(), 0700);
        symlink("/etc/hostname", (Dir() + "linked/outside").c_str());
        truncate((Dir() + "huge.toml").c_str(), 0);
        std::ofstream(Dir() + "huge.toml").close();
        truncate((Dir() + "huge.toml").c_str(), (64 << 20) + 1);
        std::ofstream(Dir() + "huge.bin").close();
        truncate((Dir() + "huge.bin").c_str(), (16 << 20) + 1);
    }
};

const std::string kExamples = std::string(VNTR_SOURCE_DIR) + "/examples/machines/";
const std::string kRegression = std::string(VNTR_SOURCE_DIR) + "/tests/machines/";

}  // namespace

// Each attack ends within seconds, with the status and message it should.
TEST_F(Cli, hostile_and_mistaken_inputs_end_quickly_with_a_reason) {
    struct Case {
        const char* what;
        std::string toml;  // written to case.toml first, when given
        std::string args;
        int status;
        const char* message;  // expected in standard error
    } cases[] = {
        {"machine file is a FIFO", "", "--machine fifo", 2, "fifo:0: is a FIFO"},
        {"[[files]] from a FIFO", "[[files]]\npath = 'C:\\x'\nfrom = 'fifo'\n",
         "--machine case.toml", 2, "case.toml:3: files[0].from: fifo: is a FIFO"},
        {"package from /dev", "[package]\nfrom = '/dev'\n", "--machine case.toml", 2,
         "not a regular file; a package folder may hold only files and folders"},
        {"package folder holding a FIFO", "[package]\nfrom = 'with-fifo'\n", "--machine case.toml",
         2, "with-fifo/pipe: is a FIFO"},
        {"machine file /dev/zero", "", "--machine /dev/zero", 2,
         "/dev/zero:0: is a character device, not a regular file"},
        {"[[files]] from /dev/zero", "[[files]]\npath = 'C:\\x'\nfrom = '/dev/zero'\n",
         "--machine case.toml", 2, "/dev/zero: is a character device"},
        {"machine file is a directory", "", "--machine empty", 2, "empty:0: is a directory"},
        {"machine file missing", "", "--machine nothing.toml", 2,
         "nothing.toml:0: cannot open: no such file"},
        {"machine file over the cap", "", "--machine huge.toml", 2,
         "67108865 bytes, more than 64 MiB"},
        {"[[files]] from a file over the cap", "[[files]]\npath = 'C:\\x'\nfrom = 'huge.bin'\n",
         "--machine case.toml", 2, "16777217 bytes, more than 16 MiB"},
        {"a 1 MB current directory", "current_dir = 'C:\\" + std::string(1 << 20, 'A') + "'\n",
         "--machine case.toml", 2, "current_dir: 1048579 characters, longer than Windows allows"},
        {"a command line of 40,000 characters", "", "--command-line " + std::string(40000, 'x'), 2,
         "--command-line: 40000 characters, longer than Windows allows (32,767)"},
        {"a caption of 70,000 characters", "caption = '" + std::string(70000, 'c') + "'\n",
         "--machine case.toml", 2, "case.toml:1: caption: 70000 characters, more than a string"},
        {"misspelt fault", "[[faults]]\ncall = 'CopyFile'\n", "--machine case.toml", 2,
         "case.toml:2: faults[0].call: no host call is named 'CopyFile' (calls that can fail: "
         "GetVersionExA,"},
        {"fault on a call that cannot fail", "[[faults]]\ncall = 'LocalFree'\n",
         "--machine case.toml", 2, "LocalFree is not made to fail"},
        {"fault on GetSystemDefaultLCID", "[[faults]]\ncall = 'GetSystemDefaultLCID'\n",
         "--machine case.toml", 2, "set `locale` instead"},
        {"a fault that never fires",
         "os = '98se'\nanswers = ['yes']\n[[faults]]\ncall = 'CopyFileA'\nnth = 9\n",
         "--machine case.toml", 0,
         "case.toml:4: faults[0]: the planned fault on CopyFileA (call 9) never fired"},
        {"the old spelling of a failing update", "[update]\nresult = false\n",
         "--machine case.toml", 2, "call = \"UpdateDriverForPlugAndPlayDevicesA\""},
        {"the old spelling of a refused restart", "exit_windows_succeeds = false\n",
         "--machine case.toml", 2, "call = \"ExitWindowsEx\""},
        {"NUL in a path", "current_dir = \"C:\\\\VN\\u0000TR\"\n", "--machine case.toml", 2,
         "current_dir: a path may not hold a NUL character"},
        {"NUL in a key name", "[[keys]]\npath = \"Enum\\\\P\\u0000CI\"\n", "--machine case.toml", 2,
         "keys[0].path: a name may not hold a NUL character"},
        {"a character the code page lacks", "", "--cwd 'C:\\\xD0\x96uk' --answer no", 2,
         "the character '\xD0\x96' (U+0416) has no place in code page 1252"},
        {"devices on Windows 98", "os = '98'\n[[devices]]\nids = ['PCI\\X']\n",
         "--machine case.toml --answer no", 0, "case.toml:2: devices: never observed"},
        {"Enum keys on Windows XP", "[[keys]]\npath = 'Enum\\PCI\\X'\n",
         "--machine case.toml --answer no", 0, "case.toml:1: keys: never observed"},
        {"locale that is not hexadecimal", "", "--locale 04g7", 2, "hexadecimal locale"},
        {"a key of 100,000 dotted parts", "\"x\" = 1\na" + Repeat(".b", 100000) + " = 1\n",
         "--machine case.toml", 2,
         "case.toml:2: a dotted key or table header of more than 64 parts"},
        {"a table header of 100,000 parts", "[a" + Repeat(".b", 100000) + "]\n",
         "--machine case.toml", 2, "case.toml:1: a dotted key or table header of more than 64"},
        {"dots in comments and strings are text",
         "# " + Repeat("x.", 100) + "\ncaption = '" + Repeat("x.", 100) + "'\n",
         "--machine case.toml --answer no", 0, ""},
        {"option given twice", "", "--os xp --os 98", 2, "--os is given twice"},
        {"a Yes/No box without answer", "os = '98se'\n", "--machine case.toml", 4,
         "a Yes/No box found no answer left"},
    };
    for (const Case& c : cases) {
        if (!c.toml.empty()) Write("case.toml", c.toml);
        Result r = Sim(c.args);
        printf("attack: %-40s -> status %d in %.2f s\n", c.what, r.status, r.seconds);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.message)) << c.what << ": " << r.err;
        EXPECT_LT(r.seconds, 10) << c.what;
    }
}

// What the options replace, and only that.
TEST_F(Cli, options_override_only_what_they_name) {
    // --package replaces the example package: nothing to copy.
    Result empty = Sim("--machine " + kExamples + "98se.toml --package empty --answer yes");
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_TRUE(Has(empty.out, "outcome: failed")) << empty.out;
    EXPECT_FALSE(Has(empty.out, "copy C:")) << empty.out;

    // --cwd keeps the file's `omit`: the catalog is still missing.
    Result omit = Sim("--machine " + kRegression + "98se-missing-catalog.toml --cwd 'C:\\VNTR'");
    EXPECT_TRUE(Has(omit.out, "outcome: failed")) << omit.out;
    EXPECT_FALSE(Has(omit.out, "VNTR98SE.CAT -> ")) << omit.out;

    // A link in a package folder is mounted under its own name only.
    Result link = Sim("--package linked --dump-machine");
    EXPECT_EQ(link.status, 0) << link.err;
    EXPECT_TRUE(Has(link.out, "\"C:\\\\VNTR\\\\outside\"")) << link.out;
    EXPECT_FALSE(Has(link.out, "\\\\etc")) << link.out;

    // Locale identifiers are hexadecimal, with or without 0x.
    for (const char* id : {"0407", "0x0407", "407"}) {
        Result r = Sim(std::string("--locale ") + id + " --answer no");
        EXPECT_TRUE(Has(r.out, "fopen(\"C:\\VNTR\\MultiLang\\0407.dat\"")) << id << r.out;
    }

    // UTF-8 on the command line reaches the program in its code page and is
    // shown back in UTF-8; the JSON keeps the bytes, one character each.
    Result text = Sim("--cwd 'C:\\Tr\xC3\xA4ger' --answer no");
    EXPECT_TRUE(Has(text.out, "current directory C:\\Tr\xC3\xA4ger;")) << text.out;
    Write("cp.toml", "codepage = 1251\ncurrent_dir = 'C:\\\xD0\x96'\nanswers = ['no']\n");
    Result json = Sim("--machine cp.toml --json");
    auto doc = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << json.out;
    EXPECT_EQ(doc["machine"]["current_dir"], "C:\\\xC3\x86") << "0xC6, the byte of U+0416";

    // The command line the program receives is shown, and ignored.
    auto events =
        nlohmann::json::parse(Sim("--command-line '/S /quiet' --answer yes --json").out)["events"];
    auto plain = nlohmann::json::parse(Sim("--answer yes --json").out)["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0]["command_line"], "/S /quiet");
    events.erase(0);
    plain.erase(0);
    EXPECT_EQ(plain, events);
}

TEST_F(Cli, the_command_line_a_user_expects) {
    Result help = Sim("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--machine", "--os", "--package", "--cwd", "--locale", "--answer", "--ask", "--json",
          "--check", "--list-calls", "--version", "  4  a Yes/No box had no answer"})
        EXPECT_TRUE(Has(help.out, option)) << option;
    EXPECT_EQ(Sim("--version").out.rfind("vntrsetup-sim ", 0), 0u);
    Result calls = Sim("--list-calls");
    EXPECT_TRUE(Has(calls.out, "UpdateDriverForPlugAndPlayDevicesA")) << calls.out;

    // --opt=value, --, and the machine from standard input.
    Result eq = Sim("--os=98se --answer=yes --answer=no");
    EXPECT_TRUE(Has(eq.out, "outcome: staged")) << eq.out << eq.err;
    Result dashes = Sim("--answer no -- " + kExamples + "xp.toml");
    EXPECT_TRUE(Has(dashes.out, "outcome: declined")) << dashes.out << dashes.err;
    Result in = Sim("--machine - --answer yes", "os = '98'\n");
    EXPECT_TRUE(Has(in.out, "(standard input)")) << in.out << in.err;

    for (const char* bad :
         {"--os vista", "--answer maybe", "--frobnicate", "--os xp --machine x.toml",
          "--cwd relative", "--machine", "--json=yes", "a.toml b.toml", "--json --check"}) {
        Result r = Sim(bad);
        EXPECT_EQ(r.status, 2) << bad << ": " << r.err;
        EXPECT_TRUE(Has(r.err, "vntrsetup-sim: ")) << bad;
    }
}

TEST_F(Cli, json_stays_one_document_and_warnings_go_to_standard_error) {
    Write("warn.toml", "os = '98'\nanswers = ['no', 'no']\n[[devices]]\nids = ['X']\n");
    Result r = Sim("--machine warn.toml --json");
    EXPECT_EQ(r.status, 0);
    auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    EXPECT_EQ(doc["outcome"], "declined");
    EXPECT_EQ(doc["boxes"][0]["answer"], "No");
    EXPECT_EQ(doc["boxes"][0]["args"]["caption"], "Vantor CardBus Controller Setup Utility");
    EXPECT_TRUE(doc["changes"].empty());
    EXPECT_EQ(doc["machine"]["platform"], 1);
    EXPECT_TRUE(Has(r.err, "never observed")) << r.err;
    EXPECT_TRUE(Has(r.err, "1 answer(s) left over")) << r.err;
}

TEST_F(Cli, check_compares_the_run_with_the_expect_table) {
    Write("ok.toml",
          "os = '98se'\nanswers = ['yes']\n[expect]\noutcome = 'no-controller'\n"
          "boxes = ['Do you want to update Vantor Cardbus controllers?',\n"
          "         'No generic Vantor Cardbus controllers found!']\n");
    Result ok = Sim("--machine ok.toml --check");
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    EXPECT_TRUE(Has(ok.out, "ok.toml:3: as expected")) << ok.out;

    Write("bad.toml",
          "os = '98se'\nanswers = ['yes']\n[expect]\noutcome = 'installed'\n"
          "changes = ['copy C:\\PKG\\VNTR98SE.INF -> C:\\WINDOWS\\INF\\VNTR98SE.INF']\n");
    Result bad = Sim("--machine bad.toml --check");
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_TRUE(Has(bad.out, "outcome: expected installed, got no-controller")) << bad.out;
    EXPECT_TRUE(Has(bad.out, "- \"copy C:\\PKG\\VNTR98SE.INF -> C:\\WINDOWS\\INF\\VNTR98SE.INF\""))
        << bad.out;
    EXPECT_TRUE(Has(bad.out, "+ \"copy C:\\VNTR98SE.INF -> C:\\WINDOWS")) << bad.out;

    EXPECT_EQ(Sim("--os xp --check").status, 2);
}

TEST_F(Cli, on_a_terminal_the_files_answers_come_first_then_it_asks) {
    // script(1) gives the simulator a terminal; the answers are typed into it.
    auto run = [](const std::string& args, const std::string& typed) {
        std::string command = "printf '" + typed + "' | script -qec \"" +
                              std::string(VNTR_SIM_BINARY) + " " + args + "\" /dev/null 2>&1";
        FILE* p = popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t n;
        while (p && (n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        if (p) pclose(p);
        return out;
    };
    auto count = [](const std::string& s, const std::string& what) {
        int n = 0;
        for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
        return n;
    };
    // The built-in machine answers the first question; the restart question
    // is asked, and "maybe" asks it again.
    std::string first = run("--os 98se", "maybe\\nn\\n");
    EXPECT_EQ(count(first, "[y/n]"), 2) << first;
    EXPECT_TRUE(Has(first, "answer: No")) << first;
    EXPECT_TRUE(Has(first, "outcome: staged")) << first;
    // --ask asks every question.
    std::string ask = run("--os 98se --ask", "y\\nn\\n");
    EXPECT_EQ(count(ask, "[y/n]"), 2) << ask;
    EXPECT_TRUE(Has(ask, "outcome: staged")) << ask;
}
