// The NT-platform installation over simulated Windows 2000 / XP machines:
// the binding of setupapi.dll, the controller search with its trace, the
// driver update, and what each of them does when the machine misbehaves.
#include "nt/nt.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/messages.h"
#include "sim/runtime.h"
#include "tests/unit/flow.h"

namespace {

using flow::kConfirm;
using flow::kFailed;
using flow::kNoController;
using flow::kSuccess;

// The first identifier each model lists (sim::AddController).
const char kModel3A[] = "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02";
const char kModel51[] = "PCI\\VEN_C4B9&DEV_8E51&SUBSYS_8E51C4B9&REV_02";

// The trace's last line when the device list runs out: the system text of
// error 259 ends in CR LF of its own, and the program's LF becomes CR LF.
const char kEndOfList[] = "EnumDeviceInfo FAILURE: No more data is available.\r\r\n\r\n";

sim::Device Ids(const std::vector<std::string>& ids) {
    sim::Device d;
    d.hardware_ids = sim::MultiSz(ids);
    return d;
}

sim::Device Raw(const sim::Bytes& bytes) {
    sim::Device d;
    d.hardware_ids = bytes;
    return d;
}

// Windows of that version with the package in C:\VNTR, a Yes to the
// question, the usual devices, and `devices` after them.
sim::Machine Nt(const std::string& os, const std::vector<sim::Device>& devices = {}) {
    sim::Machine m = flow::On(os);
    for (const auto& d : devices) m.devices.push_back(d);
    return m;
}

sim::Machine WithController(const std::string& os, const std::string& model = "8E3A") {
    sim::Machine m = flow::On(os);
    sim::AddController(m, model);
    return m;
}

std::string Trace(const sim::Outcome& o) { return o.Stdout(); }

using flow::Has;

int Count(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

// The update calls the program made.
std::vector<sim::json> Installs(const sim::Outcome& o) { return o.Of("install"); }

std::string InstalledId(const sim::Outcome& o) {
    auto installs = Installs(o);
    return installs.size() == 1 ? flow::Str(installs[0]["args"]["hardware_id"])
                                : "<no single install>";
}

std::string InstalledInf(const sim::Outcome& o) {
    auto installs = Installs(o);
    return installs.size() == 1 ? flow::Str(installs[0]["args"]["inf"]) : "<no single install>";
}

std::vector<sim::json> DeviceCalls(const sim::Outcome& o) { return o.Of("call"); }

// The paths loaded and unloaded, in order, each prefixed by "load " or
// "unload ".
std::vector<std::string> ModuleEvents(const sim::Outcome& o) {
    std::vector<std::string> out;
    for (const auto& e : o.events) {
        if (e.type() == "load")
            out.push_back("load " + (e.Has("path") ? e.GetStr("path") : e.GetStr("args.name")));
        if (e.type() == "unload") out.push_back("unload " + e.GetStr("path"));
    }
    return out;
}

// Everything is given back at the end: memory, device sets and libraries.
void ExpectNothingLeft(const sim::Outcome& o, const std::string& what = "") {
    EXPECT_TRUE(o.summary["allocations_left"].empty()) << what;
    EXPECT_EQ(o.summary["device_sets_open"], 0) << what;
    EXPECT_TRUE(o.summary["modules_loaded"].empty()) << what;
    EXPECT_TRUE(o.Of("bad_free").empty()) << what;
    EXPECT_TRUE(o.Of("unexpected_call").empty()) << what;
}

}  // namespace

// ---- The whole flow -----------------------------------------------------------

TEST(NtFlow, xp_with_the_first_model_installs_the_xp_inf_for_its_whole_identifier) {
    sim::Outcome o = flow::Run(WithController("xp"));
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kSuccess}));
    auto installs = Installs(o);
    ASSERT_EQ(installs.size(), 1u);
    EXPECT_EQ(installs[0]["args"]["parent"], "NULL");
    EXPECT_EQ(flow::Str(installs[0]["args"]["hardware_id"]), kModel3A);
    EXPECT_EQ(flow::Str(installs[0]["args"]["inf"]), "C:\\VNTR\\VNTRXP.INF");
    EXPECT_EQ(installs[0]["args"]["flags"], 1);   // INSTALLFLAG_FORCE
    EXPECT_EQ(installs[0]["args"]["reboot"], 0);  // a flag given, FALSE before the call
    EXPECT_EQ(installs[0]["result"], true);
    // Both libraries come from the system directory; newdev.dll is let go
    // before the outcome is shown, setupapi.dll after.
    EXPECT_EQ(ModuleEvents(o),
              (std::vector<std::string>{"load C:\\WINDOWS\\system32\\setupapi.dll",
                                        "load C:\\WINDOWS\\system32\\newdev.dll",
                                        "unload C:\\WINDOWS\\system32\\newdev.dll",
                                        "unload C:\\WINDOWS\\system32\\setupapi.dll"}));
    size_t box = 0, newdev_out = 0, setupapi_out = 0;
    for (size_t i = 0; i < o.events.size(); ++i) {
        const auto& e = o.events[i];
        if (e.type() == "box") box = i;
        if (e.type() == "unload" && Has(e.GetStr("path"), "newdev")) newdev_out = i;
        if (e.type() == "unload" && Has(e.GetStr("path"), "setupapi")) setupapi_out = i;
    }
    EXPECT_LT(newdev_out, box);
    EXPECT_GT(setupapi_out, box);
    EXPECT_EQ(flow::ChangeTypes(o), (std::vector<std::string>{"install"}));
    ExpectNothingLeft(o);
}

