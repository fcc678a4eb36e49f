// The installation on Windows 98, 98 SE and ME over simulated machines: the
// package staging, the registry reset, the closing messages and the restart,
// with every host call of the flow made to fail in turn.
#include "legacy/legacy.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/messages.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

using flow::kConfirm;
using flow::kFailed;
using flow::kNoController;
using flow::kRebootQuestion;
using flow::kSuccess;

using sim::json;
using Strings = std::vector<std::string>;

const char kModelA[] = "VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02";
const char kModelB[] = "VEN_C4B9&DEV_8E51&SUBSYS_12345678&REV_02";
const char kOtherDevice[] = "VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10";
const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

struct Edition {
    std::string os;
    std::string inf;
    std::string catalog;  // empty: none
    std::string target;
};

const Edition kEditions[] = {
    {"98", "VNTR98.INF", "", "C:\\WINDOWS\\INF"},
    {"98se", "VNTR98SE.INF", "VNTR98SE.CAT", "C:\\WINDOWS\\INF"},
    {"me", "VNTRME.INF", "VNTRME.CAT", "C:\\WINDOWS\\INF\\OTHER"},
};

void PrintTo(const Edition& e, std::ostream* out) { *out << e.os; }

std::string EditionName(const testing::TestParamInfo<Edition>& info) { return info.param.os; }

void AddPciKey(sim::Machine& m, const std::string& path) {
    sim::MakeKeyPath(m.hklm.get(), "Enum\\PCI\\" + path);
}

// A fresh Windows of that edition with the package in C:\VNTR, Yes to the
// first question and `reboot` to the restart question. No controller.
sim::Machine Legacy(const std::string& os, bool reboot = false) {
    sim::Machine m = flow::On(os);
    m.answers = {true, reboot};
    return m;
}

// Both models among other PCI devices: one instance of the first, two of the
// second, a network card between them.
sim::Machine WithControllers(const std::string& os, bool reboot = false) {
    sim::Machine m = Legacy(os, reboot);
    AddPciKey(m, std::string(kModelA) + "\\BUS_02&DEV_0C&FUNC_00");
    AddPciKey(m, std::string(kOtherDevice) + "\\BUS_00&DEV_0F&FUNC_00");
    AddPciKey(m, std::string(kModelB) + "\\BUS_02&DEV_0D&FUNC_00");
    AddPciKey(m, std::string(kModelB) + "\\BUS_02&DEV_0D&FUNC_01");
    return m;
}

// Messages come from the German message file, which is allocated, so a table
// that is not released shows as memory left at the end.
sim::Machine German(sim::Machine m) {
    m.locale = 0x0407;
    return m;
}

const Strings& GermanTexts() { return flow::kGermanTexts; }

// The events of one type whose call succeeded.
std::vector<json> Done(const sim::Outcome& o, const std::string& type) {
    std::vector<json> out;
    for (const auto& e : o.Of(type))
        if (e["result"] == true || e["result"] == 0) out.push_back(e);
    return out;
}

std::string LastBox(const sim::Outcome& o) {
    Strings texts = flow::BoxTexts(o);
    return texts.empty() ? "" : texts.back();
}

// (source, target) of every copy made.
std::vector<std::pair<std::string, std::string>> Copies(const sim::Outcome& o) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& c : Done(o, "copy")) out.push_back({flow::Str(c["from"]), flow::Str(c["to"])});
    return out;
}

std::vector<std::pair<std::string, std::string>> ExpectedCopies(const Edition& e,
                                                                const std::string& from) {
    std::string dir = from.back() == '\\' ? from.substr(0, from.size() - 1) : from;
    std::vector<std::pair<std::string, std::string>> out = {
        {dir + "\\" + e.inf, e.target + "\\" + e.inf}};
    if (!e.catalog.empty()) out.push_back({dir + "\\" + e.catalog, e.target + "\\" + e.catalog});
    return out;
}

