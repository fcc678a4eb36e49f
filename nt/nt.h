// The NT-platform installation (Windows 2000, XP): the binding of
// setupapi.dll, the controller search and the driver update.
#ifndef VNTR_NT_H
#define VNTR_NT_H

#include "common/paths.h"
#include "host/host.h"

// Binds setupapi.dll, looks for either controller model and installs the
// driver package's INF for the one found.
void RunNtFlow(void);

// The device-installation libraries, loaded from the system directory by
// these names, and the entry point of the second.
#define SETUP_LIBRARY "\\setupapi.dll"
#define NEWDEV_LIBRARY "\\newdev.dll"
#define UPDATE_ENTRY "UpdateDriverForPlugAndPlayDevicesA"

// How often one device's hardware-identifier list is read before the device
// is given up: the size query, then reads with a buffer of the size last
// reported. A list that keeps growing between two reads would otherwise
// hold the search forever.
#define MAX_LIST_READS 5

// setupapi.dll's entry points, resolved by name in this order when the NT
// flow starts. Each row: the index into the binding table, the name it is
// resolved by, the text of the box shown when it is missing, and whether
// the controller search calls it (the others are resolved and reported, but
// never called).
#define SETUP_ENTRY_LIST(X)                                                                    \
    X(SETUP_CM_REENUMERATE_DEVNODE, "CM_Reenumerate_DevNode", "CM_Reenumerate_DevNode", FALSE) \
    X(SETUP_CM_LOCATE_DEVNODE, "CM_Locate_DevNodeA", "CM_Locate_DevNode", FALSE)               \
    X(SETUP_DESTROY_DEVICE_INFO_LIST, "SetupDiDestroyDeviceInfoList",                          \
      "SetupDiDestroyDeviceInfoList", TRUE)                                                    \
    X(SETUP_GET_DEVICE_REGISTRY_PROPERTY, "SetupDiGetDeviceRegistryPropertyA",                 \
      "SetupDiGetDeviceRegistryProperty", TRUE)                                                \
    X(SETUP_ENUM_DEVICE_INFO, "SetupDiEnumDeviceInfo", "SetupDiEnumDeviceInfo", TRUE)          \
    X(SETUP_GET_CLASS_DEVS, "SetupDiGetClassDevsA", "SetupDiGetClassDevs", TRUE)               \
    X(SETUP_CALL_CLASS_INSTALLER, "SetupDiCallClassInstaller", "SetupDiCallClassInstaller", FALSE)

#define SETUP_ENTRY_INDEX(index, name, shown, search) index,
enum { SETUP_ENTRY_LIST(SETUP_ENTRY_INDEX) SETUP_ENTRY_COUNT };
#undef SETUP_ENTRY_INDEX

// The entries the controller search calls, one bit each.
#define SETUP_ENTRY_BIT(index, name, shown, search) | ((search) << (index))
enum { SETUP_SEARCH_ENTRIES = 0 SETUP_ENTRY_LIST(SETUP_ENTRY_BIT) };
#undef SETUP_ENTRY_BIT

struct SetupEntry {
    const char* name;   // the name it is resolved by
    const char* shown;  // the text of the box when it is missing
};
extern const SetupEntry g_setupEntryTable[SETUP_ENTRY_COUNT];

// The binding table: each entry point once resolved, NULL when missing.
extern FARPROC g_setupEntries[SETUP_ENTRY_COUNT];

// An entry of the binding table as a pointer of its own type. The detour
// through void (*)(void) is the conversion the compilers accept between
// unrelated function pointer types without a warning.
#define SETUP_ENTRY(index, type) ((type)(void (*)(void))g_setupEntries[index])

// Loads a library from the system directory, never from the search path:
// the program runs from the driver package's folder, often a writable share
// or removable disk, where a planted copy would otherwise be loaded. `name`
// begins with a backslash. NULL when the library does not load or its path
// would not fit a path buffer.
HMODULE LoadSystemLibrary(const char* name);

// Loads setupapi.dll and resolves the binding table, showing a box that
// names each entry point that is missing. Returns the library, or NULL when
// it did not load (the table then stays empty).
HMODULE BindSetupLibrary(void);
// Whether the four entries the controller search calls were all resolved.
BOOL SearchEntriesBound(void);
void UnbindSetupLibrary(HMODULE library);

// The whole hardware identifier of the matched device, empty when none.
extern char g_hardwareId[PATH_BUFFER];

// Walks the present devices for a hardware identifier that begins with
// `searchId`, ignoring letter case, and keeps the whole identifier of the
// first match in g_hardwareId. Writes the search trace to standard output.
// Needs every entry that SearchEntriesBound() checks.
BOOL SearchController(const char* searchId);

#endif  // VNTR_NT_H
