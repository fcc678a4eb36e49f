// Machine files: what they describe, and how mistakes in them are reported.
#include "sim/machine_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "res/ids.h"
#include "sim/codepage.h"
#include "sim/locales.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

sim::MachineError ErrorOf(const std::string& text) {
    try {
        sim::ParseMachine(text, "bad.toml", VNTR_SOURCE_DIR);
    } catch (const sim::MachineError& e) {
        return e;
    }
    ADD_FAILURE() << "no error for:\n" << text;
    return sim::MachineError("", 0, "", "");
}

}  // namespace

TEST(MachineFile, mistakes_name_file_line_and_field) {
    struct Case {
        const char* text;
        int line;
        const char* field;
        const char* problem;
    } cases[] = {
        {"os = \"xp\"\nlocale = [", 2, "", ""},
        {"name = \"x\"\nos = \"vista\"\n", 2, "os", "unknown Windows version 'vista'"},
        {"locale = \"0x0409\"\n", 1, "locale", "expected an integer"},
        {"os = \"98\"\n\n[[devices]]\nidz = ['PCI\\X']\n", 4, "devices[0].idz", "unknown key"},
        {"[update]\nreboot = 1\n", 2, "update.reboot", "expected true or false"},
        {"answers = [\"yes\", \"maybe\"]\n", 1, "answers[1]", "expected \"yes\" or \"no\""},
        {"current_dir = 'VNTR'\n", 1, "current_dir", "absolute Windows path"},
        {"[[values]]\nkey = 'X'\nname = 'Y'\ntype = 'REG_QWORD'\ntext = 'z'\n", 4, "values[0].type",
         "unknown value type"},
        {"[[files]]\npath = 'C:\\a'\nhex = '4'\n", 3, "files[0].hex", "odd number"},
        {"[package]\nfrom = 'no/such/folder'\n", 1, "package", "no/such/folder: no such file"},
        {"colour = 'blue'\n", 1, "colour", "unknown key"},
        {"[[files]]\npath = 'C:\\a'\nsize = 3\n", 1, "files[0]", "a size goes with its crc32"},
        {"[[files]]\npath = 'C:\\a'\ncrc32 = 3\n", 3, "files[0].crc32", "goes with a size"},
        {"[[files]]\npath = 'C:\\a'\nsize = 16777217\ncrc32 = 0\n", 3, "files[0].size",
         "out of range"},
        {"[[files]]\npath = 'C:\\a'\nerror = 0\n", 3, "files[0].error", "0 is success"},
        {"[[files]]\npath = 'C:\\a'\ntext = 'x'\nhex = '00'\n", 1, "files[0]",
         "give exactly one of text, hex, from or size"},
        {"[[values]]\nkey = 'K'\nname = 'N'\nerror = 5\ntype = 1\n", 4, "values[0]",
         "cannot be read has no type"},
        {"[[devices]]\nids = ['A']\nerror = 5\n", 1, "devices[0]",
         "give exactly one of ids, hex, no_ids or error"},
        {"[[keys]]\npath = 'K'\nerror = -1\n", 3, "keys[0].error", "out of range"},
        // Every number by the same rule: an integer in its field's range, 0
        // only where it is a value like any other.
        {"[[faults]]\ncall = 'CopyFileA'\nerror = 0\n", 3, "faults[0].error", "0 is success"},
        {"[[faults]]\ncall = 'CopyFileA'\nnth = 0\n", 3, "faults[0].nth",
         "out of range (1 to 4294967295)"},
        {"[[faults]]\ncall = 'CopyFileA'\ncount = 2.0\n", 3, "faults[0].count",
         "expected an integer"},
        {"locale = 0\n", 1, "locale", "out of range (1 to 1048575)"},
        {"codepage = 1e3\n", 1, "codepage", "expected an integer"},
        {"[[devices]]\nerror = 0\n", 2, "devices[0].error", "0 is success"},
        // Names Windows cannot hold, wherever a file gives one.
        {"current_dir = 'C:\\a|b'\n", 1, "current_dir",
         "'a|b': a Windows file name may not hold '|'"},
        {"[[files]]\npath = 'C:\\VNTR\\NUL.txt'\ntext = 'x'\n", 2, "files[0].path",
         "'NUL.txt': a device name Windows reserves"},
        {"[[dirs]]\npath = 'C:\\VNTR\\old.'\n", 2, "dirs[0].path", "a dot or a space off the end"},
        {"remove = ['C:\\VNTR ']\n", 1, "remove[0]", "a dot or a space off the end"},
        {"[[planted]]\nname = 'com1.dll'\n", 2, "planted[0].name", "a device name"},
        {"[modules.\"a?.dll\"]\nloads = false\n", 1, "modules.\"a?.dll\"", "may not hold '?'"},
        // A NUL in a library's name is shown, and the message stays whole.
        {"[modules.\"a\\u0000b\"]\nloads = false\n", 1, "modules.\"a\\0b\"",
         "a name may not hold a NUL character"},
        {"[package]\nat = 'D:\\lpt9'\n", 2, "package.at", "a device name"},
        // [expect] checks something, in the machine's bytes.
        {"[expect]\n", 1, "expect", "an empty table checks nothing"},
        {"[expect]\ntrace = [\"\u0416\"]\n", 2, "expect.trace[0]",
         "has no place in code page 1252"},
    };
    for (const Case& c : cases) {
        sim::MachineError e = ErrorOf(c.text);
        EXPECT_EQ(e.file, "bad.toml") << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_EQ(e.field, c.field) << c.text;
        EXPECT_NE(e.problem.find(c.problem), std::string::npos) << c.text << " -> " << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("bad.toml:" + std::to_string(c.line) + ": ", 0), 0u)
            << e.what();
        EXPECT_NE(std::string(e.what()).find(e.problem), std::string::npos) << e.what();
    }
}

