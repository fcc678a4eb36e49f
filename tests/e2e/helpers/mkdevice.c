/*
 * Creates present devices in a Wine prefix, one per argument, for the NT
 * machines of the end-to-end tests.
 *
 *   mkdevice.exe DEVICE...
 *
 * Each DEVICE gives the SPDRP_HARDWAREID property of one device:
 *   ids:ID1|ID2|...   the identifiers, each ended by a NUL, and a closing NUL
 *   hex:4142...       the property's bytes exactly (an odd or unterminated
 *                     list stays as it is)
 *   none              no hardware-identifier property at all
 *
 * Every device is created under the root enumerator and registered, in the
 * order given. One line per device goes to standard output:
 *   device <instance id>
 * Exit code 0 when every device was registered, 1 otherwise (with a line
 * naming the failing call and its error code), 2 for a bad argument.
 *
 *   mkdevice.exe --list
 * prints every present device as "present <instance id> <hex of its
 * hardware-identifier property, or -"> in enumeration order.
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

static void print_hex(const BYTE* data, DWORD size) {
    for (DWORD i = 0; i < size; ++i) printf("%02x", data[i]);
}

static int list_present(void) {
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char instance[512] = "";
        static BYTE ids[65536];
        DWORD size = 0;
        SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, NULL);
        printf("present %s ", instance);
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, NULL, ids, sizeof ids,
                                              &size))
            print_hex(ids, size);
        else
            printf("-");
        printf("\n");
    }
    SetupDiDestroyDeviceInfoList(set);
    fflush(stdout);
    return 0;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* The property bytes an argument gives; -1 for a bad argument, -2 for none. */
static long property_of(const char* arg, size_t length, BYTE* out, DWORD room) {
    DWORD n = 0;
    if (length == 4 && strncmp(arg, "none", 4) == 0) return -2;
    if (length >= 4 && strncmp(arg, "ids:", 4) == 0) {
        for (size_t i = 4; i < length; ++i) {
            if (n + 2 >= room) return -1;
            out[n++] = arg[i] == '|' ? '\0' : (BYTE)arg[i];
        }
        out[n++] = '\0';
        out[n++] = '\0';
        return (long)n;
    }
    if (length >= 4 && strncmp(arg, "hex:", 4) == 0 && length % 2 == 0) {
        for (size_t i = 4; i < length; i += 2) {
            int high = hex_digit(arg[i]), low = hex_digit(arg[i + 1]);
            if (high < 0 || low < 0 || n >= room) return -1;
            out[n++] = (BYTE)(high * 16 + low);
        }
        return (long)n;
    }
    return -1;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--list") == 0) return list_present();
    if (argc < 2) {
        printf("usage: mkdevice.exe ids:ID|ID... | hex:BYTES | none ... | --list\n");
        return 2;
    }

    /* The system class: any class would do; the driver installation takes
       the class the INF names. */
    static const GUID system_class = {
        0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

    HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, NULL);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
    int status = 0;
    static BYTE property[65536];
    for (int i = 1; i < argc && status == 0; ++i) {
        const char* arg = argv[i];
        size_t length = strlen(arg);
        long size = property_of(arg, length, property, sizeof property);
        if (size == -1) {
            printf("mkdevice: bad device argument '%s'\n", arg);
            status = 2;
            break;
        }
        SP_DEVINFO_DATA device;
        device.cbSize = sizeof device;
        char instance[512] = "";
        if (!SetupDiCreateDeviceInfoA(set, "VNTR_TEST", &system_class, NULL, NULL, DICD_GENERATE_ID,
                                      &device))
            status = fail("SetupDiCreateDeviceInfoA");
        else if (size >= 0 && !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                                 property, (DWORD)size))
            status = fail("SetupDiSetDeviceRegistryPropertyA");
        else if (!SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL))
            status = fail("SetupDiRegisterDeviceInfo");
        else if (!SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, NULL))
            status = fail("SetupDiGetDeviceInstanceIdA");
        if (status == 0) printf("device %s\n", instance);
    }
    SetupDiDestroyDeviceInfoList(set);
    fflush(stdout);
    return status;
}
