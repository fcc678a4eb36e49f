// Host contract: the behaviour of each Windows function that the program
// relies on, checked the same way against the simulated machine and against
// Windows as Wine implements it. Expectations are Windows' documented
// behaviour; where Wine is known to differ, the difference is a note.
#include "host/host.h"
#include "tests/contract/env.h"

static int g_failed;

// A failed check prints what was received, formatted from `got` and the
// arguments after it.
static void Report(int ok, const char* name, const char* got, va_list args) {
    if (ok) {
        printf("ok - %s\n", name);
        return;
    }
    printf("not ok - %s: ", name);
    vprintf(got, args);
    printf("\n");
    ++g_failed;
}

static void Check(int ok, const char* name, const char* got, ...) {
    va_list args;
    va_start(args, got);
    Report(ok, name, got, args);
    va_end(args);
}

// A behaviour on which Wine is known to differ from Windows, as `wine_note`
// says. Under Wine the difference is a note, not a failure; should Wine come
// to behave as Windows, the check fails, so that the mark is removed.
static void CheckWindows(int ok, const char* name, const char* wine_note, const char* got, ...) {
    va_list args;
    va_start(args, got);
    if (!EnvWine()) {
        Report(ok, name, got, args);
    } else if (!ok) {
        printf("note - %s: Wine differs from Windows: %s; got ", name, wine_note);
        vprintf(got, args);
        printf("\n");
    } else {
        printf(
            "not ok - %s: marked as a known Wine difference (%s), but Wine behaves as "
            "Windows here: remove the mark\n",
            name, wine_note);
        ++g_failed;
    }
    va_end(args);
}

// `text` with control characters written as escapes, for the reports.
static const char* Shown(const char* text, size_t length) {
    static char out[4][200];
    static int next;
    char* buffer = out[next++ % 4];
    size_t at = 0;
    buffer[at++] = '"';
    for (size_t i = 0; i < length && at + 6 < sizeof out[0]; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c == '\r')
            at += sprintf(buffer + at, "\\r");
        else if (c == '\n')
            at += sprintf(buffer + at, "\\n");
        else if (c < 0x20 || c >= 0x7F)
            at += sprintf(buffer + at, "\\x%02x", c);
        else
            buffer[at++] = (char)c;
    }
    buffer[at++] = '"';
    buffer[at] = '\0';
    return buffer;
}

static const char* Shown(const char* text) { return text ? Shown(text, strlen(text)) : "NULL"; }

static void Path(char* out, const char* name) {
    strcpy(out, EnvWorkDir());
    strcat(out, name);
}

static void CurrentDirectory(void) {
    char buffer[300];
    memset(buffer, 'Q', sizeof buffer);
    Check(SetCurrentDirectoryA("C:\\"), "SetCurrentDirectoryA to a drive root", "failed, error %u",
          (unsigned)GetLastError());
    DWORD n = GetCurrentDirectoryA(256, buffer);
    Check(n == 3 && strcmp(buffer, "C:\\") == 0,
          "GetCurrentDirectoryA keeps the backslash at a root", "returned %u, %s", (unsigned)n,
          Shown(buffer));

    Check(SetCurrentDirectoryA(EnvWorkDir()), "SetCurrentDirectoryA to a directory",
          "failed, error %u", (unsigned)GetLastError());
    size_t length = strlen(EnvWorkDir());
    n = GetCurrentDirectoryA(256, buffer);
    Check(n == length && strcmp(buffer, EnvWorkDir()) == 0,
          "GetCurrentDirectoryA returns the length without the NUL", "returned %u, %s", (unsigned)n,
          Shown(buffer));
    n = GetCurrentDirectoryA((DWORD)length, buffer);
    Check(n == length + 1, "GetCurrentDirectoryA too small returns the size needed with the NUL",
          "returned %u for a directory of %u characters", (unsigned)n, (unsigned)length);

    char missing[300];
    Path(missing, "\\no-such-dir");
    SetLastError(0);
    BOOL entered = SetCurrentDirectoryA(missing);
    DWORD error = GetLastError();
    Check(!entered && error == ERROR_FILE_NOT_FOUND,
          "SetCurrentDirectoryA to a missing directory fails with 2", "returned %d, error %u",
          entered, (unsigned)error);

    n = GetWindowsDirectoryA(buffer, 256);
    Check(n > 2 && n < 256 && buffer[n - 1] != '\\' && strlen(buffer) == n,
          "GetWindowsDirectoryA has no trailing backslash", "returned %u, %s", (unsigned)n,
          Shown(buffer));
    UINT small = GetWindowsDirectoryA(buffer, 2);
    Check(small == n + 1, "GetWindowsDirectoryA too small returns the size needed",
          "returned %u for a directory of %u characters", small, (unsigned)n);
}

