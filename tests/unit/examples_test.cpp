// The example machines: each runs as its [expect] table says, and each host
// call position of each run can fail without a crash, with a message the
// program defines, and without a change the clean run would not make.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/messages.h"
#include "nt/nt.h"
#include "sim/expect.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

// The example machines and the end-to-end suite's machines: each carries
// what its run must come to.
std::vector<std::string> ExampleFiles() {
    return flow::MachineFiles({"/examples/machines", "/tests/machines"});
}

using flow::Stem;

}  // namespace

TEST(ExampleMachines, each_runs_as_its_expect_table_says) {
    std::vector<std::string> files = ExampleFiles();
    ASSERT_GE(files.size(), 50u);
    std::set<std::string> outcomes;
    for (const auto& path : files) {
        sim::LoadedMachine loaded = sim::LoadMachineFile(path);
        EXPECT_TRUE(loaded.warnings.empty()) << path << ": " << loaded.warnings[0];
        ASSERT_TRUE(loaded.expect.has_value()) << path << " has no [expect] table";
        ASSERT_TRUE(loaded.expect->outcome && loaded.expect->boxes && loaded.expect->changes)
            << path << ": [expect] needs outcome, boxes and changes";
        sim::Outcome o = flow::Run(loaded.machine);
        std::vector<std::string> diff =
            sim::Differences(*loaded.expect, sim::Observe(loaded.machine, o));
        std::string shown;
        for (const auto& line : diff) shown += "\n" + line;
        EXPECT_TRUE(diff.empty()) << path << shown;
        outcomes.insert(o.Result());
    }
    // Between them the machines come to every outcome.
    EXPECT_EQ(outcomes, (std::set<std::string>{"declined", "failed", "installed", "no-controller",
                                               "nothing", "restart", "staged"}));
}

// The outcome is read from what the program did; with the built-in texts
// the last box says the same thing in words.
TEST(ExampleMachines, the_outcome_agrees_with_the_last_english_message) {
    const std::map<std::string, std::string> words = {
        {"installed", flow::kSuccess},      {"staged", flow::kSuccess},
        {"restart", flow::kRebootQuestion}, {"no-controller", flow::kNoController},
        {"failed", flow::kFailed},          {"declined", flow::kConfirm},
    };
    for (const auto& path : ExampleFiles()) {
        sim::Machine m = sim::LoadMachineFile(path).machine;
        for (bool yes : {true, false}) {
            if (!yes) m.answers = {false};
            sim::Outcome o = flow::Run(m);
            std::string result = o.Result();
            // Machines with a message file of their own say it in other words.
            if (result == "nothing" || o.Boxes().empty() || flow::BoxTexts(o)[0] != flow::kConfirm)
                continue;
            ASSERT_TRUE(words.count(result)) << path << ": " << result;
            EXPECT_EQ(flow::BoxTexts(o).back(), words.at(result)) << path;
        }
    }
}

// ---- every host call position fails in turn ------------------------------------