TEST(NtFlow, the_trace_of_a_typical_search_is_written_line_by_line_with_cr_lf) {
    sim::Outcome o = flow::Run(WithController("xp"));
    EXPECT_EQ(Trace(o),
              "Search for Device ID: [PCI\\VEN_C4B9&DEV_8E3A]\r\n"
              "Compare device ID: [ACPI\\PNP0A03]\r\n"
              "Compare device ID: [*PNP0A03]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7190&SUBSYS_00000000]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7190&CC_060000]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7190&CC_0600]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_08]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7110&SUBSYS_00000000]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7110&CC_060100]\r\n"
              "Compare device ID: [PCI\\VEN_8086&DEV_7110&CC_0601]\r\n"
              "Compare device ID: [ROOT\\LEGACY_BEEP]\r\n"
              "Compare device ID: [PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02]\r\n"
              "Found! [PCI\\VEN_C4B9&DEV_8E3A]\r\n");
}

TEST(NtFlow, the_device_set_is_asked_for_all_present_devices_and_destroyed) {
    sim::Machine m = WithController("xp");
    sim::Device absent = Ids({kModel51});
    absent.present = false;  // a controller that is not plugged in is no match
    m.devices.insert(m.devices.begin(), absent);
    sim::Outcome o = flow::Run(m);
    auto calls = DeviceCalls(o);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front()["call"], "SetupDiGetClassDevsA");
    EXPECT_EQ(calls.front()["args"]["class"], "NULL");
    EXPECT_TRUE(calls.front()["args"]["enumerator"].is_null());
    EXPECT_EQ(calls.front()["args"]["parent"], "NULL");
    EXPECT_EQ(calls.front()["args"]["flags"], 6);  // DIGCF_PRESENT | DIGCF_ALLCLASSES
    EXPECT_EQ(calls.back()["call"], "SetupDiDestroyDeviceInfoList");
    EXPECT_EQ(calls.back()["args"]["set"], calls.front()["result"]);
    EXPECT_FALSE(Has(Trace(o), "8E51"));
    EXPECT_EQ(InstalledId(o), kModel3A);
}

TEST(NtFlow, the_inf_follows_the_minor_version_and_any_other_gets_the_bare_directory) {
    struct Case {
        std::string os;
        uint32_t major, minor;
        std::string inf;
        std::string box;
    } cases[] = {
        {"2000", 5, 0, "C:\\VNTR\\VNTR2K.INF", kSuccess},
        {"xp", 5, 1, "C:\\VNTR\\VNTRXP.INF", kSuccess},
        // The major version is not looked at: 6.0 is an x.0 version.
        {"xp", 6, 0, "C:\\VNTR\\VNTR2K.INF", kSuccess},
        {"xp", 6, 1, "C:\\VNTR\\VNTRXP.INF", kSuccess},
        // Server 2003 (5.2): the directory is no INF file; the update fails.
        {"2003", 5, 2, "C:\\VNTR", kFailed},
    };
    for (const auto& c : cases) {
        sim::Machine m = WithController(c.os);
        m.os.major = c.major;
        m.os.minor = c.minor;
        sim::Outcome o = flow::Run(m);
        std::string what = c.os + " " + std::to_string(c.major) + "." + std::to_string(c.minor);
        EXPECT_EQ(InstalledInf(o), c.inf) << what;
        EXPECT_EQ(InstalledId(o), kModel3A) << what;
        EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, c.box})) << what;
        ExpectNothingLeft(o, what);
    }
}

TEST(NtFlow, windows_2000_loads_its_libraries_from_its_own_system_directory) {
    sim::Outcome o = flow::Run(WithController("2000"));
    EXPECT_EQ(
        ModuleEvents(o),
        (std::vector<std::string>{
            "load C:\\WINNT\\system32\\setupapi.dll", "load C:\\WINNT\\system32\\newdev.dll",
            "unload C:\\WINNT\\system32\\newdev.dll", "unload C:\\WINNT\\system32\\setupapi.dll"}));
    EXPECT_EQ(flow::Str(o.Of("load")[0]["args"]["name"]), "C:\\WINNT\\system32\\setupapi.dll");
}

