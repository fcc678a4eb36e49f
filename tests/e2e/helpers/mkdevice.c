/*
 * Creates present devices in a Wine prefix, one per argument, for the NT
 * scenarios of the end-to-end tests.
 *
 *   mkdevice.exe "ID1|ID2|..." ["ID1|..."] ...
 *
 * Each argument is the hardware-identifier list of one device, entries
 * separated by '|', in the order the device lists them. Every device is
 * created under the root enumerator, given its SPDRP_HARDWAREID list and
 * registered. One line per device goes to standard output:
 *   device <instance id> <first hardware id>
 * Exit code 0 when every device was registered, 1 otherwise (with a line
 * naming the failing call and its error code).
 *
 *   mkdevice.exe --list
 * prints every present device as "present <instance id> <first hardware id>".
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

static int fail(const char* call) {
    printf("mkdevice: %s failed, error %lu\n", call, (unsigned long)GetLastError());
    fflush(stdout);
    return 1;
}

static int list_present(void) {
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char instance[512] = "";
        char ids[2048] = "";
        SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, NULL);
        SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, NULL, (BYTE*)ids,
                                          sizeof ids - 2, NULL);
        printf("present %s %s\n", instance, ids[0] ? ids : "(none)");
    }
    SetupDiDestroyDeviceInfoList(set);
    fflush(stdout);
    return 0;
}

/* Turns "A|B|C" into the REG_MULTI_SZ form "A\0B\0C\0\0"; returns its size. */
static DWORD to_multi_sz(const char* text, char* out, DWORD room) {
    DWORD n = 0;
    for (const char* p = text; *p && n + 2 < room; ++p) out[n++] = (*p == '|') ? '\0' : *p;
    out[n++] = '\0';
    out[n++] = '\0';
    return n;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--list") == 0) return list_present();
    if (argc < 2) {
        printf("usage: mkdevice.exe \"ID|ID...\" ... | --list\n");
        return 2;
    }

    /* The system class: any class would do; the driver installation takes
       the class the INF names. */
    static const GUID system_class = {
        0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

    HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, NULL);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
    int status = 0;
    for (int i = 1; i < argc && status == 0; ++i) {
        SP_DEVINFO_DATA device;
        device.cbSize = sizeof device;
        char ids[2048];
        DWORD size = to_multi_sz(argv[i], ids, sizeof ids);
        if (!SetupDiCreateDeviceInfoA(set, "VNTR_TEST", &system_class, NULL, NULL, DICD_GENERATE_ID,
                                      &device))
            status = fail("SetupDiCreateDeviceInfoA");
        else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (BYTE*)ids,
                                                    size))
            status = fail("SetupDiSetDeviceRegistryPropertyA");
        else if (!SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL))
            status = fail("SetupDiRegisterDeviceInfo");
        else {
            char instance[512] = "";
            SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, NULL);
            printf("device %s %s\n", instance, ids);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    fflush(stdout);
    return status;
}
