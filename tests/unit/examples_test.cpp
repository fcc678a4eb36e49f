// The example machines: each runs as its [expect] table says, and each host
// call position of each run can fail without a crash, with a message the
// program defines, an outcome no better than the clean run's, and without a
// change the clean run would not make.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/messages.h"
#include "nt/nt.h"
#include "sim/expect.h"
#include "sim/package.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

using flow::ExampleFiles;

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
    EXPECT_EQ(outcomes,
              (std::set<std::string>{"declined", "failed", "installed", "no-controller", "nothing",
                                     "restart", "staged", sim::kUnpredictableOutcome}));
}

// The outcome is read from what the program did; with the built-in texts
// the last box says the same thing in words.
TEST(ExampleMachines, the_outcome_agrees_with_the_last_english_message) {
    const std::map<std::string, std::string> words = {
        {"installed", flow::kSuccess},
        {"staged", flow::kSuccess},
        {"restart", flow::kRebootQuestion},
        {"no-controller", flow::kNoController},
        {"failed", flow::kFailed},
        {"declined", flow::kConfirm},
        // The update given an INF that was not captured succeeds for want
        // of a better answer; the outcome says that it tells nothing.
        {sim::kUnpredictableOutcome, flow::kSuccess},
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

    auto check = [&](const std::string& call, uint32_t nth, const sim::Machine& m) {
        std::string where = Stem(GetParam()) + ": " + call + " #" + std::to_string(nth);
        sim::Outcome o = sim::Run(m, {}, 20);

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

        // The outcome: a first question whose box fails is a No, and a
        // failed first version query is platform 0: either way nothing
        // follows the question. Any other failure never ends better than
        // the clean run did (a failed restart question is a No to it),
        // except that the NT flow reads a failed version query as minor
        // version 0 and so ends as the same machine with minor version 0.
        const std::string result = o.Result();
        if ((call == "MessageBoxA" || call == "GetVersionExA") && nth == 1) {
            EXPECT_EQ(result, call == "MessageBoxA" ? "declined" : "nothing") << where;
            ASSERT_EQ(o.Boxes().size(), 1u) << where;
            EXPECT_EQ(o.Boxes()[0]["result"], call == "MessageBoxA" ? 0 : IDYES) << where;
            EXPECT_TRUE(o.Changes().empty()) << where;
        } else {
            std::set<std::string> allowed = {clean_result, "failed", "no-controller", "nothing"};
            if (clean_result == "declined") allowed = {"declined"};
            if (clean_result == "restart") allowed.insert("staged");
            if (call == "GetVersionExA" && nth == 2 && base.os.platform == VER_PLATFORM_WIN32_NT) {
                sim::Machine minor0 = base;
                minor0.os.minor = 0;
                allowed.insert(sim::Run(minor0, {}).Result());
            }
            EXPECT_TRUE(allowed.count(result))
                << where << ": " << result << " after " << clean_result;
        }

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
        if (result == "failed" && clean_result != "failed") {
            EXPECT_TRUE(after.empty()) << where << ": a reported failure, then " << after[0];
        }

        // What the program took it gave back, except the one thing whose
        // release failed; the table is kept on the ways out before a flow.
        size_t kept = o.summary["allocations_left"].size();
        EXPECT_LE(kept, result == "declined" || result == "nothing" ? 5u : 0u) << where;
        EXPECT_TRUE(o.Of("bad_free").empty()) << where;
        if (call != "RegCloseKey") {
            EXPECT_EQ(o.summary["keys_open"], 0) << where;
        }
        EXPECT_EQ(o.summary["device_sets_open"], call == "SetupDiDestroyDeviceInfoList" ? 1 : 0)
            << where;
        EXPECT_EQ(o.summary["modules_loaded"].size(), call == "FreeLibrary" ? 1u : 0u) << where;
    };
    int walked = flow::WalkFaults(base, clean, check);
    printf("%s: %d call positions walked\n", Stem(GetParam()).c_str(), walked);
    // The start-up alone makes four calls that can fail: the caption, the
    // directory and file of the message table, the question.
    EXPECT_GE(walked, 4);
}

// How --check shows a difference: the changed stretch with three equal
// lines around it, longer equal stretches cut; in a change the expected
// lines, then the run's, each side cut after 20 lines with a count, so that
// however long a change is both sides show. Items are compared as bytes and
// shown as the table writes them.
TEST(ExpectTable, differences_show_both_sides_of_each_change) {
    auto lines = [](int from, int to, const std::string& word = "l") {
        std::vector<sim::Bytes> out;
        for (int i = from; i < to; ++i) out.push_back(word + std::to_string(i));
        return out;
    };
    auto with = [](std::vector<sim::Bytes> list, size_t at, const sim::Bytes& item) {
        list[at] = item;
        return list;
    };
    struct Case {
        const char* what;
        std::vector<sim::Bytes> want, got;
        std::vector<std::string> shown;  // the lines after the heading, in order
        size_t count;                    // how many lines in all, heading included
    } cases[] = {
        {"one line changed",
         lines(0, 10),
         with(lines(0, 10), 5, "x"),
         {"      ...", "      'l2'", "      'l3'", "      'l4'", "    - 'l5'", "    + 'x'",
          "      'l6'", "      'l7'", "      'l8'", "      ..."},
         11},
        {"one line gone", {"a", "b"}, {"b"}, {"    - 'a'", "      'b'"}, 3},
        // Lines only one side holds are changes before any comparison; the
        // lines both hold are compared where they stand.
        {"a line moved among lines of one side",
         {"u1", "a", "b", "u2", "c"},
         {"b", "v1", "a", "c"},
         {"    - 'u1'", "    - 'a'", "      'b'", "    - 'u2'", "    + 'v1'", "    + 'a'",
          "      'c'"},
         8},
        // A stretch shifted by one: the one line gone and the one new, not
        // 100,000 lines of each.
        {"shifted",
         lines(0, 100000),
         lines(1, 100001),
         {"    - 'l0'", "      'l1'", "      'l2'", "      'l3'", "      ...", "      'l99997'",
          "      'l99998'", "      'l99999'", "    + 'l100000'"},
         10},
        {"everything different",
         lines(0, 40000),
         lines(0, 40000, "m"),
         {"    - 'l0'", "    - 'l19'", "    - ... 39980 more expected lines", "    + 'm0'",
          "    + 'm19'", "    + ... 39980 more lines of the run"},
         43},
        // Bytes, not their printed forms: the byte 0x01 is not the text \x01.
        {"bytes",
         {"\\x01", "C:\\VNTR"},
         {"\x01", "C:\\VNTR"},
         {"    - '\\x01'", "    + \"\\u0001\"", "      'C:\\VNTR'"},
         4},
    };
    for (const Case& c : cases) {
        sim::Expectation e;
        e.trace = c.want;
        sim::Observed seen;
        seen.trace = c.got;
        std::vector<std::string> diff = sim::Differences(e, seen);
        std::string all;
        for (const auto& line : diff) all += line + "\n";
        EXPECT_EQ(diff.size(), c.count) << c.what << "\n" << all;
        ASSERT_FALSE(diff.empty()) << c.what;
        EXPECT_EQ(diff[0], "trace lines differ (- expected, + got):") << c.what;
        // In this order, each where the one before left off.
        size_t at = 1;
        for (const auto& line : c.shown) {
            auto found = std::find(diff.begin() + static_cast<long>(at), diff.end(), line);
            EXPECT_NE(found, diff.end()) << c.what << ": no " << line << " in order in\n" << all;
            if (found != diff.end()) at = static_cast<size_t>(found - diff.begin()) + 1;
        }
    }
}

// The trace is the standard output cut at each CR LF, which is taken off:
// a last line may lack one, a lone CR or LF stays in its line.
TEST(ExpectTable, trace_lines_end_at_cr_lf) {
    const struct {
        std::string out;
        std::vector<sim::Bytes> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"\r\n", {""}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\rb\nc\r\n", {"a\rb\nc"}},
        {std::string("x\0y\r\n", 5), {std::string("x\0y", 3)}},
    };
    for (const auto& c : cases) {
        sim::TextList split = sim::TextList::Split(c.out, "\r\n");
        EXPECT_EQ(split, sim::TextList(c.lines)) << sim::Visible(c.out, 1252);
        EXPECT_EQ(split.size(), c.lines.size());
    }
}

// What --print-expect writes reads back as the same bytes: control
// characters, bytes that are no character of the code page, a double-byte
// character whose second byte is a backslash, a box without text.
TEST(ExpectTable, what_it_writes_reads_back_as_the_same_bytes) {
    struct Case {
        const char* setup;  // the machine's settings before the table
        sim::Observed seen;
    } cases[] = {
        {"",
         {1252, true, "declined", "ok", {std::nullopt, "Q\x81\x1b[2J?\n"}, {}, {"a\r", ""}, {}}},
        {"locale = 0x0411\n",
         {932,
          true,
          "staged",
          "ok",
          {"\x95\x5C"},
          {"copy C:\\\x95\x5C -> X"},
          {"\x95", "'\""},
          {"PCI\\VEN_C4B9&DEV_8E3A -> C:\\\x95\x5C\\A.INF (\x83\x5C\x81)"}}},
    };
    for (const Case& c : cases) {
        std::string table = sim::ExpectTable(c.seen);
        sim::LoadedMachine loaded = sim::ParseMachine(c.setup + table, "printed.toml");
        ASSERT_TRUE(loaded.expect) << table;
        EXPECT_EQ(sim::Differences(*loaded.expect, c.seen), std::vector<std::string>()) << table;
        EXPECT_EQ(*loaded.expect->boxes, c.seen.boxes) << table;
        EXPECT_EQ(*loaded.expect->trace, c.seen.trace) << table;
        EXPECT_EQ(loaded.expect->after_restart.value_or(std::vector<sim::Bytes>()),
                  c.seen.after_restart)
            << table;
    }
    // A run that did not finish has no table.
    sim::Observed unfinished;
    unfinished.finished = false;
    EXPECT_EQ(sim::ExpectTable(unfinished), "");
}
