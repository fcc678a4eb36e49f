// Host contract: the behaviour of each Windows function that the program
// relies on, checked the same way against the simulated machine and against
// Windows as Wine implements it. Expectations are Windows' documented
// behaviour; where Wine is known to differ, the difference is a note.
#include "host/host.h"
#include "tests/contract/env.h"

static int g_failed;

static void Check(int ok, const char* name, const char* detail) {
    if (ok) {
        printf("ok - %s\n", name);
    } else {
        printf("not ok - %s: %s\n", name, detail);
        ++g_failed;
    }
}

// A behaviour on which Wine is known to differ from Windows: a failure
// under Wine is reported but not counted.
static void CheckWindows(int ok, const char* name, const char* detail, const char* wine_note) {
    if (!ok && EnvWine()) {
        printf("note - %s: Wine differs from Windows: %s\n", name, wine_note);
        return;
    }
    Check(ok, name, detail);
}

static void Path(char* out, const char* name) {
    strcpy(out, EnvWorkDir());
    strcat(out, name);
}

static void CurrentDirectory(void) {
    char buffer[300];
    memset(buffer, 'Q', sizeof buffer);
    Check(SetCurrentDirectoryA("C:\\"), "SetCurrentDirectoryA to a drive root", "failed");
    DWORD n = GetCurrentDirectoryA(256, buffer);
    Check(n == 3 && strcmp(buffer, "C:\\") == 0,
          "GetCurrentDirectoryA keeps the backslash at a root", buffer);

    Check(SetCurrentDirectoryA(EnvWorkDir()), "SetCurrentDirectoryA to a directory", "failed");
    size_t length = strlen(EnvWorkDir());
    n = GetCurrentDirectoryA(256, buffer);
    Check(n == length && strcmp(buffer, EnvWorkDir()) == 0,
          "GetCurrentDirectoryA returns the length without the NUL", buffer);
    n = GetCurrentDirectoryA((DWORD)length, buffer);
    Check(n == length + 1, "GetCurrentDirectoryA too small returns the size needed with the NUL",
          "other result");

    char missing[300];
    Path(missing, "\\no-such-dir");
    SetLastError(0);
    Check(!SetCurrentDirectoryA(missing) && GetLastError() == ERROR_FILE_NOT_FOUND,
          "SetCurrentDirectoryA to a missing directory fails with 2", "other result");

    n = GetWindowsDirectoryA(buffer, 256);
    Check(n > 2 && n < 256 && buffer[n - 1] != '\\' && strlen(buffer) == n,
          "GetWindowsDirectoryA has no trailing backslash", buffer);
    UINT small = GetWindowsDirectoryA(buffer, 2);
    Check(small == n + 1, "GetWindowsDirectoryA too small returns the size needed", "other result");
}

static void Files(void) {
    char dir[300], sub[300], source[300], target[300];
    Path(dir, "\\files");
    Path(sub, "\\files\\sub\\deeper");
    CreateDirectoryA(dir, NULL);
    SetLastError(0);
    Check(!CreateDirectoryA(dir, NULL) && GetLastError() == ERROR_ALREADY_EXISTS,
          "CreateDirectoryA on an existing directory fails with 183", "other result");
    SetLastError(0);
    Check(!CreateDirectoryA(sub, NULL) && GetLastError() == ERROR_PATH_NOT_FOUND,
          "CreateDirectoryA below a missing parent fails with 3", "other result");

    Path(source, "\\files\\a.inf");
    Path(target, "\\files\\b.inf");
    EnvPutFile(source, "new", 3);
    EnvPutFile(target, "old contents", 12);
    Check(CopyFileA(source, target, FALSE), "CopyFileA overwrites when fail-if-exists is false",
          "failed");
    FILE* f = fopen(target, "rb");
    char data[32] = {0};
    size_t got = f ? fread(data, 1, sizeof data, f) : 0;
    if (f) fclose(f);
    Check(got == 3 && memcmp(data, "new", 3) == 0, "CopyFileA copies the bytes", data);

    Path(source, "\\files\\missing.inf");
    SetLastError(0);
    Check(!CopyFileA(source, target, FALSE) && GetLastError() == ERROR_FILE_NOT_FOUND,
          "CopyFileA from a missing file fails with 2", "other result");
}

