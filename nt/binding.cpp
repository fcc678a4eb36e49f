// The binding of setupapi.dll: the program does not import the device-
// installation interfaces, so that it also starts on Windows 98, and
// resolves them by name when the NT flow runs.
#include "common/messages.h"
#include "nt/nt.h"

FARPROC g_setupEntries[SETUP_ENTRY_COUNT];

#define SETUP_ENTRY_ROW(index, name, shown, search) {name, shown},
const SetupEntry g_setupEntryTable[SETUP_ENTRY_COUNT] = {SETUP_ENTRY_LIST(SETUP_ENTRY_ROW)};
#undef SETUP_ENTRY_ROW

HMODULE LoadSystemLibrary(const char* name) {
    char path[PATH_BUFFER];
    UINT length = GetSystemDirectoryA(path, PATH_BUFFER);
    // 0 is a failure; PATH_BUFFER or more is the size the directory would
    // need, and the buffer was left unfilled.
    if (length == 0 || length >= PATH_BUFFER) return NULL;
    RemoveTrailingBackslash(path);
    if (!JoinPath(path, path, name)) return NULL;
    return LoadLibraryA(path);
}

HMODULE BindSetupLibrary(void) {
    HMODULE library = LoadSystemLibrary(SETUP_LIBRARY);
    if (!library) return NULL;
    // Every missing entry gets its own box; the binding goes on regardless.
    for (int i = 0; i < SETUP_ENTRY_COUNT; ++i) {
        g_setupEntries[i] = GetProcAddress(library, g_setupEntryTable[i].name);
        if (!g_setupEntries[i]) ShowBox(g_setupEntryTable[i].shown, MB_OK);
    }
    return library;
}

BOOL SearchEntriesBound(void) {
    for (int i = 0; i < SETUP_ENTRY_COUNT; ++i)
        if ((SETUP_SEARCH_ENTRIES >> i & 1) && !g_setupEntries[i]) return FALSE;
    return TRUE;
}

void UnbindSetupLibrary(HMODULE library) {
    // The table is left as it is: nothing uses it after this.
    if (library) FreeLibrary(library);
}
