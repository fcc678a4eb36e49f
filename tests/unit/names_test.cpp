// Names as Windows reads them, one table per rule: characters with two codes,
// control characters on their way out, double-byte names taken apart,
// folded and compared, the rarer name rules, where a path lies; and input
// read the same way whatever the user names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/codepage.h"
#include "sim/expect.h"
#include "sim/hostfiles.h"
#include "sim/locales.h"
#include "sim/machine_file.h"
#include "sim/presets.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

// In code page 932 through the machine file (UTF-8 in, the code page's
// bytes kept).
std::string Cp932(const std::string& utf8) {
    std::string out, problem;
    EXPECT_TRUE(sim::ToCodePage(utf8, 932, &out, &problem)) << problem;
    return out;
}

// A C1 control in UTF-8 (U+0080 to U+009F), or a raw control character but
// tab and line end: what a terminal may obey.
bool Obeyed(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) return true;
        if (c == 0xC2 && next >= 0x80 && next < 0xA0) return true;
    }
    return false;
}

}  // namespace

// Code page 932 has two or three codes for some characters (NEC's row 13,
// NEC's selection of IBM's, IBM's own). Each reads as the one character;
// the character is written with one code; a text holding another code is
// written to an [expect] table by its bytes and read back as those bytes;
// and Windows NT takes the codes for one name where 9x compares bytes.
TEST(Names, characters_with_two_codes_in_932_read_write_and_compare) {
    struct Case {
        const char* utf8;
        std::vector<std::string> codes;  // every code that reads as it
    } cases[] = {
        {"\uFFE2", {"\x81\xCA", "\xEE\xF9", "\xFA\x54"}},  // ￢: JIS row 2, NEC-selected, IBM
        {"\u2235", {"\x81\xE6", "\xFA\x5B"}},              // ∵
        {"\u2160", {"\x87\x54", "\xFA\x4A"}},              // Ⅰ: NEC row 13, IBM
        {"\u2170", {"\xEE\xEF", "\xFA\x40"}},              // ⅰ: NEC-selected, IBM
    };
    for (const Case& c : cases) {
        const std::string written = Cp932(c.utf8);
        bool written_is_one = false;
        for (const std::string& code : c.codes) {
            SCOPED_TRACE(sim::Visible(code, sim::kUtf8) + " " + c.utf8);
            written_is_one = written_is_one || code == written;
            EXPECT_EQ(sim::FromCodePage(code, 932), c.utf8);
            EXPECT_EQ(sim::Visible(code, 932), c.utf8);
            // Through [expect] and back, byte for byte.
            sim::Observed seen;
            seen.codepage = 932;
            seen.outcome = "installed";
            seen.boxes = {code};
            std::string table = sim::ExpectTable(seen);
            EXPECT_EQ(table.find("hex") != std::string::npos, code != written) << table;
            sim::LoadedMachine back = sim::ParseMachine("locale = 0x0411\n" + table, "t.toml");
            ASSERT_TRUE(back.expect && back.expect->boxes);
            EXPECT_EQ(back.expect->boxes->at(0), code);
            // One name on NT, two on 9x (unless the bytes are the same).
            for (bool nt : {true, false}) {
                sim::TextCodePageScope text(932, nt);
                EXPECT_EQ(sim::EqualNoCase("K" + code, "k" + written), nt || code == written)
                    << (nt ? "NT" : "9x");
            }
        }
        EXPECT_TRUE(written_is_one) << c.utf8;
    }
}

