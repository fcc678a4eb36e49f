// The system and the package folder: the header and top-level keys of the
// machine file, and the files setup.exe reads or copies.
#include "capture/capture.h"
#include "capture/output.h"
#include "common/crc32.h"
#include "common/paths.h"
#include "common/product.h"
#include "res/version.h"

// Windows paths are at most 32,767 characters; a name joined to one fits
// these buffers too.
#define LONG_PATH 33024

// The most a file's bytes are written for (INF, catalog and message files,
// which are small; a larger one is given by its size and CRC-32), and the
// most the simulator holds of a file given by its size and CRC-32.
#define CONTENTS_CAP 65536u
#define SUM_CAP (16u << 20)

// How much of the package folder is listed: the folder a user starts
// setup.exe from may be the root of a CD with other drivers on it.
#define WALK_FILES 512
#define WALK_DEPTH 3

static char g_directories[3][LONG_PATH];
static char g_paths[2][LONG_PATH];

const char* PathIn(int slot, const char* directory, const char* name) {
    char* path = g_paths[slot];
    size_t length = strlen(directory);
    memcpy(path, directory, length);
    path[length] = '\\';
    strcpy(path + length + 1, name);
    return path;
}

// A failing query that setup.exe would meet as well: the machine file plans
// the same failure for every call.
static void PutFault(const char* call, DWORD error) {
    Put("\n[[faults]]\ncall = \"");
    Put(call);
    Put("\"\ncount = 4294967295\n");
    PutErrorLine("error", error);
}

#define CURRENT_DIRECTORY 0
#define WINDOWS_DIRECTORY 1
#define SYSTEM_DIRECTORY 2

// One of the three directories, as Windows gives it, or NULL with *error
// set when the query fails.
static char* Directory(int which, DWORD* error) {
    char* buffer = g_directories[which];
    DWORD length = which == CURRENT_DIRECTORY   ? GetCurrentDirectoryA(LONG_PATH, buffer)
                   : which == WINDOWS_DIRECTORY ? GetWindowsDirectoryA(buffer, LONG_PATH)
                                                : GetSystemDirectoryA(buffer, LONG_PATH);
    *error = GetLastError();
    if (length == 0 || length >= LONG_PATH) return NULL;
    return buffer;
}

// The directory as a machine-file key, then without its trailing backslash
// (a drive root "C:\" becomes "C:") for joining names to it, stepping by
// characters as setup.exe does.
static const char* PutDirectory(const char* key, char* directory) {
    PutTextLine(key, directory);
    RemoveTrailingBackslash(directory);
    return directory;
}

