// The device-installation libraries of the simulated machine: setupapi.dll's
// device information sets and hardware-identifier property, newdev.dll's
// driver update, and GetProcAddress, which hands out their entry points.
#include <cstring>

#include "host/host.h"
#include "sim/inf.h"
#include "sim/package.h"
#include "sim/runtime.h"
#include "sim/slots.h"

using sim::Call;
using sim::Event;
using sim::Runtime;

namespace {

BOOL Finish(Event& e, bool ok) {
    Runtime& rt = sim::Current();
    e.Flag("result", ok);
    if (!ok) e.Num("error", rt.last_error);
    rt.Emit(std::move(e));
    return ok ? TRUE : FALSE;
}

const std::vector<size_t>* SetOf(HDEVINFO set) {
    auto& sets = sim::Current().device_sets;
    auto it = sets.find(reinterpret_cast<uintptr_t>(set));
    return it == sets.end() ? nullptr : &it->second;
}

// An entry point the simulator has no model of (the program resolves it but
// never makes the call): the call is counted and recorded as unexpected.
INT_PTR Unexpected(Call call) {
    sim::CallFails(call);  // counted only
    sim::Current().Emit(sim::CallEvent(call));
    return 0;
}

}  // namespace

namespace sim::impl {

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    Event e = sim::CallEvent(Call::SetupDiGetClassDevsA);
    e.Str("args.class", classGuid ? "given" : "NULL")
        .StrOrNull("args.enumerator", enumerator)
        .Str("args.parent", sim::PointerText(parent))
        .Num("args.flags", flags);
    Runtime& rt = sim::Current();
    auto fail = [&]() {
        e.Str("result", "INVALID_HANDLE_VALUE").Num("error", rt.last_error);
        rt.Emit(std::move(e));
        return INVALID_HANDLE_VALUE;
    };
    if (sim::CallFails(Call::SetupDiGetClassDevsA)) return fail();
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        return fail();
    }
    std::vector<size_t> members;
    for (size_t i = 0; i < rt.m.devices.size(); ++i)
        if (rt.m.devices[i].present || !(flags & DIGCF_PRESENT)) members.push_back(i);
    uintptr_t handle = rt.next_set;
    rt.next_set += 0x10;
    e.Str("result", sim::PointerText(reinterpret_cast<void*>(handle)))
        .Num("devices", static_cast<int64_t>(members.size()));
    rt.device_sets[handle] = std::move(members);
    rt.Emit(std::move(e));
    return reinterpret_cast<HDEVINFO>(handle);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    Event e = sim::CallEvent(Call::SetupDiEnumDeviceInfo);
    e.Str("args.set", sim::PointerText(set)).Num("args.index", index);
    if (sim::CallFails(Call::SetupDiEnumDeviceInfo)) return Finish(e, false);
    Runtime& rt = sim::Current();
    const std::vector<size_t>* members = SetOf(set);
    if (!members) {
        rt.last_error = ERROR_INVALID_HANDLE;
        return Finish(e, false);
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        rt.last_error = ERROR_INVALID_USER_BUFFER;
        return Finish(e, false);
    }
    if (index >= members->size()) {
        rt.last_error = ERROR_NO_MORE_ITEMS;
        return Finish(e, false);
    }
    memset(&data->ClassGuid, 0, sizeof data->ClassGuid);
    data->DevInst = static_cast<DWORD>((*members)[index] + 1);
    data->Reserved = 0;
    e.Num("device", data->DevInst);
    return Finish(e, true);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD regType, BYTE* buffer, DWORD size, PDWORD required) {
    Event e = sim::CallEvent(Call::SetupDiGetDeviceRegistryPropertyA);
    e.Str("args.set", sim::PointerText(set))
        .Num("args.device", data ? data->DevInst : 0)
        .Num("args.property", property)
        .Str("args.buffer", sim::Current().BlockText(buffer))
        .Num("args.size", size);
    auto finish = [&](bool ok) {
        if (required) e.Num("required", *required);
        return Finish(e, ok);
    };
    if (sim::CallFails(Call::SetupDiGetDeviceRegistryPropertyA)) return finish(false);
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
    if (property == SPDRP_HARDWAREID && device.read_error) {
        rt.last_error = device.read_error;
        return finish(false);
    }
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

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    Event e = sim::CallEvent(Call::SetupDiDestroyDeviceInfoList);
    e.Str("args.set", sim::PointerText(set));
    if (sim::CallFails(Call::SetupDiDestroyDeviceInfoList)) return Finish(e, false);
    Runtime& rt = sim::Current();
    bool known = rt.device_sets.erase(reinterpret_cast<uintptr_t>(set)) > 0;
    if (!known) rt.last_error = ERROR_INVALID_HANDLE;
    return Finish(e, known);
}