// Keys deleted right below Enum\PCI, in the order of deletion.
Strings DeletedControllerKeys(const sim::Outcome& o) {
    const std::string branch = "HKLM\\Enum\\PCI\\";
    Strings out;
    for (const auto& d : Done(o, "reg_delete")) {
        std::string key = flow::Str(d["path"]);
        if (key.rfind(branch, 0) == 0 && key.find('\\', branch.size()) == std::string::npos)
            out.push_back(key.substr(branch.size()));
    }
    return out;
}

const json* Find(const json& key, const std::string& path) {
    const json* at = &key;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        const json* next = nullptr;
        if (at->contains("subkeys"))
            for (const auto& sub : (*at)["subkeys"])
                if (sim::EqualNoCase(flow::Str(sub["name"]), part)) next = &sub;
        if (!next) return nullptr;
        at = next;
        start = end + 1;
    }
    return at;
}

// Names of the keys left below Enum\PCI at the end, in enumeration order.
Strings PciKeysLeft(const sim::Outcome& o) {
    Strings out;
    json state = o.SummaryState();
    const json* pci = Find(state["registry"], "Enum\\PCI");
    if (pci && pci->contains("subkeys"))
        for (const auto& sub : (*pci)["subkeys"]) out.push_back(flow::Str(sub["name"]));
    return out;
}

// The stored OtherDevicePath at the end, as bytes; "<none>" when missing.
std::string OtherDevicePath(const sim::Outcome& o) {
    json state = o.SummaryState();
    const json* key = Find(state["registry"], kCurrentVersion);
    if (key && key->contains("values"))
        for (const auto& v : (*key)["values"])
            if (flow::Str(v["name"]) == "OtherDevicePath") return flow::Str(v["data"]);
    return "<none>";
}

Strings CallOrder(const sim::Outcome& o) {
    Strings out;
    for (const auto& c : o.summary["call_order"]) out.push_back(c);
    return out;
}

long FirstCall(const Strings& order, const std::string& name) {
    auto it = std::find(order.begin(), order.end(), name);
    return it == order.end() ? -1 : it - order.begin();
}

long LastCall(const Strings& order, const std::string& name) {
    auto it = std::find(order.rbegin(), order.rend(), name);
    return it == order.rend() ? -1 : static_cast<long>(order.rend() - it) - 1;
}

size_t FailedCopies(const sim::Outcome& o) {
    size_t n = 0;
    for (const auto& c : o.Of("copy")) n += !c["result"].get<bool>();
    return n;
}

// Deletions refused because the key has subkeys.
std::vector<json> Refused(const sim::Outcome& o) {
    std::vector<json> out;
    for (const auto& d : o.Of("reg_delete"))
        if (d.contains("refused")) out.push_back(d);
    return out;
}

// Common ends of every run: no memory and no key left open.
void ExpectTidy(const sim::Outcome& o) {
    EXPECT_TRUE(o.summary["allocations_left"].empty()) << o.summary["allocations_left"].dump();
    EXPECT_EQ(o.summary["keys_open"], 0);
    EXPECT_TRUE(o.Of("bad_free").empty());
}

class LegacyEdition : public testing::TestWithParam<Edition> {};
INSTANTIATE_TEST_SUITE_P(Editions, LegacyEdition, testing::ValuesIn(kEditions), EditionName);

}  // namespace

// ---- staging -------------------------------------------------------------

TEST_P(LegacyEdition, copies_its_package_files_into_its_target_directory_replacing_older_ones) {
    const Edition& e = GetParam();
    sim::Machine m = WithControllers(e.os);
    m.files.PutFile(e.target + "\\" + e.inf, "; an older version\r\n");
    sim::Outcome o = flow::Run(m);

    EXPECT_EQ(Copies(o), ExpectedCopies(e, "C:\\VNTR"));
    auto copies = Done(o, "copy");
    ASSERT_FALSE(copies.empty());
    EXPECT_TRUE(copies[0]["overwrote"].get<bool>());
    EXPECT_EQ(copies[0]["bytes"], m.files.Find("C:\\VNTR\\" + e.inf)->data.size());
    EXPECT_EQ(flow::BoxTexts(o), (Strings{kConfirm, kRebootQuestion, kSuccess}));
    EXPECT_EQ(o.Boxes()[2]["args"]["type"], MB_OK);
    EXPECT_EQ(flow::Calls(o, "ExitWindowsEx"), 0);
    ExpectTidy(o);
}

