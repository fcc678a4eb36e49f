/*
 * Lists the present devices of a Wine prefix, for the end-to-end tests:
 * Wine has devices of its own (monitor, HID, bus devices), which every
 * controller search walks past.
 *
 *   listdevices.exe
 *
 * prints one line per present device, in enumeration order:
 *   present <instance id> <hex of its hardware-identifier property, or ->
 * Exit code 0, or 1 with a line naming the failing call and its error code.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>

int main(void) {
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        printf("listdevices: SetupDiGetClassDevsA failed, error %lu\n",
               (unsigned long)GetLastError());
        return 1;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char instance[512] = "";
        static BYTE ids[65536];
        DWORD size = 0;
        SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, NULL);
        printf("present %s ", instance);
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, NULL, ids, sizeof ids,
                                              &size)) {
            for (DWORD j = 0; j < size; ++j) printf("%02x", ids[j]);
        } else {
            printf("-");
        }
        printf("\n");
    }
    SetupDiDestroyDeviceInfoList(set);
    fflush(stdout);
    return 0;
}