TEST(NtFlow, second_model_only_is_found_by_the_second_search) {
    for (const char* os : {"2000", "xp"}) {
        sim::Outcome o = flow::Run(WithController(os, "8E51"));
        std::string trace = Trace(o);
        // The first search runs through every device and ends with the
        // failure line of the exhausted list; the second one finds it.
        size_t second = trace.find("Search for Device ID: [PCI\\VEN_C4B9&DEV_8E51]\r\n");
        ASSERT_NE(second, std::string::npos) << os;
        EXPECT_EQ(trace.rfind(kEndOfList, second), second - strlen(kEndOfList)) << os;
        EXPECT_EQ(Count(trace, kEndOfList), 1) << os;
        EXPECT_TRUE(Has(trace, "Found! [PCI\\VEN_C4B9&DEV_8E51]\r\n")) << os;
        EXPECT_EQ(InstalledId(o), kModel51) << os;
        EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kSuccess})) << os;
        EXPECT_EQ(flow::Calls(o, "SetupDiDestroyDeviceInfoList"), 2) << os;
        ExpectNothingLeft(o, os);
    }
}

TEST(NtFlow, with_both_models_only_the_first_model_is_searched_and_updated) {
    // The second model comes first in the device list, and is still passed.
    sim::Machine m = Nt("xp");
    sim::AddController(m, "8E51");
    sim::AddController(m, "8E3A");
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(Count(Trace(o), "Search for Device ID"), 1);
    EXPECT_TRUE(Has(Trace(o), "Compare device ID: [" + std::string(kModel51) + "]\r\n"));
    EXPECT_FALSE(Has(Trace(o), "FAILURE"));
    EXPECT_EQ(InstalledId(o), kModel3A);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kSuccess}));
}

TEST(NtFlow, no_controller_searches_twice_and_says_so_without_loading_newdev) {
    for (const char* os : {"2000", "xp"}) {
        sim::Outcome o = flow::Run(Nt(os));
        std::string trace = Trace(o);
        EXPECT_EQ(Count(trace, "Search for Device ID"), 2) << os;
        EXPECT_EQ(Count(trace, kEndOfList), 2) << os;
        EXPECT_EQ(trace.substr(trace.size() - strlen(kEndOfList)), kEndOfList) << os;
        EXPECT_FALSE(Has(trace, "Found!")) << os;
        EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kNoController})) << os;
        EXPECT_EQ(flow::Calls(o, "LoadLibraryA"), 1) << os;
        EXPECT_TRUE(Installs(o).empty()) << os;
        EXPECT_TRUE(o.Changes().empty()) << os;
        ExpectNothingLeft(o, os);
    }
}

TEST(NtFlow, a_failed_update_shows_message_0_and_a_reboot_request_changes_nothing) {
    sim::Machine fails = WithController("xp");
    fails.faults = {
        {"UpdateDriverForPlugAndPlayDevicesA", 1, 1, 0xE0000203}};  // no driver selected
    sim::Outcome f = flow::Run(fails);
    EXPECT_EQ(flow::BoxTexts(f), (std::vector<std::string>{kConfirm, kFailed}));
    ASSERT_EQ(Installs(f).size(), 1u);
    EXPECT_TRUE(f.Changes().empty());
    ExpectNothingLeft(f);

    sim::Machine reboot = WithController("xp");
    reboot.update.reboot = true;
    sim::Outcome r = flow::Run(reboot);
    EXPECT_EQ(flow::BoxTexts(r), (std::vector<std::string>{kConfirm, kSuccess}));
    EXPECT_EQ(r.Boxes().back()["buttons"], "OK");
    EXPECT_EQ(flow::Calls(r, "ExitWindowsEx"), 0);
    EXPECT_TRUE(r.Of("reboot").empty());
}

TEST(NtFlow, newdev_missing_unloadable_or_without_its_entry_gives_message_0) {
    struct Case {
        const char* what;
        void (*spoil)(sim::Module&);
        bool loaded;
    } cases[] = {
        {"absent", [](sim::Module& mod) { mod.name = "elsewhere.dll"; }, false},
        {"does not load", [](sim::Module& mod) { mod.loads = false; }, false},
        {"no entry",
         [](sim::Module& mod) { mod.missing.insert("UpdateDriverForPlugAndPlayDevicesA"); }, true},
    };
    for (const auto& c : cases) {
        sim::Machine m = WithController("xp");
        for (auto& mod : m.modules)
            if (mod.name == "newdev.dll") c.spoil(mod);
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kFailed})) << c.what;
        EXPECT_TRUE(Installs(o).empty()) << c.what;
        EXPECT_EQ(flow::Calls(o, "FreeLibrary"), c.loaded ? 2 : 1) << c.what;
        ExpectNothingLeft(o, c.what);
    }
}