// Every text made for a terminal or a written file (the front ends' own
// messages pass Visible as well; warnings also go into --json unchanged)
// shows a C1 control (bytes 0x80 to 0x9F of 1252, or U+0080 to U+009F in
// UTF-8) and a C0 control as an escape, never as itself.
TEST(Names, control_characters_never_reach_a_terminal_or_a_written_file) {
    const std::string c1_1252 = "A\x81\x9B[2JB", c1_utf8 = "A\xC2\x9B[2JB", c0 = "A\x1B[2J\x07";
    sim::TextCodePageScope text(1252);
    sim::Observed seen;
    seen.outcome = "installed";
    seen.boxes = {c1_1252, c0};
    seen.trace = {c1_1252};
    sim::Expectation want;
    want.trace = std::vector<sim::Bytes>{c0};
    std::string differences;
    for (const std::string& line : sim::Differences(want, seen)) differences += line + "\n";
    const struct {
        const char* where;
        std::string text;
    } outputs[] = {
        {"Visible, 1252", sim::Visible(c1_1252, 1252)},
        {"Visible, 932 (a lead byte without its pair)", sim::Visible("\x81\x1B[2J", 932)},
        {"Visible, UTF-8", sim::Visible(c1_utf8 + c0, sim::kUtf8)},
        {"an [expect] table", sim::ExpectTable(seen)},
        {"--check's differences", differences},
        {"a name Windows refuses", sim::WindowsNameProblem(c1_1252 + "?")},
        {"a library never loaded", sim::UnusedLibraryProblem(c1_1252)},
        {"an entry point never asked for", sim::UnusedLibraryProblem("setupapi.dll", c1_1252)},
    };
    for (const auto& o : outputs) {
        EXPECT_FALSE(Obeyed(o.text)) << o.where << ": " << o.text;
        EXPECT_NE(o.text, "") << o.where;
    }
}

