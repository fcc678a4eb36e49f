// The device-installation libraries of the simulated machine: setupapi.dll's
// device information sets and hardware-identifier property, newdev.dll's
// driver update, and GetProcAddress, which hands out their entry points.
#include <cstring>

#include "host/host.h"
#include "host/sim/runtime.h"

using sim::json;
using sim::Runtime;
using sim::Text;

#define ERROR_NO_SUCH_DEVINST 0xE000020Bu

namespace {

void CallEvent(json event) {
    Runtime& rt = sim::Current();
    if (rt.options.record_device_calls) rt.Emit(std::move(event));
}

const std::vector<size_t>* SetOf(HDEVINFO set) {
    auto& sets = sim::Current().device_sets;
    auto it = sets.find(reinterpret_cast<uintptr_t>(set));
    return it == sets.end() ? nullptr : &it->second;
}

HDEVINFO SimSetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                 DWORD flags) {
    json event = {{"type", "call"},
                  {"call", "SetupDiGetClassDevsA"},
                  {"class", classGuid ? "given" : "NULL"},
                  {"enumerator", sim::TextOrNull(enumerator)},
                  {"parent", sim::PointerText(parent)},
                  {"flags", flags}};
    if (sim::CallFails("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY)) {
        event["result"] = "INVALID_HANDLE_VALUE";
        CallEvent(event);
        return INVALID_HANDLE_VALUE;
    }
    Runtime& rt = sim::Current();
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        event["result"] = "INVALID_HANDLE_VALUE";
        CallEvent(event);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<size_t> members;
    for (size_t i = 0; i < rt.m.devices.size(); ++i)
        if (rt.m.devices[i].present || !(flags & DIGCF_PRESENT)) members.push_back(i);
    uintptr_t handle = rt.next_set;
    rt.next_set += 0x10;
    rt.device_sets[handle] = members;
    event["result"] = sim::PointerText(reinterpret_cast<void*>(handle));
    event["devices"] = members.size();
    CallEvent(event);
    return reinterpret_cast<HDEVINFO>(handle);
}

BOOL SimSetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    json event = {{"type", "call"}, {"call", "SetupDiEnumDeviceInfo"}, {"index", index}};
    auto finish = [&](bool ok) {
        event["result"] = ok;
        if (!ok) event["error"] = sim::Current().last_error;
        CallEvent(event);
        return ok ? TRUE : FALSE;
    };
    if (sim::CallFails("SetupDiEnumDeviceInfo", ERROR_NOT_ENOUGH_MEMORY)) return finish(false);
    Runtime& rt = sim::Current();
    const std::vector<size_t>* members = SetOf(set);
    if (!members) {
        rt.last_error = ERROR_INVALID_HANDLE;
        return finish(false);
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        rt.last_error = ERROR_INVALID_USER_BUFFER;
        return finish(false);
    }
    if (index >= members->size()) {
        rt.last_error = ERROR_NO_MORE_ITEMS;
        return finish(false);
    }
    memset(&data->ClassGuid, 0, sizeof data->ClassGuid);
    data->DevInst = static_cast<DWORD>((*members)[index] + 1);
    data->Reserved = 0;
    return finish(true);
}

BOOL SimSetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                          PDWORD regType, BYTE* buffer, DWORD size,
                                          PDWORD required) {
    json event = {{"type", "call"},
                  {"call", "SetupDiGetDeviceRegistryPropertyA"},
                  {"device", data ? data->DevInst : 0},
                  {"property", property},
                  {"size", size}};
    auto finish = [&](bool ok) {
        event["result"] = ok;
        if (required) event["required"] = *required;
        if (!ok) event["error"] = sim::Current().last_error;
        CallEvent(event);
        return ok ? TRUE : FALSE;
    };
    if (sim::CallFails("SetupDiGetDeviceRegistryPropertyA", ERROR_NOT_ENOUGH_MEMORY))
        return finish(false);
    Runtime& rt = sim::Current();
    if (!SetOf(set)) {
        rt.last_error = ERROR_INVALID_HANDLE;
        return finish(false);
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0 ||
        data->DevInst > rt.m.devices.size()) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        return finish(false);
    }
    if (!buffer && size) {
        rt.last_error = ERROR_INVALID_USER_BUFFER;
        return finish(false);
    }
    const sim::Device& device = rt.m.devices[data->DevInst - 1];
    if (property != SPDRP_HARDWAREID || !device.hardware_ids) {
        rt.last_error = ERROR_INVALID_DATA;
        return finish(false);
    }
    const sim::Bytes& ids = *device.hardware_ids;
    DWORD reported = device.reported_size ? *device.reported_size : static_cast<DWORD>(ids.size());
    if (required) *required = reported;
    if (regType) *regType = REG_MULTI_SZ;
    bool size_query = !buffer && size == 0;
    if (device.insufficient_forever ||
        (size < reported && !(size_query && device.size_query_succeeds))) {
        rt.last_error = ERROR_INSUFFICIENT_BUFFER;
        return finish(false);
    }
    if (buffer) memcpy(buffer, ids.data(), std::min<size_t>(ids.size(), reported));
    return finish(true);
}