TEST(NtFlow, without_standard_output_the_trace_is_lost_and_nothing_else_changes) {
    sim::Machine m = WithController("xp", "8E51");
    m.has_stdout = false;
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(Trace(o), "");
    EXPECT_EQ(InstalledId(o), kModel51);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kSuccess}));
}

TEST(NtFlow, a_message_file_supplies_the_outcome_and_is_released) {
    // The package's German texts; the table is owned and must be freed.
    sim::Machine m = Nt("2000");
    m.locale = 0x0407;
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{flow::kGermanTexts[MSG_CONFIRM],
                                                           flow::kGermanTexts[MSG_NO_CONTROLLER]}));
    ExpectNothingLeft(o);
}

// ---- Matching -----------------------------------------------------------------

TEST(Search, a_prefix_of_21_characters_matches_in_any_letter_case) {
    struct Case {
        std::string entry;
        std::string found;  // the Found! line's text: the entry's first 21 characters
    } cases[] = {
        {"pci\\ven_c4b9&dev_8e3a&subsys_8e3ac4b9&rev_02", "pci\\ven_c4b9&dev_8e3a"},
        {"Pci\\Ven_C4b9&Dev_8E3a", "Pci\\Ven_C4b9&Dev_8E3a"},  // exact length
        {"PCI\\VEN_C4B9&DEV_8E3A", "PCI\\VEN_C4B9&DEV_8E3A"},
        {"PCI\\VEN_C4B9&DEV_8E3A0", "PCI\\VEN_C4B9&DEV_8E3A"},  // whatever follows
        {"PCI\\VEN_C4B9&DEV_8E3A\x01\xFF~ tail", "PCI\\VEN_C4B9&DEV_8E3A"},
    };
    for (const auto& c : cases) {
        // The search alone: whether the package's INF lists such an
        // identifier is the update's matter, not the search's.
        sim::Machine m = Nt("xp", {Ids({c.entry})});
        m.update.check = false;
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(InstalledId(o), c.entry) << c.entry;
        EXPECT_TRUE(
            Has(Trace(o), "Compare device ID: [" + c.entry + "]\r\nFound! [" + c.found + "]\r\n"))
            << Trace(o);
        EXPECT_EQ(flow::BoxTexts(o), (std::vector<std::string>{kConfirm, kSuccess})) << c.entry;
    }
}

TEST(Search, near_misses_do_not_match_and_only_ascii_letters_fold) {
    // Each differs from the first model's identifier in one character
    // within the first 21, or is shorter: none may be taken for it.
    const std::vector<std::string> misses = {
        "PCI\\VEN_C4B9&DEV_8E3",  // 20 characters
        "PCI|VEN_C4B9&DEV_8E3A",  // '|' is '\' with bit 5 set
        "PCI\\VEN_C4B9\x06"
        "DEV_8E3A",                   // '&' without bit 5
        "PCI\\VEN_C4B9&DEV_8E3\xC1",  // Latin-1 A with acute
        "PCI\\VEN_C4B9&DEV_8E3\xE1",  // its lower case
        "\xD0"
        "CI\\VEN_C4B9&DEV_8E3A",  // Latin-1 eth, not P
        "PCI\\VEN_C4B9&DEV_8E5A&SUBSYS_00000000",
        "PCI\\VEN_C4B9 DEV_8E3A&SUBSYS_00000000",
    };
    sim::Outcome o = flow::Run(Nt("xp", {Ids(misses)}));
    for (const auto& miss : misses)
        EXPECT_EQ(Count(Trace(o), "Compare device ID: [" + miss + "]\r\n"), 2) << miss;
    EXPECT_FALSE(Has(Trace(o), "Found!"));
    EXPECT_TRUE(Installs(o).empty());
    EXPECT_EQ(flow::BoxTexts(o).back(), kNoController);
}

TEST(Search, every_entry_is_traced_once_until_the_match_and_later_ones_are_not) {
    sim::Machine m =
        Nt("xp", {Ids({"PCI\\VEN_C4B9&DEV_0000&SUBSYS_00000000", "ACPI\\PNP0C0F",
                       "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_11111111", "PCI\\AFTER_THE_MATCH"}),
                  Ids({"PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_22222222"})});
    sim::Outcome o = flow::Run(m);
    std::string trace = Trace(o);
    EXPECT_TRUE(Has(trace,
                    "Compare device ID: [PCI\\VEN_C4B9&DEV_0000&SUBSYS_00000000]\r\n"
                    "Compare device ID: [ACPI\\PNP0C0F]\r\n"
                    "Compare device ID: [PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_11111111]\r\n"
                    "Found! [PCI\\VEN_C4B9&DEV_8E3A]\r\n"))
        << trace;
    // The device loop stops at the first matching device.
    EXPECT_FALSE(Has(trace, "AFTER_THE_MATCH"));
    EXPECT_FALSE(Has(trace, "22222222"));
    EXPECT_EQ(InstalledId(o), "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_11111111");
    EXPECT_EQ(flow::Calls(o, "SetupDiEnumDeviceInfo"), 5);
}

