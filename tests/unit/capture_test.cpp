// The machine capture program over simulated machines: what it writes loads
// as it is and replays what setup.exe does on the machine captured; it
// changes nothing but the file it is told to write; what it cannot read it
// says so, with the error.

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture/output.h"
#include "common/crc32.h"
#include "sim/cli/capture_run.h"
#include "sim/codepage_tables.h"
#include "sim/expect.h"
#include "sim/hostfiles.h"
#include "sim/package.h"
#include "tests/unit/flow.h"

namespace {

using flow::ExampleFiles;

using flow::Stem;

// A capture of `m` and the machine its file describes.
struct Captured {
    sim::Outcome run;
    std::string text;
    sim::LoadedMachine replay;
};

Captured Capture(const sim::Machine& m, const std::string& where) {
    Captured c;
    c.run = capture::Run(m);
    EXPECT_EQ(c.run.status, "ok") << where << ": " << c.run.message;
    EXPECT_EQ(c.run.exit_code, 0) << where << ": " << capture::Errors(c.run);
    EXPECT_TRUE(c.run.ChangeEvents().empty()) << where << ": the capture changed the machine";
    c.text = capture::Output(c.run);
    try {
        c.replay = sim::ParseMachine(c.text, where + " (captured)");
    } catch (const std::exception& e) {
        ADD_FAILURE() << where << ": the captured file does not load: " << e.what() << "\n"
                      << c.text;
    }
    EXPECT_TRUE(c.replay.warnings.empty())
        << where << ": " << (c.replay.warnings.empty() ? "" : c.replay.warnings[0]);
    return c;
}

// Settings no capture can see: how the user answers, planned failures, what
// the driver update answers, how RegDeleteKeyA treats keys with subkeys,
// whether setup.exe has a standard output, where setup.exe lies, its
// caption and command line.
void GiveUncapturable(const sim::Machine& from, sim::Machine* to) {
    to->answers = from.answers;
    to->faults = from.faults;
    to->update = from.update;
    to->delete_semantics = from.delete_semantics;
    to->has_stdout = from.has_stdout;
    to->exe_dir = from.exe_dir;
    to->strings = from.strings;
    to->command_line = from.command_line;
}

// A machine file without its comments: what a replay holds. A capture of
// the replay says the same but for the error codes of libraries that do
// not load (the replay's damaged library answers 193 whatever the machine's
// gave).
std::string Uncommented(const std::string& text) {
    std::string out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size() - 1;
        if (text[start] != '#') out += text.substr(start, end + 1 - start);
        start = end + 1;
    }
    return out;
}

// How two runs of setup.exe differ in what the user and the machine see.
std::vector<std::string> Differences(const sim::Machine& a, const sim::Machine& b) {
    sim::Observed first = sim::Observe(a, flow::Run(a));
    sim::Observed second = sim::Observe(b, flow::Run(b));
    sim::Expectation same;
    same.outcome = first.outcome;
    same.boxes = first.boxes;
    same.changes = first.changes;
    same.trace = first.trace;
    same.after_restart = first.after_restart;
    return sim::Differences(same, second);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "\n" + l;
    return out;
}

// The keys under Enum\PCI by name in their order, and each controller key's
// tree with its values: what the capture takes of the registry.
sim::json PciKeys(const sim::Machine& m) {
    sim::json out = sim::json::array();
    sim::RegKey* pci = sim::FindKeyPath(m.hklm.get(), "Enum\\PCI");
    for (size_t i = 0; pci && i < pci->SubkeyCount(); ++i) {
        const sim::RegKey& key = *pci->SubkeyAt(i);
        bool controller = key.name.rfind("VEN_C4B9&DEV_8E3A", 0) == 0 ||
                          key.name.rfind("VEN_C4B9&DEV_8E51", 0) == 0;
        out.push_back(controller ? sim::RegistryJson(key, sim::RegistryForm::kSummary)
                                 : sim::json(sim::Text(key.name)));
    }
    return out;
}