static void Files(void) {
    char dir[300], sub[300], source[300], target[300];
    Path(dir, "\\files");
    Path(sub, "\\files\\sub\\deeper");
    CreateDirectoryA(dir, NULL);
    SetLastError(0);
    BOOL made = CreateDirectoryA(dir, NULL);
    DWORD error = GetLastError();
    Check(!made && error == ERROR_ALREADY_EXISTS,
          "CreateDirectoryA on an existing directory fails with 183", "returned %d, error %u", made,
          (unsigned)error);
    SetLastError(0);
    made = CreateDirectoryA(sub, NULL);
    error = GetLastError();
    Check(!made && error == ERROR_PATH_NOT_FOUND,
          "CreateDirectoryA below a missing parent fails with 3", "returned %d, error %u", made,
          (unsigned)error);

    Path(source, "\\files\\a.inf");
    Path(target, "\\files\\b.inf");
    EnvPutFile(source, "new", 3);
    EnvPutFile(target, "old contents", 12);
    Check(CopyFileA(source, target, FALSE), "CopyFileA overwrites when fail-if-exists is false",
          "failed, error %u", (unsigned)GetLastError());
    FILE* f = fopen(target, "rb");
    char data[32] = {0};
    size_t got = f ? fread(data, 1, sizeof data, f) : 0;
    if (f) fclose(f);
    Check(got == 3 && memcmp(data, "new", 3) == 0, "CopyFileA copies the bytes",
          "the copy holds %s", Shown(data, got));

    Path(source, "\\files\\missing.inf");
    SetLastError(0);
    BOOL copied = CopyFileA(source, target, FALSE);
    error = GetLastError();
    Check(!copied && error == ERROR_FILE_NOT_FOUND, "CopyFileA from a missing file fails with 2",
          "returned %d, error %u", copied, (unsigned)error);

    // Into a folder that does not exist: no folder is made for the copy.
    Path(source, "\\files\\a.inf");
    Path(target, "\\files\\absent\\b.inf");
    SetLastError(0);
    copied = CopyFileA(source, target, FALSE);
    error = GetLastError();
    Path(sub, "\\files\\absent");
    DWORD attributes = GetFileAttributesA(sub);
    Check(!copied && error == ERROR_PATH_NOT_FOUND && attributes == INVALID_FILE_ATTRIBUTES,
          "CopyFileA into a missing folder fails with 3 and makes nothing",
          "returned %d, error %u, folder attributes 0x%x", copied, (unsigned)error,
          (unsigned)attributes);
}