// Double-byte names whose trail bytes are ASCII letters or the backslash's
// byte: the trail byte is never folded, compared or split as a character of
// its own; letters fold as the machine's Windows folds them (NT by Unicode,
// 9x by the code page's single bytes), and the registry and the file system
// find a name by any spelling EqualNoCase takes for it.
TEST(Names, double_byte_names_fold_compare_and_split_by_characters) {
    struct Case {
        uint32_t codepage;
        std::string a, b;
        bool nt, same;
    } cases[] = {
        {932, "\x83\x61", "\x83\x41", true, false},  // ヂ, ア: trail bytes 'a' and 'A'
        {932, "\x83\x61", "\x83\x41", false, false},
        {932, "\x82\x81", "\x82\x60", true, true},  // ａ, Ａ (full width)
        {932, "\x82\x81", "\x82\x60", false, false},
        {932, "\x84\x70", "\x84\x40", true, true},  // Cyrillic а, А
        {932, "\x84\x70", "\x84\x40", false, false},
        {950, "\xA6\x61", "\xA6\x41", true, false},     // two characters, trails 'a' 'A'
        {936, "\xA3\xE1", "\xA3\xC1", true, true},      // ａ, Ａ in GBK
        {1252, "\xE9t\xE9", "\xC9T\xC9", false, true},  // été, ÉTÉ
        {1251, "\xE0", "\xC0", false, true},            // а, А
        {1253, "\xF3", "\xD3", true, true},             // σ, Σ
        {1252, "\xFF", "\x9F", true, true},             // ÿ, Ÿ
        {1252, "i", "I", false, true},
        {1254, "\xFD", "I", true, false},  // dotless ı is no I
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.codepage) + (c.nt ? " NT " : " 9x ") +
                     sim::Visible(c.a, c.codepage) + " " + sim::Visible(c.b, c.codepage));
        sim::TextCodePageScope text(c.codepage, c.nt);
        EXPECT_EQ(sim::EqualNoCase(c.a, c.b), c.same);
        EXPECT_EQ(sim::Upper(c.a) == sim::Upper(c.b), c.same);
        if (c.same) {
            EXPECT_EQ(sim::HashNoCase(c.a), sim::HashNoCase(c.b));
        }
        // Shown as characters: no trail byte shows as a letter of its own.
        if (c.codepage >= 932 && c.codepage <= 950) {
            for (char ch : sim::Visible(c.a, c.codepage))
                EXPECT_TRUE(static_cast<unsigned char>(ch) >= 0x80)
                    << sim::Visible(c.a, c.codepage);
        }
        // The registry, with and without its index, and the file system.
        for (int others : {0, 10}) {
            sim::RegKey key;
            for (int i = 0; i < others; ++i) key.Make("K" + std::to_string(i));
            sim::RegKey* made = key.Make(c.a);
            EXPECT_EQ(key.Child(c.b) == made, c.same) << others;
        }
        sim::FileSystem files;
        ASSERT_TRUE(files.PutFile("C:\\" + c.a + "\\f", "x"));
        EXPECT_EQ(files.IsFile("C:\\" + c.b + "\\F"), c.same);
    }

    // The trail byte 0x5C is no backslash: a key named ソフト under
    // Enum\PCI is one key, in the machine file and for RegOpenKeyA; the
    // same for a library's name and a folder's.
    const std::string soft = Cp932("ソフト"), instance = Cp932("インスタンス");
    sim::Machine m = flow::FromToml("os = '98se'\nlocale = 0x0411\n[[keys]]\npath = 'Enum\\PCI\\" +
                                    std::string("ソフト\\インスタンス") + "'\n");
    sim::RegKey* pci = sim::FindKeyPath(m.hklm.get(), "Enum\\PCI");
    ASSERT_NE(pci, nullptr);
    ASSERT_NE(pci->Child(soft), nullptr);
    EXPECT_NE(pci->Child(soft)->Child(instance), nullptr);
    EXPECT_EQ(pci->Child(soft.substr(0, 1)), nullptr);
    // Libraries in a folder whose name ends in ソ, and one named with it.
    const std::string so = Cp932("ソ");
    m.modules.push_back({soft + ".dll", m.system_dir, true, false, {}});
    m.modules.push_back({"x.dll", "C:\\" + so, true, false, {}});
    sim::Session session(m, {});
    EXPECT_NE(LoadLibraryA((soft + ".dll").c_str()), nullptr);
    EXPECT_NE(GetFileAttributesA(("C:\\" + so + "\\x.dll").c_str()), INVALID_FILE_ATTRIBUTES);
    HKEY opened = nullptr;
    EXPECT_EQ(
        RegOpenKeyA(HKEY_LOCAL_MACHINE, ("Enum\\PCI\\" + soft + "\\" + instance).c_str(), &opened),
        ERROR_SUCCESS);
    RegCloseKey(opened);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("Enum\\PCI\\" + soft).c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, ("Enum\\PCI\\" + soft).c_str(), &opened),
              ERROR_FILE_NOT_FOUND);
}

