// The program's path helpers over machines of each kind of code page: a
// trailing backslash is removed only when it is a character of its own,
// never the second byte of a double-byte character.
#include "common/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/messages.h"
#include "sim/presets.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

TEST(Paths, a_trailing_backslash_is_removed_only_when_it_is_a_character) {
    // A lead byte of each code page whose pair with 0x5C is one character
    // (949's pairs never end in 0x5C, but Windows steps over the byte after
    // a lead byte all the same). 1252 has no lead bytes: 0x95 is a bullet.
    struct Page {
        uint32_t codepage;
        char lead;
    } pages[] = {{932, '\x95'}, {936, '\x81'}, {949, '\x81'}, {950, '\xA5'}, {1252, '\x95'}};
    for (const Page& page : pages) {
        const std::string lead(1, page.lead);
        const bool dbcs = page.codepage != 1252;
        struct Case {
            std::string path, kept;
        } cases[] = {
            {"C:\\", "C:"},                  // the drive root
            {"C:\\VNTR\\", "C:\\VNTR"},      // one backslash of its own
            {"C:\\VNTR\\\\", "C:\\VNTR\\"},  // only one is removed
            {"C:\\D" + lead + "\\", dbcs ? "C:\\D" + lead + "\\" : "C:\\D" + lead},  // a trail 0x5C
            {"C:\\D" + lead + "\\\\", "C:\\D" + lead + "\\"},  // either way, one more is removed
            {"C:\\D" + lead, "C:\\D" + lead},                  // a lead byte alone at the end
            {"", ""},
        };
        sim::Machine m = sim::PresetMachine("xp");
        m.codepage = page.codepage;
        sim::Session session(m, {});
        for (const Case& c : cases) {
            char buffer[PATH_BUFFER];
            snprintf(buffer, sizeof buffer, "%s", c.path.c_str());
            RemoveTrailingBackslash(buffer);
            EXPECT_EQ(buffer, c.kept) << page.codepage << ": " << c.path;
        }
    }
}

// The package at a drive root, on each platform: every path formed below the
// root has the one backslash the root brings ("D:\VNTRXP.INF", never
// "D:\\VNTRXP.INF" or "D:VNTRXP.INF"), the message file included, and the run
// ends in the root itself: ME enters INF\OTHER and comes back to "C:\", not to
// "C:", which would name the drive's current directory. The machine files
// *-drive-root.toml hold what each run shows and changes.
TEST(Paths, a_package_at_a_drive_root_is_named_with_one_backslash) {
    struct Case {
        const char* os;
        std::string root;
    } cases[] = {
        {"98", "C:\\"}, {"98se", "D:\\"}, {"me", "C:\\"}, {"2000", "D:\\"}, {"xp", "E:\\"}};
    for (const Case& c : cases) {
        sim::Machine m = sim::PresetMachine(c.os);
        m.current_dir = c.root;
        sim::MountPackage(m, sim::DefaultPackageDir(), c.root);
        m.files.MakeDirs(m.windows_dir + "\\INF\\OTHER");
        sim::AddController(m);
        m.locale = 0x0407;
        m.answers = {true, false};
        sim::Outcome o = flow::Run(m);
        ASSERT_FALSE(o.Of("open").empty() || o.Boxes().empty()) << c.os;
        EXPECT_EQ(flow::Str(o.Of("open")[0]["args"]["path"]), c.root + "MultiLang\\0407.dat");
        EXPECT_EQ(flow::BoxTexts(o)[0], flow::kGermanTexts[MSG_CONFIRM]) << c.os;
        // The package files copied or installed: the root's backslash is their last.
        std::vector<sim::json> taken = o.Of("copy"), installs = o.Of("install");
        for (auto& install : installs) install["args"]["from"] = install["args"]["inf"];
        taken.insert(taken.end(), installs.begin(), installs.end());
        EXPECT_FALSE(taken.empty()) << c.os;
        for (const auto& e : taken)
            EXPECT_EQ(flow::Str(e["args"]["from"]).rfind('\\'), c.root.size() - 1) << c.os;
        EXPECT_EQ(o.summary["current_dir"], c.root) << c.os;
    }
}

