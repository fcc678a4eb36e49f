// The record of a run as others read it: the JSON document, read strictly;
// the number of the message each box shows and the outcome derived from
// them; and the slots through which a test puts its own function in place
// of a host call.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/messages.h"
#include "nt/nt.h"
#include "sim/cli/capture_run.h"
#include "sim/slots.h"
#include "tests/unit/flow.h"

namespace {

// Parses JSON text as a strict reader does; false, with the key, when an
// object holds a key twice (a lenient reader keeps one of them silently),
// or when the text is no JSON at all.
bool WithoutDuplicateKeys(const std::string& text, std::string* duplicate) {
    std::vector<std::set<std::string>> open;
    bool unique = true;
    nlohmann::json::parser_callback_t check = [&](int, nlohmann::json::parse_event_t event,
                                                  nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        if (event == Event::object_start) open.emplace_back();
        if (event == Event::object_end) open.pop_back();
        if (event == Event::key && !open.back().insert(parsed.get<std::string>()).second) {
            unique = false;
            *duplicate = parsed.get<std::string>();
        }
        return true;
    };
    if (nlohmann::json::parse(text, check, false).is_discarded()) {
        *duplicate = "(the text is not JSON)";
        return false;
    }
    return unique;
}

// A box as the test tables write it: its message number or "?", after
// "absent " when it has no text; "entry point" for a missing entry's name.
std::string Shown(const sim::json& box) {
    if (box.value("entry_point", false)) return "entry point";
    std::string number = box["message"].is_null() ? "?" : std::to_string(box["message"].get<int>());
    return box.value("absent", false) ? "absent " + number : number;
}

}  // namespace

TEST(Record, the_json_of_every_machine_holds_each_key_once) {
    for (const auto& path : flow::MachineFiles({"/examples/machines", "/tests/machines"})) {
        const sim::Machine m = sim::LoadMachineFile(path).machine;
        std::string duplicate;
        sim::Outcome o = flow::Run(m);
        EXPECT_TRUE(WithoutDuplicateKeys(sim::JsonDocument(m, o), &duplicate))
            << path << ": \"" << duplicate << "\" twice";
        // The capture reads what setup.exe does not: registry values by
        // enumeration, file attributes.
        sim::Outcome captured = capture::Run(m);
        for (const sim::Event& e : captured.events) {
            std::string text;
            e.AppendJson(text);
            EXPECT_TRUE(WithoutDuplicateKeys(text, &duplicate))
                << path << " (capture): \"" << duplicate << "\" twice in " << text;
        }
    }
}

TEST(Record, each_box_carries_its_message_number_and_the_outcome_follows_the_last) {
    // The message file's lines, by message number; a file of n lines leaves
    // the last 5 - n entries absent.
    const std::string kLines[MESSAGE_COUNT] = {"F0\r\n", "N1\r\n", "S2\r\n", "R3\r\n", "C4\r\n"};
    struct Case {
        const char* what;
        const char* os;
        int lines;  // of the message file; -1: none, the built-in English
        bool controller;
        std::vector<bool> answers;
        std::vector<std::string> boxes;
        const char* outcome;  // "": none can be told
    } cases[] = {
        {"built-in English", "xp", -1, true, {true}, {"4", "2"}, "installed"},
        {"four lines: only the question is absent",
         "xp",
         4,
         true,
         {true},
         {"absent 4", "2"},
         "installed"},
        {"three lines: both questions are absent",
         "xp",
         3,
         true,
         {true},
         {"absent ?", "2"},
         "installed"},
        {"two lines: the success message is the one absent OK box",
         "xp",
         2,
         true,
         {true},
         {"absent ?", "absent 2"},
         "installed"},
        {"two lines: no controller, from the file",
         "xp",
         2,
         false,
         {true},
         {"absent ?", "1"},
         "no-controller"},
        {"one line: the closing box could be 1 or 2",
         "xp",
         1,
         true,
         {true},
         {"absent ?", "absent ?"},
         ""},
        {"four lines on 98 SE, no restart",
         "98se",
         4,
         true,
         {true, false},
         {"absent 4", "3", "2"},
         "staged"},
        {"three lines on 98 SE, no restart",
         "98se",
         3,
         true,
         {true, false},
         {"absent ?", "absent ?", "2"},
         "staged"},
        {"three lines on 98 SE, restart",
         "98se",
         3,
         true,
         {true, true},
         {"absent ?", "absent ?"},
         "restart"},
        {"the question answered No", "98se", -1, true, {false}, {"4"}, "declined"},
    };
    for (const Case& c : cases) {
        sim::Machine m = flow::On(c.os);
        if (c.controller) sim::AddController(m);
        if (c.lines >= 0) {
            std::string text;
            for (int i = 0; i < c.lines; ++i) text += kLines[i];
            m.files.PutFile("C:\\VNTR\\MultiLang\\0409.dat", text);
        }
        m.answers = c.answers;
        sim::Outcome o = flow::Run(m);
        sim::json doc = sim::json::parse(sim::JsonDocument(m, o));
        std::vector<std::string> boxes;
        for (const auto& box : doc["boxes"]) boxes.push_back(Shown(box));
        EXPECT_EQ(boxes, c.boxes) << c.what;
        EXPECT_EQ(o.Result(), c.outcome) << c.what;
        // Either an outcome or the reason there is none.
        EXPECT_EQ(doc["outcome"].is_null(), !*c.outcome) << c.what;
        EXPECT_EQ(doc["outcome_unknown"].is_null(), *c.outcome != '\0') << c.what;
    }
}