static void TextModeReads(void) {
    char path[300];
    Path(path, "\\text.dat");
    static const char bytes[] =
        "crlf\r\nlone\rcr\r\n"
        "nul\0cut\n"
        "eof\x1a"
        "after\n";
    EnvPutFile(path, bytes, sizeof bytes - 1);
    FILE* f = fopen(path, "rt");
    Check(f != NULL, "fopen rt opens an existing file", "NULL");
    if (!f) return;
    char line[256];
    Check(fgets(line, sizeof line, f) && strcmp(line, "crlf\n") == 0, "text mode reads CR LF as LF",
          line);
    Check(fgets(line, sizeof line, f) && strcmp(line, "lone\rcr\n") == 0,
          "text mode keeps a lone CR", line);
    Check(fgets(line, sizeof line, f) && strcmp(line, "nul") == 0 &&
              memcmp(line + 4, "cut\n", 4) == 0,
          "fgets keeps reading past a NUL to the line end", line);
    Check(fgets(line, sizeof line, f) && strcmp(line, "eof") == 0, "Ctrl-Z ends the file", line);
    Check(fgets(line, sizeof line, f) == NULL, "nothing is read after Ctrl-Z", line);
    fclose(f);

    // Reads take at most 255 bytes, keeping the line end for the last piece.
    char longline[300];
    memset(longline, 'x', 299);
    longline[299] = '\n';
    EnvPutFile(path, longline, sizeof longline);
    f = fopen(path, "rt");
    if (!f) return;
    Check(fgets(line, sizeof line, f) && strlen(line) == 255,
          "a long line's first piece is 255 bytes", "other length");
    Check(fgets(line, sizeof line, f) && strlen(line) == 45 && line[44] == '\n',
          "the rest of the line comes with its line end", "other length");
    fclose(f);

    char missing[300];
    Path(missing, "\\MultiLang\\0409.dat");
    Check(fopen(missing, "rt") == NULL, "fopen rt of a missing file is NULL", "opened");
}