TEST_P(LegacyEdition, only_the_low_word_of_the_build_number_picks_the_edition) {
    const Edition& e = GetParam();
    sim::Machine m = WithControllers(e.os);
    m.os.build_number = (m.os.build_number & 0xFFFF) | 0x5A5A0000u;
    EXPECT_EQ(Copies(flow::Run(m)), ExpectedCopies(e, "C:\\VNTR"));
}

TEST(LegacyMe, creates_a_missing_inf_other_and_makes_the_starting_directory_current_again) {
    sim::Machine m = WithControllers("me");
    ASSERT_FALSE(m.files.IsDir("C:\\WINDOWS\\INF\\OTHER"));
    sim::Outcome o = flow::Run(m);
    Strings changes = flow::ChangeTypes(o);
    ASSERT_GE(changes.size(), 3u);
    EXPECT_EQ((Strings{changes[0], changes[1], changes[2]}), (Strings{"mkdir", "copy", "copy"}));
    EXPECT_EQ(flow::Str(o.Of("mkdir")[0]["path"]), "C:\\WINDOWS\\INF\\OTHER");
    EXPECT_EQ(o.summary["current_dir"], "C:\\VNTR");
    EXPECT_EQ(LastBox(o), kSuccess);
}

TEST(LegacyMe, enters_an_existing_inf_other_to_see_it_exists_and_returns) {
    sim::Machine m = WithControllers("me");
    m.files.MakeDirs("C:\\WINDOWS\\INF\\OTHER");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::Calls(o, "CreateDirectoryA"), 0);
    Strings dirs;
    for (const auto& c : o.Of("chdir")) dirs.push_back(flow::Str(c["path"]));
    EXPECT_EQ(dirs, (Strings{"C:\\WINDOWS\\INF\\OTHER", "C:\\VNTR"}));
    EXPECT_EQ(o.summary["current_dir"], "C:\\VNTR");
    EXPECT_EQ(Copies(o), ExpectedCopies(kEditions[2], "C:\\VNTR"));
}

TEST_P(LegacyEdition, a_missing_inf_fails_before_the_registry_is_touched) {
    const Edition& e = GetParam();
    sim::Machine m = WithControllers(e.os);
    m.files.Remove("C:\\VNTR\\" + e.inf);
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (Strings{kConfirm, kFailed}));
    EXPECT_TRUE(Copies(o).empty());
    EXPECT_EQ(flow::Calls(o, "RegOpenKeyA"), 0);
    // Only the INF\OTHER that ME makes before copying stays.
    EXPECT_EQ(flow::ChangeTypes(o), e.os == "me" ? Strings{"mkdir"} : Strings{});
    ExpectTidy(o);
}

TEST(LegacyCatalog, a_missing_catalog_fails_after_the_inf_copy_which_stays) {
    for (const Edition& e : {kEditions[1], kEditions[2]}) {
        sim::Machine m = WithControllers(e.os);
        m.files.Remove("C:\\VNTR\\" + e.catalog);
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(flow::BoxTexts(o), (Strings{kConfirm, kFailed})) << e.os;
        EXPECT_EQ(
            Copies(o),
            (std::vector<std::pair<std::string, std::string>>{ExpectedCopies(e, "C:\\VNTR")[0]}))
            << e.os;
        EXPECT_EQ(flow::Calls(o, "RegOpenKeyA"), 0) << e.os;
        EXPECT_EQ(FailedCopies(o), 1u) << e.os;
    }
}

// ---- closing messages and the restart ------------------------------------

