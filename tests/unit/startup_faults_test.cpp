// The start-up with each of its host calls failing in turn, on every Windows
// the program installs on: loading the caption, reading the message table
// from a message file, asking the question and querying the platform. The
// flow walks (legacy_test.cpp, nt_test.cpp) begin where these calls end.
#include <map>
#include <string>
#include <vector>

#include "app/messages.h"
#include "host/sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

using Strings = std::vector<std::string>;

const Strings& kEnglish = flow::kEnglishTexts;
const Strings& kGerman = flow::kGermanTexts;

// The German machine of that Windows with one controller, Yes to the
// question and No to a restart: every message comes from the message file,
// one allocation per line.
sim::Machine GermanWithController(const std::string& os) {
    sim::Machine m = flow::On(os);
    sim::AddController(m);
    m.locale = 0x0407;
    m.answers = {true, false};
    return m;
}

Strings English(const Strings& german) {
    Strings out;
    for (const auto& text : german) {
        size_t i = 0;
        while (i < kGerman.size() && kGerman[i] != text) ++i;
        out.push_back(i < kGerman.size() ? kEnglish[i] : "<not a German message: " + text + ">");
    }
    return out;
}

class StartupFaultWalk : public testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Windows, StartupFaultWalk,
                         testing::Values("98", "98se", "me", "2000", "xp"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace

TEST_P(StartupFaultWalk, every_start_up_call_can_fail) {
    const sim::Machine base = GermanWithController(GetParam());
    sim::Outcome clean = flow::Run(base);
    const Strings cleanBoxes = flow::BoxTexts(clean);
    ASSERT_GE(cleanBoxes.size(), 2u);
    ASSERT_EQ(cleanBoxes[0], kGerman[MSG_CONFIRM]);
    ASSERT_FALSE(clean.Changes().empty());

    // The start-up ends with the platform query.
    Strings order;
    for (const auto& c : clean.summary["call_order"]) order.push_back(c);
    size_t end = 0;
    while (end < order.size() && order[end] != "GetVersionExA") ++end;
    ASSERT_LT(end, order.size());

    std::map<std::string, uint32_t> seen;
    int lineAllocations = 0;
    for (size_t i = 0; i <= end; ++i) {
        const std::string& call = order[i];
        uint32_t nth = ++seen[call];
        std::string what = GetParam() + ": " + call + " #" + std::to_string(nth);
        sim::Machine m = base;
        m.faults = {{call, nth, 1, 0}};
        sim::Outcome o = sim::Run(m, {}, 10);
        ASSERT_EQ(o.status, "ok") << what << ": " << o.message;
        EXPECT_EQ(o.exit_code, 0) << what;
        // The ways out before a flow runs leave the table to the end of the
        // process, as the entry point does on a No; nothing else is left.
        bool endsEarly = call == "MessageBoxA" || call == "GetVersionExA";
        EXPECT_EQ(o.summary["allocations_left"].size(), endsEarly ? MESSAGE_COUNT : 0u) << what;
        EXPECT_TRUE(o.Of("bad_free").empty()) << what;
        EXPECT_EQ(o.summary["keys_open"], 0) << what;
        EXPECT_EQ(o.summary["device_sets_open"], 0) << what;
        EXPECT_TRUE(o.summary["modules_loaded"].empty()) << what;

        Strings boxes = flow::BoxTexts(o);
        if (call == "LoadStringA") {
            // No caption: the same run under empty titles.
            EXPECT_EQ(boxes, cleanBoxes) << what;
            for (const auto& b : o.Boxes()) EXPECT_EQ(flow::Str(b["title"]), "") << what;
            EXPECT_EQ(o.Changes(), clean.Changes()) << what;
        } else if (call == "GetSystemDefaultLCID") {
            // It cannot fail: the run is the clean one.
            EXPECT_EQ(boxes, cleanBoxes) << what;
            EXPECT_EQ(o.Changes(), clean.Changes()) << what;
        } else if (call == "GetCurrentDirectoryA" || call == "fopen" || call == "LocalAlloc") {
            // No message file path, no file or no memory for one of its
            // lines: the whole table is the built-in English, never a mix,
            // and the installation goes on as before.
            if (call == "LocalAlloc") ++lineAllocations;
            EXPECT_EQ(boxes, English(cleanBoxes)) << what;
            EXPECT_EQ(o.Changes(), clean.Changes()) << what;
        } else if (call == "MessageBoxA") {
            // A question that cannot be shown is no Yes.
            EXPECT_TRUE(boxes.empty()) << what;
            EXPECT_TRUE(o.Changes().empty()) << what;
            EXPECT_EQ(flow::Calls(o, "GetVersionExA"), 0) << what;
        } else if (call == "GetVersionExA") {
            // A failed query reads as platform 0: nothing is installed.
            EXPECT_EQ(boxes, Strings{kGerman[MSG_CONFIRM]}) << what;
            EXPECT_TRUE(o.Changes().empty()) << what;
        } else {
            ADD_FAILURE() << what << ": a start-up call this walk does not know";
        }
    }
    EXPECT_EQ(lineAllocations, MESSAGE_COUNT) << "one allocation per line of the message file";
}
