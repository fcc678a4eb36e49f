#include "sim/cli/check_package.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "common/messages.h"
#include "common/product.h"
#include "sim/calls.h"
#include "sim/codepage.h"
#include "sim/inf.h"
#include "sim/locales.h"
#include "sim/package.h"
#include "sim/presets.h"
#include "sim/runner.h"

namespace cli {
namespace {

using sim::json;

// The Windows versions the program has a package file for, and where the
// package lies on the machines the check runs.
struct Version {
    const char* os;    // the preset
    const char* name;  // as a person names it
};
const Version kVersions[] = {
    {"98", "Windows 98"},     {"98se", "Windows 98 SE"}, {"me", "Windows ME"},
    {"2000", "Windows 2000"}, {"xp", "Windows XP"},
};
const char* const kModels[] = {FIRST_MODEL, SECOND_MODEL};
const char kAt[] = "C:\\VNTR";

// A file of the INF and whether the package holds it.
struct Named {
    sim::InfNamed what;
    bool present = false;
};

// One Windows version with one controller model.
struct Platform {
    std::string os, name, model;
    std::string inf;      // the package file the program used, "" when none
    std::string outcome;  // of the program's run
    bool parsed = false;
    std::string error;  // the INF's first error, "FILE:LINE: text"
    std::optional<sim::InfModel> chosen;
    std::optional<Named> catalog;
    std::vector<Named> copies;
    std::string why;  // why it is served or not, as the run predicted it
    bool served = false;
};

// One message file and the messages the program takes from it.
struct MessageFile {
    std::string name;  // below the package folder, "MultiLang\0407.dat"
    std::optional<uint32_t> locale;
    int messages = 0;  // of the five, those with a text
    std::string problem;
};

struct Report {
    std::string dir;
    std::vector<Platform> platforms;
    std::vector<MessageFile> messages;
    std::vector<std::string> problems;  // "FILE:LINE: text", errors and warnings
    bool ok() const {
        for (const Platform& p : platforms)
            if (!p.served) return false;
        for (const MessageFile& f : messages)
            if (f.messages != MESSAGE_COUNT) return false;
        return true;
    }
};

// The package file below the mount point, as the package folder names it.
std::string Below(const std::string& path) {
    std::string at = std::string(kAt) + "\\";
    return sim::EqualNoCase(path.substr(0, at.size()), at) ? path.substr(at.size()) : path;
}

// A package file as the user names it on the host: DIR/NAME.
std::string HostName(const std::string& dir, const std::string& below, uint32_t codepage) {
    std::string name = sim::Visible(below, codepage);
    for (char& c : name)
        if (c == '\\') c = '/';
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
}

// The INF the program gave the update (NT) or copied first (9x).
std::string UsedInf(const sim::Outcome& o) {
    for (size_t i = 0; i < o.events.size(); ++i) {
        std::string_view type = o.events.TypeAt(i);
        if (type == sim::Row(sim::Call::UpdateDriverForPlugAndPlayDevicesA).event)
            return o.events[i].GetStr("args.inf");
        if (type == sim::Row(sim::Call::CopyFileA).event) return o.events[i].GetStr("args.from");
    }
    return "";
}

// The controller's IDs as Windows reports them on that machine.
sim::DeviceIds ControllerIds(const sim::Machine& m, const std::string& model) {
    sim::DeviceIds ids;
    if (m.os.platform == 1) {
        const sim::RegKey* pci = sim::FindKeyPath(m.hklm.get(), "Enum\\PCI");
        std::string prefix = CONTROLLER_KEY("") + model;
        for (size_t i = 0; pci && i < pci->SubkeyCount(); ++i) {
            const std::string& name = pci->SubkeyAt(i)->name;
            if (name.compare(0, prefix.size(), prefix) == 0) return sim::PciIdsOfEnumKey(name);
        }
        return ids;
    }
    ids.hardware = sim::HardwareIdsOf(m.devices.back());
    ids.compatible = sim::PciCompatibleIds(ids.hardware);
    return ids;
}

// A file of the INF in the package folder, or in the folder below it that
// the INF's [SourceDisksFiles] names.
Named Find(const sim::Machine& m, const sim::InfNamed& what, const std::string& folder = "") {
    std::string dir = std::string(kAt) + (folder.empty() ? "" : "\\" + folder);
    return {what, m.files.IsFile(dir + "\\" + what.name)};
}

// Where the INF fails the controller: each [Manufacturer] line, with the
// models section that Windows version reads for it.
void NoModel(const sim::Inf& inf, const sim::InfTarget& target, const std::string& host,
             const std::string& device, Report& report, const Platform& p) {
    std::vector<sim::InfNamed> sections = inf.ModelsSections(target);
    if (sections.empty())
        report.problems.push_back(host + ": " + p.name + " finds no [Manufacturer] entry");
    for (const sim::InfNamed& section : sections)
        report.problems.push_back(host + ":" + std::to_string(section.line) + ": " + p.name +
                                  " reads the models section [" + section.name +
                                  "] this line names, and no model there lists the " + p.model +
                                  " controller (" + device + ")");
}

// How the INF the program used reads on that Windows: its problems go to
// the report's list, its model, catalog and copies to the platform.
void ReadInf(const sim::Machine& m, const std::string& model, Report& report, Platform& p) {
    const sim::FileSystem::Node* node = m.files.Find(p.inf);
    if (!node || node->dir) return;
    std::string host = HostName(report.dir, Below(sim::FileSystem::PathOf(node)), m.codepage);
    sim::Inf inf =
        sim::Inf::Read(node->data.Read(), host, m.codepage, m.locale, m.os.platform == 2);
    for (const sim::InfProblem& problem : inf.Problems()) {
        std::string line = problem.Describe();
        if (std::find(report.problems.begin(), report.problems.end(), line) ==
            report.problems.end())
            report.problems.push_back(line);
    }
    p.parsed = inf.Parsed();
    if (const sim::InfProblem* error = inf.FirstError()) p.error = error->Describe();
    sim::InfTarget target = sim::TargetOf(m);
    sim::DeviceIds ids = ControllerIds(m, model);
    p.chosen = inf.Choose(ids.hardware, ids.compatible, target);
    if (!p.chosen && !ids.hardware.empty()) NoModel(inf, target, host, ids.hardware[0], report, p);
    if (auto catalog = inf.Catalog(target)) p.catalog = Find(m, *catalog);
    if (p.chosen)
        for (const sim::InfNamed& file : inf.Copies(*p.chosen, target))
            p.copies.push_back(Find(m, file, inf.SourceFolder(file.name, target).name));
}

// The INF's texts (bytes of the machine's code page) as the report shows
// them: UTF-8, control characters made visible.
void ShowInUtf8(Platform& p, uint32_t codepage) {
    auto show = [codepage](std::string& text) { text = sim::Visible(text, codepage); };
    show(p.inf);
    if (p.chosen) {
        for (std::string* text : {&p.chosen->description, &p.chosen->section, &p.chosen->install,
                                  &p.chosen->id, &p.chosen->manufacturer})
            show(*text);
    }
    if (p.catalog) show(p.catalog->what.name);
    for (Named& c : p.copies) show(c.what.name);
}

// The program over a fresh machine of that Windows with one controller of
// that model: answer Yes, and No to the restart.
Platform CheckPlatform(const Version& version, const std::string& model, Report& report) {
    sim::Machine m = sim::DefaultMachine(version.os, kAt, report.dir, 0x0409, model);
    m.answers = {true, false};
    sim::Outcome o = sim::Run(m);
    Platform p;
    p.os = version.os;
    p.name = version.name;
    p.model = model;
    p.outcome = o.status != "ok"     ? o.status
                : o.Result().empty() ? "none (" + o.verdict.unknown + ")"
                                     : o.Result();
    p.inf = UsedInf(o);
    o.EachOf(sim::Row(sim::Call::UpdateDriverForPlugAndPlayDevicesA).event,
             [&](const sim::Event& e) { p.why = e.GetStr("inf_why"); });
    if (m.os.platform == 1) {
        p.served = p.outcome == "staged" && !o.after_restart.empty();
        o.EachRestart([&](const sim::RestartPrediction& r) {
            p.served = p.served && r.inf && r.model;
            p.why = r.why;
        });
    } else {
        p.served = p.outcome == "installed";
    }
    if (p.why.empty() && !p.served) p.why = "the program's run ends " + p.outcome;
    if (!p.inf.empty()) {
        ReadInf(m, model, report, p);
        p.inf = Below(p.inf);
    }
    ShowInUtf8(p, m.codepage);
    return p;
}

// A program that loads the message table as setup.exe does and records
// each message.
int RecordMessages(char*) {
    LoadMessages();
    for (int i = 0; i < MESSAGE_COUNT; ++i)
        sim::Current().Emit(
            sim::Event("message").Num("index", i).StrOrNull("text", MessageText(i)));
    ReleaseMessages();
    return 0;
}

// A message file, read by the program's own loader on a machine of the
// locale its name gives. A name the program never forms is a problem.
MessageFile CheckMessageFile(const std::string& name, Report& report) {
    MessageFile f;
    f.name = "MultiLang\\" + name;
    std::string stem = name.substr(0, name.find('.'));
    char* end = nullptr;
    unsigned long locale = stem.empty() ? 0 : strtoul(stem.c_str(), &end, 16);
    char formed[64];
    if (end && !*end && locale > 0 && locale <= sim::kMaxLocale) {
        snprintf(formed, sizeof formed, MESSAGE_FILE_FORMAT, static_cast<unsigned>(locale));
        if (sim::EqualNoCase(formed, "\\" + f.name)) f.locale = static_cast<uint32_t>(locale);
    }
    if (!f.locale) {
        f.problem =
            "the program never reads it: it reads MultiLang\\LLLL.dat, LLLL the locale "
            "in hexadecimal";
        report.problems.push_back(HostName(report.dir, f.name, 1252) + ": " + f.problem);
        return f;
    }
    sim::Machine m = sim::DefaultMachine("xp", kAt, report.dir, *f.locale);
    sim::RunOptions options;
    options.program = RecordMessages;
    sim::Outcome o = sim::Run(m, options);
    for (const json& e : o.Of("message"))
        if (!e["text"].is_null()) ++f.messages;
    if (f.messages != MESSAGE_COUNT) {
        f.problem = "gives " + std::to_string(f.messages) + " of the five messages";
        report.problems.push_back(HostName(report.dir, f.name, m.codepage) + ": " + f.problem);
    }
    return f;
}

Report CheckAll(const std::string& dir) {
    Report report;
    report.dir = dir;
    for (const Version& version : kVersions)
        for (const char* model : kModels)
            report.platforms.push_back(CheckPlatform(version, model, report));
    sim::Machine m = sim::DefaultMachine("xp", kAt, dir);
    const sim::FileSystem::Node* folder = m.files.Find(std::string(kAt) + "\\MultiLang");
    if (folder)
        for (const auto& [key, child] : folder->children)
            if (!child->dir) report.messages.push_back(CheckMessageFile(child->name, report));
    return report;
}

json NamedJson(const std::optional<Named>& n) {
    if (!n) return nullptr;
    return {{"name", n->what.name}, {"line", n->what.line}, {"present", n->present}};
}

json ReportJson(const Report& r) {
    json platforms = json::array(), messages = json::array();
    for (const Platform& p : r.platforms) {
        json copies = json::array();
        for (const Named& c : p.copies) copies.push_back(NamedJson(c));
        json chosen = nullptr;
        if (p.chosen)
            chosen = {{"description", p.chosen->description},
                      {"section", p.chosen->section},
                      {"install", p.chosen->install},
                      {"id", p.chosen->id},
                      {"line", p.chosen->line},
                      {"rank", p.chosen->rank}};
        platforms.push_back({{"os", p.os},
                             {"windows", p.name},
                             {"model", p.model},
                             {"inf", p.inf},
                             {"parsed", p.parsed},
                             {"error", p.error.empty() ? json(nullptr) : json(p.error)},
                             {"chosen", chosen},
                             {"catalog", NamedJson(p.catalog)},
                             {"copies", copies},
                             {"outcome", p.outcome},
                             {"served", p.served},
                             {"why", p.why}});
    }
    for (const MessageFile& f : r.messages)
        messages.push_back({{"file", f.name},
                            {"locale", f.locale ? json(*f.locale) : json(nullptr)},
                            {"messages", f.messages},
                            {"problem", f.problem.empty() ? json(nullptr) : json(f.problem)}});
    return {{"package", r.dir},
            {"served", r.ok()},
            {"platforms", platforms},
            {"message_files", messages},
            {"problems", r.problems}};
}

std::string PlatformLine(const Platform& p) {
    std::string line = p.served ? "served: " : "NOT served: ";
    // Windows reads no INF with an error: 2000/XP refuse the update, 98/98
    // SE/ME pass the file over.
    if (!p.error.empty()) return line + p.error;
    if (p.chosen)
        line += "model \"" + p.chosen->description + "\" (" + p.inf + ":" +
                std::to_string(p.chosen->line) + ", " + p.chosen->id + ")";
    else
        line += p.inf.empty() ? "no INF" : "no model for the controller in " + p.inf;
    if (p.catalog)
        line += "; catalog " + p.catalog->what.name + (p.catalog->present ? "" : " (missing)");
    for (const Named& c : p.copies)
        if (!c.present) line += "; copies " + c.what.name + " (missing)";
    return line;
}

void PrintReport(std::ostream& out, const Report& r) {
    out << "package " << r.dir << ", as each Windows version reads it:\n";
    char head[64];
    for (const Platform& p : r.platforms) {
        snprintf(head, sizeof head, "  %-5s %-5s %-13s ", p.os.c_str(), p.model.c_str(),
                 p.inf.empty() ? "-" : p.inf.c_str());
        out << head << PlatformLine(p) << "\n";
        if (!p.served) out << "        " << sim::Visible(p.why, sim::kUtf8) << "\n";
    }
    out << "\nmessage files:\n";
    if (r.messages.empty()) out << "  (none: every locale sees the built-in English)\n";
    for (const MessageFile& f : r.messages)
        out << "  " << f.name << ": " << (f.problem.empty() ? "the five messages" : f.problem)
            << "\n";
    if (!r.problems.empty()) out << "\nproblems:\n";
    for (const std::string& line : r.problems) out << "  " << line << "\n";
    size_t served = 0;
    for (const Platform& p : r.platforms) served += p.served;
    out << "\n"
        << served << " of " << r.platforms.size() << " Windows versions and models served"
        << (r.ok() ? "" : "; the package is not ready") << "\n";
}

}  // namespace

int CheckPackage(Tool& tool, const std::string& dir) {
    Report report;
    try {
        report = CheckAll(dir);
    } catch (const std::runtime_error& e) {
        return tool.Refuse(e.what());
    }
    if (tool.json)
        tool.out() << sim::Dump(ReportJson(report), 2) << "\n";
    else
        PrintReport(tool.out(), report);
    return report.ok() ? 0 : 1;
}

}  // namespace cli