TEST(Record, the_report_shows_the_message_of_each_box) {
    std::string command = std::string(VNTR_SIM_BINARY) +
                          " --machine " VNTR_SOURCE_DIR
                          "/tests/machines/xp-three-line-messages.toml";
    FILE* report = popen(command.c_str(), "r");
    ASSERT_NE(report, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = (fread)(buffer, 1, sizeof buffer, report)) > 0;) out.append(buffer, n);
    EXPECT_EQ(pclose(report), 0) << out;
    EXPECT_NE(out.find("box [Yes/No] message unknown (no text)"), std::string::npos) << out;
    EXPECT_NE(out.find("box [OK] message 2\n"), std::string::npos) << out;
}

// A test's own function in a slot is what the program calls: a function it
// links by name, and an entry point GetProcAddress hands out. The runs are
// forked from this process, so they see the slots as set here.
TEST(Record, a_function_put_in_a_slot_is_what_the_program_calls) {
    struct Restore {
        ~Restore() { sim::g_slots = sim::kSimulated; }
    } restore;
    sim::Machine m = flow::On("xp");
    sim::AddController(m);
    sim::g_slots.UpdateDriverForPlugAndPlayDevicesA = [](HWND, LPCSTR, LPCSTR, DWORD,
                                                         PBOOL) -> BOOL { return FALSE; };
    sim::g_slots.GetVersionExA = [](LPOSVERSIONINFOA info) {
        BOOL ok = sim::kSimulated.GetVersionExA(info);
        info->dwMinorVersion = 0;  // Windows 2000's package file
        return ok;
    };
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(o.Result(), "failed");
    EXPECT_TRUE(o.Of("install").empty());
    EXPECT_EQ(flow::Calls(o, "UpdateDriverForPlugAndPlayDevicesA"), 0);

    // The update itself is the simulator's again; it receives the path the
    // program formed from the version the slot reported.
    sim::g_slots.UpdateDriverForPlugAndPlayDevicesA =
        sim::kSimulated.UpdateDriverForPlugAndPlayDevicesA;
    o = flow::Run(m);
    EXPECT_EQ(o.Result(), "installed");
    ASSERT_EQ(o.Of("install").size(), 1u);
    EXPECT_EQ(o.Of("install")[0]["args"]["inf"], "C:\\VNTR\\VNTR2K.INF");
}

// The binary form a run's events go through, from the child to its parent,
// reads back as it was written, field for field: each kind, a host
// function's name recorded as where its literal lies, and the lists that
// share a mapped record when some of its events are taken out.
TEST(Record, events_read_back_as_they_were_written) {
    static const char kName[] = "SetupDiGetDeviceRegistryPropertyA";
    const std::vector<sim::Event> events = {
        sim::Event("call").Name("call", kName).Num("result", -1).Flag("args.flag", true),
        sim::Event("stdout").Str("text", std::string("a\0b\r\n", 5)).Null("args.none"),
        sim::Event("after_restart").Str("device", "PCI\\X").List("not_captured", {"A", "B"}),
        sim::Event("call").Str("call", kName).Num("big", INT64_MIN),
    };
    std::string record;
    std::vector<size_t> offsets;
    for (const sim::Event& e : events) {
        std::string one;
        e.Encode(one);
        uint32_t length = static_cast<uint32_t>(one.size());
        record.append(reinterpret_cast<const char*>(&length), 4);
        offsets.push_back(record.size());
        record += one;
    }
    auto owner = std::make_shared<std::string>(record);
    sim::EventList mapped, built;
    mapped.Adopt(owner, owner->data(), owner->size(), offsets);
    for (const sim::Event& e : events) built.push_back(e);
    for (sim::EventList* list : {&mapped, &built}) {
        ASSERT_EQ(list->size(), events.size());
        for (size_t i = 0; i < events.size(); ++i)
            EXPECT_EQ((*list)[i].ToJson(), events[i].ToJson()) << i;
        // Decoded into one reused Event, as the readers of a record do.
        sim::Event reused;
        list->DecodeAt(0, &reused);
        EXPECT_EQ(reused.Get("call")->literal, kName);
        list->DecodeAt(3, &reused);
        EXPECT_EQ(reused.Get("call")->literal, nullptr);
        EXPECT_EQ(reused.ToJson(), events[3].ToJson());
        sim::EventList taken = list->TakeIf([](std::string_view t) { return t != "call"; });
        ASSERT_EQ(taken.size(), 2u);
        EXPECT_EQ(taken[1].ToJson(), events[2].ToJson());
        ASSERT_EQ(list->size(), 2u);
        EXPECT_EQ((*list)[1].ToJson(), events[3].ToJson());
    }
    // The name by where it lies takes a few bytes, not its 33 characters.
    std::string by_name, by_text;
    events[0].Encode(by_name);
    sim::Event("call").Str("call", kName).Num("result", -1).Flag("args.flag", true).Encode(by_text);
    EXPECT_LT(by_name.size() + 25, by_text.size());
}
