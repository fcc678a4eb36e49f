#include "sim/slots.h"

#include "sim/codepage.h"
#include "sim/machine.h"

namespace sim {

#define SIM_SIMULATED(name, ...) &impl::name,
const HostSlots kSimulated = {SIM_HOST_CALLS(SIM_SIMULATED)};
HostSlots g_slots = {SIM_HOST_CALLS(SIM_SIMULATED)};
#undef SIM_SIMULATED

}  // namespace sim

// How a call is reached depends on its library: the program links the
// functions of kernel32, user32 and advapi32 by their Windows names; host.h
// renames msvcrt's stream functions to Host*, written out below; setupapi.dll
// and newdev.dll are loaded at run time, and GetProcAddress hands out their
// entry points from the export table.
#define SIM_DISPATCH(name, library, event, change, fails, error, users, records, why_not, ret, \
                     params, args)                                                             \
    SIM_DISPATCH_##library(name, ret, params, args)
#define SIM_DISPATCH_LINKED(name, ret, params, args) \
    extern "C" ret(name) params { return (sim::g_slots.name)args; }
#define SIM_DISPATCH_LOADED(name, ret, params, args) \
    static ret Export##name params { return (sim::g_slots.name)args; }
#define SIM_DISPATCH_kernel32 SIM_DISPATCH_LINKED
#define SIM_DISPATCH_user32 SIM_DISPATCH_LINKED
#define SIM_DISPATCH_advapi32 SIM_DISPATCH_LINKED
#define SIM_DISPATCH_msvcrt(name, ret, params, args)
#define SIM_DISPATCH_setupapi SIM_DISPATCH_LOADED
#define SIM_DISPATCH_newdev SIM_DISPATCH_LOADED

SIM_HOST_CALLS(SIM_DISPATCH)

extern "C" {

FILE* HostFopen(const char* path, const char* mode) { return (sim::g_slots.fopen)(path, mode); }
size_t HostFread(void* buffer, size_t size, size_t count, FILE* stream) {
    return (sim::g_slots.fread)(buffer, size, count, stream);
}
size_t HostFwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
    return (sim::g_slots.fwrite)(buffer, size, count, stream);
}
int HostFerror(FILE* stream) { return (sim::g_slots.ferror)(stream); }
int HostFclose(FILE* stream) { return (sim::g_slots.fclose)(stream); }

}  // extern "C"

namespace sim {

namespace {

struct Export {
    const char* library;
    const char* name;
    FARPROC proc;
};

template <typename F>
FARPROC Proc(F f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

#define SIM_EXPORT(name, library, ...) SIM_EXPORT_##library(name, library)
#define SIM_EXPORT_LOADED(name, library) {#library ".dll", #name, Proc(Export##name)},
#define SIM_EXPORT_kernel32(name, library)
#define SIM_EXPORT_user32(name, library)
#define SIM_EXPORT_advapi32(name, library)
#define SIM_EXPORT_msvcrt(name, library)
#define SIM_EXPORT_setupapi SIM_EXPORT_LOADED
#define SIM_EXPORT_newdev SIM_EXPORT_LOADED
const Export kExports[] = {SIM_HOST_CALLS(SIM_EXPORT)};

}  // namespace

FARPROC FindExport(const std::string& library, const std::string& name) {
    for (const Export& x : kExports)
        if (EqualNoCase(library, x.library) && name == x.name) return x.proc;
    return nullptr;
}

std::string UnusedLibraryProblem(const std::string& file, const std::string& entry) {
    std::string loaded;
    bool known = false, exported = false;
    for (const Export& x : kExports) {
        if (loaded.find(x.library) == std::string::npos)
            loaded += (loaded.empty() ? "" : " and ") + std::string(x.library);
        if (!EqualNoCase(file, x.library)) continue;
        known = true;
        exported = exported || entry == x.name;
    }
    const std::string shown = "'" + Visible(file, TextCodePage()) + "'";
    if (!known)
        return "the program never loads " + shown + ", so this changes nothing (it loads " +
               loaded + ")";
    if (!entry.empty() && !exported)
        return "the program never asks " + shown + " for '" + Visible(entry, TextCodePage()) +
               "' (names are exact, as GetProcAddress reads them), so this changes nothing";
    return "";
}

}  // namespace sim
