// The device registry reset of the legacy platform. It makes sure the
// platform has a directory to search for INF files of new devices, then
// deletes the enumeration keys of both controller models under Enum\PCI, so
// that the controllers are detected afresh, with the staged INF files, at the
// next start.
#include "common/paths.h"
#include "common/product.h"
#include "legacy/legacy.h"

// Registry key names are at most 255 characters; fetches use 260 bytes.
#define KEY_NAME_BUFFER 260
// How deep below a controller key the subkeys-first deletion goes.
#define MAX_TREE_DEPTH 8

static const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
static const char kOtherDevicePath[] = "OtherDevicePath";
static const char kPciBranch[] = "Enum\\PCI";

// Device-key prefixes of the two models, compared in this order.
static const char* const kPrefixes[2] = {CONTROLLER_KEY(FIRST_MODEL), CONTROLLER_KEY(SECOND_MODEL)};

// Names of the matched keys, packed one after another with their NULs in one
// block that is replaced by a bigger one when full.
struct KeyList {
    char* names;
    DWORD used;
    DWORD size;
};

// Writes the default OtherDevicePath, the Windows directory's INF\OTHER, when
// the value does not exist. A stored value is kept whatever it holds, also
// when it is too long to be read here (ERROR_MORE_DATA) or cannot be read for
// another reason: replacing it would lose the directories it names.
static void EnsureOtherDevicePath(void) {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kCurrentVersion, &key) != ERROR_SUCCESS) return;
    BYTE stored[MAX_PATH];
    DWORD size = sizeof stored;
    if (RegQueryValueExA(key, kOtherDevicePath, NULL, NULL, stored, &size) ==
        ERROR_FILE_NOT_FOUND) {
        // A Windows directory too long for the path writes nothing.
        char path[PATH_BUFFER];
        if (GetWindowsDir(path) && JoinPath(path, path, INF_DIR OTHER_DIR))
            RegSetValueExA(key, kOtherDevicePath, 0, REG_SZ, (const BYTE*)path,
                           (DWORD)strlen(path) + 1);
    }
    RegCloseKey(key);
}

// A controller key's name begins with one of the prefixes, case-sensitively;
// a shorter name never matches.
static BOOL IsControllerKey(const char* name) {
    return strncmp(name, kPrefixes[0], CONTROLLER_KEY_LENGTH) == 0 ||
           strncmp(name, kPrefixes[1], CONTROLLER_KEY_LENGTH) == 0;
}

static BOOL Append(KeyList* list, const char* name) {
    DWORD length = (DWORD)strlen(name) + 1;
    DWORD needed = list->used + length;
    if (needed > list->size) {
        DWORD size = needed * 2;
        char* bigger = (char*)LocalAlloc(LMEM_FIXED, size);
        if (!bigger) return FALSE;
        if (list->names) {
            memcpy(bigger, list->names, list->used);
            LocalFree(list->names);
        }
        list->names = bigger;
        list->size = size;
    }
    memcpy(list->names + list->used, name, length);
    list->used = needed;
    return TRUE;
}

// Deletes a key with everything below it. The legacy platform's RegDeleteKeyA
// does that by itself; registries that refuse to delete a key with subkeys
// (the NT kind, and Wine's in Windows 98 mode) get its subkeys deleted first,
// depth-first. Subkeys that cannot be deleted are stepped over, so the walk
// always ends. Returns whether the key is gone.
static BOOL DeleteTree(HKEY parent, const char* name, int depth) {
    if (RegDeleteKeyA(parent, name) == ERROR_SUCCESS) return TRUE;
    HKEY key;
    if (depth >= MAX_TREE_DEPTH || RegOpenKeyA(parent, name, &key) != ERROR_SUCCESS) return FALSE;
    char sub[KEY_NAME_BUFFER];
    DWORD kept = 0;  // subkeys left in place come first in the enumeration
    for (;;) {
        DWORD size = sizeof sub;
        if (RegEnumKeyExA(key, kept, sub, &size, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        if (!DeleteTree(key, sub, depth + 1)) ++kept;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
}

int ResetDeviceRegistry(void) {
    EnsureOtherDevicePath();

    HKEY pci;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kPciBranch, &pci) != ERROR_SUCCESS) return RESET_NONE_FOUND;

    // List every matching key first: deleting while enumerating would shift
    // the indexes. Any failing fetch ends the scan, normally the one past
    // the last subkey.
    KeyList list = {NULL, 0, 0};
    int found = 0;
    BOOL listed = TRUE;
    char name[KEY_NAME_BUFFER];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(pci, index, name, &size, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        if (!IsControllerKey(name)) continue;
        if (!Append(&list, name)) {
            listed = FALSE;
            break;
        }
        ++found;
    }

    // Without room for the whole list nothing is deleted: deleting some of
    // the controllers' keys would leave the machine half reset.
    int result = RESET_NO_MEMORY;
    if (listed) {
        const char* next = list.names;
        for (int i = 0; i < found; ++i) {
            DeleteTree(pci, next, 0);  // results are not examined
            next += strlen(next) + 1;
        }
        result = found > 0 ? RESET_DONE : RESET_NONE_FOUND;
    }
    if (list.names) LocalFree(list.names);
    RegCloseKey(pci);
    return result;
}
