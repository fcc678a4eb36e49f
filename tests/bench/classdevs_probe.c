/*
 * Times Wine's own SetupDiGetClassDevsA over all present devices, the call
 * that setup.exe and vntrcapture.exe both begin their device walk with:
 * tests/bench/capture_wine.py builds and runs it beside the capture.
 * Prints "classdevs <milliseconds> ms, <devices> devices".
 */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>

int main(void) {
    DWORD start = GetTickCount();
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    DWORD took = GetTickCount() - start;
    if (set == INVALID_HANDLE_VALUE) {
        printf("SetupDiGetClassDevsA failed, error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set, count, &device)) ++count;
    SetupDiDestroyDeviceInfoList(set);
    printf("classdevs %lu ms, %lu devices\n", (unsigned long)took, (unsigned long)count);
    return 0;
}