// Reads the next line of `f` into `line`; the report shows what was read.
static const char* NextLine(FILE* f, char* line, int size) {
    line[0] = '\0';
    return fgets(line, size, f) ? Shown(line) : "nothing (end of file)";
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
    const char* read = NextLine(f, line, sizeof line);
    Check(strcmp(line, "crlf\n") == 0, "text mode reads CR LF as LF", "read %s", read);
    read = NextLine(f, line, sizeof line);
    Check(strcmp(line, "lone\rcr\n") == 0, "text mode keeps a lone CR", "read %s", read);
    read = NextLine(f, line, sizeof line);
    Check(strcmp(line, "nul") == 0 && memcmp(line + 4, "cut\n", 4) == 0,
          "fgets keeps reading past a NUL to the line end", "read %s", Shown(line, 8));
    read = NextLine(f, line, sizeof line);
    Check(strcmp(line, "eof") == 0, "Ctrl-Z ends the file", "read %s", read);
    read = NextLine(f, line, sizeof line);
    Check(line[0] == '\0', "nothing is read after Ctrl-Z", "read %s", read);
    fclose(f);

    // Reads take at most 255 bytes, keeping the line end for the last piece.
    char longline[300];
    memset(longline, 'x', 299);
    longline[299] = '\n';
    EnvPutFile(path, longline, sizeof longline);
    f = fopen(path, "rt");
    Check(f != NULL, "fopen rt opens the long line's file", "NULL");
    if (!f) return;
    NextLine(f, line, sizeof line);
    Check(strlen(line) == 255, "a long line's first piece is 255 bytes", "read %u bytes",
          (unsigned)strlen(line));
    NextLine(f, line, sizeof line);
    size_t rest = strlen(line);
    Check(rest == 45 && line[44] == '\n', "the rest of the line comes with its line end",
          "read %u bytes ending in %s", (unsigned)rest, Shown(line + (rest ? rest - 1 : 0)));
    fclose(f);

    char missing[300];
    Path(missing, "\\MultiLang\\0409.dat");
    FILE* none = fopen(missing, "rt");
    Check(none == NULL, "fopen rt of a missing file is NULL", "opened it");
    if (none) fclose(none);
}