TEST(MachineFile, describes_version_directories_registry_devices_and_libraries) {
    sim::Machine m = sim::ParseMachine(R"(
name = "test machine"
os = { base = "98", build = 1111 }
windows_dir = 'D:\WIN'
current_dir = 'E:\PKG'
locale = 0x0407
answers = ["yes", "no"]
caption = "Titel"
background = false
[package]
omit = ["VNTR98.INF"]
[[keys]]
path = 'Enum\PCI\B'
[[keys]]
path = 'Enum\PCI\A\inst'
[[values]]
key = 'SOFTWARE\Microsoft\Windows\CurrentVersion'
name = 'OtherDevicePath'
text = 'C:\x'
[[devices]]
ids = ['PCI\VEN_1', 'ACPI\X']
[[devices]]
no_ids = true
[modules."newdev.dll"]
present = false
[modules."setupapi.dll"]
missing = ["SetupDiCallClassInstaller"]
[[planted]]
name = "newdev.dll"
[[faults]]
call = "CopyFileA"
nth = 2
error = 5
)",
                                       "t.toml", VNTR_SOURCE_DIR)
                         .machine;
    EXPECT_EQ(m.name, "test machine");
    EXPECT_EQ(m.os.platform, 1u);
    EXPECT_EQ(m.os.build_number, (4u << 24) | (10u << 16) | 1111u);
    EXPECT_EQ(m.windows_dir, "D:\\WIN");
    EXPECT_EQ(m.system_dir, "D:\\WIN\\SYSTEM");
    // What the installation derives from the Windows directory follows it,
    // wherever the file says it.
    sim::RegKey* current =
        sim::FindKeyPath(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->Value("DevicePath")->data, std::string("D:\\WIN\\INF\0", 11));
    EXPECT_EQ(m.modules[0].dir, "D:\\WIN\\SYSTEM");
    EXPECT_TRUE(m.files.IsDir("D:\\WIN\\INF"));
    EXPECT_EQ(m.current_dir, "E:\\PKG");
    EXPECT_TRUE(m.files.IsFile("e:\\pkg\\vntr98se.inf"));
    EXPECT_FALSE(m.files.IsFile("E:\\PKG\\VNTR98.INF"));
    EXPECT_EQ(m.locale, 0x0407u);
    EXPECT_EQ(m.answers, (std::vector<bool>{true, false}));
    EXPECT_EQ(m.strings.at(IDS_CAPTION), "Titel");
    EXPECT_EQ(m.delete_semantics, sim::DeleteSemantics::Legacy);

    // Keys keep the order in which the file names them.
    sim::RegKey* pci = sim::FindKeyPath(m.hklm.get(), "ENUM\\pci");
    ASSERT_NE(pci, nullptr);
    ASSERT_EQ(pci->SubkeyCount(), 2u);
    EXPECT_EQ(pci->SubkeyAt(0)->name, "B");
    EXPECT_EQ(pci->SubkeyAt(1)->name, "A");
    sim::RegKey* cv =
        sim::FindKeyPath(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    ASSERT_NE(cv->Value("otherdevicepath"), nullptr);
    EXPECT_EQ(cv->Value("OtherDevicePath")->data, std::string("C:\\x\0", 5));

    ASSERT_EQ(m.devices.size(), 2u);
    EXPECT_EQ(*m.devices[0].hardware_ids, std::string("PCI\\VEN_1\0ACPI\\X\0\0", 18));
    EXPECT_FALSE(m.devices[1].hardware_ids.has_value());

    ASSERT_EQ(m.modules.size(), 2u);
    EXPECT_EQ(m.modules[0].name, "setupapi.dll");
    EXPECT_EQ(m.modules[0].missing.count("SetupDiCallClassInstaller"), 1u);
    EXPECT_TRUE(m.modules[1].planted);
    EXPECT_EQ(m.modules[1].dir, "E:\\PKG");
    ASSERT_EQ(m.faults.size(), 1u);
    EXPECT_EQ(m.faults[0].nth, 2u);
}

