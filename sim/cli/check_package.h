// vntrsetup-sim --check-package DIR: a driver package checked for every
// Windows version the program serves, as that Windows reads it.
#ifndef VNTR_SIM_CLI_CHECK_PACKAGE_H
#define VNTR_SIM_CLI_CHECK_PACKAGE_H

#include <string>

#include "sim/cli/options.h"

namespace cli {

// For Windows 98, 98 SE, ME, 2000 and XP and each controller model: the
// program run over a fresh machine of that Windows with the package as its
// current directory and one controller of that model, the INF it used, how
// that INF reads, the model Windows chooses from it, its catalog and the
// files it copies; then every message file with the messages it gives.
// The report goes to the tool's output (a JSON document with tool.json).
// Returns 0 when every version and model is served and every message file
// gives the five messages, 1 otherwise; a folder that cannot be mounted is
// refused (2).
int CheckPackage(Tool& tool, const std::string& dir);

}  // namespace cli

#endif  // VNTR_SIM_CLI_CHECK_PACKAGE_H
