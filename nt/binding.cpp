// The binding of setupapi.dll: the program does not import the device-
// installation interfaces, so that it also starts on Windows 98, and
// resolves them by name when the NT flow runs.
#include "app/messages.h"
#include "nt/nt.h"

FARPROC g_setupEntries[SETUP_ENTRY_COUNT];

// The name each entry point is resolved by, and the text of the box shown
// when it is missing, in binding order.
static const char* const kSetupEntries[SETUP_ENTRY_COUNT][2] = {
    {"CM_Reenumerate_DevNode", "CM_Reenumerate_DevNode"},
    {"CM_Locate_DevNodeA", "CM_Locate_DevNode"},
    {"SetupDiDestroyDeviceInfoList", "SetupDiDestroyDeviceInfoList"},
    {"SetupDiGetDeviceRegistryPropertyA", "SetupDiGetDeviceRegistryProperty"},
    {"SetupDiEnumDeviceInfo", "SetupDiEnumDeviceInfo"},
    {"SetupDiGetClassDevsA", "SetupDiGetClassDevs"},
    {"SetupDiCallClassInstaller", "SetupDiCallClassInstaller"},
};

HMODULE LoadSystemLibrary(const char* name) {
    char path[PATH_BUFFER];
    UINT length = GetSystemDirectoryA(path, PATH_BUFFER);
    // 0 is a failure; PATH_BUFFER or more is the size the directory would
    // need, and the buffer was left unfilled.
    if (length == 0 || length >= PATH_BUFFER) return NULL;
    length = (UINT)strlen(path);
    if (length > 0 && path[length - 1] == '\\') path[length - 1] = '\0';
    if (!JoinPath(path, path, name)) return NULL;
    return LoadLibraryA(path);
}

HMODULE BindSetupLibrary(void) {
    HMODULE library = LoadSystemLibrary("\\setupapi.dll");
    if (!library) return NULL;
    // Every missing entry gets its own box; the binding goes on regardless.
    for (int i = 0; i < SETUP_ENTRY_COUNT; ++i) {
        g_setupEntries[i] = GetProcAddress(library, kSetupEntries[i][0]);
        if (!g_setupEntries[i]) ShowBox(kSetupEntries[i][1], MB_OK);
    }
    return library;
}

BOOL SearchEntriesBound(void) {
    for (int i = SETUP_DESTROY_DEVICE_INFO_LIST; i <= SETUP_GET_CLASS_DEVS; ++i)
        if (!g_setupEntries[i]) return FALSE;
    return TRUE;
}

void UnbindSetupLibrary(HMODULE library) {
    // The table is left as it is: nothing uses it after this.
    if (library) FreeLibrary(library);
}