// The name rules' rarer cases: a device name stays one with spaces before
// its extension, and every lookup by name ignores case: libraries, the
// package files a placeholder stands for, library names a machine file gives.
TEST(Names, device_names_with_spaces_and_case_in_every_lookup_by_name) {
    sim::TextCodePageScope text(1252);
    const struct {
        const char* name;
        bool refused;
    } names[] = {
        {"CON", true},     {"con .txt", true}, {"NUL  .inf", true}, {"Com1 .dat", true},
        {"LPT9", true},    {"aux.", true},     {"COM0", false},     {"CONSOLE", false},
        {" CON.x", false}, {"LPT10", false},   {"NUL\xE9", false},  {"PRN .", true},
    };
    for (const auto& n : names)
        EXPECT_EQ(!sim::WindowsNameProblem(n.name).empty(), n.refused) << n.name;

    // Modules: the machine's libraries are found whatever the case of the
    // name asked for or given.
    for (const char* given : {"SETUPAPI.DLL", "SetupApi.dll"}) {
        EXPECT_EQ(sim::UnusedLibraryProblem(given), "") << given;
        EXPECT_EQ(sim::UnusedLibraryProblem(given, "SetupDiGetClassDevsA"), "") << given;
        EXPECT_NE(sim::UnusedLibraryProblem(given, "setupdigetclassdevsa"), "") << given;
    }
    sim::Machine m = flow::On("xp");
    for (sim::Module& mod : m.modules) mod.name = sim::Upper(mod.name);
    {
        sim::Session session(m, {});
        EXPECT_NE(LoadLibraryA("setupapi.dll"), nullptr);
        EXPECT_NE(LoadLibraryA("C:\\windows\\SYSTEM32\\NewDev"), nullptr);
        EXPECT_NE(GetFileAttributesA("c:\\Windows\\System32\\setupapi.DLL"),
                  INVALID_FILE_ATTRIBUTES);
    }
    // A file given by size and CRC-32 takes the example package's bytes of
    // that name in any case; a name the package does not have stays a
    // placeholder.
    sim::Machine captured = flow::FromToml(
        "package = false\n"
        "[[files]]\npath = 'C:\\VNTR\\vntrxp.inf'\nsize = 1051\ncrc32 = 0x7A163EB1\n"
        "[[files]]\npath = 'C:\\VNTR\\other.inf'\nsize = 1051\ncrc32 = 0x7A163EB1\n");
    const auto* inf = captured.files.Find("C:\\VNTR\\VNTRXP.INF");
    const auto* other = captured.files.Find("C:\\VNTR\\OTHER.INF");
    ASSERT_TRUE(inf && other);
    EXPECT_FALSE(inf->data.placeholder());
    EXPECT_TRUE(other->data.placeholder());
}

// Where a path lies: a folder whose name merely begins another's is not
// within it; every path is within a drive root; a package folder at a drive
// root holds what lies below it, but not Windows' own directories; case
// and double-byte names as Windows compares them.
TEST(Names, a_path_lies_in_a_folder_only_below_its_whole_name) {
    struct Case {
        const char* path;
        const char* folder;
        bool within;
    } cases[] = {
        {"C:\\VNTR", "C:\\VNTR", true},
        {"C:\\VNTR\\A.INF", "C:\\VNTR", true},
        {"C:\\VNTR2", "C:\\VNTR", false},
        {"C:\\VNTR2\\A.INF", "C:\\VNTR", false},
        {"C:\\vntr\\a.inf", "C:\\VNTR", true},
        {"C:\\VNT", "C:\\VNTR", false},
        {"C:\\A.INF", "C:\\", true},
        {"D:\\A.INF", "C:\\", false},
        {"C:\\\x95\x5C\\A", "C:\\\x95", false},  // 表 is no folder 0x95 with a backslash
        {"C:\\\x95\x5C\\A", "C:\\\x95\x5C", true},
    };
    {
        sim::TextCodePageScope text(932);
        for (const Case& c : cases)
            EXPECT_EQ(sim::PathWithin(c.path, c.folder), c.within)
                << sim::Visible(c.path, 932) << " in " << sim::Visible(c.folder, 932);
    }
    // --cwd moves the package folder with what the file put in it, and
    // nothing else.
    const struct {
        const char* current_dir;
        const char* file;
        const char* after;  // where the file is in the run
    } moves[] = {
        {"C:\\VNTR", "C:\\VNTR\\a.txt", "E:\\NEW\\a.txt"},
        {"C:\\VNTR", "C:\\vntr\\Sub\\b.txt", "E:\\NEW\\Sub\\b.txt"},
        {"C:\\VNTR", "C:\\VNTR2\\c.txt", "C:\\VNTR2\\c.txt"},
        {"C:\\", "C:\\d.txt", "E:\\NEW\\d.txt"},
        {"C:\\", "C:\\WINDOWS\\INF\\e.inf", "C:\\WINDOWS\\INF\\e.inf"},
    };
    for (const auto& c : moves) {
        sim::Overrides cwd;
        cwd.current_dir = "E:\\NEW";
        sim::Machine m =
            sim::ParseMachine(std::string("package = false\ncurrent_dir = '") + c.current_dir +
                                  "'\n[[files]]\npath = '" + c.file + "'\ntext = 'x'\n",
                              "t.toml", ".", cwd)
                .machine;
        EXPECT_TRUE(m.files.IsFile(c.after)) << c.current_dir << " " << c.file;
    }
}