static void Registry(void) {
    EnvMakeKey("Software\\VntrContract\\Scan\\VEN_A\\inst1");
    EnvMakeKey("Software\\VntrContract\\Scan\\VEN_B");
    EnvMakeKey("Software\\VntrContract\\Tree\\one\\two");
    EnvMakeKey("Software\\VntrContract\\Tree\\three");

    HKEY key = NULL;
    SetLastError(0);
    Check(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\VntrContract\\NoSuchKey", &key) ==
              ERROR_FILE_NOT_FOUND,
          "RegOpenKeyA of a missing key returns 2", "other status");
    Check(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\vntrcontract\\scan", &key) == ERROR_SUCCESS,
          "RegOpenKeyA ignores letter case", "failed");
    if (key) {
        char name[260];
        DWORD size = sizeof name;
        int seen_a = 0, seen_b = 0, count = 0;
        LONG status;
        for (DWORD i = 0;; ++i) {
            size = sizeof name;
            status = RegEnumKeyExA(key, i, name, &size, NULL, NULL, NULL, NULL);
            if (status != ERROR_SUCCESS) break;
            ++count;
            seen_a += strcmp(name, "VEN_A") == 0 && size == 5;
            seen_b += strcmp(name, "VEN_B") == 0;
        }
        Check(count == 2 && seen_a == 1 && seen_b == 1,
              "RegEnumKeyExA lists each subkey once with its length", "other list");
        Check(status == ERROR_NO_MORE_ITEMS, "RegEnumKeyExA ends with 259", "other status");
        size = 3;
        Check(RegEnumKeyExA(key, 0, name, &size, NULL, NULL, NULL, NULL) == ERROR_MORE_DATA,
              "RegEnumKeyExA with a small buffer returns 234", "other status");

        static const char value[] = "C:\\WINDOWS\\INF\\OTHER";
        Check(RegSetValueExA(key, "Probe", 0, REG_SZ, (const BYTE*)value, sizeof value) ==
                  ERROR_SUCCESS,
              "RegSetValueExA stores a string", "failed");
        BYTE data[300];
        DWORD length = sizeof data;
        Check(RegQueryValueExA(key, "Probe", NULL, NULL, data, &length) == ERROR_SUCCESS &&
                  length == sizeof value && memcmp(data, value, sizeof value) == 0,
              "RegQueryValueExA returns the stored bytes and their size", "other data");
        length = 4;
        Check(RegQueryValueExA(key, "Probe", NULL, NULL, data, &length) == ERROR_MORE_DATA &&
                  length == sizeof value,
              "RegQueryValueExA with a small buffer returns 234 and the size", "other status");
        length = sizeof data;
        Check(RegQueryValueExA(key, "Missing", NULL, NULL, data, &length) == ERROR_FILE_NOT_FOUND,
              "RegQueryValueExA of a missing value returns 2", "other status");

        LONG leaf = RegDeleteKeyA(key, "VEN_B");
        Check(leaf == ERROR_SUCCESS, "RegDeleteKeyA deletes a key without subkeys", "failed");
        LONG tree = RegDeleteKeyA(key, "VEN_A");
        if (EnvLegacy())
            Check(tree == ERROR_SUCCESS, "RegDeleteKeyA on the 9x family deletes the whole tree",
                  "failed");
        else
            Check(tree != ERROR_SUCCESS, "RegDeleteKeyA on NT refuses a key with subkeys",
                  "deleted it");
        RegCloseKey(key);
    }

    // A key with two subkeys, one of them with a subkey of its own.
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\VntrContract", &key) == ERROR_SUCCESS) {
        LONG status = RegDeleteKeyA(key, "Tree");
        HKEY gone = NULL;
        LONG reopen = RegOpenKeyA(key, "Tree", &gone);
        if (gone) RegCloseKey(gone);
        if (EnvLegacy())
            CheckWindows(status == ERROR_SUCCESS && reopen == ERROR_FILE_NOT_FOUND,
                         "RegDeleteKeyA on the 9x family deletes a tree of several levels",
                         "key survived", "in 9x mode a key with two or more subkeys survives");
        else
            Check(status != ERROR_SUCCESS && reopen == ERROR_SUCCESS,
                  "RegDeleteKeyA on NT leaves a key with subkeys in place", "deleted it");
        RegCloseKey(key);
    }
}

static void LibrariesAndTexts(void) {
    // The program relies only on the NULL; the error code differs between
    // the 9x family and NT.
    HMODULE none = LoadLibraryA("vntr-no-such-library.dll");
    Check(none == NULL, "LoadLibraryA of a missing library returns NULL", "loaded");

    char path[300];
    UINT n = GetSystemDirectoryA(path, 256);
    Check(n > 0 && n < 256, "GetSystemDirectoryA fits 256 bytes", "failed");
    strcat(path, "\\setupapi.dll");
    HMODULE setupapi = LoadLibraryA(path);
    Check(setupapi != NULL, "setupapi.dll loads from the system directory", path);
    if (setupapi) {
        SetLastError(0);
        Check(GetProcAddress(setupapi, "SetupDiNoSuchEntry") == NULL &&
                  GetLastError() == ERROR_PROC_NOT_FOUND,
              "GetProcAddress of a missing entry fails with 127", "other result");
        Check(GetProcAddress(setupapi, "SetupDiGetClassDevsA") != NULL,
              "GetProcAddress finds SetupDiGetClassDevsA", "NULL");
        Check(FreeLibrary(setupapi), "FreeLibrary unloads", "failed");
    }

    char* text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                                  ERROR_NO_MORE_ITEMS, LANG_USER_DEFAULT, (LPSTR)&text, 0, NULL);
    Check(length > 2 && text && text[length - 2] == '\r' && text[length - 1] == '\n',
          "FormatMessageA system texts end with CR LF", text ? text : "(none)");
    if (text) LocalFree(text);
    text = NULL;
    length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                            0xE000020Bu, LANG_USER_DEFAULT, (LPSTR)&text, 0, NULL);
    CheckWindows(length == 0 && text == NULL,
                 "FormatMessageA has no system text for setup-API codes", text ? text : "",
                 "it has a text for 0xE000020B");
    if (text) LocalFree(text);

    unsigned char* block = (unsigned char*)LocalAlloc(LPTR, 64);
    int zero = block != NULL;
    for (int i = 0; block && i < 64; ++i) zero = zero && block[i] == 0;
    Check(zero, "LocalAlloc with LPTR returns zeroed memory", "not zeroed");
    Check(LocalFree(block) == NULL, "LocalFree returns NULL on success", "other result");

    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = 20;
    SetLastError(0);
    Check(!GetVersionExA(&version), "GetVersionExA refuses a record of the wrong size", "accepted");
    version.dwOSVersionInfoSize = sizeof version;
    Check(GetVersionExA(&version) && version.dwPlatformId == (EnvLegacy() ? 1u : 2u),
          "GetVersionExA reports the platform", "other platform");
}