void CaptureSystem(Captured* machine) {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    DWORD versionError = GetVersionExA(&version) ? 0 : GetLastError();
    machine->platform = version.dwPlatformId;

    SYSTEMTIME now;
    GetLocalTime(&now);
    char when[40];
    sprintf(when, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
            now.wMinute, now.wSecond);
    Put("# Captured by vntrcapture " VNTR_VERSION " on ");
    Put(when);
    Put(" (local time).\n# Replay: vntrsetup-sim --machine FILE --answer yes");
    // On the 9x family setup.exe asks a second question once it has staged
    // the files and reset a controller: whether to restart. Answered No, the
    // replay ends there; where it is not asked the answer is left over, which
    // the simulator only warns about.
    if (machine->platform == VER_PLATFORM_WIN32_WINDOWS) Put(" --answer no");
    Put("\n# Not captured: answers, faults, the update's result, registry_delete, stdout.\n"
        "name = \"Captured ");
    Put(when);
    Put("\"\n");

    Put("os = { base = ");
    Put(version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? "\"98se\"" : "\"xp\"");
    Put(", platform = ");
    PutNumber(version.dwPlatformId);
    Put(", major = ");
    PutNumber(version.dwMajorVersion);
    Put(", minor = ");
    PutNumber(version.dwMinorVersion);
    Put(", build_number = ");
    // The 9x family keeps the version in the high word: 0x040A08AE is 4.10.2222.
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        PutNumber(version.dwBuildNumber);
    else
        PutHexNumber(version.dwBuildNumber, 8);
    Put(", csd = ");
    const char* end = (const char*)memchr(version.szCSDVersion, '\0', sizeof version.szCSDVersion);
    PutText(version.szCSDVersion,
            end ? (size_t)(end - version.szCSDVersion) : sizeof version.szCSDVersion);
    Put(" }\n");

    UINT acp = GetACP();
    UINT codepage = UseCodePage(acp);
    if (codepage != acp) {
        Put("# ANSI code page ");
        PutNumber(acp);
        Put(" is unknown to the simulator: texts as their bytes, read as code page 1252\n");
    }
    PutNumberLine("codepage", codepage);
    machine->locale = GetSystemDefaultLCID();
    Put("locale = ");
    PutHexNumber(machine->locale, 4);
    Put("\n");

    DWORD errors[3];
    char* directories[3];
    for (int i = 0; i < 3; ++i) directories[i] = Directory(i, &errors[i]);
    if (directories[WINDOWS_DIRECTORY])
        machine->windows = PutDirectory("windows_dir", directories[WINDOWS_DIRECTORY]);
    if (directories[SYSTEM_DIRECTORY]) {
        // The 9x flow never asks for it.
        if (machine->platform != VER_PLATFORM_WIN32_NT) Put("# ");
        machine->system = PutDirectory("system_dir", directories[SYSTEM_DIRECTORY]);
    }
    if (directories[CURRENT_DIRECTORY])
        machine->current = PutDirectory("current_dir", directories[CURRENT_DIRECTORY]);
    Put("background = false\npackage = false\n");

    // The simulated Windows has an INF folder: take it away when this one has
    // none (or a file of that name, which no copy can go into either).
    if (machine->platform == VER_PLATFORM_WIN32_WINDOWS && machine->windows) {
        const char* inf = PathIn(0, machine->windows, "INF");
        DWORD attributes = LookAt(inf);
        DWORD error = GetLastError();
        if (attributes == INVALID_FILE_ATTRIBUTES
                ? error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                : !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (attributes != INVALID_FILE_ATTRIBUTES) Put("# INF is a file\n");
            Put("remove = [");
            PutCText(inf);
            Put("]\n");
        }
    }

    // Only the queries setup.exe makes there: the Windows directory on the
    // 9x family, the system directory on NT.
    if (versionError) PutFault("GetVersionExA", versionError);
    static const char* const kQueries[3] = {"GetCurrentDirectoryA", "GetWindowsDirectoryA",
                                            "GetSystemDirectoryA"};
    static const DWORD kAsked[3] = {~0u, 1u << VER_PLATFORM_WIN32_WINDOWS,
                                    1u << VER_PLATFORM_WIN32_NT};
    for (int i = 0; i < 3; ++i)
        if (!directories[i] && machine->platform < 32 && (kAsked[i] >> machine->platform & 1))
            PutFault(kQueries[i], errors[i]);
}

DWORD LookAt(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES && error != ERROR_FILE_NOT_FOUND &&
        error != ERROR_PATH_NOT_FOUND) {
        Put("# ");
        PutCText(path);
        Put("\n");
        PutErrorNote("cannot look at it", error);
        SetLastError(error);
    }
    return attributes;
}

void CaptureFile(const char* path, BOOL contents) {
    DWORD attributes = LookAt(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    Put(attributes & FILE_ATTRIBUTE_DIRECTORY ? "\n[[dirs]]\n" : "\n[[files]]\n");
    PutTextLine("path", path);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return;

    FILE* file = fopen(path, "rb");
    if (!file) {
        PutErrorLine("error", GetLastError());
        return;
    }
    static BYTE kept[CONTENTS_CAP];
    static BYTE block[4096];
    DWORD size = 0, crc = 0;
    size_t got;
    do {
        got = fread(block, 1, sizeof block, file);
        if (size < SUM_CAP) crc = Crc32(crc, block, got < SUM_CAP - size ? got : SUM_CAP - size);
        if (size < CONTENTS_CAP)
            memcpy(kept + size, block, got < CONTENTS_CAP - size ? got : CONTENTS_CAP - size);
        size += (DWORD)got;
    } while (got == sizeof block);
    BOOL failed = ferror(file);
    DWORD error = GetLastError();
    fclose(file);
    if (failed) {
        PutErrorLine("error", error);
        return;
    }
    // A size and CRC-32 stand for the file in a replay; fewer than four bytes
    // cannot be made up again to that sum, so they are given as they are.
    if ((contents && size <= CONTENTS_CAP) || size < 4) {
        Put("hex = ");
        PutHex(kept, size, TRUE);
        Put("\n");
        return;
    }
    if (contents) Put("# over 64 KiB: by size and CRC-32\n");
    if (size > SUM_CAP) {
        Put("# ");
        PutNumber(size);
        Put(" bytes, summed up to 16 MiB\n");
        size = SUM_CAP;
    }
    PutNumberLine("size", size);
    Put("crc32 = ");
    PutHexNumber(crc, 8);
    Put("\n");
}

// Whether two names are the same, ASCII letters compared without case.
static BOOL SameName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? (char)(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? (char)(*b - 32) : *b;
        if (x != y) return FALSE;
        if (!x) return TRUE;
    }
}

