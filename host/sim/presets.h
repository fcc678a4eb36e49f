// Ready-made machines: one per Windows version, and the default machine of
// the command-line simulator.
#ifndef VNTR_SIM_PRESETS_H
#define VNTR_SIM_PRESETS_H

#include <string>
#include <vector>

#include "host/sim/machine.h"

namespace sim {

// "95", "98", "98se", "me", "2000", "xp", "2003".
const std::vector<std::string>& PresetNames();
bool IsPreset(const std::string& name);

// A freshly installed Windows of that version: its version record, Windows
// and system directories, registry deletion semantics, system libraries, and
// a few ordinary devices and PCI keys. Throws std::invalid_argument for an
// unknown name.
Machine PresetMachine(const std::string& name);

// The example driver package: <dir of the executable>/../share/vntrsetup/package
// when the simulator is installed, else the one of this source tree. Throws
// std::runtime_error naming both places when neither is a folder.
std::string DefaultPackageDir();

// Copies a host folder (recursively) into the machine at `at`, leaving out
// the file names in `omit`. Throws std::runtime_error when the folder cannot
// be read.
void MountPackage(Machine& machine, const std::string& host_dir, const std::string& at,
                  const std::vector<std::string>& omit = {});

// The first controller model as it appears on each platform: a present
// device on NT, an Enum\PCI key with an instance on the 9x family.
void AddController(Machine& machine, const std::string& device = "8E3A");

// The simulator's default: the named Windows with one 8E3A controller, the
// example package in C:\VNTR as current directory, and answer Yes.
Machine DefaultMachine(const std::string& os = "xp");

}  // namespace sim

#endif  // VNTR_SIM_PRESETS_H