TEST(Search, a_device_without_hardware_identifiers_is_skipped_without_a_failure_line) {
    sim::Device none;  // reading its identifiers fails with ERROR_INVALID_DATA
    sim::Machine m = Nt("xp", {none, Ids({kModel51})});
    sim::Outcome o = flow::Run(m);
    auto reads = o.Of("call");
    int invalid_data = 0;
    for (const auto& c : reads)
        if (c["call"] == "SetupDiGetDeviceRegistryPropertyA" && c.value("error", 0) == 13)
            ++invalid_data;
    EXPECT_EQ(invalid_data, 2);  // once in each search
    std::string trace = Trace(o);
    EXPECT_EQ(Count(trace, "FAILURE"), 1);  // the end of the first search's list
    EXPECT_EQ(InstalledId(o), kModel51);
    ExpectNothingLeft(o);
}

// ---- Failures of the device-installation calls ------------------------------

TEST(SearchFailure, another_read_error_ends_the_search_with_its_failure_line) {
    // The second device's identifiers cannot be read (access denied): the
    // search gives up there, destroys the set and reports no controller.
    sim::Machine m = WithController("xp");
    m.faults = {{"SetupDiGetDeviceRegistryPropertyA", 3, 1, ERROR_ACCESS_DENIED}};
    sim::Outcome o = flow::Run(m);
    std::string trace = Trace(o);
    const std::string line = "GetDeviceRegistryProperty FAILURE: Access is denied.\r\r\n\r\n";
    size_t at = trace.find(line);
    ASSERT_NE(at, std::string::npos) << trace;
    // The next thing written is the second search's first line.
    EXPECT_EQ(trace.substr(at + line.size(), 22), "Search for Device ID: ");
    EXPECT_EQ(Count(trace, "EnumDeviceInfo FAILURE"), 1);  // only the second search's
    auto calls = DeviceCalls(o);
    for (size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i].value("error", 0) == ERROR_ACCESS_DENIED) {
            EXPECT_EQ(calls[i + 1]["call"], "SetupDiDestroyDeviceInfoList");
        }
    }
    EXPECT_EQ(flow::BoxTexts(o).back(), kNoController);
    ExpectNothingLeft(o);
}

TEST(SearchFailure, an_error_without_system_text_is_written_as_eight_hex_digits) {
    sim::Machine m = WithController("xp");
    m.faults = {{"SetupDiGetDeviceRegistryPropertyA", 1, 1, 0xE000020B}};  // no such devinst
    sim::Outcome o = flow::Run(m);
    EXPECT_TRUE(Has(Trace(o), "GetDeviceRegistryProperty FAILURE: (0xe000020b)\r\n")) << Trace(o);

    sim::Machine small = WithController("xp");
    small.faults = {{"SetupDiEnumDeviceInfo", 2, 1, 0x1F}};
    EXPECT_TRUE(Has(Trace(flow::Run(small)), "\r\nEnumDeviceInfo FAILURE: (0x0000001f)\r\n"));
}

TEST(SearchFailure, a_device_set_that_cannot_be_built_ends_that_search_before_its_first_line) {
    sim::Machine m = WithController("xp", "8E51");
    m.faults = {{"SetupDiGetClassDevsA", 1, 1, ERROR_NOT_ENOUGH_MEMORY}};
    sim::Outcome o = flow::Run(m);
    std::string trace = Trace(o);
    EXPECT_EQ(trace.substr(0, trace.find("Search")),
              "GetClassDevs(All Present Devices) FAILURE: Not enough storage is available to "
              "process this command.\r\r\n\r\n");
    EXPECT_EQ(Count(trace, "Search for Device ID"), 1);
    EXPECT_EQ(flow::Calls(o, "SetupDiDestroyDeviceInfoList"), 1);
    EXPECT_EQ(InstalledId(o), kModel51);
    ExpectNothingLeft(o);
}