// A directory too long for a path the program forms from it: at 255
// characters the path is handed on whole; one more, and it is not handed on
// cut short: the message file is not opened (the built-in texts show), and
// a flow that needs the path fails without a change. The machine files
// *-long-*.toml hold whole runs of such machines.
TEST(Paths, a_path_over_255_characters_is_never_handed_on) {
    enum Dir { kCurrent, kWindows, kSystem };
    struct Case {
        const char* os;
        Dir dir;
        const char* event;  // the event that hands the path on, and its argument
        const char* arg;
        std::string name;  // what follows the directory
    } cases[] = {
        {"xp", kCurrent, "open", "path", "\\MultiLang\\0407.dat"},
        {"xp", kCurrent, "install", "inf", "\\VNTRXP.INF"},
        {"2000", kCurrent, "install", "inf", "\\VNTR2K.INF"},
        {"xp", kSystem, "load", "name", "\\setupapi.dll"},
        {"98", kCurrent, "copy", "from", "\\VNTR98.INF"},
        {"98se", kCurrent, "copy", "from", "\\VNTR98SE.INF"},
        {"me", kCurrent, "copy", "from", "\\VNTRME.INF"},
        {"98", kWindows, "copy", "to", "\\INF\\VNTR98.INF"},
        {"98se", kWindows, "copy", "to", "\\INF\\VNTR98SE.INF"},
        {"me", kWindows, "copy", "to", "\\INF\\OTHER\\VNTRME.INF"},
    };
    for (const Case& c : cases) {
        const bool message = std::string(c.event) == "open";
        const size_t longest = 255 - c.name.size();
        for (size_t length : {longest, longest + 1, size_t{255}, size_t{300}}) {
            sim::Machine m = flow::On(c.os);
            sim::AddController(m);
            m.answers = {true, false};
            if (message) m.locale = 0x0407;
            std::string dir;
            if (c.dir == kCurrent) {
                dir = m.current_dir = flow::LongPath("C:\\VNTR", length);
                sim::MountPackage(m, sim::DefaultPackageDir(), dir);
            } else if (c.dir == kWindows) {
                dir = m.windows_dir = flow::LongPath("C:\\WINDOWS", length);
                m.files.MakeDirs(dir + "\\INF");
            } else {
                dir = m.system_dir = flow::LongPath("C:\\WINDOWS\\system32", length);
                m.files.MakeDirs(dir);
                for (auto& mod : m.modules) mod.dir = dir;
            }
            sim::Outcome o = flow::Run(m);
            const std::string what = std::string(c.os) + " " + c.event + " " + c.name + " after " +
                                     std::to_string(length) + " characters";
            std::vector<std::string> handed;
            for (const auto& e : o.Of(c.event)) handed.push_back(flow::Str(e["args"][c.arg]));
            ASSERT_GE(o.Boxes().size(), 2u) << what;
            const std::string first = flow::BoxTexts(o)[0], last = flow::BoxTexts(o).back();
            if (length == longest) {
                EXPECT_TRUE(std::count(handed.begin(), handed.end(), dir + c.name)) << what;
                EXPECT_EQ(first, message ? flow::kGermanTexts[MSG_CONFIRM] : flow::kConfirm)
                    << what;
                if (!message) {
                    EXPECT_EQ(last, flow::kSuccess) << what;
                }
            } else {
                EXPECT_TRUE(handed.empty()) << what << ": " << handed[0];
                EXPECT_EQ(first, flow::kConfirm) << what;
                if (!message) {
                    EXPECT_EQ(last, flow::kFailed) << what;
                    EXPECT_TRUE(o.Changes().empty()) << what;
                }
            }
            EXPECT_TRUE(o.summary["allocations_left"].empty()) << what;
        }
    }
}

// A path of the machine, a registry key path too, is split at the
// backslashes that are characters of their own: the trail byte 0x5C of a
// double-byte character is part of a name, in 932 and never in 1252.
TEST(Paths, a_path_splits_only_at_backslash_characters) {
    struct Case {
        uint32_t codepage;
        std::string path;
        std::vector<std::string> parts;
    } cases[] = {
        {932, "Enum\\\x95\\\\X", {"Enum", "\x95\\", "X"}},
        {1252, "Enum\\\x95\\\\X", {"Enum", "\x95", "X"}},
        {932, "\\\\A\\\\", {"A"}},  // empty parts are no names
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " in " + std::to_string(c.codepage));
        sim::TextCodePageScope text(c.codepage);
        std::vector<std::string> parts;
        sim::ForEachPart(c.path, 0, [&](const std::string& part) {
            parts.push_back(part);
            return true;
        });
        EXPECT_EQ(parts, c.parts);
        sim::RegKey root;
        sim::RegKey* made = sim::MakeKeyPath(&root, c.path);
        EXPECT_EQ(made->name, c.parts.back());
        EXPECT_EQ(sim::FindKeyPath(&root, c.path), made);
        EXPECT_EQ(sim::FindKeyPath(&root, c.path + "\\Y"), nullptr);
    }
}
