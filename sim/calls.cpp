#include "sim/calls.h"

namespace sim {

namespace {
constexpr unsigned kAll = kStartup | kLegacy | kNt;
}  // namespace

const HostCall kHostCalls[] = {
    // kernel32: version, locale, directories, files
    {"GetVersionExA", "kernel32.dll", true, 87, kAll | kCapture,
     "args: size (dwOSVersionInfoSize); result; platform, major, minor, build_number", nullptr},
    {"GetSystemDefaultLCID", "kernel32.dll", false, 0, kStartup | kCapture, "result: the locale",
     "it cannot fail on Windows; set `locale` instead"},
    {"GetACP", "kernel32.dll", false, 0, kCapture, "result: the ANSI code page",
     "it cannot fail on Windows; set `codepage` instead"},
    {"MultiByteToWideChar", "kernel32.dll", true, 8, kCapture,
     "args: codepage, flags, text, wide_size; result (the characters); error", nullptr},
    {"WideCharToMultiByte", "kernel32.dll", true, 8, kCapture,
     "args: codepage, flags, wide_size, size; result (the bytes); error; the text, whether a "
     "default character was used",
     nullptr},
    {"GetLocalTime", "kernel32.dll", false, 0, kCapture,
     "the time (the simulated clock always reads 2004-11-15 10:30:00)",
     "it cannot fail on Windows"},
    {"GetCurrentDirectoryA", "kernel32.dll", true, 5, kAll | kCapture,
     "args: size; result (length, or the size needed); the directory", nullptr},
    {"GetWindowsDirectoryA", "kernel32.dll", true, 5, kLegacy | kCapture,
     "args: size; result (length, or the size needed); the directory", nullptr},
    {"GetSystemDirectoryA", "kernel32.dll", true, 5, kNt | kCapture,
     "args: size; result (length, or the size needed); the directory", nullptr},
    {"SetCurrentDirectoryA", "kernel32.dll", true, 5, kLegacy,
     "args: path; result; error; the directory entered", nullptr},
    {"CreateDirectoryA", "kernel32.dll", true, 5, kLegacy, "args: path, security; result; error",
     nullptr},
    {"CopyFileA", "kernel32.dll", true, 5, kLegacy,
     "args: from, to, fail_if_exists; result; error; bytes copied, whether a file was replaced",
     nullptr},
    {"GetFileAttributesA", "kernel32.dll", true, 5, kCapture,
     "args: path; result (the attributes, or INVALID_FILE_ATTRIBUTES); error", nullptr},
    // kernel32: modules
    {"LoadLibraryA", "kernel32.dll", true, 126, kNt | kCapture,
     "args: name; result (handle); error; the file loaded, whether it was planted", nullptr},
    {"GetProcAddress", "kernel32.dll", true, 127, kNt | kCapture,
     "args: module, name; result (found or not); error", nullptr},
    {"FreeLibrary", "kernel32.dll", true, 6, kNt | kCapture,
     "args: module; result; the file unloaded", nullptr},
    // kernel32: errors, memory, message texts
    {"GetLastError", "kernel32.dll", false, 0, kNt | kCapture, "nothing (it only reads)",
     "it cannot fail on Windows"},
    {"SetLastError", "kernel32.dll", false, 0, kNt | kCapture, "args: code",
     "it cannot fail on Windows"},
    {"FormatMessageA", "kernel32.dll", true, 8, kNt,
     "args: flags, source, message_id, language, size; result (length); error; the text", nullptr},
    {"LocalAlloc", "kernel32.dll", true, 8, kAll | kCapture,
     "args: flags, bytes; result (block); error", nullptr},
    {"LocalFree", "kernel32.dll", false, 0, kAll | kCapture,
     "args: block; result (NULL when freed)",
     "the program does not look at its result, so a failure could not be seen"},
    // user32
    {"MessageBoxA", "user32.dll", true, 8, kAll,
     "args: owner, text, caption, type; result (the answer)", nullptr},
    {"LoadStringA", "user32.dll", true, 1814, kStartup, "args: id, size; result (length); the text",
     nullptr},
    {"ExitWindowsEx", "user32.dll", true, 5, kLegacy, "args: flags, reserved; result", nullptr},
    {"CharPrevA", "user32.dll", false, 0, kAll,
     "args: text (from the start to the current character); result (the offset of the "
     "character before, counted by the machine's code page)",
     "it cannot fail on Windows; give the machine a double-byte `codepage` or `locale`"},
    // advapi32
    {"RegOpenKeyA", "advapi32.dll", true, 5, kLegacy | kCapture,
     "args: key, subkey; result (status)", nullptr},
    {"RegQueryValueExA", "advapi32.dll", true, 5, kLegacy | kCapture,
     "args: key, name, size; result (status); type and size stored", nullptr},
    {"RegSetValueExA", "advapi32.dll", true, 5, kLegacy,
     "args: key, name, reserved, type, data, size; result (status)", nullptr},
    {"RegEnumKeyExA", "advapi32.dll", true, 5, kLegacy | kCapture,
     "args: key, index, size; result (status); the name", nullptr},
    {"RegEnumValueA", "advapi32.dll", true, 5, kCapture,
     "args: key, index, name_size, data_size; result (status); the name, type and size stored",
     nullptr},
    {"RegDeleteKeyA", "advapi32.dll", true, 5, kLegacy,
     "args: key, subkey; result (status); the keys removed", nullptr},
    {"RegCloseKey", "advapi32.dll", true, 5, kLegacy | kCapture, "args: key; result (status)",
     nullptr},
    // msvcrt
    {"fopen", "msvcrt.dll", true, 5, kStartup | kCapture,
     "args: path, mode; result (opened or not); error", nullptr},
    {"fread", "msvcrt.dll", true, 30, kCapture,
     "args: stream, size, count; result (items read); error", nullptr},
    {"fwrite", "msvcrt.dll", true, 112, kCapture,
     "args: stream, size, count; result (items written); error", nullptr},
    {"ferror", "msvcrt.dll", false, 0, kCapture, "nothing (it only reads)",
     "it only reads the stream's error flag; make fread or fwrite fail instead"},
    {"fclose", "msvcrt.dll", true, 112, kStartup | kCapture,
     "args: stream; result (0, or EOF when the last writes failed); error; a file written appears "
     "in the machine",
     nullptr},
    // setupapi.dll, loaded at run time
    {"SetupDiGetClassDevsA", "setupapi.dll", true, 8, kNt | kCapture,
     "args: class, enumerator, parent, flags; result (set); devices in it", nullptr},
    {"SetupDiEnumDeviceInfo", "setupapi.dll", true, 8, kNt | kCapture,
     "args: set, index; result; error", nullptr},
    {"SetupDiGetDeviceRegistryPropertyA", "setupapi.dll", true, 8, kNt | kCapture,
     "args: set, device, property, size; result; error; size required", nullptr},
    {"SetupDiDestroyDeviceInfoList", "setupapi.dll", true, 6, kNt | kCapture, "args: set; result",
     nullptr},
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
