// The host functions the simulated machine implements, each named once, in
// SIM_HOST_CALLS below. The list makes the call ids (a misspelt call does not
// compile), the table of host calls (which library each comes from, whether a
// fault plan may make it fail, which part of the program calls it, what its
// event records), the replaceable slots that the Windows-named functions call
// through (sim/slots.h), and the exports of the simulated setupapi.dll and
// newdev.dll. Fault names in machine files, `vntrsetup-sim --list-calls`, the
// report and the fault walk all come from the table, so a misspelt fault is
// an error, never a silent no-op.
#ifndef VNTR_SIM_CALLS_H
#define VNTR_SIM_CALLS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// Which parts of the program call a function.
enum CallUser : unsigned {
    kStartup = 1,  // WinMain and the message table, on every platform
    kLegacy = 2,   // the Windows 98/98 SE/ME flow
    kNt = 4,       // the Windows 2000/XP flow
    kCapture = 8,  // the machine capture program (vntrcapture)
    kAll = kStartup | kLegacy | kNt,
    // A setupapi.dll entry point: the program's own binding table (nt/nt.h)
    // says whether the program resolves it and whether its search calls it.
    // The capture lists devices through the entries the search calls.
    kBinding = 16,
};

// One row per host call:
//   X(name, library, event, change, fails, error, users, records, why_not,
//     ret, params, args)
// name     the function's name, as a token
// library  its DLL without ".dll", as a token
// event    the type of the event that records a call; nullptr: none
// change   the type of the event that records what a successful call changes
//          on the machine (a copy, a registry write, a file written by a
//          close...); nullptr: a call changes nothing
// fails    whether a [[faults]] entry may name it
// error    the error of a planned failure that names none
// users    CallUser bits
// records  what its event holds, for --list-calls
// why_not  when it cannot fail: what to use instead
// ret, params, args   its C signature, and the parameters passed on
//
// The msvcrt functions are host.h's Host* replacements of the C library's
// stream functions; setupapi.dll and newdev.dll are loaded at run time and
// reached through GetProcAddress.
#define SIM_HOST_CALLS(X)                                                                         \
    /* kernel32: version, locale, directories, files */                                           \
    X(GetVersionExA, kernel32, "version", nullptr, true, 87, kAll | kCapture,                     \
      "args: size (dwOSVersionInfoSize); result; platform, major, minor, build_number", nullptr,  \
      BOOL, (LPOSVERSIONINFOA info), (info))                                                      \
    X(GetSystemDefaultLCID, kernel32, "locale", nullptr, false, 0, kStartup | kCapture,           \
      "result: the locale", "it cannot fail on Windows; set `locale` instead", LCID, (void), ())  \
    X(GetACP, kernel32, "codepage", nullptr, false, 0, kCapture, "result: the ANSI code page",    \
      "it cannot fail on Windows; set `codepage` instead", UINT, (void), ())                      \
    X(MultiByteToWideChar, kernel32, "widen", nullptr, true, 8, kCapture,                         \
      "args: codepage, flags, text, wide_size; result (the characters); error", nullptr, int,     \
      (UINT codepage, DWORD flags, LPCSTR text, int size, LPWSTR wide, int wideSize),             \
      (codepage, flags, text, size, wide, wideSize))                                              \
    X(WideCharToMultiByte, kernel32, "narrow", nullptr, true, 8, kCapture,                        \
      "args: codepage, flags, wide_size, size; result (the bytes); error; the text, whether a "   \
      "default character was used",                                                               \
      nullptr, int,                                                                               \
      (UINT codepage, DWORD flags, LPCWSTR wide, int wideSize, LPSTR text, int size,              \
       LPCSTR defaultChar, PBOOL usedDefault),                                                    \
      (codepage, flags, wide, wideSize, text, size, defaultChar, usedDefault))                    \
    X(GetLocalTime, kernel32, "time", nullptr, false, 0, kCapture,                                \
      "the time (the simulated clock always reads 2004-11-15 10:30:00)",                          \
      "it cannot fail on Windows", void, (LPSYSTEMTIME time), (time))                             \
    X(GetCurrentDirectoryA, kernel32, "dir", nullptr, true, 5, kAll | kCapture,                   \
      "args: size; result (length, or the size needed); the directory", nullptr, DWORD,           \
      (DWORD size, LPSTR buffer), (size, buffer))                                                 \
    X(GetWindowsDirectoryA, kernel32, "dir", nullptr, true, 5, kLegacy | kCapture,                \
      "args: size; result (length, or the size needed); the directory", nullptr, UINT,            \
      (LPSTR buffer, UINT size), (buffer, size))                                                  \
    X(GetSystemDirectoryA, kernel32, "dir", nullptr, true, 5, kNt | kCapture,                     \
      "args: size; result (length, or the size needed); the directory", nullptr, UINT,            \
      (LPSTR buffer, UINT size), (buffer, size))                                                  \
    X(SetCurrentDirectoryA, kernel32, "chdir", nullptr, true, 5, kLegacy,                         \
      "args: path; result; error; the directory entered", nullptr, BOOL, (LPCSTR path), (path))   \
    X(CreateDirectoryA, kernel32, "mkdir", "mkdir", true, 5, kLegacy,                             \
      "args: path, security; result; error", nullptr, BOOL,                                       \
      (LPCSTR path, LPSECURITY_ATTRIBUTES security), (path, security))                            \
    X(CopyFileA, kernel32, "copy", "copy", true, 5, kLegacy,                                      \
      "args: from, to, fail_if_exists; result; error; bytes copied, whether a file was replaced", \
      nullptr, BOOL, (LPCSTR from, LPCSTR to, BOOL failIfExists), (from, to, failIfExists))       \
    X(GetFileAttributesA, kernel32, "attributes", nullptr, true, 5, kCapture,                     \
      "args: path; result (the attributes, or INVALID_FILE_ATTRIBUTES); error", nullptr, DWORD,   \
      (LPCSTR path), (path))                                                                      \
    X(FindFirstFileA, kernel32, "find_first", nullptr, true, 5, kCapture,                         \
      "args: pattern; result (search handle, or INVALID_HANDLE_VALUE); error; the name found",    \
      nullptr, HANDLE, (LPCSTR pattern, LPWIN32_FIND_DATAA found), (pattern, found))              \
    X(FindNextFileA, kernel32, "find_next", nullptr, true, 5, kCapture,                           \
      "args: search; result; error; the name found", nullptr, BOOL,                               \
      (HANDLE search, LPWIN32_FIND_DATAA found), (search, found))                                 \
    X(FindClose, kernel32, "find_close", nullptr, true, 6, kCapture, "args: search; result",      \
      nullptr, BOOL, (HANDLE search), (search))                                                   \
    /* kernel32: modules */                                                                       \
    X(LoadLibraryA, kernel32, "load", nullptr, true, 126, kNt | kCapture,                         \
      "args: name; result (handle); error; the file loaded, whether it was planted", nullptr,     \
      HMODULE, (LPCSTR name), (name))                                                             \
    X(GetProcAddress, kernel32, "proc", nullptr, true, 127, kNt | kCapture,                       \
      "args: module, name; result (found or not); error", nullptr, FARPROC,                       \
      (HMODULE module, LPCSTR name), (module, name))                                              \
    X(FreeLibrary, kernel32, "unload", nullptr, true, 6, kNt | kCapture,                          \
      "args: module; result; the file unloaded", nullptr, BOOL, (HMODULE module), (module))       \
    /* kernel32: errors, memory, message texts */                                                 \
    X(GetLastError, kernel32, nullptr, nullptr, false, 0, kNt | kCapture,                         \
      "nothing (it only reads)", "it cannot fail on Windows", DWORD, (void), ())                  \
    X(SetLastError, kernel32, "last_error", nullptr, false, 0, kNt | kCapture, "args: code",      \
      "it cannot fail on Windows", void, (DWORD code), (code))                                    \
    X(FormatMessageA, kernel32, "format", nullptr, true, 8, kNt,                                  \
      "args: flags, source, message_id, language, size; result (length); error; the text",        \
      nullptr, DWORD,                                                                             \
      (DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,  \
       va_list * arguments),                                                                      \
      (flags, source, messageId, languageId, buffer, size, arguments))                            \
    X(LocalAlloc, kernel32, "alloc", nullptr, true, 8, kAll | kCapture,                           \
      "args: flags, bytes; result (block); error", nullptr, HLOCAL, (UINT flags, SIZE_T bytes),   \
      (flags, bytes))                                                                             \
    X(LocalFree, kernel32, "free", nullptr, false, 0, kAll | kCapture,                            \
      "args: block; result (NULL when freed)",                                                    \
      "the program does not look at its result, so a failure could not be seen", HLOCAL,          \
      (HLOCAL block), (block))                                                                    \
    /* user32 */                                                                                  \
    X(MessageBoxA, user32, "box", nullptr, true, 8, kAll,                                         \
      "args: owner, text, caption, type; result (the answer); the message shown", nullptr, int,   \
      (HWND owner, LPCSTR text, LPCSTR caption, UINT type), (owner, text, caption, type))         \
    X(LoadStringA, user32, "string", nullptr, true, 1814, kStartup,                               \
      "args: instance, id, size; result (length); the text", nullptr, int,                        \
      (HINSTANCE instance, UINT id, LPSTR buffer, int size), (instance, id, buffer, size))        \
    X(CharPrevA, user32, "char_prev", nullptr, false, 0, kAll | kCapture,                         \
      "args: text (from the start to the current character); result (the offset of the "          \
      "character before, counted by the machine's code page)",                                    \
      "it cannot fail on Windows; give the machine a double-byte `codepage` or `locale`", LPSTR,  \
      (LPCSTR start, LPCSTR current), (start, current))                                           \
    X(ExitWindowsEx, user32, "reboot", "reboot", true, 5, kLegacy,                                \
      "args: flags, reserved; result", nullptr, BOOL, (UINT flags, DWORD reserved),               \
      (flags, reserved))                                                                          \
    /* advapi32 */                                                                                \
    X(RegOpenKeyA, advapi32, "reg_open", nullptr, true, 5, kLegacy | kCapture,                    \
      "args: key, subkey; result (status)", nullptr, LONG,                                        \
      (HKEY key, LPCSTR subKey, PHKEY result), (key, subKey, result))                             \
    X(RegQueryValueExA, advapi32, "reg_query", nullptr, true, 5, kLegacy | kCapture,              \
      "args: key, name, size; result (status); value_type and size stored", nullptr, LONG,        \
      (HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),         \
      (key, name, reserved, type, data, size))                                                    \
    X(RegSetValueExA, advapi32, "reg_set", "reg_set", true, 5, kLegacy,                           \
      "args: key, name, reserved, type, data, size; result (status)", nullptr, LONG,              \
      (HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size),          \
      (key, name, reserved, type, data, size))                                                    \
    X(RegEnumKeyExA, advapi32, "reg_enum", nullptr, true, 5, kLegacy | kCapture,                  \
      "args: key, index, size; result (status); the name", nullptr, LONG,                         \
      (HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,    \
       LPDWORD classSize, PFILETIME lastWrite),                                                   \
      (key, index, name, nameSize, reserved, className, classSize, lastWrite))                    \
    X(RegEnumValueA, advapi32, "reg_enum_value", nullptr, true, 5, kCapture,                      \
      "args: key, index, name_size, data_size; result (status); the name, value_type and size "   \
      "stored",                                                                                   \
      nullptr, LONG,                                                                              \
      (HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type,       \
       LPBYTE data, LPDWORD dataSize),                                                            \
      (key, index, name, nameSize, reserved, type, data, dataSize))                               \
    X(RegDeleteKeyA, advapi32, "reg_delete", "reg_delete", true, 5, kLegacy,                      \
      "args: key, subkey; result (status); the keys removed", nullptr, LONG,                      \
      (HKEY key, LPCSTR subKey), (key, subKey))                                                   \
    X(RegCloseKey, advapi32, "reg_close", nullptr, true, 5, kLegacy | kCapture,                   \
      "args: key; result (status)", nullptr, LONG, (HKEY key), (key))                             \
    /* msvcrt */                                                                                  \
    X(fopen, msvcrt, "open", nullptr, true, 5, kStartup | kCapture,                               \
      "args: path, mode; result (opened or not); error", nullptr, FILE*,                          \
      (const char* path, const char* mode), (path, mode))                                         \
    X(fread, msvcrt, "read", nullptr, true, 30, kCapture,                                         \
      "args: stream, size, count; result (items read); error", nullptr, size_t,                   \
      (void* buffer, size_t size, size_t count, FILE* stream), (buffer, size, count, stream))     \
    X(fwrite, msvcrt, "write", nullptr, true, 112, kCapture,                                      \
      "args: stream, size, count; result (items written); error", nullptr, size_t,                \
      (const void* buffer, size_t size, size_t count, FILE* stream),                              \
      (buffer, size, count, stream))                                                              \
    X(ferror, msvcrt, nullptr, nullptr, false, 0, kCapture, "nothing (it only reads)",            \
      "it only reads the stream's error flag; make fread or fwrite fail instead", int,            \
      (FILE * stream), (stream))                                                                  \
    X(fclose, msvcrt, "close", "file_written", true, 112, kStartup | kCapture,                    \
      "args: stream; result (0, or EOF when the last writes failed); error; a file written "      \
      "appears in the machine",                                                                   \
      nullptr, int, (FILE * stream), (stream))                                                    \
    /* setupapi.dll, loaded at run time */                                                        \
    X(SetupDiGetClassDevsA, setupapi, "call", nullptr, true, 8, kBinding,                         \
      "args: class, enumerator, parent, flags; result (set); devices in it", nullptr, HDEVINFO,   \
      (const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags),                        \
      (classGuid, enumerator, parent, flags))                                                     \
    X(SetupDiEnumDeviceInfo, setupapi, "call", nullptr, true, 8, kBinding,                        \
      "args: set, index; result; error", nullptr, BOOL,                                           \
      (HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data), (set, index, data))                     \
    X(SetupDiGetDeviceRegistryPropertyA, setupapi, "call", nullptr, true, 8, kBinding,            \
      "args: set, device, property, buffer, size; result; error; size required", nullptr, BOOL,   \
      (HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD regType, BYTE * buffer,        \
       DWORD size, PDWORD required),                                                              \
      (set, data, property, regType, buffer, size, required))                                     \
    X(SetupDiDestroyDeviceInfoList, setupapi, "call", nullptr, true, 6, kBinding,                 \
      "args: set; result", nullptr, BOOL, (HDEVINFO set), (set))                                  \
    /* Entry points the simulator has no model of: a call records itself as */                    \
    /* unexpected and returns 0. */                                                               \
    X(CM_Reenumerate_DevNode, setupapi, "unexpected_call", nullptr, false, 0, kBinding,           \
      "the call alone, as an unexpected_call event", "the simulator has no model of it", INT_PTR, \
      (void), ())                                                                                 \
    X(CM_Locate_DevNodeA, setupapi, "unexpected_call", nullptr, false, 0, kBinding,               \
      "the call alone, as an unexpected_call event", "the simulator has no model of it", INT_PTR, \
      (void), ())                                                                                 \
    X(SetupDiCallClassInstaller, setupapi, "unexpected_call", nullptr, false, 0, kBinding,        \
      "the call alone, as an unexpected_call event", "the simulator has no model of it", INT_PTR, \
      (void), ())                                                                                 \
    /* newdev.dll, loaded at run time */                                                          \
    X(UpdateDriverForPlugAndPlayDevicesA, newdev, "install", "install", true, 5, kNt,             \
      "args: parent, hardware_id, inf, flags, reboot (the flag's value at the call); result; "    \
      "error; whether a restart is needed",                                                       \
      nullptr, BOOL,                                                                              \
      (HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags, PBOOL rebootRequired),        \
      (parent, hardwareId, infPath, flags, rebootRequired))

