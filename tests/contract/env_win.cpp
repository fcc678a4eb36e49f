// The contract checks on Windows (under Wine in the test suite): the
// surroundings are made with the real API.
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>

#include "tests/contract/env.h"

const char* EnvWorkDir(void) { return "C:\\vntr-contract"; }

void EnvPutFile(const char* path, const char* data, size_t size) {
    HANDLE f =
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, data, (DWORD)size, &written, NULL);
    CloseHandle(f);
}

void EnvMakeKey(const char* path) {
    HKEY key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS) RegCloseKey(key);
}

int EnvAddDevice(const char* ids, size_t size) {
    static const GUID system_class = {
        0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, NULL);
    if (set == INVALID_HANDLE_VALUE) return 0;
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    int ok = SetupDiCreateDeviceInfoA(set, "ROOT\\VNTRCONTRACT\\0000", &system_class, NULL, NULL, 0,
                                      &data) &&
             SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, (const BYTE*)ids,
                                               (DWORD)size) &&
             SetupDiRegisterDeviceInfo(set, &data, 0, NULL, NULL, NULL);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

int EnvLegacy(void) {
    OSVERSIONINFOA v;
    v.dwOSVersionInfoSize = sizeof v;
    return GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

int EnvWine(void) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

int main() {
    CreateDirectoryA(EnvWorkDir(), NULL);
    int failed = RunContractChecks();
    fflush(stdout);
    return failed == 0 ? 0 : 1;
}
