// The controller search: walks the present devices of every class and
// their hardware-identifier lists for an identifier that begins with the
// one searched for, and writes a trace of the walk to standard output.
#include "nt/nt.h"

char g_hardwareId[PATH_BUFFER];

// Outcomes of reading a device's hardware-identifier list.
#define LIST_READ 0   // the list is in the buffer
#define LIST_SKIP 1   // nothing to walk: go on with the next device
#define LIST_ERROR 2  // a failure that ends the search

// Writes "<operation> FAILURE: <system text>" for the thread's last-error
// code, or the code in hexadecimal when the system has no text for it, and
// leaves the code as it found it.
static void WriteFailure(const char* operation) {
    DWORD code = GetLastError();
    char* text = NULL;
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL, code,
                       LANG_USER_DEFAULT, (LPSTR)&text, 0, NULL) &&
        text)
        printf("%s FAILURE: %s\n", operation, text);
    else
        printf("%s FAILURE: (0x%08x)\n", operation, (unsigned)code);
    if (text) LocalFree(text);
    SetLastError(code);
}

static void DestroyDeviceSet(HDEVINFO set) {
    DWORD code = GetLastError();
    SETUP_ENTRY(SETUP_DESTROY_DEVICE_INFO_LIST, SetupDiDestroyDeviceInfoList_t)(set);
    SetLastError(code);
}

// Upper-cases the ASCII letters only, whatever the user's locale: hardware
// identifiers are ASCII, and a byte above 0x7F is compared as it is.
static char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

static BOOL SamePrefix(const char* entry, const char* searchId, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (AsciiUpper(entry[i]) != AsciiUpper(searchId[i])) return FALSE;
    return TRUE;
}

// Reads the device's hardware-identifier list into a zero-filled block of
// the size the system asks for. On LIST_READ, *list holds the block (for
// the caller to free) and *size the size of the list in it.
static int ReadHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, char** list, DWORD* size) {
    SetupDiGetDeviceRegistryPropertyA_t getProperty =
        SETUP_ENTRY(SETUP_GET_DEVICE_REGISTRY_PROPERTY, SetupDiGetDeviceRegistryPropertyA_t);
    char* buffer = NULL;
    DWORD capacity = 0;
    for (int reads = 0; reads < MAX_LIST_READS; ++reads) {
        DWORD required = 0;
        if (getProperty(set, device, SPDRP_HARDWAREID, NULL, (BYTE*)buffer, capacity, &required)) {
            // A size query that succeeds leaves nothing to walk.
            if (!buffer) return LIST_SKIP;
            *list = buffer;
            *size = required < capacity ? required : capacity;
            return LIST_READ;
        }
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_INVALID_DATA)
            WriteFailure("GetDeviceRegistryProperty");
        if (buffer) LocalFree(buffer);
        buffer = NULL;
        // ERROR_INVALID_DATA: the device has no hardware identifiers.
        if (error == ERROR_INVALID_DATA) return LIST_SKIP;
        if (error != ERROR_INSUFFICIENT_BUFFER) return LIST_ERROR;
        // Too small again: read once more with the size now asked for,
        // unless that is nothing or the reads are used up.
        if (required == 0 || reads + 1 == MAX_LIST_READS) return LIST_SKIP;
        // No memory for the list: the device is passed over, as one whose
        // list cannot be read.
        buffer = (char*)LocalAlloc(LPTR, required);
        if (!buffer) return LIST_SKIP;
        capacity = required;
    }
    return LIST_SKIP;
}

// Walks the entries of one list, up to its first empty entry or the end of
// its size, whichever comes first: the last entry need not be terminated.
static BOOL WalkList(const char* list, DWORD size, const char* searchId, size_t idLength) {
    DWORD at = 0;
    while (at < size && list[at]) {
        const char* entry = list + at;
        DWORD length = 0;
        while (at + length < size && entry[length]) ++length;
        printf("Compare device ID: [%.*s]\n", (int)length, entry);
        if (length >= idLength) {
            // A match too long for the kept buffer is not taken: cut short,
            // it would name another device, or none.
            if (length < sizeof g_hardwareId && SamePrefix(entry, searchId, idLength)) {
                memcpy(g_hardwareId, entry, length);
                g_hardwareId[length] = '\0';
                printf("Found! [%.*s]\n", (int)idLength, entry);
                return TRUE;
            }
            g_hardwareId[0] = '\0';
        }
        at += length + 1;
    }
    return FALSE;
}

BOOL SearchController(const char* searchId) {
    size_t idLength = strlen(searchId);
    HDEVINFO set = SETUP_ENTRY(SETUP_GET_CLASS_DEVS, SetupDiGetClassDevsA_t)(
        NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        WriteFailure("GetClassDevs(All Present Devices)");
        return FALSE;
    }
    printf("Search for Device ID: [%s]\n", searchId);

    SetupDiEnumDeviceInfo_t enumDevice =
        SETUP_ENTRY(SETUP_ENUM_DEVICE_INFO, SetupDiEnumDeviceInfo_t);
    SP_DEVINFO_DATA device;
    memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    BOOL found = FALSE;
    for (DWORD index = 0; !found; ++index) {
        if (!enumDevice(set, index, &device)) {
            // ERROR_NO_MORE_ITEMS at the end of the list.
            WriteFailure("EnumDeviceInfo");
            break;
        }
        char* list = NULL;
        DWORD size = 0;
        int read = ReadHardwareIds(set, &device, &list, &size);
        if (read == LIST_ERROR) {
            DestroyDeviceSet(set);
            return FALSE;
        }
        if (read == LIST_READ) {
            found = WalkList(list, size, searchId, idLength);
            LocalFree(list);
        }
    }
    DestroyDeviceSet(set);
    return found;
}