// The libraries planted beside the package, by name and folder: setup.exe
// on 2000/XP must pass them over.
std::set<std::string> Planted(const sim::Machine& m) {
    std::set<std::string> out;
    for (const sim::Module& mod : m.modules)
        if (mod.planted) out.insert(sim::Upper(mod.dir + "\\" + mod.name));
    return out;
}

}  // namespace

// Every example machine: the capture's file replays what setup.exe does on
// the machine itself, once the settings no capture sees are given back; and
// only the examples that make a point of such a setting differ without.
TEST(CaptureRoundTrip, every_example_machine_replays_as_captured) {
    const std::map<std::string, std::string> uncapturable = {
        {"98se-nt-style-registry", "registry_delete"},
        {"xp-update-fails", "faults (the update call fails)"},
        {"xp-inf-not-captured-update-given",
         "update ([update] answers for an INF of made-up bytes)"},
        {"2003-bare-directory", "update.check = false (Wine's update never fails)"},
    };
    // Machines no capture can stand for at all.
    const std::map<std::string, std::string> skipped = {
        {"31-platform", "platform 0: the capture reads neither flow's settings"},
        {"xp-without-standard-output", "the capture writes its file to standard output"},
    };
    std::set<std::string> differing;
    int compared = 0;
    for (const auto& path : ExampleFiles()) {
        if (skipped.count(Stem(path))) continue;
        sim::Machine original = sim::LoadMachineFile(path).machine;
        Captured c = Capture(original, Stem(path));
        if (::testing::Test::HasFailure()) return;
        sim::Machine replay = c.replay.machine;
        replay.answers = original.answers;
        if (!Differences(original, replay).empty()) differing.insert(Stem(path));
        GiveUncapturable(original, &replay);
        std::vector<std::string> diff = Differences(original, replay);
        EXPECT_TRUE(diff.empty()) << Stem(path) << Joined(diff) << "\n" << c.text;
        EXPECT_EQ(PciKeys(replay), PciKeys(original)) << Stem(path);
        if (original.os.platform == 2) {
            EXPECT_EQ(Planted(replay), Planted(original)) << Stem(path);
        }
        ++compared;

        // Captured again, the replay gives the same file: every text, number
        // and file sum reads back as it was written.
        sim::Outcome again = capture::Run(c.replay.machine);
        EXPECT_EQ(Uncommented(capture::Output(again)), Uncommented(c.text)) << Stem(path);
    }
    EXPECT_GE(compared, 30);
    std::set<std::string> expected;
    for (const auto& [name, why] : uncapturable) expected.insert(name);
    EXPECT_EQ(differing, expected);
}

// Machines the examples do not show: whatever the capture meets, the file
// loads, replays setup.exe's run and captures again to itself.
TEST(CaptureRoundTrip, odd_machines_replay_as_captured) {
    const char* const package98se = R"(
os = "98se"
current_dir = 'C:\VNTR'
answers = ["yes", "no"]
)";
    const char* const controller98 =
        "keys = [{ path = "
        "'Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\\BUS_02&DEV_0C&FUNC_00' "
        "}]\n";
    const char* const xp = R"(
