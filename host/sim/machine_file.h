// Machine files: a simulated Windows machine described in TOML.
#ifndef VNTR_SIM_MACHINE_FILE_H
#define VNTR_SIM_MACHINE_FILE_H

#include <stdexcept>
#include <string>

#include "host/sim/machine.h"

namespace sim {

// A machine file that cannot be used; what() reads "FILE:LINE: FIELD: problem".
class MachineError : public std::runtime_error {
   public:
    MachineError(const std::string& file, int line, const std::string& field,
                 const std::string& problem);
    std::string file;
    int line;
    std::string field;
    std::string problem;
};

Machine LoadMachineFile(const std::string& path);
// `source` names the text in messages; relative host paths in the text are
// taken from `base_dir`.
Machine ParseMachine(const std::string& toml_text, const std::string& source,
                     const std::string& base_dir = ".");

}  // namespace sim

#endif  // VNTR_SIM_MACHINE_FILE_H
