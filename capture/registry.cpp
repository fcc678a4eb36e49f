// Windows 98, 98 SE and ME: the INF folders the package is copied into,
// OtherDevicePath, and the device keys under Enum\PCI with the whole tree
// of each controller's key.
#include "capture/capture.h"
#include "capture/output.h"
#include "common/product.h"

static const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
static const char kPciBranch[] = "Enum\\PCI";

// The files setup.exe copies, by the folder below the Windows directory
// they go to.
static const char* const kTargets[] = {
    INF_DIR INF_98,    INF_DIR INF_98SE,         INF_DIR CATALOG_98SE,
    INF_DIR OTHER_DIR, INF_DIR OTHER_DIR INF_ME, INF_DIR OTHER_DIR CATALOG_ME,
};

// Registry keys are at most 512 levels of 255 characters.
static char g_keyPath[512 * 256 + 16];
static char g_valueName[16384];
static BYTE* g_data;
static DWORD g_capacity;

// Makes the data buffer at least `size` bytes. FALSE when there is no
// memory for it.
static BOOL Room(DWORD size) {
    if (size <= g_capacity && g_data) return TRUE;
    if (g_data) LocalFree(g_data);
    g_capacity = size < 1024 ? 1024 : size;
    g_data = (BYTE*)LocalAlloc(LMEM_FIXED, g_capacity);
    if (!g_data) g_capacity = 0;
    return g_data != NULL;
}

// A [[values]] entry: the value's bytes, or the status that kept them from
// being read. A string with its one closing NUL is written as text.
static void PutValue(const char* key, const char* name, DWORD type, const BYTE* data, DWORD size,
                     LONG status) {
    Put("\n[[values]]\n");
    PutTextLine("key", key);
    PutTextLine("name", name);
    if (status != ERROR_SUCCESS) {
        PutErrorLine("error", (DWORD)status);
        return;
    }
    BOOL text = (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0 && !data[size - 1] &&
                strlen((const char*)data) == size - 1;
    if (text) {
        Put("text = ");
        PutText((const char*)data, size - 1);
    } else {
        Put("hex = ");
        PutHex(data, size, TRUE);
    }
    Put("\n");
    if (!text || type != REG_SZ) PutNumberLine("type", type);
}

// OtherDevicePath, read whole however long it is.
static void CaptureOtherDevicePath(void) {
    HKEY key;
    LONG status = RegOpenKeyA(HKEY_LOCAL_MACHINE, kCurrentVersion, &key);
    if (status != ERROR_SUCCESS) {
        Put("\n[[keys]]\n");
        PutTextLine("path", kCurrentVersion);
        PutErrorLine("error", (DWORD)status);
        return;
    }
    DWORD type = 0, size = 0;
    status = RegQueryValueExA(key, "OtherDevicePath", NULL, &type, NULL, &size);
    if (status == ERROR_SUCCESS) {
        if (Room(size))
            status = RegQueryValueExA(key, "OtherDevicePath", NULL, &type, g_data, &size);
        else
            status = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (status == ERROR_FILE_NOT_FOUND)
        Put("\n# no OtherDevicePath\n");
    else
        PutValue(kCurrentVersion, "OtherDevicePath", type, g_data, size, status);
    RegCloseKey(key);
}

// The values of the open key at g_keyPath.
static void CaptureValues(HKEY key) {
    if (!g_data) {
        PutErrorNote("values", ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    for (DWORD index = 0;; ++index) {
        DWORD type = 0, nameSize, size;
        LONG status;
        do {
            nameSize = sizeof g_valueName;
            size = g_capacity;
            status = RegEnumValueA(key, index, g_valueName, &nameSize, NULL, &type, g_data, &size);
            // Too small for the data: once more with room for it.
        } while (status == ERROR_MORE_DATA && size > g_capacity && Room(size));
        if (status == ERROR_NO_MORE_ITEMS) return;
        if (status != ERROR_SUCCESS && nameSize >= sizeof g_valueName) {
            // Not even the name was had: the walk of the values ends here.
            PutErrorNote("more values", (DWORD)status);
            return;
        }
        PutValue(g_keyPath, g_valueName, type, g_data, size, status);
    }
}

// A [[keys]] entry for g_keyPath, opened from `parent` by `name`, with its
// values, then its subkeys in their order, depth first.
static void CaptureTree(HKEY parent, const char* name) {
    Put("\n[[keys]]\n");
    PutTextLine("path", g_keyPath);
    HKEY key;
    LONG status = RegOpenKeyA(parent, name, &key);
    if (status != ERROR_SUCCESS) {
        PutErrorLine("error", (DWORD)status);
        return;
    }
    CaptureValues(key);
    size_t length = strlen(g_keyPath);
    char sub[260];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof sub;
        status = RegEnumKeyExA(key, index, sub, &size, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS) break;
        g_keyPath[length] = '\\';
        strcpy(g_keyPath + length + 1, sub);
        CaptureTree(key, sub);
        g_keyPath[length] = '\0';
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        PutErrorNote("more subkeys", (DWORD)status);
    }
    RegCloseKey(key);
}

// setup.exe's test: the name begins with either model's device-key prefix,
// letter case as it is.
static BOOL IsControllerKey(const char* name) {
    return strncmp(name, CONTROLLER_KEY(FIRST_MODEL), CONTROLLER_KEY_LENGTH) == 0 ||
           strncmp(name, CONTROLLER_KEY(SECOND_MODEL), CONTROLLER_KEY_LENGTH) == 0;
}

static void CapturePci(void) {
    HKEY pci;
    LONG status = RegOpenKeyA(HKEY_LOCAL_MACHINE, kPciBranch, &pci);
    if (status == ERROR_FILE_NOT_FOUND) {
        Put("\n# no Enum\\PCI\n");
        return;
    }
    Put("\n# Enum\\PCI, each controller key with its tree\n[[keys]]\n");
    PutTextLine("path", kPciBranch);
    if (status != ERROR_SUCCESS) {
        PutErrorLine("error", (DWORD)status);
        return;
    }
    char name[260];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        status = RegEnumKeyExA(pci, index, name, &size, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS) break;
        strcpy(g_keyPath, kPciBranch);
        strcat(g_keyPath, "\\");
        strcat(g_keyPath, name);
        if (IsControllerKey(name)) {
            CaptureTree(pci, name);
        } else {
            Put("\n[[keys]]\n");
            PutTextLine("path", g_keyPath);
        }
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        PutErrorNote("more keys", (DWORD)status);
    }
    RegCloseKey(pci);
}

void CaptureLegacy(const Captured* machine) {
    Room(1024);
    if (machine->windows) {
        Put("\n# The INF folders\n");
        for (size_t i = 0; i < sizeof kTargets / sizeof kTargets[0]; ++i)
            CaptureFile(PathIn(1, machine->windows, kTargets[i] + 1), TRUE);
    }
    CaptureOtherDevicePath();
    CapturePci();
    if (g_data) LocalFree(g_data);
    g_data = NULL;
    g_capacity = 0;
}