os = "xp"
current_dir = 'C:\VNTR'
answers = ["yes"]
)";
    const char* const controllerXp =
        "\n[[devices]]\nids = ['PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02']\n";
    struct Case {
        const char* name;
        std::string toml;
    } cases[] = {
        {"a package file that cannot be opened",
         std::string(package98se) + controller98 +
             "files = [{ path = 'C:\\VNTR\\VNTR98SE.CAT', error = 32 }]\n"},
        {"a package file unlike the example's",
         std::string(xp) +
             "files = [{ path = 'C:\\VNTR\\VNTRXP.INF', text = \"; ours\\r\\n\" }]\n" +
             controllerXp},
        {"an OtherDevicePath that cannot be read",
         std::string(package98se) + controller98 +
             "values = [{ key = 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion', name = "
             "'OtherDevicePath', error = 5 }]\n"},
        {"an OtherDevicePath that is binary, without a NUL",
         std::string(package98se) + controller98 +
             "values = [{ key = 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion', name = "
             "'OtherDevicePath', hex = '43 3a 5c', type = 'REG_BINARY' }]\n"},
        {"a CurrentVersion key that cannot be opened",
         std::string(package98se) +
             "keys = [{ path = 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion', error = 5 },\n"
             "  { path = 'Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\\INST' }]\n"},
        {"neither Enum\\PCI nor an INF folder",
         std::string(package98se) + "background = false\nremove = ['C:\\WINDOWS\\INF']\n"},
        {"an INF\\OTHER that is a file",
         "os = 'me'\ncurrent_dir = 'C:\\VNTR'\nanswers = ['yes', 'no']\n" +
             std::string(controller98) +
             "files = [{ path = 'C:\\WINDOWS\\INF\\OTHER', text = 'x' }]\n"},
        {"controller keys whose names and values hold every kind of byte",
         std::string(package98se) + R"(
[[keys]]
path = "Enum\\PCI\\VEN_C4B9&DEV_8E51 'quoted' \"too\"\\INST\u0001\u007f\u0081\u008d€ÿ"
[[keys]]
path = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\BUS_02&DEV_0C&FUNC_00\Device Parameters'
[[values]]
key = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02'
name = ""
text = "default\\value with \"quotes\" and 'apostrophes'"
[[values]]
key = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\BUS_02&DEV_0C&FUNC_00'
name = "line\nbreak\ttab"
hex = "00 01 7f 80 ff 00"
type = 7
[[values]]
key = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\BUS_02&DEV_0C&FUNC_00'
name = 'Qword'
hex = "0102030405060708"
type = 11
[[values]]
key = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\BUS_02&DEV_0C&FUNC_00'
name = 'Unreadable'
error = 1018
[[values]]
key = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\BUS_02&DEV_0C&FUNC_00\Device Parameters'
name = 'Expanded'
text = '%SystemRoot%\inf'
type = 'REG_EXPAND_SZ'
[[keys]]
path = 'Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\BUS_02&DEV_0C&FUNC_01'
error = 5
)"},
        {"Cyrillic names in code page 1251",
         "codepage = 1251\n" + std::string(package98se) +
             "keys = [{ path = 'Enum\\PCI\\VEN_C4B9&DEV_8E3A Контроллер\\Экземпляр' }]\n"},
        {"devices whose lists cannot be read, or are empty", std::string(xp) + R"(
devices = [{ error = 5 }, { no_ids = true }, { hex = "00" }, { hex = "" }]
)"},
        {"a device list that cannot be read past its first devices",
         std::string(xp) + "\n[[devices]]\nno_ids = true\n\n[[devices]]\nerror = 13\n" +
             controllerXp},
        {"no setupapi.dll",
         std::string(xp) + controllerXp + "\n[modules.\"setupapi.dll\"]\npresent = false\n"},
        {"a newdev.dll that does not load",
         std::string(xp) + controllerXp + "\n[modules.\"newdev.dll\"]\nloads = false\n"},
        {"a newdev.dll without the update",
         std::string(xp) + controllerXp +
             "\n[modules.\"newdev.dll\"]\nmissing = ['UpdateDriverForPlugAndPlayDevicesA']\n"},
        {"a message file of control characters and high bytes",
         std::string(xp) + "locale = 0x0407\n" +
             "files = [{ path = 'C:\\VNTR\\MultiLang\\0407.dat', hex = '4a 61 0d 0a 00 ff 0d 1a "
             "0a 4e 65 69 6e 0a' }]\n" +
             controllerXp},
        {"a Windows directory that cannot be had",
         std::string(package98se) + controller98 +
             "faults = [{ call = 'GetWindowsDirectoryA', count = 4294967295 }]\n"},
        {"a version that cannot be had",
         std::string(xp) + "faults = [{ call = 'GetVersionExA', count = 4294967295 }]\n" +
             controllerXp},
    };
    for (const Case& c : cases) {
        sim::Machine original = sim::ParseMachine(c.toml, c.name, VNTR_SOURCE_DIR).machine;
        Captured captured = Capture(original, c.name);
        if (::testing::Test::HasFailure()) return;
        sim::Machine replay = captured.replay.machine;
        replay.answers = original.answers;
        std::vector<std::string> diff = Differences(original, replay);
        EXPECT_TRUE(diff.empty()) << c.name << Joined(diff) << "\n" << captured.text;
        EXPECT_EQ(PciKeys(replay), PciKeys(original)) << c.name << "\n" << captured.text;
        EXPECT_EQ(Uncommented(capture::Output(capture::Run(replay))), Uncommented(captured.text))
            << c.name;
    }
}