TEST_P(LegacyEdition, without_a_controller_key_the_files_stay_and_message_1_is_shown) {
    const Edition& e = GetParam();
    sim::Machine m = Legacy(e.os);
    AddPciKey(m, "ven_c4b9&dev_8e3a&subsys_8e3ac4b9&rev_02\\BUS_02&DEV_0C&FUNC_00");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (Strings{kConfirm, kNoController}));
    EXPECT_EQ(Copies(o), ExpectedCopies(e, "C:\\VNTR"));
    EXPECT_TRUE(Done(o, "reg_delete").empty());
    EXPECT_EQ(OtherDevicePath(o), sim::Bytes("C:\\WINDOWS\\INF\\OTHER") + '\0');
    EXPECT_EQ(flow::Calls(o, "ExitWindowsEx"), 0);
    ExpectTidy(o);
}

TEST_P(LegacyEdition, yes_to_the_restart_releases_the_messages_then_asks_for_a_reboot) {
    const Edition& e = GetParam();
    sim::Machine m = German(WithControllers(e.os, true));
    sim::Outcome o = flow::Run(m);
    Strings german = GermanTexts();
    EXPECT_EQ(flow::BoxTexts(o), (Strings{german[MSG_CONFIRM], german[MSG_SUCCESS_REBOOT]}));
    EXPECT_EQ(o.Boxes()[1]["args"]["type"], MB_YESNO);
    ASSERT_FALSE(o.events.empty());
    const json last = o.events.back().ToJson();
    EXPECT_EQ(last["type"], "reboot");
    EXPECT_EQ(last["args"]["flags"], EWX_REBOOT);
    EXPECT_EQ(last["args"]["reserved"], 0);
    Strings order = CallOrder(o);
    EXPECT_LT(LastCall(order, "LocalFree"), FirstCall(order, "ExitWindowsEx"));
    ExpectTidy(o);
}

TEST(LegacyRestart, a_refused_reboot_is_not_reported) {
    sim::Machine m = WithControllers("98se", true);
    m.faults = {{"ExitWindowsEx", 1, 1, 5}};
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (Strings{kConfirm, kRebootQuestion}));
    EXPECT_EQ(o.Of("reboot").size(), 1u);
}

TEST_P(LegacyEdition, no_to_the_restart_shows_message_2_and_asks_for_nothing) {
    sim::Machine m = German(WithControllers(GetParam().os, false));
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(LastBox(o), GermanTexts()[MSG_SUCCESS]);
    EXPECT_EQ(flow::Calls(o, "ExitWindowsEx"), 0);
    ExpectTidy(o);
}

// ---- builds and directories the package has no place for ------------------

TEST(LegacyBuild, a_build_without_package_files_changes_nothing_and_reports_failure) {
    sim::Machine win95 = German(Legacy("95"));
    AddPciKey(win95, std::string(kModelA) + "\\BUS_02&DEV_0C&FUNC_00");
    sim::Machine build1111 = win95;
    build1111.os.build_number = (4u << 24) | 1111u;
    sim::Machine build0 = win95;
    build0.os.build_number = 0;
    for (const sim::Machine& m : {win95, build1111, build0}) {
        sim::Outcome o = flow::Run(m);
        std::string which = std::to_string(m.os.build_number & 0xFFFF);
        EXPECT_EQ(flow::BoxTexts(o),
                  (Strings{GermanTexts()[MSG_CONFIRM], GermanTexts()[MSG_FAILED]}))
            << which;
        EXPECT_TRUE(o.Changes().empty()) << which;
        EXPECT_EQ(flow::Calls(o, "CopyFileA") + flow::Calls(o, "CreateDirectoryA") +
                      flow::Calls(o, "SetCurrentDirectoryA") + flow::Calls(o, "RegOpenKeyA"),
                  0)
            << which;
        ExpectTidy(o);  // the message table was released
    }
}

// ---- registry reset ---------------------------------------------------------

