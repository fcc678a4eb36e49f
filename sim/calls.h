// The host functions the simulated machine implements, in one table: which
// library each comes from, whether a fault plan may make it fail, which part
// of the program calls it, and what its event records. Fault names in
// machine files, `vntrsetup-sim --list-calls`, the report and the fault walk
// all come from here, so a misspelt fault is an error, never a silent no-op.
#ifndef VNTR_SIM_CALLS_H
#define VNTR_SIM_CALLS_H

#include <cstdint>
#include <string>

namespace sim {

// Which parts of the program call a function.
enum CallUser : unsigned {
    kStartup = 1,  // WinMain and the message table, on every platform
    kLegacy = 2,   // the Windows 98/98 SE/ME flow
    kNt = 4,       // the Windows 2000/XP flow
    kCapture = 8,  // the machine capture program (vntrcapture)
};

struct HostCall {
    const char* name;
    const char* library;
    bool can_fail;           // a [[faults]] entry may name it
    uint32_t default_error;  // the error of a planned failure that names none
    unsigned used_by;        // CallUser bits; 0: resolved but never called
    const char* records;     // what its event holds, for --list-calls
    const char* why_not;     // when it cannot fail: what to use instead
};

extern const HostCall kHostCalls[];
extern const size_t kHostCallCount;

// The entry of that exact name, or null.
const HostCall* FindHostCall(const std::string& name);
int HostCallIndex(const std::string& name);  // -1 when unknown
// "CopyFileA, CreateDirectoryA, ..." of the calls a fault may name.
std::string FaultableCallNames();

}  // namespace sim

#endif  // VNTR_SIM_CALLS_H