namespace {

// The files below the machine's package folder, by their path in it.
std::map<std::string, const sim::FileSystem::Node*> PackageFiles(const sim::Machine& m) {
    std::map<std::string, const sim::FileSystem::Node*> out;
    const std::string root = sim::FileSystem::Absolute(m.current_dir, "C:\\");
    m.files.ForEach([&](const std::string& path, const sim::FileSystem::Node& node) {
        if (!node.dir && sim::PathWithin(path, root))
            out[sim::Upper(path.substr(root.size() + 1))] = &node;
    });
    return out;
}

// Whether the capture keeps the file's bytes: INF and catalog files, and the
// message files, up to 64 KiB.
bool KeptWhole(const std::string& path, size_t size) {
    auto ends = [&](const char* tail) {
        return path.size() > strlen(tail) && path.substr(path.size() - strlen(tail)) == tail;
    };
    bool kind = ends(".INF") || ends(".CAT") || (path.rfind("MULTILANG\\", 0) == 0 && ends(".DAT"));
    return kind && size <= 65536;
}

// The example package's file, with every line that holds `cut` taken out.
std::string ExampleWithout(const char* name, const std::string& cut) {
    std::string text = sim::ReadHostFile(sim::DefaultPackageDir() + "/" + name, 1 << 20), out;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        if (text.substr(start, end - start).find(cut) == std::string::npos)
            out += text.substr(start, end - start);
        start = end;
    }
    EXPECT_NE(out, text) << name << " holds no " << cut;
    return out;
}

}  // namespace

