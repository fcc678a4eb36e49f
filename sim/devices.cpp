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
using sim::Emitted;
using sim::Event;
using sim::Failed;
using sim::Finish;
using sim::Refuse;
using sim::Runtime;

namespace {

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
    auto fail = [&](uint32_t error) {
        return Failed(e.Str("result", "INVALID_HANDLE_VALUE"), error, INVALID_HANDLE_VALUE);
    };
    if (sim::CallFails(Call::SetupDiGetClassDevsA)) return fail(rt.last_error);
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) return fail(ERROR_INVALID_PARAMETER);
    std::vector<size_t> members;
    for (size_t i = 0; i < rt.m.devices.size(); ++i)
        if (rt.m.devices[i].present || !(flags & DIGCF_PRESENT)) members.push_back(i);
    uintptr_t handle = rt.next_set;
    rt.next_set += 0x10;
    e.Str("result", sim::PointerText(reinterpret_cast<void*>(handle)))
        .Num("devices", static_cast<int64_t>(members.size()));
    rt.device_sets[handle] = std::move(members);
    return Emitted(e, reinterpret_cast<HDEVINFO>(handle));
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    Event e = sim::CallEvent(Call::SetupDiEnumDeviceInfo);
    e.Str("args.set", sim::PointerText(set)).Num("args.index", index);
    if (sim::CallFails(Call::SetupDiEnumDeviceInfo)) return Finish(e, false, FALSE);
    const std::vector<size_t>* members = SetOf(set);
    if (!members) return Refuse(e, ERROR_INVALID_HANDLE, FALSE);
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return Refuse(e, ERROR_INVALID_USER_BUFFER, FALSE);
    if (index >= members->size()) return Refuse(e, ERROR_NO_MORE_ITEMS, FALSE);
    memset(&data->ClassGuid, 0, sizeof data->ClassGuid);
    data->DevInst = static_cast<DWORD>((*members)[index] + 1);
    data->Reserved = 0;
    e.Num("device", data->DevInst);
    return Finish(e, true, TRUE);
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
        return Finish(e, ok, ok ? TRUE : FALSE);
    };
    auto refuse = [&](uint32_t error) {
        sim::Current().last_error = error;
        return finish(false);
    };
    if (sim::CallFails(Call::SetupDiGetDeviceRegistryPropertyA)) return finish(false);
    Runtime& rt = sim::Current();
    if (!SetOf(set)) return refuse(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0 ||
        data->DevInst > rt.m.devices.size())
        return refuse(ERROR_INVALID_PARAMETER);
    if (!buffer && size) return refuse(ERROR_INVALID_USER_BUFFER);
    const sim::Device& device = rt.m.devices[data->DevInst - 1];
    if (property == SPDRP_HARDWAREID && device.read_error) return refuse(device.read_error);
    if (property != SPDRP_HARDWAREID || !device.hardware_ids) return refuse(ERROR_INVALID_DATA);
    const sim::Bytes& ids = *device.hardware_ids;
    DWORD reported = device.reported_size ? *device.reported_size : static_cast<DWORD>(ids.size());
    if (required) *required = reported;
    if (regType) *regType = REG_MULTI_SZ;
    bool size_query = !buffer && size == 0;
    if (device.insufficient_forever ||
        (size < reported && !(size_query && device.size_query_succeeds)))
        return refuse(ERROR_INSUFFICIENT_BUFFER);
    if (buffer) memcpy(buffer, ids.data(), std::min<size_t>(ids.size(), reported));
    return finish(true);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    Event e = sim::CallEvent(Call::SetupDiDestroyDeviceInfoList);
    e.Str("args.set", sim::PointerText(set));
    if (sim::CallFails(Call::SetupDiDestroyDeviceInfoList)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    if (!rt.device_sets.erase(reinterpret_cast<uintptr_t>(set)))
        return Refuse(e, ERROR_INVALID_HANDLE, FALSE);
    return Finish(e, true, TRUE);
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
    if (sim::CallFails(Call::UpdateDriverForPlugAndPlayDevicesA)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    if (!hardwareId || !infPath) return Refuse(e, ERROR_INVALID_PARAMETER, FALSE);
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
        if (p.kind == sim::UpdatePrediction::kFails) return Refuse(e, p.error, FALSE);
    }
    if (rebootRequired) *rebootRequired = rt.m.update.reboot ? TRUE : FALSE;
    e.Flag("reboot_needed", rt.m.update.reboot);
    return Finish(e, true, TRUE);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    Event e = sim::CallEvent(Call::GetProcAddress);
    e.Str("args.module", sim::PointerText(module)).StrOrNull("args.name", name);
    Runtime& rt = sim::Current();
    auto fail = [&](uint32_t error) { return Failed(e.Null("result"), error, FARPROC{NULL}); };
    if (sim::CallFails(Call::GetProcAddress)) return fail(rt.last_error);
    auto it = rt.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == rt.modules.end()) return fail(ERROR_INVALID_HANDLE);
    const sim::Module& mod = rt.m.modules[it->second.index];
    std::string wanted = name ? name : "";
    e.Str("library", it->second.path);
    FARPROC proc = mod.missing.count(wanted) ? nullptr : sim::FindExport(mod.name, wanted);
    if (!proc) return fail(ERROR_PROC_NOT_FOUND);
    rt.Emit(e.Str("result", "found"));
    return proc;
}

}  // namespace sim::impl
