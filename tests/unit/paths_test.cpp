// The program's path helpers over machines of each kind of code page: a
// trailing backslash is removed only when it is a character of its own,
// never the second byte of a double-byte character.
#include "common/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/presets.h"
#include "sim/runtime.h"

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