// A package of the user's own: the capture keeps its INF, catalog and
// message files byte for byte (a larger one, and every other file, by size
// and CRC-32, and only so far down and so many), and the replay does what
// setup.exe does with that package on the machine captured.
TEST(CaptureRoundTrip, captured_packages_replay_with_their_files) {
    const std::string controller98 =
        "keys = [{ path = "
        "'Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\\BUS_02&DEV_0C&FUNC_00' }]\n"
        "answers = ['yes', 'no']\n";
    const std::string controllerXp =
        "answers = ['yes']\ndevices = [{ ids = ['PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02'] "
        "}]\n";
    std::vector<std::pair<std::string, sim::Bytes>> junk;
    for (int i = 0; i < 600; ++i) junk.push_back({"JUNK\\" + std::to_string(i) + ".TXT", "x"});
    struct Case {
        const char* name;
        std::string toml;
        std::vector<std::pair<std::string, sim::Bytes>> files;  // put into the package folder
        bool differs;      // setup.exe's run differs from the one over the example package
        bool replayed;     // the replay's run is the original's; else its INF is a placeholder
        size_t left_out;   // files of the package the capture does not list
        const char* said;  // in the machine file, or ""
    } cases[] = {
        {"XP, the 8E3A model taken out of VNTRXP.INF",
         "os = 'xp'\n" + controllerXp,
         {{"VNTRXP.INF", ExampleWithout("VNTRXP.INF", "DEV_8E3A")}},
         true,
         true,
         0,
         ""},
        {"98 SE, the 8E3A model taken out of VNTR98SE.INF",
         "os = '98se'\n" + controller98,
         {{"VNTR98SE.INF", ExampleWithout("VNTR98SE.INF", "DEV_8E3A")}},
         true,
         true,
         0,
         ""},
        {"ME, a catalog of other bytes",
         "os = 'me'\n" + controller98,
         {{"VNTRME.CAT", "another catalog\r\n"}},
         false,
         true,
         0,
         ""},
        {"German, a message file of other words",
         "os = 'xp'\nlocale = 0x0407\n" + controllerXp,
         {{"MultiLang\\0407.dat", "Fehler\r\nKein Controller\r\nFertig\r\nNeu?\r\nJetzt?\r\n"}},
         true,
         true,
         0,
         ""},
        {"driver files in folders, one deeper than the capture looks",
         "os = 'xp'\n" + controllerXp,
         {{"x86\\VNTRCB.SYS", std::string("MZ\x90\0\x03\0\0\0", 8) + std::string(5000, '\xCC')},
          {"x86\\VNTRCB.INF", "; the driver's own INF\r\n"},
          {"a\\b\\c\\d\\DEEP.INF", "; too deep\r\n"}},
         false,
         true,
         1,
         "# what it holds is not listed: over 3 levels down"},
        {"an INF over 64 KiB",
         "os = 'xp'\n" + controllerXp,
         {{"VNTRXP.INF", sim::ReadHostFile(sim::DefaultPackageDir() + "/VNTRXP.INF", 1 << 20) +
                             std::string(70000, ';')}},
         false,
         false,
         0,
         "# over 64 KiB: by size and CRC-32"},
        {"a folder of 600 files", "os = '98se'\n" + controller98, junk, false, true, 102,
         "is not listed: over 512 entries"},
    };
    for (const Case& c : cases) {
        sim::Machine example = flow::FromToml("current_dir = 'C:\\VNTR'\n" + c.toml);
        sim::Machine original = example.Clone();
        for (const auto& [path, bytes] : c.files)
            ASSERT_TRUE(original.files.PutFile("C:\\VNTR\\" + path, sim::FileData(bytes)));
        Captured captured = Capture(original, c.name);
        if (::testing::Test::HasFailure()) return;
        EXPECT_NE(captured.text.find(c.said), std::string::npos) << c.name << "\n" << captured.text;

        auto had = PackageFiles(original), got = PackageFiles(captured.replay.machine);
        size_t missing = 0;
        for (const auto& [path, node] : had) {
            auto it = got.find(path);
            if (it == got.end()) {
                ++missing;
                continue;
            }
            const sim::FileData& replayed = it->second->data;
            EXPECT_EQ(replayed.size(), node->data.size()) << c.name << ": " << path;
            EXPECT_EQ(replayed.Crc32(), node->data.Crc32()) << c.name << ": " << path;
            if (KeptWhole(path, node->data.size())) {
                EXPECT_FALSE(replayed.placeholder()) << c.name << ": " << path;
                EXPECT_EQ(replayed.Read(), node->data.Read()) << c.name << ": " << path;
            }
        }
        EXPECT_EQ(missing, c.left_out) << c.name << "\n" << captured.text;

        sim::Machine replay = captured.replay.machine;
        replay.answers = original.answers;
        std::vector<std::string> diff = Differences(original, replay);
        if (c.replayed) {
            EXPECT_TRUE(diff.empty()) << c.name << Joined(diff);
        } else {
            EXPECT_EQ(sim::Observe(replay, flow::Run(replay)).outcome, sim::kUnpredictableOutcome)
                << c.name;
        }
        EXPECT_EQ(Differences(example, original).empty(), !c.differs) << c.name;
    }
}

// Texts that are no texts of their code page, and a code page the simulator
// does not know: their exact bytes go into the file, and come back.
TEST(CaptureRoundTrip, texts_that_cannot_be_characters_keep_every_byte) {
    struct Case {
        uint32_t codepage, named;  // the machine's, and the one the file names
        const char* note;
    } cases[] = {
        {932, 932, "{ hex = "},  // a lead byte alone at the end of the name
        {437, 1252, "ANSI code page 437 is unknown"},
    };
    for (const Case& c : cases) {
        sim::Machine m = flow::On("98se");
        m.codepage = c.codepage;
        const std::string name = "VEN_C4B9&DEV_8E3A \x82\xA0\x83\x40\x81";
        sim::MakeKeyPath(m.hklm.get(), "Enum\\PCI\\" + name);
        Captured captured = Capture(m, "code page " + std::to_string(c.codepage));
        EXPECT_NE(captured.text.find(c.note), std::string::npos) << captured.text;
        EXPECT_EQ(captured.replay.machine.codepage, c.named);
        EXPECT_NE(sim::FindKeyPath(captured.replay.machine.hklm.get(), "Enum\\PCI\\" + name),
                  nullptr)
            << captured.text;
    }
}

