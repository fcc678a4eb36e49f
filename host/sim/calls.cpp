#include "host/sim/calls.h"

namespace sim {

namespace {
constexpr unsigned kAll = kStartup | kLegacy | kNt;
}  // namespace

const HostCall kHostCalls[] = {
    // kernel32: version, locale, directories, files
    {"GetVersionExA", "kernel32.dll", true, 87, kAll,
     "args: size (dwOSVersionInfoSize); result; platform, major, minor, build_number", nullptr},
    {"GetSystemDefaultLCID", "kernel32.dll", false, 0, kStartup, "result: the locale",
     "it cannot fail on Windows; set `locale` instead"},
    {"GetCurrentDirectoryA", "kernel32.dll", true, 5, kAll,
     "args: size; result (length, or the size needed); the directory", nullptr},
    {"GetWindowsDirectoryA", "kernel32.dll", true, 5, kLegacy,
     "args: size; result (length, or the size needed); the directory", nullptr},
    {"GetSystemDirectoryA", "kernel32.dll", true, 5, kNt,
     "args: size; result (length, or the size needed); the directory", nullptr},
    {"SetCurrentDirectoryA", "kernel32.dll", true, 5, kLegacy,
     "args: path; result; error; the directory entered", nullptr},
    {"CreateDirectoryA", "kernel32.dll", true, 5, kLegacy, "args: path, security; result; error",
     nullptr},
    {"CopyFileA", "kernel32.dll", true, 5, kLegacy,
     "args: from, to, fail_if_exists; result; error; bytes copied, whether a file was replaced",
     nullptr},
    // kernel32: modules
    {"LoadLibraryA", "kernel32.dll", true, 126, kNt,
     "args: name; result (handle); error; the file loaded, whether it was planted", nullptr},
    {"GetProcAddress", "kernel32.dll", true, 127, kNt,
     "args: module, name; result (found or not); error", nullptr},
    {"FreeLibrary", "kernel32.dll", true, 6, kNt, "args: module; result; the file unloaded",
     nullptr},
    // kernel32: errors, memory, message texts
    {"GetLastError", "kernel32.dll", false, 0, kNt, "nothing (it only reads)",
     "it cannot fail on Windows"},
    {"SetLastError", "kernel32.dll", false, 0, kNt, "args: code", "it cannot fail on Windows"},
    {"FormatMessageA", "kernel32.dll", true, 8, kNt,
     "args: flags, source, message_id, language, size; result (length); error; the text", nullptr},
    {"LocalAlloc", "kernel32.dll", true, 8, kAll, "args: flags, bytes; result (block); error",
     nullptr},
    {"LocalFree", "kernel32.dll", false, 0, kAll, "args: block; result (NULL when freed)",
     "the program does not look at its result, so a failure could not be seen"},
    // user32
    {"MessageBoxA", "user32.dll", true, 8, kAll,
     "args: owner, text, caption, type; result (the answer)", nullptr},
    {"LoadStringA", "user32.dll", true, 1814, kStartup, "args: id, size; result (length); the text",
     nullptr},
    {"ExitWindowsEx", "user32.dll", true, 5, kLegacy, "args: flags, reserved; result", nullptr},
    // advapi32
    {"RegOpenKeyA", "advapi32.dll", true, 5, kLegacy, "args: key, subkey; result (status)",
     nullptr},
    {"RegQueryValueExA", "advapi32.dll", true, 5, kLegacy,
     "args: key, name, size; result (status); type and size stored", nullptr},
    {"RegSetValueExA", "advapi32.dll", true, 5, kLegacy,
     "args: key, name, reserved, type, data, size; result (status)", nullptr},
    {"RegEnumKeyExA", "advapi32.dll", true, 5, kLegacy,
     "args: key, index, size; result (status); the name", nullptr},
    {"RegDeleteKeyA", "advapi32.dll", true, 5, kLegacy,
     "args: key, subkey; result (status); the keys removed", nullptr},
    {"RegCloseKey", "advapi32.dll", true, 5, kLegacy, "args: key; result (status)", nullptr},
    // msvcrt
    {"fopen", "msvcrt.dll", true, 5, kStartup, "args: path, mode; result (opened or not)", nullptr},
    // setupapi.dll, loaded at run time
    {"SetupDiGetClassDevsA", "setupapi.dll", true, 8, kNt,
     "args: class, enumerator, parent, flags; result (set); devices in it", nullptr},
    {"SetupDiEnumDeviceInfo", "setupapi.dll", true, 8, kNt, "args: set, index; result; error",
     nullptr},
    {"SetupDiGetDeviceRegistryPropertyA", "setupapi.dll", true, 8, kNt,
     "args: set, device, property, size; result; error; size required", nullptr},
    {"SetupDiDestroyDeviceInfoList", "setupapi.dll", true, 6, kNt, "args: set; result", nullptr},
    {"CM_Reenumerate_DevNode", "setupapi.dll", false, 0, 0, "a call is a finding",
     "the program resolves it but never calls it"},
    {"CM_Locate_DevNodeA", "setupapi.dll", false, 0, 0, "a call is a finding",
     "the program resolves it but never calls it"},
    {"SetupDiCallClassInstaller", "setupapi.dll", false, 0, 0, "a call is a finding",
     "the program resolves it but never calls it"},
    // newdev.dll, loaded at run time
    {"UpdateDriverForPlugAndPlayDevicesA", "newdev.dll", true, 5, kNt,
     "args: parent, hardware_id, inf, flags, reboot (the flag's value at the call); result; "
     "error; whether a restart is needed",
     nullptr},
};

const size_t kHostCallCount = sizeof kHostCalls / sizeof kHostCalls[0];

int HostCallIndex(const std::string& name) {
    for (size_t i = 0; i < kHostCallCount; ++i)
        if (name == kHostCalls[i].name) return static_cast<int>(i);
    return -1;
}

const HostCall* FindHostCall(const std::string& name) {
    int i = HostCallIndex(name);
    return i < 0 ? nullptr : &kHostCalls[i];
}

std::string FaultableCallNames() {
    std::string out;
    for (size_t i = 0; i < kHostCallCount; ++i)
        if (kHostCalls[i].can_fail)
            out += (out.empty() ? "" : ", ") + std::string(kHostCalls[i].name);
    return out;
}

}  // namespace sim