typedef HDEVINFO(WINAPI* GetClassDevs_t)(const GUID*, PCSTR, HWND, DWORD);

static void Devices(void) {
    static const char ids[] =
        "PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_11112222&REV_01\0PCI\\VEN_C4B9&DEV_8E3A\0";
    if (EnvLegacy() || !EnvAddDevice(ids, sizeof ids)) {
        printf("ok - devices # skipped: no device installation here\n");
        return;
    }
    char path[300];
    GetSystemDirectoryA(path, 256);
    strcat(path, "\\setupapi.dll");
    HMODULE lib = LoadLibraryA(path);
    if (!lib) return;
    GetClassDevs_t getClassDevs =
        (GetClassDevs_t)(void*)GetProcAddress(lib, "SetupDiGetClassDevsA");
    SetupDiEnumDeviceInfo_t enumInfo =
        (SetupDiEnumDeviceInfo_t)(void*)GetProcAddress(lib, "SetupDiEnumDeviceInfo");
    SetupDiGetDeviceRegistryPropertyA_t getProperty =
        (SetupDiGetDeviceRegistryPropertyA_t)(void*)GetProcAddress(
            lib, "SetupDiGetDeviceRegistryPropertyA");
    SetupDiDestroyDeviceInfoList_t destroy =
        (SetupDiDestroyDeviceInfoList_t)(void*)GetProcAddress(lib, "SetupDiDestroyDeviceInfoList");
    HDEVINFO set = getClassDevs(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    Check(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsA lists present devices of all classes",
          "invalid handle");
    if (set == INVALID_HANDLE_VALUE) return;

    SP_DEVINFO_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = 1;
    SetLastError(0);
    Check(!enumInfo(set, 0, &data) && GetLastError() == ERROR_INVALID_USER_BUFFER,
          "SetupDiEnumDeviceInfo checks the record size (1784)", "other result");
    data.cbSize = sizeof data;
    int found = 0;
    DWORD index = 0;
    for (; enumInfo(set, index, &data); ++index) {
        DWORD required = 0;
        SetLastError(0);
        BOOL ok = getProperty(set, &data, SPDRP_HARDWAREID, NULL, NULL, 0, &required);
        DWORD error = GetLastError();
        if (ok || (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_INVALID_DATA)) {
            Check(0, "the size query fails with 122 or 13", "other result");
            continue;
        }
        if (error == ERROR_INVALID_DATA) continue;
        BYTE* list = (BYTE*)LocalAlloc(LPTR, required);
        DWORD again = 0;
        if (list && getProperty(set, &data, SPDRP_HARDWAREID, NULL, list, required, &again) &&
            again == required && required == sizeof ids && memcmp(list, ids, sizeof ids) == 0)
            ++found;
        LocalFree(list);
    }
    Check(GetLastError() == ERROR_NO_MORE_ITEMS, "SetupDiEnumDeviceInfo ends with 259",
          "other error");
    Check(found == 1, "the hardware-ID list comes back whole with its size", "not found");
    Check(destroy(set), "SetupDiDestroyDeviceInfoList", "failed");
    FreeLibrary(lib);
}

int RunContractChecks(void) {
    g_failed = 0;
    CurrentDirectory();
    Files();
    TextModeReads();
    Registry();
    LibrariesAndTexts();
    Devices();
    printf("%d failed\n", g_failed);
    return g_failed;
}