// A file given by size and CRC-32 that matches no example file is made of
// placeholder bytes with that size and sum (where it is read), and the
// machine knows its sum without reading it.
TEST(CaptureRoundTrip, placeholder_files_keep_size_and_sum) {
    for (uint32_t size : {0u, 3u, 4u, 5u, 1000u, 1u << 20})
        for (uint32_t crc : {0u, 1u, 0xCBF43926u, 0xFFFFFFFFu, 0x80000001u}) {
            char text[160];
            snprintf(text, sizeof text,
                     "package = false\nfiles = [{ path = 'C:\\X\\NONE.INF', size = %u, crc32 = %u "
                     "}]\n",
                     size, crc);
            sim::Machine m = flow::FromToml(text);
            const sim::FileSystem::Node* node = m.files.Find("C:\\X\\NONE.INF");
            ASSERT_NE(node, nullptr);
            EXPECT_EQ(node->data.size(), size);
            if (size >= 4) {
                EXPECT_EQ(Crc32(0, node->data.Read().data(), size), crc) << size << " " << crc;
                EXPECT_EQ(node->data.Crc32(), crc);
                EXPECT_EQ(sim::FileData(node->data.Read()).Crc32(), crc) << size << " " << crc;
            }
        }
    EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);  // the CRC-32 check value
}

// The command line: standard output or a new file, and nothing else
// changes; mistakes end with a message and an exit code.
TEST(CaptureCommandLine, writes_standard_output_or_a_new_file_only) {
    sim::Machine m = flow::On("xp");
    m.files.MakeDirs("C:\\My Captures");
    const std::string plain = capture::Output(capture::Run(m));
    ASSERT_FALSE(plain.empty());
    std::string unix_lines = plain;
    unix_lines.erase(std::remove(unix_lines.begin(), unix_lines.end(), '\r'), unix_lines.end());
    struct Case {
        const char* arguments;
        int exit_code;
        const char* written;  // the change, or "" for none
        const char* message;  // in standard error, or "" for none
    } cases[] = {
        {"", 0, "", ""},
        {"  machine.toml  ", 0, "write C:\\VNTR\\machine.toml", ""},
        {"\"C:\\My Captures\\this one.toml\"", 0, "write C:\\My Captures\\this one.toml", ""},
        {"VNTRXP.INF", 1, "", "VNTRXP.INF already exists"},
        {"\"C:\\No Such Folder\\m.toml\"", 1, "",
         "cannot create C:\\No Such Folder\\m.toml (error 3)"},
        {"\"C:\\VNTR\\a|b.toml\"", 1, "", "cannot look at C:\\VNTR\\a|b.toml (error 123)"},
        {"one two", 2, "", "give one file at most"},
        {"/?", 0, "", ""},
    };
    for (const Case& c : cases) {
        sim::Outcome o = capture::Run(m, c.arguments);
        ASSERT_EQ(o.status, "ok") << c.arguments;
        EXPECT_EQ(o.exit_code, c.exit_code) << c.arguments;
        std::vector<sim::Event> changes = o.ChangeEvents();
        if (*c.written) {
            ASSERT_EQ(changes.size(), 1u) << c.arguments;
            EXPECT_EQ(sim::ChangeLine(changes[0], m.codepage).rfind(c.written, 0), 0u)
                << sim::ChangeLine(changes[0], m.codepage);
            EXPECT_EQ(capture::Output(o), unix_lines) << c.arguments;
        } else {
            EXPECT_TRUE(changes.empty()) << c.arguments;
        }
        EXPECT_NE(capture::Errors(o).find(c.message), std::string::npos)
            << c.arguments << ": " << capture::Errors(o);
        if (!*c.message) {
            EXPECT_EQ(capture::Errors(o), "") << c.arguments;
        }
    }
    EXPECT_NE(capture::Run(m, "/?").Stdout().find("usage: vntrcapture [FILE]"), std::string::npos);
}

