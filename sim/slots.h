// One replaceable slot per host call, in the spirit of SQLite's aSyscall[]:
// the Windows-named functions of host.h (and the entry points GetProcAddress
// hands out) call through g_slots, which holds the simulator's own
// implementations until a test puts a function of its own in a slot. A
// replacement usually notes something and calls on to kSimulated.
//
// The implementations are sim::impl::<name>, defined in sim/winapi.cpp and
// sim/devices.cpp. A slot's name is the call's: parenthesize it when calling
// through a slot whose name host.h also defines as a macro
// ((sim::g_slots.fopen)(path, mode)).
#ifndef VNTR_SIM_SLOTS_H
#define VNTR_SIM_SLOTS_H

#include "host/host.h"
#include "sim/calls.h"

namespace sim {

namespace impl {
#define SIM_IMPL_DECLARATION(name, library, event, change, fails, error, users, records, why_not, \
                             ret, params, args)                                                   \
    ret(name) params;
SIM_HOST_CALLS(SIM_IMPL_DECLARATION)
#undef SIM_IMPL_DECLARATION
}  // namespace impl

struct HostSlots {
#define SIM_SLOT(name, library, event, change, fails, error, users, records, why_not, ret, params, \
                 args)                                                                             \
    ret(*name) params;
    SIM_HOST_CALLS(SIM_SLOT)
#undef SIM_SLOT
};

// What the host functions call.
extern HostSlots g_slots;
// The simulator's own implementations, for a replacement to call on to and
// for putting a slot back.
extern const HostSlots kSimulated;

// The function a simulated library exports under `name`, as GetProcAddress
// hands it out; null when it exports none by that name.
FARPROC FindExport(const std::string& library, const std::string& name);

}  // namespace sim

#endif  // VNTR_SIM_SLOTS_H
