#include "sim/presets.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "common/product.h"
#include "res/ids.h"
#include "res/strings.h"
#include "sim/codepage.h"
#include "sim/hostfiles.h"
#include "sim/locales.h"

#ifndef VNTR_SOURCE_DIR
#define VNTR_SOURCE_DIR "."
#endif

namespace sim {

namespace {

struct Preset {
    const char* name;
    uint32_t platform, major, minor, build_number;
    const char* csd;
    const char* windows_dir;
    const char* system_dir;
};

const Preset kPresets[] = {
    {"95", 1, 4, 0, Build9x(4, 0, 950), "", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
    {"98", 1, 4, 10, Build9x(4, 10, BUILD_98), " ", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
    {"98se", 1, 4, 10, Build9x(4, 10, BUILD_98SE), " A ", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
    {"me", 1, 4, 90, Build9x(4, 90, BUILD_ME), " ", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
    {"2000", 2, 5, 0, 2195, "Service Pack 4", "C:\\WINNT", "C:\\WINNT\\system32"},
    {"xp", 2, 5, 1, 2600, "Service Pack 3", "C:\\WINDOWS", "C:\\WINDOWS\\system32"},
    {"2003", 2, 5, 2, 3790, "Service Pack 2", "C:\\WINDOWS", "C:\\WINDOWS\\system32"},
};

const Preset* FindPreset(const std::string& name) {
    for (const Preset& p : kPresets)
        if (name == p.name) return &p;
    return nullptr;
}

// Devices every PC has, walked past by the controller search.
const std::vector<std::vector<std::string>> kBackgroundDevices = {
    {"ACPI\\PNP0A03", "*PNP0A03"},
    {"PCI\\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03", "PCI\\VEN_8086&DEV_7190&SUBSYS_00000000",
     "PCI\\VEN_8086&DEV_7190&CC_060000", "PCI\\VEN_8086&DEV_7190&CC_0600"},
    {"PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_08", "PCI\\VEN_8086&DEV_7110&SUBSYS_00000000",
     "PCI\\VEN_8086&DEV_7110&CC_060100", "PCI\\VEN_8086&DEV_7110&CC_0601"},
    {"ROOT\\LEGACY_BEEP"},
};

const char* const kBackgroundPciKeys[] = {
    "VEN_8086&DEV_7190&SUBSYS_00000000&REV_03\\BUS_00&DEV_00&FUNC_00",
    "VEN_8086&DEV_7110&SUBSYS_00000000&REV_08\\BUS_00&DEV_07&FUNC_00",
};

}  // namespace

const std::vector<std::string>& PresetNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const Preset& p : kPresets) out.push_back(p.name);
        return out;
    }();
    return names;
}

bool IsPreset(const std::string& name) { return FindPreset(name) != nullptr; }

std::string SystemDirOf(uint32_t platform, const std::string& windows_dir) {
    return FileSystem::Join(windows_dir, platform == 1 ? "SYSTEM" : "system32");
}

Machine PresetMachine(const std::string& name, const std::string& windows_dir,
                      const std::string& system_dir) {
    const Preset* p = FindPreset(name);
    if (!p) throw std::invalid_argument("unknown Windows version '" + name + "'");
    Machine m;
    m.name = "Windows " + name;
    m.source = "built-in";
    m.os_name = name;
    m.os = {p->platform, p->major, p->minor, p->build_number, p->csd};
    m.windows_dir = windows_dir.empty() ? p->windows_dir : windows_dir;
    m.system_dir = !system_dir.empty()   ? system_dir
                   : windows_dir.empty() ? p->system_dir
                                         : SystemDirOf(p->platform, windows_dir);
    m.current_dir = "C:\\";
    m.delete_semantics = DeleteSemanticsOf(p->platform);
    m.strings[IDS_CAPTION] = CAPTION_TEXT;

    m.files.MakeDirs("C:\\");
    m.files.MakeDirs(m.windows_dir + "\\INF");
    m.files.MakeDirs(m.system_dir);

    RegKey* current = MakeKeyPath(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    Bytes inf = m.windows_dir + "\\INF";
    current->SetValue({"DevicePath", p->platform == 1 ? 1u : 2u,
                       p->platform == 1 ? inf + '\0' : Bytes("%SystemRoot%\\inf") + '\0'});
    if (p->platform == 1) {
        for (const char* key : kBackgroundPciKeys)
            MakeKeyPath(m.hklm.get(), std::string("Enum\\PCI\\") + key);
    }

    m.modules.push_back({"setupapi.dll", m.system_dir, true, false, {}});
    if (p->platform == 2) {
        m.modules.push_back({"newdev.dll", m.system_dir, true, false, {}});
        for (const auto& ids : kBackgroundDevices) {
            Device d;
            d.hardware_ids = MultiSz(ids);
            m.devices.push_back(d);
        }
    }
    return m;
}

std::string DefaultPackageDir() {
    // An installed simulator finds the package in <prefix>/share/vntrsetup,
    // beside its own bin/ folder; a built one in the source tree.
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> tried;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        tried.push_back(
            (exe.parent_path() / "../share/vntrsetup/package").lexically_normal().string());
    tried.push_back(std::string(VNTR_SOURCE_DIR) + "/examples/package");
    for (const auto& dir : tried)
        if (fs::is_directory(dir, ec)) return dir;
    std::string places;
    for (const auto& dir : tried) places += (places.empty() ? "'" : " and '") + dir + "'";
    throw std::runtime_error("no example package folder (tried " + places + ")");
}

namespace {

// The parts of a relative path of the host (UTF-8) split at `separators`;
// empty parts are dropped. Neither separator is ever part of a UTF-8
// character of more than one byte.
std::vector<std::string> PartsOf(const std::string& path, const char* separators) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find_first_of(separators, start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Whether `prefix` names the entry `parts` or a folder it lies in; ASCII
// letters match in either case.
bool Leads(const std::vector<std::string>& prefix, const std::vector<std::string>& parts) {
    if (prefix.empty() || prefix.size() > parts.size()) return false;
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < prefix.size(); ++i)
        if (prefix[i].size() != parts[i].size() ||
            !std::equal(prefix[i].begin(), prefix[i].end(), parts[i].begin(),
                        [&](char a, char b) { return fold(a) == fold(b); }))
            return false;
    return true;
}

}  // namespace

std::vector<size_t> MountPackage(Machine& machine, const std::string& host_dir,
                                 const std::string& at, const std::vector<std::string>& omit) {
    TextCodePageScope text(machine.codepage, machine.os.platform == 2);
    std::string root = FileSystem::Absolute(at, "C:\\");
    if (!machine.files.MakeDirs(root))
        throw std::runtime_error("cannot mount the package at " + Visible(at, machine.codepage) +
                                 ": a file is in the way");
    // What to leave out is matched on the host's names, before they are put
    // into the code page: a name the code page cannot write can be left out.
    std::vector<std::vector<std::string>> omitted;
    for (const std::string& o : omit) omitted.push_back(PartsOf(o, "\\/"));
    std::vector<bool> used(omit.size(), false);
    // Every name as Windows folds it, with the host name it came from.
    std::map<std::string, std::string> folded;
    std::vector<PackageEntry> entries = ReadPackageFolder(host_dir);
    for (PackageEntry& entry : entries) {
        const std::string host = host_dir + "/" + entry.relative;
        std::vector<std::string> parts = PartsOf(entry.relative, "/");
        bool skip = false;
        for (size_t i = 0; i < omitted.size(); ++i)
            if (Leads(omitted[i], parts)) skip = used[i] = true;
        if (skip) continue;
        // Each part in the code page is a name Windows can hold (which leaves
        // out "..", a drive and a separator): the entry stays below the
        // mount point.
        std::string path;
        for (const std::string& part : parts) {
            std::string name, problem;
            if (!ToCodePage(part, machine.codepage, &name, &problem))
                throw std::runtime_error("package file " + host + ": " + problem);
            problem = WindowsNameProblem(name);
            if (!problem.empty()) throw std::runtime_error("package file " + host + ": " + problem);
            path += (path.empty() ? "" : "\\") + name;
        }
        auto [it, fresh] = folded.emplace(Upper(path), entry.relative);
        if (!fresh)
            throw std::runtime_error("package folder " + host_dir + ": '" + it->second + "' and '" +
                                     entry.relative +
                                     "' differ only in case; Windows holds one of them, not both");
        // The bytes move into the machine: a package is held once.
        std::string target = FileSystem::Join(root, path);
        bool ok = entry.dir ? machine.files.MakeDirs(target)
                            : machine.files.PutFile(target, std::move(entry.data));
        if (!ok)
            throw std::runtime_error("package file " + host +
                                     ": a file of the machine is in the way");
    }
    std::vector<size_t> unmatched;
    for (size_t i = 0; i < omit.size(); ++i)
        if (!used[i]) unmatched.push_back(i);
    return unmatched;
}

std::string ControllerKeyPath(const std::string& device) {
    return "Enum\\PCI\\" CONTROLLER_KEY("") + device + "&SUBSYS_" + device +
           VENDOR_ID "&REV_02\\BUS_02&DEV_0C&FUNC_00";
}

void AddController(Machine& machine, const std::string& device) {
    const std::string key = CONTROLLER_KEY("") + device;
    const std::string subsys = "&SUBSYS_" + device + VENDOR_ID;
    if (machine.os.platform == 1) {
        MakeKeyPath(machine.hklm.get(), ControllerKeyPath(device));
    } else {
        Device d;
        d.hardware_ids = MultiSz({"PCI\\" + key + subsys + "&REV_02", "PCI\\" + key + subsys,
                                  "PCI\\" + key + "&CC_060700", "PCI\\" + key + "&CC_0607"});
        machine.devices.push_back(d);
    }
}

Machine DefaultMachine(const std::string& os, const std::string& current_dir,
                       const std::string& package_dir, uint32_t locale, const std::string& model) {
    Machine m = PresetMachine(os);
    m.name = "Windows " + os + " with one " + model + " controller";
    m.locale = locale;
    m.codepage = AnsiCodePageOf(locale);
    m.current_dir = current_dir.empty() ? "C:\\VNTR" : current_dir;
    MountPackage(m, package_dir.empty() ? DefaultPackageDir() : package_dir, m.current_dir);
    AddController(m, model);
    m.answers = {true};
    return m;
}

}  // namespace sim
