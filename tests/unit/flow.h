// Helpers for flow tests: machines to run the program on, and readers for
// what it did.
#ifndef VNTR_TEST_FLOW_H
#define VNTR_TEST_FLOW_H

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/calls.h"
#include "sim/machine_file.h"
#include "sim/presets.h"
#include "sim/runner.h"

namespace flow {

// The built-in English messages, as the program shows them; the tests' only
// copy.
constexpr char kFailed[] = "System Error or copy inf file failed!";
constexpr char kNoController[] = "No generic Vantor Cardbus controllers found!";
constexpr char kSuccess[] = "Installation successful!";
constexpr char kRebootQuestion[] = "Installation successful! Do you want to reboot the system?";
constexpr char kConfirm[] = "Do you want to update Vantor Cardbus controllers?";

// The same by message number (MSG_FAILED 0 to MSG_CONFIRM 4).
inline const std::vector<std::string> kEnglishTexts = {kFailed, kNoController, kSuccess,
                                                       kRebootQuestion, kConfirm};

// The example package's German messages (MultiLang\0407.dat) by number, as
// the program reads them: each keeps its line end.
inline const std::vector<std::string> kGermanTexts = {
    "Systemfehler oder Kopieren der INF-Datei fehlgeschlagen!\n",
    "Keine generischen Vantor-CardBus-Controller gefunden!\n",
    "Installation erfolgreich!\n",
    "Installation erfolgreich! M\xF6"
    "chten Sie das System neu starten?\n",
    "M\xF6"
    "chten Sie die Vantor-CardBus-Controller aktualisieren?\n",
};

// A fresh Windows of the named version with the example package in C:\VNTR
// as current directory and a Yes to the first question. No controller.
inline sim::Machine On(const std::string& os) {
    sim::Machine m = sim::PresetMachine(os);
    m.current_dir = "C:\\VNTR";
    sim::MountPackage(m, sim::DefaultPackageDir(), m.current_dir);
    m.answers = {true};
    return m;
}

// A machine from TOML text; relative host paths are taken from the source tree.
inline sim::Machine FromToml(const std::string& text) {
    return sim::ParseMachine(text, "test.toml", VNTR_SOURCE_DIR).machine;
}

// Runs the program and expects it to return normally.
inline sim::Outcome Run(const sim::Machine& m) {
    sim::RunOptions options;
    options.record_calls = true;
    sim::Outcome o = sim::Run(m, options);
    EXPECT_EQ(o.status, "ok") << o.message;
    EXPECT_EQ(o.exit_code, 0);
    return o;
}

// The texts of the boxes shown, as bytes; "<absent>" for a box without text.
inline std::vector<std::string> BoxTexts(const sim::Outcome& o) {
    std::vector<std::string> out;
    for (const auto& b : o.Boxes())
        out.push_back(b["args"]["text"].is_null()
                          ? "<absent>"
                          : sim::BytesOf(b["args"]["text"].get<std::string>()));
    return out;
}

inline std::string Str(const sim::json& text) {
    return text.is_null() ? "<absent>" : sim::BytesOf(text.get<std::string>());
}

// Types of the events that changed the machine, in order, e.g. "copy".
inline std::vector<std::string> ChangeTypes(const sim::Outcome& o) {
    std::vector<std::string> out;
    for (const auto& c : o.Changes()) out.push_back(c["type"]);
    return out;
}

// How often the program called a host function.
inline int Calls(const sim::Outcome& o, const std::string& name) {
    if (!o.summary.contains("calls") || !o.summary["calls"].contains(name)) return 0;
    return o.summary["calls"][name].get<int>();
}

inline std::string LongPath(const std::string& base, size_t length) {
    std::string p = base;
    while (p.size() < length) p += (p.size() + 9 <= length) ? "\\DIRECTORY" : "\\X";
    p.resize(length);
    if (p.back() == '\\') p.back() = 'Y';
    return p;
}

// The machine files (*.toml) in folders of the source tree, sorted by path.
inline std::vector<std::string> MachineFiles(std::initializer_list<const char*> folders) {
    std::vector<std::string> out;
    for (const char* folder : folders)
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(VNTR_SOURCE_DIR) + folder))
            if (entry.path().extension() == ".toml") out.push_back(entry.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// The example machines and the end-to-end suite's machines: each carries
// what its run must come to.
inline std::vector<std::string> ExampleFiles() {
    return MachineFiles({"/examples/machines", "/tests/machines"});
}

inline bool Has(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// A machine file's name without folder and extension.
inline std::string Stem(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

// Each call position of a clean run (recorded with record_calls) whose call
// can fail, made to fail in turn: `check(call, nth, machine)` runs the
// machine with that failure planned and checks the run. Returns how many
// positions were walked.
template <class Check>
int WalkFaults(const sim::Machine& base, const sim::Outcome& clean, Check check) {
    std::map<std::string, uint32_t> seen;
    int walked = 0;
    for (const auto& name : clean.summary["call_order"]) {
        const std::string call = name;
        uint32_t nth = ++seen[call];
        if (!sim::FindHostCall(call)->can_fail) continue;
        sim::Machine m = base;
        m.faults.push_back({call, nth, 1, 0});
        check(call, nth, m);
        ++walked;
    }
    return walked;
}

}  // namespace flow

#endif