static void Registry(void) {
    EnvMakeKey("Software\\VntrContract\\Scan\\VEN_A\\inst1");
    EnvMakeKey("Software\\VntrContract\\Scan\\VEN_B");
    EnvMakeKey("Software\\VntrContract\\Tree\\one\\two");
    EnvMakeKey("Software\\VntrContract\\Tree\\three");

    HKEY key = NULL;
    LONG status = RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\VntrContract\\NoSuchKey", &key);
    Check(status == ERROR_FILE_NOT_FOUND, "RegOpenKeyA of a missing key returns 2", "returned %d",
          (int)status);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    key = NULL;
    status = RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\vntrcontract\\scan", &key);
    Check(status == ERROR_SUCCESS, "RegOpenKeyA ignores letter case", "returned %d", (int)status);
    if (key) {
        char name[260];
        DWORD size = sizeof name;
        int seen_a = 0, seen_b = 0, count = 0;
        char names[600] = "";
        for (DWORD i = 0;; ++i) {
            size = sizeof name;
            status = RegEnumKeyExA(key, i, name, &size, NULL, NULL, NULL, NULL);
            if (status != ERROR_SUCCESS) break;
            ++count;
            seen_a += strcmp(name, "VEN_A") == 0 && size == 5;
            seen_b += strcmp(name, "VEN_B") == 0;
            if (strlen(names) + strlen(name) + 16 < sizeof names)
                sprintf(names + strlen(names), "%s%s (%u)", count > 1 ? ", " : "", name,
                        (unsigned)size);
        }
        Check(count == 2 && seen_a == 1 && seen_b == 1,
              "RegEnumKeyExA lists each subkey once with its length", "listed %s", names);
        Check(status == ERROR_NO_MORE_ITEMS, "RegEnumKeyExA ends with 259", "ended with %d",
              (int)status);
        size = 3;
        status = RegEnumKeyExA(key, 0, name, &size, NULL, NULL, NULL, NULL);
        Check(status == ERROR_MORE_DATA, "RegEnumKeyExA with a small buffer returns 234",
              "returned %d", (int)status);

        static const char value[] = "C:\\WINDOWS\\INF\\OTHER";
        status = RegSetValueExA(key, "Probe", 0, REG_SZ, (const BYTE*)value, sizeof value);
        Check(status == ERROR_SUCCESS, "RegSetValueExA stores a string", "returned %d",
              (int)status);
        BYTE data[300];
        DWORD length = sizeof data;
        status = RegQueryValueExA(key, "Probe", NULL, NULL, data, &length);
        Check(status == ERROR_SUCCESS && length == sizeof value &&
                  memcmp(data, value, sizeof value) == 0,
              "RegQueryValueExA returns the stored bytes and their size",
              "returned %d, %u bytes: %s", (int)status, (unsigned)length,
              Shown((const char*)data, length < sizeof data ? length : sizeof data));
        length = 4;
        status = RegQueryValueExA(key, "Probe", NULL, NULL, data, &length);
        Check(status == ERROR_MORE_DATA && length == sizeof value,
              "RegQueryValueExA with a small buffer returns 234 and the size",
              "returned %d and the size %u", (int)status, (unsigned)length);
        length = sizeof data;
        status = RegQueryValueExA(key, "Missing", NULL, NULL, data, &length);
        Check(status == ERROR_FILE_NOT_FOUND, "RegQueryValueExA of a missing value returns 2",
              "returned %d", (int)status);

        LONG leaf = RegDeleteKeyA(key, "VEN_B");
        Check(leaf == ERROR_SUCCESS, "RegDeleteKeyA deletes a key without subkeys", "returned %d",
              (int)leaf);
        LONG tree = RegDeleteKeyA(key, "VEN_A");
        if (EnvLegacy())
            Check(tree == ERROR_SUCCESS, "RegDeleteKeyA on the 9x family deletes the whole tree",
                  "returned %d", (int)tree);
        else
            Check(tree != ERROR_SUCCESS, "RegDeleteKeyA on NT refuses a key with subkeys",
                  "returned %d: deleted it", (int)tree);
        RegCloseKey(key);
    }

    // A key with two subkeys, one of them with a subkey of its own.
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\VntrContract", &key) == ERROR_SUCCESS) {
        status = RegDeleteKeyA(key, "Tree");
        HKEY gone = NULL;
        LONG reopen = RegOpenKeyA(key, "Tree", &gone);
        if (gone) RegCloseKey(gone);
        if (EnvLegacy())
            CheckWindows(status == ERROR_SUCCESS && reopen == ERROR_FILE_NOT_FOUND,
                         "RegDeleteKeyA on the 9x family deletes a tree of several levels",
                         "in 9x mode a key with two or more subkeys survives",
                         "returned %d, and opening the key again %d", (int)status, (int)reopen);
        else
            Check(status != ERROR_SUCCESS && reopen == ERROR_SUCCESS,
                  "RegDeleteKeyA on NT leaves a key with subkeys in place",
                  "returned %d, and opening the key again %d", (int)status, (int)reopen);
        RegCloseKey(key);
    }
}