INT_PTR CM_Reenumerate_DevNode(void) { return Unexpected(Call::CM_Reenumerate_DevNode); }
INT_PTR CM_Locate_DevNodeA(void) { return Unexpected(Call::CM_Locate_DevNodeA); }
INT_PTR SetupDiCallClassInstaller(void) { return Unexpected(Call::SetupDiCallClassInstaller); }

BOOL UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                        PBOOL rebootRequired) {
    Event e = sim::CallEvent(Call::UpdateDriverForPlugAndPlayDevicesA);
    e.Str("args.parent", sim::PointerText(parent))
        .StrOrNull("args.hardware_id", hardwareId)
        .StrOrNull("args.inf", infPath)
        .Num("args.flags", flags);
    e.NumOrNull("args.reboot", rebootRequired);
    if (sim::CallFails(Call::UpdateDriverForPlugAndPlayDevicesA)) return Finish(e, false);
    Runtime& rt = sim::Current();
    if (!hardwareId || !infPath) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        return Finish(e, false);
    }
    if (rt.m.update.check) {
        // What Windows does with the INF it is given, for the device of that
        // hardware identifier (sim/inf.h). An INF known only by its size and
        // CRC-32 tells nothing: the update then does what [update] says, and
        // without one the run's outcome cannot be told.
        sim::UpdatePrediction p =
            sim::PredictUpdate(rt.m, sim::FileSystem::Absolute(infPath, rt.cwd), hardwareId);
        e.Str("inf_verdict", sim::UpdateVerdictName(p.kind)).Str("inf_why", p.why);
        if (p.kind == sim::UpdatePrediction::kUnpredictable && rt.m.update.given)
            e.Flag("update_given", true);
        if (p.kind == sim::UpdatePrediction::kFails) {
            rt.last_error = p.error;
            return Finish(e, false);
        }
    }
    if (rebootRequired) *rebootRequired = rt.m.update.reboot ? TRUE : FALSE;
    e.Flag("reboot_needed", rt.m.update.reboot);
    return Finish(e, true);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    Event e = sim::CallEvent(Call::GetProcAddress);
    e.Str("args.module", sim::PointerText(module)).StrOrNull("args.name", name);
    Runtime& rt = sim::Current();
    auto finish = [&](FARPROC proc) {
        if (proc) {
            e.Str("result", "found");
        } else {
            e.Null("result").Num("error", rt.last_error);
        }
        rt.Emit(std::move(e));
        return proc;
    };
    if (sim::CallFails(Call::GetProcAddress)) return finish(NULL);
    auto it = rt.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == rt.modules.end()) {
        rt.last_error = ERROR_INVALID_HANDLE;
        return finish(NULL);
    }
    const sim::Module& mod = rt.m.modules[it->second.index];
    std::string wanted = name ? name : "";
    e.Str("library", it->second.path);
    if (!mod.missing.count(wanted)) {
        if (FARPROC proc = sim::FindExport(mod.name, wanted)) return finish(proc);
    }
    rt.last_error = ERROR_PROC_NOT_FOUND;
    return finish(NULL);
}

}  // namespace sim::impl
