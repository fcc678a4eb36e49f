/*
 * A stand-in for a system library (setupapi.dll or newdev.dll) planted in
 * the driver-package folder. setup.exe must take these libraries from the
 * system directory; if this one is ever loaded it leaves a marker file
 * C:\vntr-planted-<name>.txt behind and the test fails on it.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#ifndef PLANTED_NAME
#error PLANTED_NAME must name the library (without quotes)
#endif
#define STRING_OF(x) #x
#define NAME_OF(x) STRING_OF(x)

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE file = CreateFileA("C:\\vntr-planted-" NAME_OF(PLANTED_NAME) ".txt", GENERIC_WRITE,
                                  0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, "loaded\r\n", 8, &written, NULL);
            CloseHandle(file);
        }
    }
    return TRUE;
}