static void LibrariesAndTexts(void) {
    // The program relies only on the NULL; the error code differs between
    // the 9x family and NT.
    HMODULE none = LoadLibraryA("vntr-no-such-library.dll");
    Check(none == NULL, "LoadLibraryA of a missing library returns NULL", "loaded it");
    if (none) FreeLibrary(none);

    char path[300];
    UINT n = GetSystemDirectoryA(path, 256);
    Check(n > 0 && n < 256, "GetSystemDirectoryA fits 256 bytes", "returned %u", n);
    strcat(path, "\\setupapi.dll");
    HMODULE setupapi = LoadLibraryA(path);
    Check(setupapi != NULL, "setupapi.dll loads from the system directory", "NULL for %s, error %u",
          path, (unsigned)GetLastError());
    if (setupapi) {
        SetLastError(0);
        FARPROC entry = GetProcAddress(setupapi, "SetupDiNoSuchEntry");
        DWORD error = GetLastError();
        Check(entry == NULL && error == ERROR_PROC_NOT_FOUND,
              "GetProcAddress of a missing entry fails with 127", "returned %s, error %u",
              entry ? "an address" : "NULL", (unsigned)error);
        Check(GetProcAddress(setupapi, "SetupDiGetClassDevsA") != NULL,
              "GetProcAddress finds SetupDiGetClassDevsA", "NULL, error %u",
              (unsigned)GetLastError());
        Check(FreeLibrary(setupapi), "FreeLibrary unloads", "failed, error %u",
              (unsigned)GetLastError());
    }

    char* text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                                  ERROR_NO_MORE_ITEMS, LANG_USER_DEFAULT, (LPSTR)&text, 0, NULL);
    Check(length > 2 && text && text[length - 2] == '\r' && text[length - 1] == '\n',
          "FormatMessageA system texts end with CR LF", "returned %u, %s", (unsigned)length,
          Shown(text));
    if (text) LocalFree(text);
    text = NULL;
    length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, NULL,
                            0xE000020Bu, LANG_USER_DEFAULT, (LPSTR)&text, 0, NULL);
    Check(length == 0 && text == NULL, "FormatMessageA has no system text for setup-API codes",
          "returned %u, %s", (unsigned)length, Shown(text));
    if (text) LocalFree(text);

    unsigned char* block = (unsigned char*)LocalAlloc(LPTR, 64);
    int nonzero = -1;
    for (int i = 0; block && i < 64 && nonzero < 0; ++i)
        if (block[i] != 0) nonzero = i;
    Check(block && nonzero < 0, "LocalAlloc with LPTR returns zeroed memory",
          block ? "byte %d is not zero" : "no block (%d)", nonzero);
    HLOCAL freed = LocalFree(block);
    Check(freed == NULL, "LocalFree returns NULL on success", "returned the block");

    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = 20;
    SetLastError(0);
    Check(!GetVersionExA(&version), "GetVersionExA refuses a record of the wrong size",
          "accepted a record of 20 bytes");
    version.dwOSVersionInfoSize = sizeof version;
    BOOL queried = GetVersionExA(&version);
    Check(queried && version.dwPlatformId == (EnvLegacy() ? 1u : 2u),
          "GetVersionExA reports the platform", "returned %d, platform %u", queried,
          (unsigned)version.dwPlatformId);
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
          "invalid handle, error %u", (unsigned)GetLastError());
    if (set == INVALID_HANDLE_VALUE) return;

    SP_DEVINFO_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = 1;
    SetLastError(0);
    BOOL enumerated = enumInfo(set, 0, &data);
    DWORD error = GetLastError();
    Check(!enumerated && error == ERROR_INVALID_USER_BUFFER,
          "SetupDiEnumDeviceInfo checks the record size (1784)", "returned %d, error %u",
          enumerated, (unsigned)error);
    data.cbSize = sizeof data;
    int found = 0;
    DWORD index = 0;
    for (; enumInfo(set, index, &data); ++index) {
        DWORD required = 0;
        SetLastError(0);
        BOOL ok = getProperty(set, &data, SPDRP_HARDWAREID, NULL, NULL, 0, &required);
        error = GetLastError();
        if (ok || (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_INVALID_DATA)) {
            Check(0, "the size query fails with 122 or 13", "device %u: returned %d, error %u",
                  (unsigned)index, ok, (unsigned)error);
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
    error = GetLastError();
    Check(error == ERROR_NO_MORE_ITEMS, "SetupDiEnumDeviceInfo ends with 259",
          "ended with error %u after %u devices", (unsigned)error, (unsigned)index);
    Check(found == 1, "the hardware-ID list comes back whole with its size",
          "found %d times among %u devices", found, (unsigned)index);
    Check(destroy(set), "SetupDiDestroyDeviceInfoList", "failed, error %u",
          (unsigned)GetLastError());
    FreeLibrary(lib);
}

// What the machine capture reads with, and how it writes its file.
static void CaptureCalls(void) {
    char dir[300], file[300], missing[300];
    Path(dir, "\\capture");
    CreateDirectoryA(dir, NULL);
    Path(file, "\\capture\\data.bin");
    EnvPutFile(file, "ab\0cd", 5);
    DWORD attributes = GetFileAttributesA(dir);
    Check(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY),
          "GetFileAttributesA of a directory says so", "returned 0x%lx", (unsigned long)attributes);
    attributes = GetFileAttributesA(file);
    Check(attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY),
          "GetFileAttributesA of a file says it is none", "returned 0x%lx",
          (unsigned long)attributes);
    struct {
        const char* name;
        DWORD error;
        const char* check;
    } missing_cases[] = {
        {"\\capture\\none.bin", ERROR_FILE_NOT_FOUND,
         "GetFileAttributesA of a missing file fails with 2"},
        {"\\capture\\none\\x.bin", ERROR_PATH_NOT_FOUND,
         "GetFileAttributesA below a missing folder fails with 3"},
        {"\\capture\\a|b.toml", ERROR_INVALID_NAME,
         "GetFileAttributesA of a name with '|' fails with 123"},
    };
    for (size_t i = 0; i < sizeof missing_cases / sizeof missing_cases[0]; ++i) {
        Path(missing, missing_cases[i].name);
        SetLastError(0);
        attributes = GetFileAttributesA(missing);
        DWORD error = GetLastError();
        Check(attributes == INVALID_FILE_ATTRIBUTES && error == missing_cases[i].error,
              missing_cases[i].check, "returned 0x%lx, error %u", (unsigned long)attributes,
              (unsigned)error);
    }

    char data[16] = {0};
    FILE* f = fopen(file, "rb");
    size_t got = f ? fread(data, 1, sizeof data, f) : 0;
    Check(got == 5 && memcmp(data, "ab\0cd", 5) == 0 && f && !ferror(f),
          "fread in binary mode reads every byte, NUL included, with no error", "read %s",
          Shown(data, got));
    if (f) fclose(f);

    Path(missing, "\\capture\\written.toml");
    f = fopen(missing, "wb");
    size_t put = f ? fwrite("x = 1\n", 1, 6, f) : 0;
    int closed = f ? fclose(f) : -1;
    f = fopen(missing, "rb");
    got = f ? fread(data, 1, sizeof data, f) : 0;
    if (f) fclose(f);
    Check(put == 6 && closed == 0 && got == 6 && memcmp(data, "x = 1\n", 6) == 0,
          "fopen wb, fwrite and fclose write the bytes as given", "wrote %u, closed %d, read %s",
          (unsigned)put, closed, Shown(data, got));
    Path(missing, "\\capture\\none\\written.toml");
    SetLastError(0);
    f = fopen(missing, "wb");
    DWORD error = GetLastError();
    Check(f == NULL && error == ERROR_PATH_NOT_FOUND,
          "fopen wb below a missing folder fails with 3", "%s, error %u", f ? "opened" : "NULL",
          (unsigned)error);
    if (f) fclose(f);

    EnvMakeKey("Software\\VntrContract\\Values");
    HKEY key = NULL;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\VntrContract\\Values", &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Driver", 0, REG_SZ, (const BYTE*)"abc", 4);
        char name[32];
        BYTE value[8];
        DWORD type = 0, nameSize = sizeof name, size = 2;
        LONG status = RegEnumValueA(key, 0, name, &nameSize, NULL, &type, value, &size);
        Check(status == ERROR_MORE_DATA && size == 4,
              "RegEnumValueA with too little room for the data returns 234 and the size needed",
              "returned %d, size %u", (int)status, (unsigned)size);
        nameSize = sizeof name;
        size = sizeof value;
        status = RegEnumValueA(key, 0, name, &nameSize, NULL, &type, value, &size);
        Check(status == ERROR_SUCCESS && strcmp(name, "Driver") == 0 && nameSize == 6 &&
                  type == REG_SZ && size == 4 && memcmp(value, "abc", 4) == 0,
              "RegEnumValueA gives name (length without NUL), type and data",
              "returned %d, name %s (%u), type %u, size %u", (int)status, Shown(name),
              (unsigned)nameSize, (unsigned)type, (unsigned)size);
        nameSize = 3;
        size = sizeof value;
        status = RegEnumValueA(key, 0, name, &nameSize, NULL, &type, value, &size);
        Check(status == ERROR_MORE_DATA,
              "RegEnumValueA with too little room for the name returns 234", "returned %d",
              (int)status);
        nameSize = sizeof name;
        size = sizeof value;
        status = RegEnumValueA(key, 1, name, &nameSize, NULL, &type, value, &size);
        Check(status == ERROR_NO_MORE_ITEMS, "RegEnumValueA past the last value returns 259",
              "returned %d", (int)status);
        RegCloseKey(key);
    }

    UINT codepage = GetACP();
    Check(codepage != 0, "GetACP names a code page", "returned %u", codepage);
    SYSTEMTIME now;
    memset(&now, 0, sizeof now);
    GetLocalTime(&now);
    Check(now.wYear >= 2004 && now.wMonth >= 1 && now.wMonth <= 12 && now.wDay >= 1 &&
              now.wDay <= 31 && now.wHour < 24,
          "GetLocalTime fills in a date", "%u-%u-%u %u h", now.wYear, now.wMonth, now.wDay,
          now.wHour);
}