TEST(MachineFile, texts_are_bytes_of_the_machines_code_page_and_hex_gives_any_bytes) {
    struct Case {
        const char* toml;   // sets the caption
        const char* bytes;  // what the program reads; null when the file is refused
        const char* problem;
    } cases[] = {
        {"caption = \"M\u00f6chten \u20ac\"",
         "M\xF6"
         "chten \x80",
         ""},
        {"codepage = 1251\ncaption = \"\u0416\u0451\"", "\xC6\xB8", ""},
        {"codepage = 1250\ncaption = \"\u0151\"", "\xF5", ""},
        {"caption = \"\u0416\"", nullptr, "(U+0416) has no place in code page 1252"},
        {"codepage = 437\ncaption = 'x'", nullptr, "not a Windows ANSI code page"},
        // Double-byte code pages, named or following the locale: the trail
        // byte of these characters is a backslash.
        {"codepage = 932\ncaption = \"\u8868\"", "\x95\x5C", ""},
        {"locale = 0x0411\ncaption = \"\u30BD\"", "\x83\x5C", ""},
        {"locale = 0x0404\ncaption = \"\u529F\"", "\xA5\x5C", ""},
        {"locale = 0x0411\ncaption = \"\u0416\"", "\x84\x47", ""},
        {"locale = 0x0412\ncaption = \"\u30BD\"", "\xAB\xBD", ""},
        {"locale = 0x0804\ncaption = \"\u20AC\"", "\x80", ""},
        {"locale = 0x0411\ncaption = \"\u00E9\"", nullptr,
         "(U+00E9) has no place in code page 932"},
    };
    for (const Case& c : cases) {
        if (c.bytes) {
            sim::Machine m = flow::FromToml(c.toml);
            EXPECT_EQ(m.strings.at(103), c.bytes) << c.toml;
        } else {
            sim::MachineError e = ErrorOf(c.toml);
            EXPECT_NE(e.problem.find(c.problem), std::string::npos) << c.toml << " -> " << e.what();
        }
    }

    sim::Machine m = flow::FromToml(
        "[[files]]\npath = 'C:\\t.dat'\ntext = \"M\u00f6chten\\u0000\"\n"
        "[[devices]]\nhex = '50 00 00 ff'\n");
    EXPECT_EQ(m.files.Find("C:\\t.dat")->data.Read(), std::string("M\xF6"
                                                                  "chten\0",
                                                                  8));
    EXPECT_EQ(*m.devices.back().hardware_ids, std::string("P\0\0\xFF", 4));
}

