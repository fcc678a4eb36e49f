/*
 * A stand-in for a system library (setupapi.dll, newdev.dll, ...) planted in
 * a folder the program must not load it from. It is copied under the name
 * of the library it stands in for; if it is ever loaded it leaves a marker
 * file C:\vntr-planted-<its file name>.txt behind, and the run reports the
 * planted library as loaded.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH], marker[MAX_PATH + 32] = "C:\\vntr-planted-";
        DWORD length = GetModuleFileNameA(instance, path, sizeof path);
        const char* name = path;
        for (DWORD i = 0; i < length; ++i)
            if (path[i] == '\\' || path[i] == '/') name = path + i + 1;
        CharLowerA(path);
        lstrcatA(marker, name);
        lstrcatA(marker, ".txt");
        HANDLE file =
            CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, "loaded\r\n", 8, &written, NULL);
            CloseHandle(file);
        }
    }
    return TRUE;
}