// How the capture lists the package folder: every entry of a folder, "."
// and ".." among them (below a drive root), files with their size, until
// FindNextFileA ends with ERROR_NO_MORE_FILES; a mask that fits nothing
// fails with 2, a folder that is not there with 3. The order is the file
// system's, so none is checked.
static void DirectorySearches(void) {
    char pattern[300], sub[300];
    Path(sub, "\\search");
    CreateDirectoryA(sub, NULL);
    Path(sub, "\\search\\sub");
    CreateDirectoryA(sub, NULL);
    Path(pattern, "\\search\\Data.bin");
    EnvPutFile(pattern, "abcde", 5);
    Path(pattern, "\\search\\*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    Check(search != INVALID_HANDLE_VALUE, "FindFirstFileA of a folder's entries",
          "failed, error %u", (unsigned)GetLastError());
    if (search == INVALID_HANDLE_VALUE) return;
    int dots = 0, data = 0, folders = 0, count = 0;
    do {
        BOOL dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        ++count;
        if (dir && (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))) ++dots;
        if (!dir && !strcmp(found.cFileName, "Data.bin") && found.nFileSizeLow == 5 &&
            found.nFileSizeHigh == 0)
            ++data;
        if (dir && !strcmp(found.cFileName, "sub")) ++folders;
    } while (FindNextFileA(search, &found));
    DWORD error = GetLastError();
    Check(dots == 2 && data == 1 && folders == 1 && count == 4,
          "a search gives '.', '..', the file with its name and size, and the folder",
          "%d entries: %d dots, %d files, %d folders", count, dots, data, folders);
    Check(error == ERROR_NO_MORE_FILES, "FindNextFileA ends with 18", "ended with error %u",
          (unsigned)error);
    Check(FindClose(search), "FindClose", "failed, error %u", (unsigned)GetLastError());

    struct {
        const char* pattern;
        DWORD error;
        const char* check;
    } cases[] = {
        {"\\search\\*.none", ERROR_FILE_NOT_FOUND,
         "FindFirstFileA of a mask that fits nothing fails with 2"},
        {"\\search\\none\\*", ERROR_PATH_NOT_FOUND,
         "FindFirstFileA in a missing folder fails with 3"},
        {"\\search\\*.BIN", 0, "FindFirstFileA matches a mask without regard to case"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Path(pattern, cases[i].pattern);
        SetLastError(0);
        search = FindFirstFileA(pattern, &found);
        error = search == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        Check(error == cases[i].error && (error || !strcmp(found.cFileName, "Data.bin")),
              cases[i].check, "error %u", (unsigned)error);
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
    }
}

int RunContractChecks(void) {
    g_failed = 0;
    CurrentDirectory();
    Files();
    TextModeReads();
    Registry();
    LibrariesAndTexts();
    Devices();
    CaptureCalls();
    DirectorySearches();
    printf("%d failed\n", g_failed);
    return g_failed;
}