TEST_P(LegacyEdition, both_models_are_deleted_whole_in_enumeration_order_after_the_scan) {
    sim::Outcome o = flow::Run(WithControllers(GetParam().os));
    EXPECT_EQ(DeletedControllerKeys(o), (Strings{kModelA, kModelB}));
    auto deletions = Done(o, "reg_delete");
    ASSERT_EQ(deletions.size(), 2u);
    EXPECT_EQ(deletions[1]["removed"].size(), 3u) << "the key and its two instances";
    Strings left = PciKeysLeft(o);
    EXPECT_EQ(left.back(), kOtherDevice);
    EXPECT_EQ(left.size(), 3u) << "the preset's two devices and the network card stay";

    // Every subkey was fetched, and the failing fetch after the last one, before
    // the first deletion.
    Strings order = CallOrder(o);
    EXPECT_LT(LastCall(order, "RegEnumKeyExA"), FirstCall(order, "RegDeleteKeyA"));
    EXPECT_EQ(flow::Calls(o, "RegEnumKeyExA"), 6);
}

TEST(LegacyScan, names_match_on_their_first_17_characters_case_sensitively) {
    sim::Machine m = Legacy("98se");
    const Strings keys = {
        "ven_c4b9&dev_8e3a&subsys_8e3ac4b9&rev_02",  // lower case
        "VEN_C4B9&DEV_8E3A",                         // exactly the prefix
        "VEN_C4B9&DEV_8E3",                          // one short
        "VEN_C4B9&DEV_8e51&SUBSYS_8E51C4B9&REV_02",  // one lower-case letter
        "XVEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9",        // prefix not at the start
        "VEN_C4B9&DEV_8E51X",                        // anything may follow
        "VEN_C4B9&DEV_8E52&SUBSYS_8E52C4B9&REV_02",  // another device
    };
    for (const auto& k : keys) AddPciKey(m, k + "\\BUS_02&DEV_0C&FUNC_00");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(DeletedControllerKeys(o), (Strings{"VEN_C4B9&DEV_8E3A", "VEN_C4B9&DEV_8E51X"}));
    EXPECT_EQ(LastBox(o), kSuccess);
}

TEST_P(LegacyEdition, every_matching_key_is_deleted_however_many_and_wherever_they_stand) {
    sim::Machine m = Legacy(GetParam().os);
    // Twelve other devices first (the preset has two), then 25 controller keys
    // mixed with others; one name is as long as a key name can be.
    for (int i = 0; i < 10; ++i) AddPciKey(m, "VEN_1000&DEV_" + std::to_string(1000 + i));
    Strings expected;
    for (int i = 0; i < 25; ++i) {
        std::string name = std::string(i % 2 ? "VEN_C4B9&DEV_8E51" : "VEN_C4B9&DEV_8E3A") +
                           "&SUBSYS_" + std::to_string(10000000 + i);
        if (i == 7) name.resize(255, 'Z');
        AddPciKey(m, name + "\\BUS_02&DEV_00&FUNC_00");
        expected.push_back(name);
        if (i % 3 == 0) AddPciKey(m, "VEN_2000&DEV_" + std::to_string(1000 + i));
    }
    size_t others = 12 + 9;
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(DeletedControllerKeys(o), expected);
    EXPECT_EQ(PciKeysLeft(o).size(), others);
    EXPECT_EQ(flow::Calls(o, "RegEnumKeyExA"), static_cast<int>(others + 25 + 1));
    EXPECT_EQ(LastBox(o), kSuccess);
    ExpectTidy(o);
}

