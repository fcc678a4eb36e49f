// The one boundary between the program and the system it runs on.
//
// The program calls Windows functions by their Windows names and uses Windows
// types, and includes nothing but this header. On Windows the names come from
// the platform headers. Elsewhere this header declares the subset the program
// uses; sim/ implements it over a simulated machine.
#ifndef VNTR_HOST_H
#define VNTR_HOST_H

#ifdef _WIN32

// msvcrt's own printf family, not mingw's replacement, which would pull in
// code and imports that Windows 98 does not have.
#define __USE_MINGW_ANSI_STDIO 0
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#ifndef INSTALLFLAG_FORCE
#define INSTALLFLAG_FORCE 0x00000001
#endif

// The standard streams straight from msvcrt's _iob array. The toolchain's
// own definitions call a helper that brings an initialised pointer into
// .data, which host/win/setup.ld keeps for uninitialised data only (with
// one, the whole zero-filled .data would take room in the file).
#undef stdout
#undef stderr
#define stdout (&_iob[1])
#define stderr (&_iob[2])

#else  // the simulated machine

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef DWORD LCID;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef BOOL* PBOOL;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t SIZE_T;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef LONG LSTATUS;

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef void* HDEVINFO;
typedef INT_PTR (*FARPROC)(void);

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[260];  // MAX_PATH
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

#define MB_OK 0x00000000u
#define MB_YESNO 0x00000004u
#define IDOK 1
#define IDYES 6
#define IDNO 7

#define EWX_REBOOT 0x00000002u

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_NOT_READY 21L
#define ERROR_READ_FAULT 30L
#define ERROR_FILE_EXISTS 80L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_DISK_FULL 112L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_INVALID_NAME 123L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_INVALID_USER_BUFFER 1784L

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_USER_DEFAULT 0x0400u

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define SPDRP_HARDWAREID 0x00000001u
#define INSTALLFLAG_FORCE 0x00000001u

#define SW_SHOWDEFAULT 10

#define CP_ACP 0
#define MB_ERR_INVALID_CHARS 0x00000008u

#ifdef __cplusplus
extern "C" {
#endif

// kernel32
BOOL GetVersionExA(LPOSVERSIONINFOA info);
LCID GetSystemDefaultLCID(void);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
BOOL SetCurrentDirectoryA(LPCSTR path);
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
DWORD GetLastError(void);
void SetLastError(DWORD code);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);
UINT GetACP(void);
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                        int wideSize);
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR wide, int wideSize, LPSTR text,
                        int size, LPCSTR defaultChar, PBOOL usedDefault);
DWORD GetFileAttributesA(LPCSTR path);
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found);
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA found);
BOOL FindClose(HANDLE search);
void GetLocalTime(LPSYSTEMTIME time);

// user32
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
LPSTR CharPrevA(LPCSTR start, LPCSTR current);
BOOL ExitWindowsEx(UINT flags, DWORD reserved);

// advapi32
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR className, LPDWORD classSize, PFILETIME lastWrite);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegCloseKey(HKEY key);

// Files are opened through the simulated file system: for reading (the
// message file, the package files) or for writing (a new file, which appears
// in the machine when it is closed). Reads, writes, the error flag and the
// close are recorded and can be made to fail; fgets is the C library's own.
// Without a machine running they are the C library's functions.
FILE* HostFopen(const char* path, const char* mode);
size_t HostFread(void* buffer, size_t size, size_t count, FILE* stream);
size_t HostFwrite(const void* buffer, size_t size, size_t count, FILE* stream);
int HostFerror(FILE* stream);
int HostFclose(FILE* stream);

#ifdef __cplusplus
}
#endif

#define fopen(path, mode) HostFopen((path), (mode))
#define fread(buffer, size, count, stream) HostFread((buffer), (size), (count), (stream))
#define fwrite(buffer, size, count, stream) HostFwrite((buffer), (size), (count), (stream))
#define ferror(stream) HostFerror(stream)
#define fclose(stream) HostFclose(stream)

#endif  // _WIN32

// Entry points of the device-installation libraries, which the program loads
// at run time and calls through pointers of these types.
typedef HDEVINFO(WINAPI* SetupDiGetClassDevsA_t)(const GUID* classGuid, PCSTR enumerator,
                                                 HWND parent, DWORD flags);
typedef BOOL(WINAPI* SetupDiEnumDeviceInfo_t)(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
typedef BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA_t)(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                          DWORD property, PDWORD regType,
                                                          BYTE* buffer, DWORD size,
                                                          PDWORD required);
typedef BOOL(WINAPI* SetupDiDestroyDeviceInfoList_t)(HDEVINFO set);
typedef BOOL(WINAPI* UpdateDriverForPlugAndPlayDevicesA_t)(HWND parent, LPCSTR hardwareId,
                                                           LPCSTR infPath, DWORD flags,
                                                           PBOOL rebootRequired);

// The two programs' entry points, which the start-up code (host/win/) or the
// simulator calls: setup.exe's WinMain (app/) gets the command line without
// the program name; vntrcapture's CaptureMain (capture/) gets the same and
// returns the exit code: 0 when the machine file was written, 1 when it
// could not be, 2 for a bad command line.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);
int CaptureMain(char* arguments);

#endif  // VNTR_HOST_H