namespace {

// The texts the program can show on this machine: its message table (from
// the machine's message file, read by the program's own code, or the
// built-in English), the English texts a failed read falls back to, and the
// names of missing entry points.
std::set<std::string> DefinedTexts(const sim::Machine& machine) {
    std::set<std::string> out = {"<absent>",     flow::kFailed,         flow::kNoController,
                                 flow::kSuccess, flow::kRebootQuestion, flow::kConfirm};
    for (const SetupEntry& entry : g_setupEntryTable) out.insert(entry.shown);
    sim::RunOptions quiet;
    quiet.keep_events = false;
    sim::Session session(machine, quiet);
    LoadMessages();
    for (int i = 0; i < MESSAGE_COUNT; ++i)
        out.insert(MessageText(i) ? std::string(MessageText(i)) : "<absent>");
    ReleaseMessages();
    return out;
}

class FaultWalk : public testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Examples, FaultWalk, testing::ValuesIn(ExampleFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = Stem(info.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace

TEST_P(FaultWalk, each_call_position_can_fail) {
    const sim::Machine base = sim::LoadMachineFile(GetParam()).machine;
    const std::set<std::string> defined = DefinedTexts(base);
    sim::RunOptions record;
    record.record_calls = true;
    const sim::Outcome clean = sim::Run(base, record);
    ASSERT_EQ(clean.status, "ok") << clean.message;
    const std::string clean_result = clean.Result();

    std::map<std::string, uint32_t> seen;
    int walked = 0;
    for (const auto& name : clean.summary["call_order"]) {
        const std::string call = name;
        uint32_t nth = ++seen[call];
        if (!sim::FindHostCall(call)->can_fail) continue;
        std::string where = Stem(GetParam()) + ": " + call + " #" + std::to_string(nth);
        sim::Machine m = base;
        m.faults.push_back({call, nth, 1, 0});
        sim::Outcome o = sim::Run(m, {}, 20);
        ++walked;

        // No crash, and the program's exit code.
        ASSERT_EQ(o.status, "ok") << where << ": " << o.message;
        EXPECT_EQ(o.exit_code, 0) << where;

        // Up to the failing call the run is the clean one.
        auto fault = std::find_if(o.events.begin(), o.events.end(),
                                  [](const sim::Event& e) { return e.type() == "fault"; });
        ASSERT_NE(fault, o.events.end()) << where << ": the fault did not fire";
        size_t before = static_cast<size_t>(fault - o.events.begin());
        ASSERT_LE(before, clean.events.size()) << where;
        for (size_t i = 0; i < before; ++i)
            ASSERT_EQ(o.events[i].ToJson(), clean.events[i].ToJson()) << where << " event " << i;

        // Only messages the program defines; a box whose text tells its
        // message has the buttons the record reads absent texts by.
        for (const auto& text : flow::BoxTexts(o))
            EXPECT_TRUE(defined.count(text)) << where << ": the box \"" << text << "\"";
        for (const auto& box : o.Boxes()) {
            if (!box["message"].is_number() || box.contains("absent")) continue;
            EXPECT_EQ(box["args"]["type"].get<unsigned>() & 0xF,
                      sim::MessageButtons(box["message"].get<int>()))
                << where << ": message " << box["message"];
        }

        // A failure the program reports because of this call: nothing
        // changes after it.
        std::vector<std::string> after;
        for (auto e = fault; e != o.events.end(); ++e)
            if (sim::IsChange(*e)) after.push_back(sim::ChangeLine(*e, m.codepage));
        if (o.Result() == "failed" && clean_result != "failed") {
            EXPECT_TRUE(after.empty()) << where << ": a reported failure, then " << after[0];
        }

        // What the program took it gave back, except the one thing whose
        // release failed; the table is kept on the ways out before a flow.
        std::string result = o.Result();
        size_t kept = o.summary["allocations_left"].size();
        EXPECT_LE(kept, result == "declined" || result == "nothing" ? 5u : 0u) << where;
        EXPECT_TRUE(o.Of("bad_free").empty()) << where;
        if (call != "RegCloseKey") {
            EXPECT_EQ(o.summary["keys_open"], 0) << where;
        }
        EXPECT_EQ(o.summary["device_sets_open"], call == "SetupDiDestroyDeviceInfoList" ? 1 : 0)
            << where;
        EXPECT_EQ(o.summary["modules_loaded"].size(), call == "FreeLibrary" ? 1u : 0u) << where;
    }
    printf("%s: %d call positions walked\n", Stem(GetParam()).c_str(), walked);
    // The start-up alone makes four calls that can fail: the caption, the
    // directory and file of the message table, the question.
    EXPECT_GE(walked, 4);
}

// How --check shows a difference: the changed stretch with three equal lines
// around it, and long equal stretches cut. Lists whose changed stretches are
// too long to compare line by line still come out at once, their expected
// lines first.
TEST(ExpectTable, differences_show_the_changed_stretch) {
    auto lines = [](int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i) out.push_back("l" + std::to_string(i));
        return out;
    };
    auto diff_of = [](std::vector<std::string> want, std::vector<std::string> got) {
        sim::Expectation e;
        e.trace = std::move(want);
        sim::Observed seen;
        seen.trace = std::move(got);
        return sim::Differences(e, seen);
    };
    std::vector<std::string> got = lines(0, 10);
    got[5] = "x";
    EXPECT_EQ(diff_of(lines(0, 10), got), (std::vector<std::string>{
                                              "trace lines differ (- expected, + got):",
                                              "      ...",
                                              "      \"l2\"",
                                              "      \"l3\"",
                                              "      \"l4\"",
                                              "    + \"x\"",
                                              "    - \"l5\"",
                                              "      \"l6\"",
                                              "      \"l7\"",
                                              "      \"l8\"",
                                              "      ...",
                                          }));
    EXPECT_EQ(diff_of({"a", "b"}, {"b"}),
              (std::vector<std::string>{"trace lines differ (- expected, + got):", "    - \"a\"",
                                        "      \"b\""}));

    // How long this takes is load_bench's BM_CheckDifferences.
    std::vector<std::string> want = lines(0, 100000);
    got = lines(1, 100001);
    std::vector<std::string> big = diff_of(want, got);
    ASSERT_EQ(big.size(), 2002u);
    EXPECT_EQ(big[1], "    - \"l0\"");
    EXPECT_EQ(big[2000], "    - \"l1999\"");
    EXPECT_EQ(big.back(), "    ...");
}