TEST(LegacyScan, a_key_list_that_cannot_grow_deletes_nothing_and_reports_failure) {
    sim::Machine base = Legacy("98se", true);
    for (int i = 0; i < 30; ++i)
        AddPciKey(base, "VEN_C4B9&DEV_8E3A&SUBSYS_" + std::to_string(10000000 + i));
    int allocations = flow::Calls(flow::Run(base), "LocalAlloc");
    ASSERT_GE(allocations, 3) << "the list should have grown more than once";
    for (int nth = 1; nth <= allocations; ++nth) {
        sim::Machine m = base;
        m.faults = {{"LocalAlloc", static_cast<uint32_t>(nth), 1, ERROR_NOT_ENOUGH_MEMORY}};
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(flow::BoxTexts(o), (Strings{kConfirm, kFailed})) << "allocation " << nth;
        EXPECT_TRUE(Done(o, "reg_delete").empty()) << "allocation " << nth;
        EXPECT_EQ(Done(o, "copy").size(), 2u) << "the staged files stay";
        ExpectTidy(o);
    }
}

TEST_P(LegacyEdition, a_registry_that_refuses_keys_with_subkeys_still_loses_them_whole) {
    sim::Machine m = WithControllers(GetParam().os);
    m.delete_semantics = sim::DeleteSemantics::Nt;
    AddPciKey(m, std::string(kModelA) + "\\BUS_02&DEV_0C&FUNC_00\\Device Parameters\\Power");
    sim::Outcome o = flow::Run(m);
    EXPECT_FALSE(Refused(o).empty());
    Strings left = PciKeysLeft(o);
    EXPECT_EQ(std::count(left.begin(), left.end(), kModelA), 0);
    EXPECT_EQ(std::count(left.begin(), left.end(), kModelB), 0);
    EXPECT_EQ(left.size(), 3u);
    // Subkeys go first, depth-first, and each controller key last.
    auto deletions = Done(o, "reg_delete");
    ASSERT_EQ(deletions.size(), 7u);
    EXPECT_EQ(flow::Str(deletions[0]["path"]),
              "HKLM\\Enum\\PCI\\" + std::string(kModelA) +
                  "\\BUS_02&DEV_0C&FUNC_00\\Device Parameters\\Power");
    EXPECT_EQ(DeletedControllerKeys(o), (Strings{kModelA, kModelB}));
    EXPECT_EQ(LastBox(o), kSuccess);
    ExpectTidy(o);
}

TEST(LegacyScan, a_tree_too_deep_to_take_apart_is_left_and_the_rest_still_goes) {
    // A chain of keys below the first model's key, on a registry that refuses
    // keys with subkeys: down to 8 levels the subkeys-first deletion reaches
    // the last one and the chain goes whole; from 9 levels on it stops at the
    // eighth and nothing of the chain is deleted. The second model goes
    // either way.
    for (int levels : {1, 8, 9, 40}) {
        sim::Machine m = WithControllers("98se");
        m.delete_semantics = sim::DeleteSemantics::Nt;
        std::string chain = std::string(kModelA) + "\\BUS_02&DEV_0C&FUNC_00";
        for (int i = 1; i < levels; ++i) chain += "\\LEVEL" + std::to_string(i);
        AddPciKey(m, chain);
        sim::Outcome o = flow::Run(m);
        bool whole = levels <= 8;
        std::string what = std::to_string(levels) + " levels";
        const Strings expected = whole ? Strings{kModelA, kModelB} : Strings{kModelB};
        EXPECT_EQ(DeletedControllerKeys(o), expected) << what;
        int chainDeletions = 0;
        for (const auto& d : Done(o, "reg_delete"))
            chainDeletions += flow::Str(d["path"]).find(kModelA) != std::string::npos;
        EXPECT_EQ(chainDeletions, whole ? levels + 1 : 0) << what;
        Strings left = PciKeysLeft(o);
        EXPECT_EQ(std::count(left.begin(), left.end(), kModelA), whole ? 0 : 1) << what;
        EXPECT_EQ(LastBox(o), kSuccess) << what;
        ExpectTidy(o);
    }
}