// What a capture could not read: the machine fails those reads, and the dump
// says so, for tools that must refuse such a machine (Wine cannot fail them).
TEST(MachineFile, what_cannot_be_read_fails_and_shows_in_the_dump) {
    sim::LoadedMachine loaded = sim::ParseMachine(R"(
os = "xp"
package = false
files = [{ path = 'C:\VNTR\VNTRXP.INF', error = 32 }]
keys = [{ path = 'Enum\PCI\X', error = 5 }]
values = [{ key = 'Enum\PCI\Y', name = 'V', error = 1018 }]
devices = [{ error = 87 }]
)",
                                                  "unreadable.toml");
    const sim::Machine& m = loaded.machine;
    EXPECT_EQ(m.files.Find("C:\\VNTR\\VNTRXP.INF")->open_error, 32u);
    EXPECT_EQ(sim::FindKeyPath(m.hklm.get(), "Enum\\PCI\\X")->open_error, 5u);
    EXPECT_EQ(sim::FindKeyPath(m.hklm.get(), "Enum\\PCI\\Y")->Value("V")->error, 1018u);
    EXPECT_EQ(m.devices.back().read_error, 87u);
    EXPECT_FALSE(m.devices.back().hardware_ids.has_value());
    std::string dump = sim::DumpMachine(loaded).dump();
    for (const char* error : {"\"error\":32", "\"error\":5", "\"error\":1018", "\"error\":87"})
        EXPECT_NE(dump.find(error), std::string::npos) << error;
}

// The words of every `code span` of a text ("--os", "build_number").
std::set<std::string> CodeWords(const std::string& text) {
    std::set<std::string> words;
    std::string word;
    bool in_code = false;
    for (char c : text) {
        bool part = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
        if (in_code && part) word += c;
        if (!part && !word.empty()) words.insert(word), word.clear();
        if (c == '`') in_code = !in_code;
    }
    return words;
}

