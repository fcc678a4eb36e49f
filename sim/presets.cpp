#include "sim/presets.h"

#include <filesystem>
#include <fstream>
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

// dwBuildNumber on the 9x family carries the version in its high word.
constexpr uint32_t Build9x(uint32_t major, uint32_t minor, uint32_t build) {
    return (major << 24) | (minor << 16) | build;
}

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
    return windows_dir + (windows_dir.back() == '\\' ? "" : "\\") +
           (platform == 1 ? "SYSTEM" : "system32");
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
    m.delete_semantics = p->platform == 1 ? DeleteSemantics::Legacy : DeleteSemantics::Nt;
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

void MountPackage(Machine& machine, const std::string& host_dir, const std::string& at,
                  const std::vector<std::string>& omit) {
    std::string root = FileSystem::Absolute(at, "C:\\");
    if (!machine.files.MakeDirs(root))
        throw std::runtime_error("cannot mount the package at " + at + ": a file is in the way");
    for (PackageEntry& entry : ReadPackageFolder(host_dir)) {
        bool skip = false;
        for (const auto& o : omit) skip = skip || EqualNoCase(o, entry.relative);
        if (skip) continue;
        // Host names are UTF-8; the machine sees them in its code page.
        std::string name, problem;
        if (!ToCodePage(entry.relative, machine.codepage, &name, &problem))
            throw std::runtime_error("package file " + host_dir + "/" + entry.relative + ": " +
                                     problem);
        for (char& c : name)
            if (c == '/') c = '\\';
        // Each part is a plain name (no "..", no drive): the entry stays
        // below the mount point whatever it is called.
        std::string target = root + (FileSystem::IsRoot(root) ? "" : "\\") + name;
        // The bytes move into the machine: a package is held once.
        bool ok = entry.dir ? machine.files.MakeDirs(target)
                            : machine.files.PutFile(target, std::move(entry.data));
        if (!ok)
            throw std::runtime_error("package file " + host_dir + "/" + entry.relative +
                                     ": a file of the machine is in the way");
    }
}

void AddController(Machine& machine, const std::string& device) {
    const std::string key = CONTROLLER_KEY("") + device;
    const std::string subsys = "&SUBSYS_" + device + VENDOR_ID;
    if (machine.os.platform == 1) {
        MakeKeyPath(machine.hklm.get(),
                    "Enum\\PCI\\" + key + subsys + "&REV_02\\BUS_02&DEV_0C&FUNC_00");
    } else {
        Device d;
        d.hardware_ids = MultiSz({"PCI\\" + key + subsys + "&REV_02", "PCI\\" + key + subsys,
                                  "PCI\\" + key + "&CC_060700", "PCI\\" + key + "&CC_0607"});
        machine.devices.push_back(d);
    }
}

Machine DefaultMachine(const std::string& os, const std::string& current_dir,
                       const std::string& package_dir, uint32_t locale) {
    Machine m = PresetMachine(os);
    m.name = "Windows " + os + " with one 8E3A controller";
    m.locale = locale;
    m.codepage = AnsiCodePageOf(locale);
    m.current_dir = current_dir.empty() ? "C:\\VNTR" : current_dir;
    MountPackage(m, package_dir.empty() ? DefaultPackageDir() : package_dir, m.current_dir);
    AddController(m);
    m.answers = {true};
    return m;
}

}  // namespace sim
