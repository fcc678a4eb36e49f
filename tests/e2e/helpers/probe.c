/*
 * A stand-in for setup.exe used to prove the end-to-end harness itself: it
 * makes one call of each kind the harness watches, from its own image, and
 * changes each part of the state the harness reads after a run.
 *
 * Yes to the first box: prints "probe: yes", creates C:\windows\INF\probe,
 * copies probe.txt from the current directory into it, writes
 * HKLM\Software\Microsoft\Windows\CurrentVersion "OtherDevicePath"="probe",
 * deletes HKLM\Enum\PCI\VNTR_PROBE\Gone, loads setupapi.dll by its bare
 * name, then shows "Probe done." (OK). No: prints "probe: no" and shows
 * nothing more.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>

static const char kTitle[] = "Harness probe";

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
    (void)instance;
    (void)previous;
    (void)command;
    (void)show;
    printf("probe: start\n");
    if (MessageBoxA(NULL, "Probe question?", kTitle, MB_YESNO) != IDYES) {
        printf("probe: no\n");
        return 0;
    }
    printf("probe: yes\n");
    CreateDirectoryA("C:\\windows\\INF\\probe", NULL);
    CopyFileA("probe.txt", "C:\\windows\\INF\\probe\\probe.txt", FALSE);
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", &key) ==
        ERROR_SUCCESS) {
        RegSetValueExA(key, "OtherDevicePath", 0, REG_SZ, (const BYTE*)"probe", 6);
        RegCloseKey(key);
    }
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VNTR_PROBE", &key) == ERROR_SUCCESS) {
        RegDeleteKeyA(key, "Gone");
        RegCloseKey(key);
    }
    HMODULE setupapi = LoadLibraryA("setupapi.dll");
    if (setupapi) FreeLibrary(setupapi);
    MessageBoxA(NULL, "Probe done.", kTitle, MB_OK);
    return 0;
}