// Whatever names a machine file: a regular file, a pipe or a FIFO, each read
// whole under the same cap; a stream that never writes ends within its wait.
TEST(Input, files_pipes_and_fifos_are_read_alike_and_never_hang) {
    const std::string dir = testing::TempDir() + "names_input/";
    system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
    const std::string text = "os = '98'\n", fifo = dir + "fifo", file = dir + "file.toml";
    std::ofstream(file) << text;
    signal(SIGPIPE, SIG_IGN);  // a writer whose reader has gone
    mkfifo(fifo.c_str(), 0600);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string piped = "/proc/self/fd/" + std::to_string(fds[0]);
    struct Case {
        const char* what;
        std::string path;
        std::string writes;  // what a writer puts in, when there is one
        size_t cap;
        std::string result;  // the text read, or a part of the error
    } cases[] = {
        {"a regular file", file, "", 64, text},
        {"a regular file over the cap", file, "", 4, "more than 0 MiB"},
        {"a FIFO with a writer", fifo, text, 64, text},
        {"a FIFO over the cap", fifo, std::string(100, 'x'), 64, "more than 0 MiB"},
        {"a FIFO nobody writes to", fifo, "", 64, "nothing came from it for 0.20 s"},
        {"a pipe", piped, text, 64, text},
        {"a directory", dir, "", 64, "is a directory"},
    };
    for (const Case& c : cases) {
        std::thread writer;
        if (!c.writes.empty()) {
            writer = std::thread([&c, &fds, &fifo, &piped] {
                // A FIFO opens for writing once it has a reader: tried for
                // up to 2 s, so that a reader that never comes hangs nothing.
                int fd = c.path == piped ? fds[1] : -1;
                for (int tries = 0; fd < 0 && tries < 400; ++tries) {
                    fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                if (fd < 0) return;
                ssize_t put = write(fd, c.writes.data(), c.writes.size());
                (void)put;
                close(fd);
            });
        }
        std::string got;
        try {
            got = sim::ReadHostFile(c.path, c.cap, 200);
        } catch (const sim::HostFileError& e) {
            got = e.what();
        }
        if (writer.joinable()) writer.join();
        EXPECT_NE(got.find(c.result), std::string::npos) << c.what << ": " << got;
    }
    close(fds[0]);
    system(("rm -rf " + dir).c_str());
}

// A locale written in decimal: every locale the simulator names is
// recognised in its decimal form, and each names the code page it has.
TEST(Input, every_named_locale_is_found_from_its_decimal_form) {
    int named = 0;
    for (uint32_t id = 1; id <= 0xFFFF; ++id) {
        if (!sim::LocaleName(id)) continue;
        ++named;
        const uint32_t as_hex = static_cast<uint32_t>(std::stoul(std::to_string(id), nullptr, 16));
        EXPECT_EQ(sim::LocaleName(as_hex), nullptr) << id;
        EXPECT_LE(as_hex, sim::kMaxLocale) << id;
    }
    // Every language AnsiCodePageOf tells apart has a name.
    for (uint32_t id :
         {0x041Cu, 0x0423u, 0x042Fu, 0x043Fu, 0x0440u, 0x0444u, 0x0450u, 0x0C1Au, 0x081Au, 0x042Cu,
          0x082Cu, 0x0443u, 0x0843u, 0x0420u, 0x0429u, 0x0C04u, 0x1004u, 0x1404u, 0x141Au, 0x201Au})
        EXPECT_NE(sim::LocaleName(id), nullptr) << std::hex << id;
    EXPECT_GT(named, 60);
}