TEST(SearchFailure, the_last_error_code_survives_the_failure_line_and_the_destroy) {
    // In-process, to read the thread's last-error code after the search.
    struct Case {
        const char* what;
        std::vector<sim::Fault> faults;
        DWORD error;
        const char* line;
    } cases[] = {
        {"end of list", {}, ERROR_NO_MORE_ITEMS, "EnumDeviceInfo FAILURE: No more data"},
        {"no text, destroy fails",
         {{"FormatMessageA", 1, 1, ERROR_NOT_ENOUGH_MEMORY},
          {"SetupDiDestroyDeviceInfoList", 1, 1, ERROR_INVALID_HANDLE}},
         ERROR_NO_MORE_ITEMS,
         "EnumDeviceInfo FAILURE: (0x00000103)"},
        {"read error, destroy fails",
         {{"SetupDiGetDeviceRegistryPropertyA", 2, 1, ERROR_ACCESS_DENIED},
          {"SetupDiDestroyDeviceInfoList", 1, 1, ERROR_INVALID_HANDLE}},
         ERROR_ACCESS_DENIED,
         "GetDeviceRegistryProperty FAILURE: Access is denied."},
    };
    for (const auto& c : cases) {
        sim::Machine m = Nt("xp");
        m.faults = c.faults;
        BOOL found = TRUE;
        DWORD error = 0;
        std::string trace;
        {
            sim::Session session(m, {});
            HMODULE setupapi = BindSetupLibrary();
            found = SearchController("PCI\\VEN_C4B9&DEV_8E3A");
            error = GetLastError();
            UnbindSetupLibrary(setupapi);
            for (const auto& e : session.runtime().events)
                if (e.type() == "stdout") trace += e.GetStr("text");
        }
        EXPECT_FALSE(found) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(Has(trace, c.line)) << c.what << ": " << trace;
    }
}

TEST(SearchFailure, the_kept_identifier_changes_only_at_entries_long_enough_to_compare) {
    // In-process, to see the kept identifier between searches.
    std::string after_short, after_long, after_none;
    {
        sim::Machine m = sim::PresetMachine("xp");
        m.devices = {Ids({"ACPI\\PNP0A03", "*PNP0A03", "PCI\\VEN_C4B9&DEV_8E3"})};
        sim::Session session(m, {});
        HMODULE setupapi = BindSetupLibrary();
        strcpy(g_hardwareId, "kept before");
        SearchController("PCI\\VEN_C4B9&DEV_8E3A");
        after_short = g_hardwareId;
        session.runtime().m.devices.push_back(Ids({"PCI\\VEN_8086&DEV_7190&CC_0600"}));
        SearchController("PCI\\VEN_C4B9&DEV_8E3A");
        after_long = g_hardwareId;
        strcpy(g_hardwareId, "kept before");
        session.runtime().m.devices.clear();
        SearchController("PCI\\VEN_C4B9&DEV_8E3A");
        after_none = g_hardwareId;
        UnbindSetupLibrary(setupapi);
    }
    EXPECT_EQ(after_short, "kept before");
    EXPECT_EQ(after_long, "");
    EXPECT_EQ(after_none, "kept before");
}

// ---- Binding of setupapi.dll ---------------------------------------------------

TEST(Binding, each_missing_entry_is_named_in_a_box_and_a_used_one_stops_the_search) {
    // Every entry of the program's binding table in turn; newdev.dll imports
    // one of them, and then does not load.
    for (int i = 0; i < SETUP_ENTRY_COUNT; ++i) {
        const SetupEntry& entry = g_setupEntryTable[i];
        const bool used = SETUP_SEARCH_ENTRIES >> i & 1;
        const bool newdev = std::string(entry.name) == sim::CallName(sim::kNewdevImport);
        sim::Machine m = WithController("xp");
        m.modules[0].missing.insert(entry.name);
        sim::Outcome o = flow::Run(m);
        EXPECT_EQ(
            flow::BoxTexts(o),
            (std::vector<std::string>{kConfirm, entry.shown, used || newdev ? kFailed : kSuccess}))
            << entry.name;
        EXPECT_EQ(o.Boxes()[1]["buttons"], "OK");
        EXPECT_EQ(flow::Str(o.Boxes()[1]["args"]["caption"]),
                  "Vantor CardBus Controller Setup Utility");
        // The box names the entry point and shows none of the messages.
        EXPECT_TRUE(o.Boxes()[1]["message"].is_null()) << entry.name;
        EXPECT_EQ(o.Boxes()[1]["entry_point"], true) << entry.name;
        // Every entry of the table, and the update entry once newdev.dll is
        // loaded.
        EXPECT_EQ(flow::Calls(o, "GetProcAddress"), SETUP_ENTRY_COUNT + (used || newdev ? 0 : 1))
            << entry.name;
        if (used) {
            // Nothing is called through the table, newdev.dll stays away.
            EXPECT_TRUE(DeviceCalls(o).empty()) << entry.name;
            EXPECT_EQ(Trace(o), "") << entry.name;
            EXPECT_EQ(flow::Calls(o, "LoadLibraryA"), 1) << entry.name;
            EXPECT_TRUE(o.Changes().empty()) << entry.name;
        } else if (newdev) {
            // The controller is found; the installer cannot be loaded.
            EXPECT_TRUE(Installs(o).empty()) << entry.name;
            EXPECT_EQ(flow::Calls(o, "LoadLibraryA"), 2) << entry.name;
            EXPECT_EQ(o.Of("load")[1]["error"], 127) << entry.name;
        } else {
            EXPECT_EQ(InstalledId(o), kModel3A) << entry.name;
        }
        ExpectNothingLeft(o, entry.name);
    }
}