// The id of each host call, in the order of the list.
#define SIM_CALL_ID(name, ...) name,
enum class Call : uint16_t { SIM_HOST_CALLS(SIM_CALL_ID) };
#undef SIM_CALL_ID

// The entry point newdev.dll imports from setupapi.dll: without it in the
// system's setupapi.dll, newdev.dll does not load.
constexpr Call kNewdevImport = Call::SetupDiCallClassInstaller;

struct HostCall {
    const char* name;
    const char* library;
    const char* event;       // the type of its event; null: it records none
    const char* change;      // the type of the event of what it changes; null: nothing
    bool can_fail;           // a [[faults]] entry may name it
    uint32_t default_error;  // the error of a planned failure that names none
    unsigned used_by;        // CallUser bits; 0: the program never calls it
    const char* records;     // what its event holds, for --list-calls
    const char* why_not;     // when it cannot fail: what to use instead
};

extern const HostCall kHostCalls[];
extern const size_t kHostCallCount;

inline const HostCall& Row(Call call) { return kHostCalls[static_cast<size_t>(call)]; }
inline const char* CallName(Call call) { return Row(call).name; }

// The entry of that exact name, or null (for names read from machine files).
const HostCall* FindHostCall(const std::string& name);
int HostCallIndex(const std::string& name);  // -1 when unknown
// "CopyFileA, CreateDirectoryA, ..." of the calls a fault may name.
std::string FaultableCallNames();
// Why a library a machine file describes changes nothing the program can
// see, or "": a library the program never loads (only setupapi.dll and
// newdev.dll, whose entry points sim/slots.cpp exports), or, given
// `entry`, an entry point the program never asks that library for (exact:
// GetProcAddress does not fold case).
std::string UnusedLibraryProblem(const std::string& file, const std::string& entry = "");

// Whether events of this type record a change of the machine (some call's
// `change`).
bool IsChangeType(std::string_view type);

}  // namespace sim

#endif  // VNTR_SIM_CALLS_H