BOOL SimSetupDiDestroyDeviceInfoList(HDEVINFO set) {
    json event = {
        {"type", "call"}, {"call", "SetupDiDestroyDeviceInfoList"}, {"set", sim::PointerText(set)}};
    if (sim::CallFails("SetupDiDestroyDeviceInfoList", ERROR_INVALID_HANDLE)) {
        event["result"] = false;
        CallEvent(event);
        return FALSE;
    }
    Runtime& rt = sim::Current();
    bool known = rt.device_sets.erase(reinterpret_cast<uintptr_t>(set)) > 0;
    if (!known) rt.last_error = ERROR_INVALID_HANDLE;
    event["result"] = known;
    CallEvent(event);
    return known;
}

// Resolved but never called by the program; a call is recorded as a finding.
INT_PTR SimUnexpected(const char* name) {
    sim::Current().Emit({{"type", "unexpected_call"}, {"call", name}});
    return 0;
}
INT_PTR SimCmReenumerate(void) { return SimUnexpected("CM_Reenumerate_DevNode"); }
INT_PTR SimCmLocate(void) { return SimUnexpected("CM_Locate_DevNodeA"); }
INT_PTR SimCallClassInstaller(void) { return SimUnexpected("SetupDiCallClassInstaller"); }

BOOL SimUpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR infPath,
                                           DWORD flags, PBOOL rebootRequired) {
    json event = {{"type", "install"},
                  {"parent", sim::PointerText(parent)},
                  {"hardware_id", sim::TextOrNull(hardwareId)},
                  {"inf", sim::TextOrNull(infPath)},
                  {"flags", flags},
                  {"reboot_flag_given", rebootRequired != nullptr}};
    auto finish = [&](bool ok) {
        event["result"] = ok;
        if (!ok) event["error"] = sim::Current().last_error;
        sim::Current().Emit(event);
        return ok ? TRUE : FALSE;
    };
    if (sim::CallFails("UpdateDriverForPlugAndPlayDevicesA", ERROR_ACCESS_DENIED))
        return finish(false);
    Runtime& rt = sim::Current();
    if (!hardwareId || !infPath) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        return finish(false);
    }
    const sim::UpdateBehaviour& update = rt.m.update;
    if (update.check) {
        // Windows opens the INF first, then looks for a present device that
        // lists the hardware identifier.
        std::string inf = sim::FileSystem::Absolute(infPath, rt.cwd);
        const sim::FileSystem::Node* node = inf.empty() ? nullptr : rt.m.files.Find(inf);
        if (!node || node->dir) {
            rt.last_error = node ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
            return finish(false);
        }
        bool listed = false;
        for (const sim::Device& d : rt.m.devices) {
            if (!d.present || !d.hardware_ids) continue;
            const sim::Bytes& ids = *d.hardware_ids;
            for (size_t at = 0; at < ids.size() && ids[at];) {
                size_t end = ids.find('\0', at);
                if (end == std::string::npos) end = ids.size();
                if (sim::EqualNoCase(ids.substr(at, end - at), hardwareId)) listed = true;
                at = end + 1;
            }
        }
        if (!listed) {
            rt.last_error = ERROR_NO_SUCH_DEVINST;
            return finish(false);
        }
    }
    if (!update.result) {
        rt.last_error = update.error;
        return finish(false);
    }
    if (rebootRequired) *rebootRequired = update.reboot ? TRUE : FALSE;
    event["reboot"] = update.reboot;
    return finish(true);
}

struct Export {
    const char* library;
    const char* name;
    FARPROC proc;
};

template <typename F>
FARPROC Proc(F f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

const Export kExports[] = {
    {"setupapi.dll", "CM_Reenumerate_DevNode", Proc(SimCmReenumerate)},
    {"setupapi.dll", "CM_Locate_DevNodeA", Proc(SimCmLocate)},
    {"setupapi.dll", "SetupDiDestroyDeviceInfoList", Proc(SimSetupDiDestroyDeviceInfoList)},
    {"setupapi.dll", "SetupDiGetDeviceRegistryPropertyA",
     Proc(SimSetupDiGetDeviceRegistryPropertyA)},
    {"setupapi.dll", "SetupDiEnumDeviceInfo", Proc(SimSetupDiEnumDeviceInfo)},
    {"setupapi.dll", "SetupDiGetClassDevsA", Proc(SimSetupDiGetClassDevsA)},
    {"setupapi.dll", "SetupDiCallClassInstaller", Proc(SimCallClassInstaller)},
    {"newdev.dll", "UpdateDriverForPlugAndPlayDevicesA",
     Proc(SimUpdateDriverForPlugAndPlayDevicesA)},
};

}  // namespace

extern "C" FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (sim::CallFails("GetProcAddress", ERROR_PROC_NOT_FOUND)) return NULL;
    Runtime& rt = sim::Current();
    auto it = rt.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == rt.modules.end()) {
        rt.last_error = ERROR_INVALID_HANDLE;
        return NULL;
    }
    const sim::Module& mod = rt.m.modules[it->second.index];
    std::string wanted = name ? name : "";
    if (!mod.missing.count(wanted)) {
        for (const Export& e : kExports)
            if (sim::EqualNoCase(mod.name, e.library) && wanted == e.name) return e.proc;
    }
    rt.last_error = ERROR_PROC_NOT_FOUND;
    return NULL;
}