// Whether `name` ends in `extension` (".INF"), without regard to case.
static BOOL HasExtension(const char* name, const char* extension) {
    size_t length = strlen(name), tail = strlen(extension);
    return length > tail && SameName(name + length - tail, extension);
}

// The package folder's walk: the path of the folder being listed, and the
// number of files listed so far.
static char g_walk[LONG_PATH];
static int g_listed;

// Whether the walk passes the entry over: the folder's own entries, the
// file being written (it appears in the folder while the capture runs), on
// 2000/XP the libraries that [[planted]] stands for, the message folder,
// which is listed before the other folders, and the Windows directory (a
// package folder at a drive root holds it), which the capture's other
// parts describe: its INF files are Windows', not the package's.
static BOOL PassOver(const Captured* machine, const char* name, int depth) {
    if (!strcmp(name, ".") || !strcmp(name, "..")) return TRUE;
    if (machine->windows && SameName(g_walk, machine->windows)) return TRUE;
    if (machine->written) {
        // A bare name is in the current directory, the package folder.
        BOOL bare = TRUE;
        for (const char* c = machine->written; *c; ++c)
            if (*c == '\\' || *c == '/' || *c == ':') bare = FALSE;
        if (bare ? depth == 0 && SameName(name, machine->written)
                 : SameName(g_walk, machine->written))
            return TRUE;
    }
    if (depth != 0) return FALSE;
    if (SameName(name, MESSAGE_FOLDER)) return TRUE;
    if (machine->platform != VER_PLATFORM_WIN32_NT) return FALSE;
    for (int i = 0; i < PLANTED_LIBRARY_COUNT; ++i)
        if (SameName(name, kPlantedLibraries[i])) return TRUE;
    return FALSE;
}

static void CaptureFolder(const Captured* machine, size_t length, int depth);

// One pass over the folder g_walk (`length` bytes long): its files, INF and
// catalog files (and in the message folder, message files) by their bytes,
// other files by size and CRC-32; or its folders, each with what lies below
// it to WALK_DEPTH. What cannot be listed is said with its error.
static void ListFolder(const Captured* machine, size_t length, int depth, BOOL folders,
                       BOOL messages) {
    strcpy(g_walk + length, "\\*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(g_walk, &found);
    DWORD error = GetLastError();
    BOOL more = search != INVALID_HANDLE_VALUE;
    while (more && g_listed < WALK_FILES) {
        const char* name = found.cFileName;
        strcpy(g_walk + length + 1, name);
        BOOL folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder == folders && !PassOver(machine, name, depth)) {
            ++g_listed;
            CaptureFile(g_walk, HasExtension(name, ".INF") || HasExtension(name, ".CAT") ||
                                    (messages && HasExtension(name, ".DAT")));
            if (folder && depth < WALK_DEPTH)
                CaptureFolder(machine, length + 1 + strlen(name), depth + 1);
            else if (folder)
                Put("# what it holds is not listed: over 3 levels down\n");
        }
        more = FindNextFileA(search, &found);
        error = GetLastError();
    }
    g_walk[length] = '\0';
    if (more) {
        Put("# the rest of ");
        PutCText(g_walk);
        Put(" is not listed: over 512 entries\n");
    } else if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND &&
               error != ERROR_PATH_NOT_FOUND) {
        Put("# ");
        PutCText(g_walk);
        Put("\n");
        PutErrorNote("cannot list it", error);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

// The files of a folder, then its folders.
static void CaptureFolder(const Captured* machine, size_t length, int depth) {
    ListFolder(machine, length, depth, FALSE, FALSE);
    ListFolder(machine, length, depth, TRUE, FALSE);
}

void CapturePackage(const Captured* machine) {
    if (!machine->current || strlen(machine->current) >= LONG_PATH - MAX_PATH * (WALK_DEPTH + 2))
        return;
    Put("\n# The package\n");
    size_t length = strlen(machine->current);
    strcpy(g_walk, machine->current);
    g_listed = 0;
    // What setup.exe reads comes first: the folder's own files, then the
    // message files, then the other folders.
    ListFolder(machine, length, 0, FALSE, FALSE);
    strcpy(g_walk + length, "\\" MESSAGE_FOLDER);
    CaptureFile(g_walk, FALSE);
    ListFolder(machine, length + 1 + strlen(MESSAGE_FOLDER), 1, FALSE, TRUE);
    g_walk[length] = '\0';
    ListFolder(machine, length, 0, TRUE, FALSE);
}