// A page of docs/, or the section of it below `heading` (to the next
// heading of that level or above).
std::string Page(const std::string& page, const std::string& heading = "") {
    std::ifstream file(std::string(VNTR_SOURCE_DIR) + "/docs/" + page);
    std::stringstream text;
    text << file.rdbuf();
    std::string doc = text.str();
    if (heading.empty()) return doc;
    size_t at = doc.find("\n" + heading + "\n");
    if (at == std::string::npos) return "";
    size_t level = heading.find(' ');
    size_t end = at + heading.size() + 1;
    while ((end = doc.find("\n#", end + 1)) != std::string::npos)
        if (doc.find(' ', end + 1) - end - 1 <= level) break;
    return doc.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// What a command prints on standard output.
std::string Output(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    pclose(p);
    return out;
}

// The options a tool's --help lists.
std::vector<std::string> HelpOptions(const std::string& tool) {
    std::vector<std::string> options;
    std::istringstream help(Output(tool + " --help"));
    for (std::string line; std::getline(help, line);)
        if (line.rfind("  --", 0) == 0) options.push_back(line.substr(2, line.find(' ', 2) - 2));
    return options;
}

// The keys of a JSON document at every level, each once. The members of
// an object keyed by resource ids (`strings`), host functions (`calls`) or
// a call's arguments (`args`, which --list-calls names) are no keys.
void JsonKeys(const nlohmann::json& j, std::set<std::string>* keys) {
    if (j.is_array())
        for (const auto& e : j) JsonKeys(e, keys);
    if (!j.is_object()) return;
    for (const auto& [key, value] : j.items()) {
        keys->insert(key);
        if (key != "strings" && key != "calls" && key != "args") JsonKeys(value, keys);
    }
}

// The keys of what a command prints: all of them, the top level's only
// (`member` "."), or those below one member.
std::vector<std::string> JsonKeysOf(const std::string& command, const std::string& member = "") {
    std::set<std::string> keys;
    nlohmann::json doc = nlohmann::json::parse(Output(command));
    if (member == ".")
        for (const auto& [key, value] : doc.items()) keys.insert(key);
    else
        JsonKeys(member.empty() ? doc : doc[member], &keys);
    return {keys.begin(), keys.end()};
}

// Every name a tool has (a machine file's keys, each tool's options, the
// keys of the JSON documents and of --dump-machine) is named in a code span
// of its page; a machine file's key in the section its row of the reader's
// table gives. The names come from the tools themselves.
TEST(MachineFile, every_key_option_and_json_key_is_documented) {
    for (const sim::DocumentedKey& key : sim::MachineFileKeys()) {
        std::string name = key.field.substr(key.field.rfind('.') + 1);
        EXPECT_TRUE(CodeWords(Page("machine-files.md", key.doc)).count(name))
            << "docs/machine-files.md, " << key.doc << ", does not name `" << name << "` ("
            << key.field << ")";
    }
    const std::string setup = VNTR_SIM_BINARY, capture = VNTR_CAPTURE_SIM_BINARY;
    const std::string machines = std::string(VNTR_SOURCE_DIR) + "/examples/machines/";
    const std::string machine = machines + "xp.toml";
    // A run on the 9x family fills after_restart.
    std::vector<std::string> run_keys = JsonKeysOf(setup + " " + machine + " --json");
    for (const std::string& key : JsonKeysOf(setup + " " + machines + "98se.toml --json"))
        run_keys.push_back(key);
    const struct {
        const char* what;
        std::vector<std::string> names;
        std::string page, heading;
    } kClaims[] = {
        {"vntrsetup-sim --help", HelpOptions(setup), "simulator.md", ""},
        {"vntrcapture-sim --help", HelpOptions(capture), "capture.md", ""},
        {"vntrsetup-sim --json", run_keys, "simulator.md", "## The JSON document"},
        {"vntrsetup-sim --check-package --json",
         JsonKeysOf(setup + " --check-package " + VNTR_SOURCE_DIR + "/examples/package --json"),
         "simulator.md", "## --check-package"},
        {"vntrsetup-sim --dump-machine", JsonKeysOf(setup + " " + machine + " --dump-machine"),
         "simulator.md", "## --dump-machine"},
        {"vntrcapture-sim --json", JsonKeysOf(capture + " " + machine + " --json", "."),
         "capture.md", "## vntrcapture-sim"},
        {"vntrcapture-sim --json events", JsonKeysOf(capture + " " + machine + " --json", "events"),
         "simulator.md", "### Events"},
    };
    for (const auto& claim : kClaims) {
        std::set<std::string> documented = CodeWords(Page(claim.page, claim.heading));
        EXPECT_GT(claim.names.size(), 5u) << claim.what;
        for (const std::string& name : claim.names)
            EXPECT_TRUE(documented.count(name))
                << "docs/" << claim.page << " " << claim.heading << " does not name `" << name
                << "` (" << claim.what << ")";
    }
}

// An option that replaces a setting is the setting's own key read a second
// time: a file with the option's value gives the machine the option gives,
// and the note names what it replaced.
TEST(MachineFile, an_option_gives_the_machine_its_key_gives) {
    static const std::string package = std::string(VNTR_SOURCE_DIR) + "/examples/package";
    const struct {
        std::string file;    // the file's setting
        std::string as_key;  // the option's value written as the key
        void (*option)(sim::Overrides&);
        std::string note;
    } kCases[] = {
        {"os = '2000'\n", "os = '98se'\n", [](sim::Overrides& o) { o.os = "98se"; },
         "os: Windows 2000 replaced by --os 98se"},
        {"locale = 0x0407\n", "locale = 0x0411\n", [](sim::Overrides& o) { o.locale = 0x0411; },
         "locale: 0x0407 replaced by --locale 0x0411"},
        {"current_dir = 'C:\\A'\n", "current_dir = 'C:\\B'\n",
         [](sim::Overrides& o) { o.current_dir = "C:\\B"; },
         "current_dir: C:\\A replaced by --cwd C:\\B"},
        {"package = false\n", "package = { from = '" + package + "' }\n",
         [](sim::Overrides& o) { o.package = package; }, "package: false replaced by --package"},
        {"command_line = 'a'\n", "command_line = 'b'\n",
         [](sim::Overrides& o) { o.command_line = "b"; },
         "command_line: replaced by --command-line"},
        {"answers = ['yes']\n", "answers = ['no', 'no']\n",
         [](sim::Overrides& o) {
             o.answers = std::vector<bool>{false, false};
         },
         "answers: replaced by --answer"},
    };
    for (const auto& c : kCases) {
        sim::Overrides option;
        c.option(option);
        sim::LoadedMachine given = sim::ParseMachine(c.file, "f.toml", VNTR_SOURCE_DIR, option);
        sim::LoadedMachine written = sim::ParseMachine(c.as_key, "f.toml", VNTR_SOURCE_DIR);
        sim::json a = sim::DumpMachine(given), b = sim::DumpMachine(written);
        for (const auto& [member, value] : b.items()) {
            if (member == "settings" || member == "notes") continue;
            EXPECT_EQ(a[member], value) << c.file << " " << member;
        }
        ASSERT_EQ(given.notes.size(), 1u) << c.file;
        EXPECT_NE(given.notes[0].find(c.note), std::string::npos) << given.notes[0];
    }
}

// --list-calls says what each call's event records: the argument names it
// lists are those the events of the example machines hold, and a fault
// that gives no error fails with the number it lists.
TEST(MachineFile, list_calls_tells_the_arguments_and_the_default_errors) {
    const std::string setup = VNTR_SIM_BINARY;
    std::map<std::string, std::set<std::string>> held;
    for (const char* name : {"xp", "98se", "me", "2000-german", "xp-planted-dlls"}) {
        std::string file = std::string(VNTR_SOURCE_DIR) + "/examples/machines/" + name + ".toml";
        nlohmann::json doc = nlohmann::json::parse(Output(setup + " " + file + " --json"));
        for (const auto& e : doc["events"])
            if (e.contains("call") && e.contains("args"))
                for (const auto& [arg, value] : e["args"].items()) held[e["call"]].insert(arg);
    }
    std::istringstream list(Output(setup + " --list-calls"));
    size_t compared = 0, faulted = 0;
    for (std::string line; std::getline(list, line);) {
        std::istringstream words(line);
        std::string call, library, fails;
        words >> call >> library >> fails;
        if (fails == "yes") {
            uint32_t listed = std::stoul(line.substr(line.find('(', call.size()) + 1));
            sim::LoadedMachine m =
                sim::ParseMachine("[[faults]]\ncall = '" + call + "'\n", "f.toml", VNTR_SOURCE_DIR);
            EXPECT_EQ(m.machine.faults.at(0).error, listed) << call;
            ++faulted;
        }
        size_t args = line.find("args: ");
        if (args == std::string::npos || !held.count(call)) continue;
        std::set<std::string> named;
        std::istringstream names(line.substr(args + 6, line.find(';', args) - args - 6));
        for (std::string arg; std::getline(names >> std::ws, arg, ',');)
            named.insert(arg.substr(0, arg.find(' ')));
        EXPECT_EQ(named, held[call]) << call;
        ++compared;
    }
    EXPECT_GT(compared, 20u);
    EXPECT_GT(faulted, 30u);
}

// Planned faults fail calls nth to nth + count - 1 of their call; where
// several are in force, the first in the file decides, whatever its nth.
TEST(MachineFile, planned_faults_fail_their_window_and_the_first_in_the_file_wins) {
    sim::Machine m = sim::ParseMachine(
                         "os = 'xp'\n"
                         "[[faults]]\ncall = 'GetFileAttributesA'\nnth = 2\ncount = 3\nerror = 5\n"
                         "[[faults]]\ncall = 'GetFileAttributesA'\nnth = 3\nerror = 6\n"
                         "[[faults]]\ncall = 'GetFileAttributesA'\nnth = 4\ncount = 3\nerror = 7\n"
                         "[[faults]]\ncall = 'GetFileAttributesA'\nnth = 1\ncount = 2\nerror = 8\n"
                         "[[faults]]\ncall = 'GetVersionExA'\nnth = 1\ncount = 4294967295\n"
                         "[[faults]]\ncall = 'GetFileAttributesA'\nnth = 4294967295\n"
                         "count = 4294967295\n",
                         "faults.toml", VNTR_SOURCE_DIR)
                         .machine;
    sim::Session session(m, {});
    std::vector<DWORD> errors;
    for (int i = 0; i < 8; ++i)
        errors.push_back(GetFileAttributesA("C:\\") == INVALID_FILE_ATTRIBUTES ? GetLastError()
                                                                               : 0);
    EXPECT_EQ(errors, (std::vector<DWORD>{8, 5, 5, 5, 7, 7, 0, 0}));
    sim::json unfired = session.Summary()["faults_not_fired"];
    EXPECT_EQ(unfired, sim::json({1, 4, 5}));
}

// The code page a machine gets from its system locale, and how double-byte
// text reads back: whole characters, and bytes that stand for none escaped.
TEST(CodePages, follow_the_locale_and_read_double_byte_text_by_characters) {
    const std::pair<uint32_t, uint32_t> locales[] = {
        {0x0411, 932},  {0x0804, 936},  {0x1004, 936},  {0x0404, 950},  {0x0C04, 950},
        {0x0412, 949},  {0x0419, 1251}, {0x0C1A, 1251}, {0x081A, 1250}, {0x0407, 1252},
        {0x0843, 1251}, {0x0443, 1254}, {0x041E, 874},  {0x042A, 1258}, {0x0439, 1252},
    };
    for (const auto& [locale, codepage] : locales)
        EXPECT_EQ(sim::AnsiCodePageOf(locale), codepage) << std::hex << locale;

    struct Case {
        uint32_t codepage;
        const char* bytes;
        const char* visible;
    } cases[] = {
        {932, "C:\\\x95\x5C\\\x83\x5C", "C:\\\u8868\\\u30BD"},
        {932, "\xB1\xB2", "\uFF71\uFF72"},  // half-width katakana stand alone
        {932, "A\x95", "A\\x95"},           // a lead byte without its trail
        {932, "\x85\x40", "\\x85@"},        // a pair that stands for nothing
        {950, "\xA6\xA8\xA5\x5C", "\u6210\u529F"},
        {1252, "\x95\x5C", "\u2022\\"},  // one byte each in a single-byte code page
    };
    for (const Case& c : cases) EXPECT_EQ(sim::Visible(c.bytes, c.codepage), c.visible) << c.bytes;
    EXPECT_TRUE(sim::IsLeadByte(932, 0x81));
    EXPECT_FALSE(sim::IsLeadByte(932, 0xA1));
    EXPECT_FALSE(sim::IsLeadByte(1252, 0x81));
}

// The Unix locale Wine is given for a system locale: the locale's own where
// one gives it, else the nearest with the same code page.
TEST(CodePages, unix_locale_gives_the_locale_or_the_nearest_with_its_code_page) {
    const struct {
        uint32_t locale;
        const char* name;
        uint32_t given;
    } cases[] = {
        {0x0411, "ja_JP", 0x0411},  {0x0407, "de_DE", 0x0407}, {0x0414, "nb_NO", 0x0414},
        {0x040a, "es_ES", 0x0c0a},  // no Unix locale sorts the traditional way
        {0x0801, "ar_SA", 0x0401},  // Arabic, Iraq: another country, code page 1256 too
        {0x0C04, "zh_TW", 0x0404},  // Chinese, Hong Kong: 950, not China's 936
        {0x10411, "ja_JP", 0x0411}, {0x0439, "en_US", 0x0409},  // Hindi: none
    };
    for (const auto& c : cases) {
        sim::UnixLocale u = sim::UnixLocaleOf(c.locale);
        EXPECT_STREQ(u.name, c.name) << std::hex << c.locale;
        EXPECT_EQ(u.locale, c.given) << std::hex << c.locale;
    }
}

// A key finds its subkeys and values by name without case, whether it holds
// a few (looked at one by one) or more than the eight an index starts from,
// and after removals; enumeration keeps the order of creation. In code page
// 932 only a character's lead byte has case: 0x83 0x61 and 0x83 0x41 are two
// names.
TEST(Registry, names_are_found_without_case_with_or_without_the_index_and_after_removals) {
    sim::TextCodePageScope dbcs(932);
    auto name_of = [](const auto* found) { return found ? found->name : std::string("(none)"); };
    for (int count : {1, 8, 9, 20}) {
        SCOPED_TRACE(count);
        sim::RegKey key;
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            names.push_back("Sub" + std::to_string(i) + "key");
            key.Make(names.back());
            key.SetValue({names.back(), 1, "v" + std::to_string(i), 0});
        }
        key.Make("\x83\x61");
        key.Make("\x83\x41");
        key.SetValue({"SUB0KEY", 4, "new", 0});  // replaces, whatever the case
        EXPECT_EQ(key.SubkeyCount(), static_cast<size_t>(count) + 2);
        EXPECT_EQ(key.Values().size(), static_cast<size_t>(count));
        EXPECT_EQ(key.Value("sub0KEY") ? key.Value("sub0KEY")->data : "(none)", "new");
        EXPECT_NE(key.Child("\x83\x61"), key.Child("\x83\x41"));
        EXPECT_EQ(name_of(key.Child("\x83\x61")), "\x83\x61");
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(key.SubkeyAt(i)->name, names[i]);
            EXPECT_EQ(name_of(key.Child(sim::Upper(names[i]))), names[i]);
            EXPECT_EQ(name_of(key.Value(sim::Upper(names[i]))), names[i]);
        }
        EXPECT_EQ(key.Child("Sub" + std::to_string(count) + "key"), nullptr);
        // Out go the first and the last of the file's names; the rest keep
        // their order, and a name made again comes last.
        ASSERT_NE(key.Child(names.front()), nullptr);
        EXPECT_TRUE(key.Remove(key.Child(names.front())));
        if (count > 1) {
            ASSERT_NE(key.Child(names.back()), nullptr);
            EXPECT_TRUE(key.Remove(key.Child(names.back())));
        }
        EXPECT_EQ(key.Child(names.front()), nullptr);
        size_t left = static_cast<size_t>(count > 1 ? count - 2 : 0) + 2;
        ASSERT_EQ(key.SubkeyCount(), left);
        if (count > 2) {
            EXPECT_EQ(key.SubkeyAt(0)->name, names[1]);
        }
        key.Make("SUB0KEY");
        EXPECT_EQ(key.SubkeyAt(left)->name, "SUB0KEY");
        EXPECT_EQ(name_of(key.Child(names.front())), "SUB0KEY");
    }
}