// Each call the capture makes can fail: it still ends normally, writes a
// file that loads (or says the file could not be written), changes nothing,
// releases what it took, and a failed read shows in the file.
// One machine of each kind the capture reads differently, each walked on
// its own so that the walks run side by side.
class CaptureFaultWalk : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Machines, CaptureFaultWalk,
                         testing::Values("/tests/machines/98se-nt-style-registry.toml",
                                         "/examples/machines/2000-german.toml",
                                         "/examples/machines/xp-japanese.toml",
                                         "/examples/machines/98se-japanese.toml"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = flow::Stem(info.param);
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

TEST_P(CaptureFaultWalk, every_call_of_the_capture_can_fail) {
    // Failures the capture has nothing to say about: releasing what it took.
    const std::set<std::string> silent = {"RegCloseKey", "FreeLibrary",
                                          "SetupDiDestroyDeviceInfoList", "fclose", "FindClose"};
    const std::string name = flow::Stem(GetParam());
    sim::Machine base = sim::LoadMachineFile(std::string(VNTR_SOURCE_DIR) + GetParam()).machine;
    // A value with a NUL inside, on the NT-style legacy machine.
    if (name == "98se-nt-style-registry")
        sim::MakeKeyPath(
            base.hklm.get(),
            "Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02\\BUS_02&DEV_0C&FUNC_00")
            ->SetValue({"Driver", 1, std::string("x\0", 2)});
    int walked = 0;
    std::set<std::string> calls;
    for (const char* arguments : {"", "out.toml"}) {
        sim::RunOptions record;
        record.record_calls = true;
        sim::Outcome clean = capture::Run(base, arguments, record);
        ASSERT_EQ(clean.exit_code, 0);
        const std::string clean_text = capture::Output(clean);
        auto check = [&](const std::string& c, uint32_t nth, const sim::Machine& m) {
            std::string where = name + " '" + arguments + "': " + c + " #" + std::to_string(nth);
            calls.insert(c);
            sim::Outcome o = capture::Run(m, arguments);
            ASSERT_EQ(o.status, "ok") << where << ": " << o.message;
            std::vector<sim::Event> changes = o.ChangeEvents();
            for (const auto& e : changes)
                EXPECT_EQ(e.type(), "file_written") << where << ": " << e.type();
            if (o.exit_code != 0) {
                // Only the machine file's own writing can fail the capture.
                EXPECT_EQ(o.exit_code, 1) << where;
                EXPECT_TRUE(c == "fwrite" || c == "fclose" || c == "fopen" ||
                            c == "GetFileAttributesA")
                    << where;
                EXPECT_NE(capture::Errors(o).find("vntrcapture: "), std::string::npos) << where;
            } else {
                std::string text = capture::Output(o);
                EXPECT_NO_THROW(sim::ParseMachine(text, where)) << where << "\n" << text;
                if (!silent.count(c)) {
                    EXPECT_TRUE(text != clean_text) << where;
                }
            }
            EXPECT_TRUE(o.summary["allocations_left"].empty()) << where;
            if (c != "RegCloseKey") {
                EXPECT_EQ(o.summary["keys_open"], 0) << where;
            }
            if (c != "SetupDiDestroyDeviceInfoList") {
                EXPECT_EQ(o.summary["device_sets_open"], 0) << where;
            }
            if (c != "FindClose") {
                EXPECT_EQ(o.summary["searches_open"], 0) << where;
            }
            if (c != "FreeLibrary") {
                EXPECT_EQ(o.summary["modules_loaded"].size(), 0u) << where;
            }
            EXPECT_EQ(o.summary["files_open"], 0) << where;
        };
        walked += flow::WalkFaults(base, clean, check);
    }
    printf("%s: %d call positions of the capture walked\n", name.c_str(), walked);
    EXPECT_GE(walked, 25);
    // The Japanese machines have names the capture widens and narrows back.
    if (base.codepage == 932) {
        EXPECT_TRUE(calls.count("MultiByteToWideChar") && calls.count("WideCharToMultiByte"));
    }
}