TEST(Binding, several_missing_entries_give_one_box_each_in_table_order) {
    sim::Machine m = WithController("2000");
    for (int i : {SETUP_CALL_CLASS_INSTALLER, SETUP_CM_LOCATE_DEVNODE, SETUP_GET_CLASS_DEVS})
        m.modules[0].missing.insert(g_setupEntryTable[i].name);
    sim::Outcome o = flow::Run(m);
    EXPECT_EQ(
        flow::BoxTexts(o),
        (std::vector<std::string>{kConfirm, g_setupEntryTable[SETUP_CM_LOCATE_DEVNODE].shown,
                                  g_setupEntryTable[SETUP_GET_CLASS_DEVS].shown,
                                  g_setupEntryTable[SETUP_CALL_CLASS_INSTALLER].shown, kFailed}));
}

TEST(Binding, a_setup_library_that_is_absent_or_does_not_load_gives_message_0) {
    for (bool absent : {true, false}) {
        sim::Machine m = WithController("xp");
        m.locale = 0x0407;  // an owned message table, to see it released
        if (absent)
            m.modules.erase(m.modules.begin());
        else
            m.modules[0].loads = false;
        sim::Outcome o = flow::Run(m);
        ASSERT_EQ(o.Boxes().size(), 2u) << absent;
        EXPECT_EQ(flow::Str(o.Boxes()[1]["args"]["text"]), flow::kGermanTexts[MSG_FAILED]);
        EXPECT_EQ(flow::Calls(o, "GetProcAddress"), 0);
        EXPECT_TRUE(DeviceCalls(o).empty());
        EXPECT_EQ(Trace(o), "");
        EXPECT_EQ(flow::Calls(o, "LoadLibraryA"), 1);
        EXPECT_EQ(flow::Calls(o, "FreeLibrary"), 0);
        EXPECT_TRUE(o.Changes().empty());
        ExpectNothingLeft(o);
    }
}

TEST(Binding, planted_libraries_beside_the_program_or_in_the_package_are_never_loaded) {
    sim::Machine m = WithController("xp");
    m.exe_dir = "E:\\TOOLS";
    m.files.MakeDirs("E:\\TOOLS");
    for (const char* dir : {"C:\\VNTR", "E:\\TOOLS"})
        for (const char* name : {"setupapi.dll", "newdev.dll"})
            m.modules.push_back({name, dir, true, true, {}});
    sim::Outcome o = flow::Run(m);
    for (const auto& load : o.Of("load")) {
        EXPECT_FALSE(load.value("planted", true)) << load.dump();
        EXPECT_EQ(flow::Str(load["args"]["name"]).substr(0, 20), "C:\\WINDOWS\\system32\\");
    }
    EXPECT_EQ(o.Of("load").size(), 2u);
    EXPECT_EQ(InstalledId(o), kModel3A);
}

// ---- Hardware-identifier lists that are not what they should be --------------

TEST(OddLists, a_match_longer_than_255_characters_is_traced_and_passed_over) {
    std::string id255 = std::string(kModel3A) + std::string(255 - strlen(kModel3A), 'X');
    std::string id256 = id255 + "Y";
    std::string id400 = id255 + std::string(145, 'Z');

    sim::Outcome o = flow::Run(Nt("xp", {Ids({id256, id400}), Ids({kModel51})}));
    EXPECT_TRUE(Has(
        Trace(o), "Compare device ID: [" + id256 + "]\r\nCompare device ID: [" + id400 + "]\r\n"));
    EXPECT_EQ(Count(Trace(o), "Found!"), 1);
    EXPECT_EQ(InstalledId(o), kModel51);

    // 255 characters still fit the kept identifier, whole.
    sim::Outcome fits = flow::Run(Nt("xp", {Ids({id255})}));
    EXPECT_EQ(InstalledId(fits), id255);
    EXPECT_EQ(flow::BoxTexts(fits).back(), kSuccess);

    // With nothing else the oversized one is no controller at all.
    sim::Outcome alone = flow::Run(Nt("xp", {Ids({id256})}));
    EXPECT_TRUE(Installs(alone).empty());
    EXPECT_EQ(flow::BoxTexts(alone).back(), kNoController);
}

