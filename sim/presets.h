// Ready-made machines: one per Windows version, and the default machine of
// the command-line simulator.
#ifndef VNTR_SIM_PRESETS_H
#define VNTR_SIM_PRESETS_H

#include <string>
#include <vector>

#include "common/product.h"
#include "sim/machine.h"

namespace sim {

// dwBuildNumber on the 9x family carries the version in its high word.
constexpr uint32_t Build9x(uint32_t major, uint32_t minor, uint32_t build) {
    return (major << 24) | (minor << 16) | build;
}

// "95", "98", "98se", "me", "2000", "xp", "2003".
const std::vector<std::string>& PresetNames();
bool IsPreset(const std::string& name);

// A freshly installed Windows of that version: its version record, Windows
// and system directories, registry deletion semantics, system libraries, and
// a few ordinary devices and PCI keys. A Windows directory given moves
// everything the installation derives from it (the system directory unless
// that is given too, DevicePath, the libraries). Throws
// std::invalid_argument for an unknown name.
Machine PresetMachine(const std::string& name, const std::string& windows_dir = "",
                      const std::string& system_dir = "");

// The system directory Windows makes below a Windows directory.
std::string SystemDirOf(uint32_t platform, const std::string& windows_dir);

// The example driver package: <dir of the executable>/../share/vntrsetup/package
// when the simulator is installed, else the one of this source tree. Throws
// std::runtime_error naming both places when neither is a folder.
std::string DefaultPackageDir();

// Copies a host folder (recursively) into the machine at `at`, leaving out
// what `omit` names: paths relative to the folder, separated by \ or /,
// each leaving out a file, or a folder with everything in it. Names are put
// into the machine's code page; each must be one Windows can hold, and no
// two may differ only in case. Returns the indices of the `omit` entries
// that matched nothing. Throws std::runtime_error (HostFileError for the
// host side) naming the file and the problem when the folder cannot be
// mounted.
std::vector<size_t> MountPackage(Machine& machine, const std::string& host_dir,
                                 const std::string& at, const std::vector<std::string>& omit = {});

// The first controller model as it appears on each platform: a present
// device on NT, an Enum\PCI key with an instance on the 9x family.
void AddController(Machine& machine, const std::string& device = FIRST_MODEL);
// That key with its instance, as a key path below HKLM.
std::string ControllerKeyPath(const std::string& device = FIRST_MODEL);

// The simulator's default: the named Windows with one 8E3A controller (or
// one of the model given), the example package (or the package folder
// given) in C:\VNTR (or the current directory given) as current directory,
// the system locale given (and the code page that goes with it), and answer
// Yes.
Machine DefaultMachine(const std::string& os = "xp", const std::string& current_dir = "",
                       const std::string& package_dir = "", uint32_t locale = 0x0409,
                       const std::string& model = FIRST_MODEL);

}  // namespace sim

#endif  // VNTR_SIM_PRESETS_H