TEST(OtherDevicePath, a_missing_value_gets_inf_other_with_the_size_of_the_path_and_its_nul) {
    sim::Machine m = WithControllers("98");
    m.windows_dir = "D:\\WIN98";
    m.files.MakeDirs("D:\\WIN98\\INF");
    sim::Outcome o = flow::Run(m);
    auto sets = Done(o, "reg_set");
    ASSERT_EQ(sets.size(), 1u);
    const sim::Bytes expected = sim::Bytes("D:\\WIN98\\INF\\OTHER") + '\0';
    EXPECT_EQ(flow::Str(sets[0]["args"]["key"]), std::string("HKLM\\") + kCurrentVersion);
    EXPECT_EQ(flow::Str(sets[0]["args"]["name"]), "OtherDevicePath");
    EXPECT_EQ(sets[0]["args"]["type"], REG_SZ);
    EXPECT_EQ(sets[0]["args"]["size"], expected.size());
    EXPECT_EQ(flow::Str(sets[0]["args"]["data"]), expected);
    // Written before the scan.
    Strings order = CallOrder(o);
    EXPECT_LT(FirstCall(order, "RegSetValueExA"), FirstCall(order, "RegEnumKeyExA"));
}

TEST(OtherDevicePath, a_stored_value_is_kept_whatever_it_holds_and_however_long) {
    // 259 characters fit the 260-byte read; 260 and more do not.
    for (size_t length : {size_t{10}, size_t{259}, size_t{260}, size_t{600}}) {
        sim::Machine m = WithControllers("me");
        sim::Bytes stored = flow::LongPath("D:\\DRIVERS", length) + '\0';
        sim::MakeKeyPath(m.hklm.get(), kCurrentVersion)->SetValue({"OtherDevicePath", 2, stored});
        sim::Outcome o = flow::Run(m);
        EXPECT_TRUE(Done(o, "reg_set").empty()) << length;
        EXPECT_EQ(OtherDevicePath(o), stored) << length;
        EXPECT_EQ(LastBox(o), kSuccess) << length;
    }
}

TEST(OtherDevicePath, an_unreadable_value_is_not_replaced) {
    sim::Machine m = WithControllers("98se");
    sim::Bytes stored = sim::Bytes("C:\\WINDOWS\\INF\\OTHER;D:\\DRIVERS") + '\0';
    sim::MakeKeyPath(m.hklm.get(), kCurrentVersion)->SetValue({"OtherDevicePath", 1, stored});
    m.faults = {{"RegQueryValueExA", 1, 1, ERROR_ACCESS_DENIED}};
    sim::Outcome o = flow::Run(m);
    EXPECT_TRUE(Done(o, "reg_set").empty());
    EXPECT_EQ(OtherDevicePath(o), stored);
}

// The flow never gets here with such a Windows directory (its own target paths
// are longer), so the reset is called on its own.
TEST(OtherDevicePath, a_windows_directory_too_long_for_the_default_writes_nothing) {
    for (size_t length : {size_t{245}, size_t{246}, size_t{255}}) {
        sim::Machine m = WithControllers("98");
        m.windows_dir = flow::LongPath("C:\\WINDOWS", length);
        int result;
        std::vector<json> sets;
        Strings deleted;
        bool tidy;
        {
            // Nothing is asserted while the session holds standard output.
            sim::Session session(m, {});
            result = ResetDeviceRegistry();
            for (const auto& e : session.runtime().events) {
                if (e.type() == "reg_set") sets.push_back(e.ToJson());
                if (e.type() == "reg_delete" && e.GetNum("result", -1) == 0)
                    deleted.push_back(e.GetStr("path"));
            }
            tidy = session.runtime().allocations.empty() && session.runtime().keys.empty();
        }
        EXPECT_EQ(result, RESET_DONE) << length;
        EXPECT_TRUE(tidy) << length;
        if (length == 245) {
            ASSERT_EQ(sets.size(), 1u);
            EXPECT_EQ(sets[0]["args"]["size"], 256);
            EXPECT_EQ(flow::Str(sets[0]["args"]["data"]), m.windows_dir + "\\INF\\OTHER" + '\0');
        } else {
            EXPECT_TRUE(sets.empty()) << length;
        }
        EXPECT_EQ(deleted.size(), 2u) << "the scan goes on: " << length;
    }
}
