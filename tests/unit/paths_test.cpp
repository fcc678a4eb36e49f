// The program's path helpers over machines of each kind of code page: a
// trailing backslash is removed only when it is a character of its own,
// never the second byte of a double-byte character.
#include "common/paths.h"

#include <gtest/gtest.h>

#include <string>

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
