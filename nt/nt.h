// The NT-platform installation (Windows 2000, XP): the binding of
// setupapi.dll, the controller search and the driver update.
#ifndef VNTR_NT_H
#define VNTR_NT_H

#include "app/paths.h"
#include "host/host.h"

// Binds setupapi.dll, looks for either controller model and installs the
// driver package's INF for the one found.
void RunNtFlow(void);

// The binding table: setupapi.dll's entry points, resolved by name in this
// order. An entry that could not be resolved stays NULL.
enum {
    SETUP_CM_REENUMERATE_DEVNODE,
    SETUP_CM_LOCATE_DEVNODE,
    SETUP_DESTROY_DEVICE_INFO_LIST,
    SETUP_GET_DEVICE_REGISTRY_PROPERTY,
    SETUP_ENUM_DEVICE_INFO,
    SETUP_GET_CLASS_DEVS,
    SETUP_CALL_CLASS_INSTALLER,
    SETUP_ENTRY_COUNT
};
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
