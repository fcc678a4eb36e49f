// Windows 2000 and XP: setupapi.dll and newdev.dll as setup.exe loads them
// (by full path from the system directory), copies of them planted in the
// package folder, and the present devices with their hardware identifiers.
#include "capture/capture.h"
#include "capture/output.h"
#include "nt/nt.h"

// The entry points setup.exe resolves in setupapi.dll, in its order.
#define SETUP_ENTRY_NAME(index, name, shown, search) name,
static const char* const kSetupEntries[SETUP_ENTRY_COUNT] = {SETUP_ENTRY_LIST(SETUP_ENTRY_NAME)};
#undef SETUP_ENTRY_NAME

static const char* const kUpdateEntry[] = {UPDATE_ENTRY};

// A [modules."NAME"] table: whether the library is there, loads, and which
// of `entries` it lacks. Returns the library, loaded, or NULL.
static HMODULE CaptureLibrary(const char* system, const char* name, const char* const* entries,
                              int count, FARPROC* found) {
    const char* path = PathIn(0, system, name);
    Put("\n[modules.\"");
    Put(name);
    Put("\"]\n");
    HMODULE library = LoadLibraryA(path);
    if (!library) {
        DWORD error = GetLastError();
        DWORD attributes = LookAt(path);
        DWORD missing = GetLastError();
        if (attributes == INVALID_FILE_ATTRIBUTES
                ? missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND
                : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            Put("present = false\n");
        } else {
            Put("loads = false\n");
            PutErrorNote("LoadLibraryA", error);
        }
        return NULL;
    }
    Put("loads = true\n");
    BOOL any = FALSE;
    for (int i = 0; i < count; ++i) {
        found[i] = GetProcAddress(library, entries[i]);
        if (found[i]) continue;
        Put(any ? ", \"" : "missing = [\"");
        Put(entries[i]);
        Put("\"");
        any = TRUE;
    }
    if (any) Put("]\n");
    return library;
}

// Whether `list` is a list of identifiers as a machine file writes them:
// entries that are not empty, each followed by a NUL, and a closing NUL.
static BOOL IsPlainList(const BYTE* list, DWORD size) {
    DWORD at = 0;
    while (at < size && list[at]) {
        while (at < size && list[at]) ++at;
        if (at == size) return FALSE;
        ++at;
    }
    return at + 1 == size;
}

static void PutList(const BYTE* list, DWORD size) {
    if (!IsPlainList(list, size)) {
        Put("hex = ");
        PutHex(list, size, FALSE);
        Put("\n");
        return;
    }
    Put("ids = [");
    for (DWORD at = 0; list[at]; at += (DWORD)strlen((const char*)list + at) + 1) {
        if (at) Put(", ");
        PutCText((const char*)list + at);
    }
    Put("]\n");
}

// A [[devices]] entry: the hardware-identifier property read the way
// setup.exe reads it (a size query, then reads with the size asked for),
// with whatever the reads showed.
static void CaptureDevice(HDEVINFO set, PSP_DEVINFO_DATA device, FARPROC entry) {
    SetupDiGetDeviceRegistryPropertyA_t getProperty =
        (SetupDiGetDeviceRegistryPropertyA_t)(void (*)(void))entry;
    Put("\n[[devices]]\n");
    BYTE* list = NULL;
    DWORD capacity = 0, required = 0;
    BOOL sizeQuerySucceeds = FALSE;
    for (int reads = 0; reads < MAX_LIST_READS; ++reads) {
        required = 0;
        if (getProperty(set, device, SPDRP_HARDWAREID, NULL, list, capacity, &required)) {
            if (list) {
                PutList(list, required < capacity ? required : capacity);
                if (sizeQuerySucceeds) Put("size_query_succeeds = true\n");
                LocalFree(list);
                return;
            }
            sizeQuerySucceeds = TRUE;
        } else {
            DWORD error = GetLastError();
            if (error != ERROR_INSUFFICIENT_BUFFER) {
                if (reads == 0 && error == ERROR_INVALID_DATA)
                    Put("no_ids = true\n");
                else
                    PutErrorLine("error", error);
                if (list) LocalFree(list);
                return;
            }
        }
        if (list) LocalFree(list);
        list = NULL;
        capacity = 0;
        if (required == 0) {
            if (sizeQuerySucceeds) Put("hex = \"\"\nsize_query_succeeds = true\n");
            break;
        }
        list = (BYTE*)LocalAlloc(LPTR, required);
        if (!list) {
            // setup.exe passes over a device whose list it cannot hold, as
            // over one without identifiers.
            Put("no_ids = true\n");
            PutErrorNote("its list", ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        capacity = required;
    }
    if (list) LocalFree(list);
    if (required != 0 || !sizeQuerySucceeds) {
        Put("hex = \"\"\ninsufficient_forever = true\n");
        PutNumberLine("reported_size", required);
    }
}

static void CaptureDevices(FARPROC* entries) {
    Put("\n# The present devices\n");
    HDEVINFO set = ((SetupDiGetClassDevsA_t)(void (*)(void))entries[SETUP_GET_CLASS_DEVS])(
        NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        PutErrorNote("SetupDiGetClassDevsA", GetLastError());
        return;
    }
    SetupDiEnumDeviceInfo_t enumDevice =
        (SetupDiEnumDeviceInfo_t)(void (*)(void))entries[SETUP_ENUM_DEVICE_INFO];
    SP_DEVINFO_DATA device;
    memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    for (DWORD index = 0;; ++index) {
        if (!enumDevice(set, index, &device)) {
            DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS) {
                PutErrorNote("SetupDiEnumDeviceInfo", error);
            }
            break;
        }
        CaptureDevice(set, &device, entries[SETUP_GET_DEVICE_REGISTRY_PROPERTY]);
    }
    ((SetupDiDestroyDeviceInfoList_t)(void (*)(void))entries[SETUP_DESTROY_DEVICE_INFO_LIST])(set);
}

const char* const kPlantedLibraries[PLANTED_LIBRARY_COUNT] = {&SETUP_LIBRARY[1],
                                                              &NEWDEV_LIBRARY[1]};

void CaptureNt(const Captured* machine) {
    if (machine->current) {
        for (int i = 0; i < PLANTED_LIBRARY_COUNT; ++i) {
            DWORD attributes = LookAt(PathIn(0, machine->current, kPlantedLibraries[i]));
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
                continue;
            Put("\n[[planted]]\n");
            PutTextLine("name", kPlantedLibraries[i]);
        }
    }
    if (!machine->system) return;
    FARPROC entries[SETUP_ENTRY_COUNT], update[1];
    HMODULE setupapi = CaptureLibrary(machine->system, kPlantedLibraries[0], kSetupEntries,
                                      SETUP_ENTRY_COUNT, entries);
    HMODULE newdev = CaptureLibrary(machine->system, kPlantedLibraries[1], kUpdateEntry, 1, update);
    if (newdev) FreeLibrary(newdev);
    if (!setupapi) return;
    // setup.exe's own test: every entry the search calls is there.
    BOOL searchable = TRUE;
    for (int i = 0; i < SETUP_ENTRY_COUNT; ++i)
        if ((SETUP_SEARCH_ENTRIES >> i & 1) && !entries[i]) searchable = FALSE;
    if (searchable)
        CaptureDevices(entries);
    else
        Put("\n# no device list without those entries\n");
    FreeLibrary(setupapi);
}
