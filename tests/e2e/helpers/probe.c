/*
 * A stand-in for setup.exe used to prove the end-to-end harness itself: it
 * makes one call of each kind the harness watches, from its own image, and
 * shows two boxes with the program's title.
 *
 * Yes to the first box: prints "probe: yes", creates C:\probe-dir, copies
 * probe.txt from the current directory into it, writes HKLM\Software\VntrProbe
 * "Answer"="yes", deletes HKLM\Software\VntrProbe\Gone, loads setupapi.dll,
 * then shows "Probe done." (OK). No: prints "probe: no" and shows nothing more.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>

static const char kTitle[] = "Vantor CardBus Controller Setup Utility";

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
    CreateDirectoryA("C:\\probe-dir", NULL);
    CopyFileA("probe.txt", "C:\\probe-dir\\probe.txt", FALSE);
    HKEY key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\VntrProbe", &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Answer", 0, REG_SZ, (const BYTE*)"yes", 4);
        RegDeleteKeyA(key, "Gone");
        RegCloseKey(key);
    }
    HMODULE setupapi = LoadLibraryA("setupapi.dll");
    if (setupapi) FreeLibrary(setupapi);
    MessageBoxA(NULL, "Probe done.", kTitle, MB_OK);
    return 0;
}
