// vntrcapture: writes a machine file describing the machine it runs on, as
// far as setup.exe can observe it there, for the simulator to replay. It
// reads and never changes anything but the file it is told to write.
#ifndef VNTR_CAPTURE_H
#define VNTR_CAPTURE_H

#include "host/host.h"

// The parts of a capture, in the order of the machine file (parts.cpp,
// registry.cpp, libraries.cpp).

// What the first part finds and the others build on.
struct Captured {
    DWORD platform;       // dwPlatformId, 0 when the version query failed
    const char* current;  // the package folder, no trailing backslash; NULL when unknown
    const char* windows;  // the Windows directory, no trailing backslash; NULL when unknown
    const char* system;   // the system directory, no trailing backslash; NULL when unknown
    LCID locale;
    const char* written;  // the machine file's path as given; NULL for standard output
};

// The header, the Windows version, locale, code page and directories (the
// top-level keys), and what the file leaves out.
void CaptureSystem(Captured* machine);
// The package folder, the current directory: INF and catalog files and the
// message files by their bytes, other files by their size and CRC-32.
void CapturePackage(const Captured* machine);
// Windows 98, 98 SE and ME: the INF folders, OtherDevicePath and the device
// keys under Enum\PCI.
void CaptureLegacy(const Captured* machine);
// Windows 2000 and XP: setupapi.dll and newdev.dll, planted copies of them,
// and the present devices with their hardware identifiers.
void CaptureNt(const Captured* machine);
// setupapi.dll and newdev.dll by name, without the leading backslash: the
// libraries CaptureNt looks for in the system directory and, planted, in
// the package folder.
#define PLANTED_LIBRARY_COUNT 2
extern const char* const kPlantedLibraries[PLANTED_LIBRARY_COUNT];

// `directory` and `name` joined by a backslash, in a buffer of the capture's
// (`slot` 0 or 1: two paths may be in use at once).
const char* PathIn(int slot, const char* directory, const char* name);
// The attributes of what lies at `path`, or INVALID_FILE_ATTRIBUTES when
// nothing is there or it cannot be looked at; the latter is written into
// the machine file as a comment with the error.
DWORD LookAt(const char* path);
// Writes what lies at `path` as [[files]] or [[dirs]]: a file by its size
// and CRC-32 (or with `contents`, by its bytes when it has at most 64 KiB),
// or the error that keeps it from being read; nothing when nothing is there.
void CaptureFile(const char* path, BOOL contents);

#endif  // VNTR_CAPTURE_H