TEST(OddLists, the_walk_stays_within_the_reported_size) {
    // The last entry has no NUL: it ends where the list does.
    sim::Bytes unterminated = sim::Bytes("ACPI\\PNP0A03") + '\0' + kModel3A;
    sim::Outcome o = flow::Run(Nt("xp", {Raw(unterminated)}));
    EXPECT_TRUE(Has(Trace(o), "Compare device ID: [ACPI\\PNP0A03]\r\nCompare device ID: [" +
                                  std::string(kModel3A) + "]\r\nFound!"));
    EXPECT_EQ(InstalledId(o), kModel3A);

    // The system reports fewer bytes than the list holds: what lies beyond
    // is not looked at.
    sim::Device cut = Ids({"PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_CUT", "PCI\\VEN_C4B9&DEV_8E3A"});
    cut.reported_size = 10;
    sim::Outcome c = flow::Run(Nt("xp", {cut}));
    EXPECT_EQ(Count(Trace(c), "Compare device ID: [PCI\\VEN_C4]\r\n"), 2) << Trace(c);
    EXPECT_FALSE(Has(Trace(c), "SUBSYS_CUT"));
    EXPECT_TRUE(Installs(c).empty());

    // A list that is one unterminated short entry.
    sim::Outcome s = flow::Run(Nt("xp", {Raw("PCI"), Ids({kModel51})}));
    EXPECT_EQ(Count(Trace(s), "Compare device ID: [PCI]\r\n"), 2);
    EXPECT_EQ(InstalledId(s), kModel51);
    ExpectNothingLeft(s);
}

TEST(OddLists, a_size_query_that_succeeds_without_a_buffer_skips_the_device) {
    sim::Device odd = Ids({kModel3A});
    odd.size_query_succeeds = true;
    sim::Device empty = Ids({});
    empty.reported_size = 0;  // nothing to read: the size query succeeds too
    sim::Outcome o = flow::Run(Nt("xp", {odd, empty, Ids({kModel51})}));
    EXPECT_EQ(Count(Trace(o), "DEV_8E3A"), 1);  // only the search line names it
    EXPECT_EQ(Count(Trace(o), "FAILURE"), 1);   // the end of the first search's list
    EXPECT_EQ(InstalledId(o), kModel51);
    ExpectNothingLeft(o);
}

TEST(OddLists, a_list_that_never_fits_is_given_up_after_a_few_reads) {
    sim::Device greedy = Ids({kModel3A});
    greedy.insufficient_forever = true;
    sim::Machine m = Nt("xp", {greedy, Ids({kModel51})});
    sim::Outcome o = flow::Run(m);
    int reads = 0;
    for (const auto& c : DeviceCalls(o))
        if (c["call"] == "SetupDiGetDeviceRegistryPropertyA" && c["args"]["device"] == 5) ++reads;
    // In each of the two searches: the size query and four reads with the
    // size last asked for, then the device is given up.
    EXPECT_EQ(reads, 2 * 5);
    EXPECT_EQ(Count(Trace(o), "Compare device ID: [" + std::string(kModel3A)), 0);
    EXPECT_EQ(InstalledId(o), kModel51);
    ExpectNothingLeft(o);
}

TEST(OddLists, a_list_that_cannot_be_allocated_skips_the_device) {
    // The controller is the fifth device: its list is the fifth allocation.
    sim::Machine lost = WithController("xp");
    lost.faults = {{"LocalAlloc", 5, 1, ERROR_NOT_ENOUGH_MEMORY}};
    sim::Outcome o = flow::Run(lost);
    // Passed over in the first search, compared (in vain) in the second.
    EXPECT_EQ(Count(Trace(o), "Compare device ID: [" + std::string(kModel3A)), 1);
    EXPECT_FALSE(Has(Trace(o), "FAILURE: Not enough"));
    EXPECT_EQ(flow::BoxTexts(o).back(), kNoController);
    ExpectNothingLeft(o);

    // Another device's allocation: the controller is still found.
    sim::Machine other = WithController("xp");
    other.faults = {{"LocalAlloc", 2, 1, ERROR_NOT_ENOUGH_MEMORY}};
    sim::Outcome p = flow::Run(other);
    EXPECT_FALSE(Has(Trace(p), "DEV_7190"));
    EXPECT_EQ(InstalledId(p), kModel3A);
}

// The blocks the program holds at once share the 2 GB address space of a
// 32-bit process: what goes beyond fails with error 8 on any host, and a
// block given back makes room again.
TEST(OddLists, lists_share_the_address_space_of_a_32_bit_process) {
    sim::Session session(flow::On("xp"), {});
    void* most = LocalAlloc(LMEM_FIXED, 0x7FFF0000);
    ASSERT_NE(most, nullptr);
    EXPECT_EQ(LocalAlloc(LPTR, 0x10000), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalFree(most), nullptr);
    void* again = LocalAlloc(LPTR, 0x10000);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(LocalFree(again), nullptr);
}
