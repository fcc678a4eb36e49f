// The installation on the legacy platform (Windows 98, 98 SE, ME): copies the
// driver package into the Windows INF directory, has the controllers' registry
// keys reset so that they are detected afresh, and offers to restart.
#include "common/messages.h"
#include "common/paths.h"
#include "common/product.h"
#include "legacy/legacy.h"

#define EDITION_98 0
#define EDITION_98SE 1
#define EDITION_ME 2

// The package files of each edition. Each name carries its own leading
// backslash and is appended to a directory as it is. Windows 98 has no
// catalog.
static const char* const kInfFiles[3] = {INF_98, INF_98SE, INF_ME};
static const char* const kCatalogs[3] = {NULL, CATALOG_98SE, CATALOG_ME};

// The edition from the low word of the build number; -1 for any build this
// package has no files for (Windows 95, for one).
static int EditionOf(DWORD buildNumber) {
    switch (buildNumber & 0xFFFF) {
        case BUILD_98:
            return EDITION_98;
        case BUILD_98SE:
            return EDITION_98SE;
        case BUILD_ME:
            return EDITION_ME;
    }
    return -1;
}

// Shows the closing message and releases the table: every way out of the
// flow but the restart ends here.
static void Finish(int message) {
    ShowBox(MessageText(message), MB_OK);
    ReleaseMessages();
}

// Makes the starting directory current again. At a drive root the starting
// directory is "X:" alone, which names the drive's current directory (the one
// just left), so the root's backslash is put back for this call.
static void ReturnTo(const char* start) {
    char root[4];
    if (strlen(start) == 2 && start[1] == ':') {
        JoinPath(root, start, "\\");
        start = root;
    }
    SetCurrentDirectoryA(start);
}

void RunLegacyFlow(void) {
    char start[PATH_BUFFER], windows[PATH_BUFFER], target[PATH_BUFFER];
    char infFrom[PATH_BUFFER], infTo[PATH_BUFFER];
    char catalogFrom[PATH_BUFFER], catalogTo[PATH_BUFFER];

    if (!GetStartingDirectory(start) || !GetWindowsDir(windows)) {
        Finish(MSG_FAILED);
        return;
    }

    // A failed query leaves the record zeroed, and build 0 has no edition.
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    int edition = EditionOf(version.dwBuildNumber);
    if (edition < 0) {
        Finish(MSG_FAILED);
        return;
    }
    const char* inf = kInfFiles[edition];
    const char* catalog = kCatalogs[edition];

    // Every path is formed before anything is changed: a directory too long
    // for any one of them leaves the machine as it was.
    BOOL fits = JoinPath(target, windows, INF_DIR) &&
                (edition != EDITION_ME || JoinPath(target, target, OTHER_DIR)) &&
                JoinPath(infFrom, start, inf) && JoinPath(infTo, target, inf) &&
                (!catalog ||
                 (JoinPath(catalogFrom, start, catalog) && JoinPath(catalogTo, target, catalog)));
    if (!fits) {
        Finish(MSG_FAILED);
        return;
    }

    // Windows ME keeps third-party INF files in INF\OTHER, which may not exist
    // yet. Entering it is the test for its existence.
    if (edition == EDITION_ME) {
        if (!SetCurrentDirectoryA(target) && !CreateDirectoryA(target, NULL)) {
            Finish(MSG_FAILED);
            return;
        }
        ReturnTo(start);
    }

    // Copies replace whatever an earlier installation left there. A failure
    // undoes nothing that was done before it.
    if (!CopyFileA(infFrom, infTo, FALSE) ||
        (catalog && !CopyFileA(catalogFrom, catalogTo, FALSE))) {
        Finish(MSG_FAILED);
        return;
    }

    int reset = ResetDeviceRegistry();
    if (reset != RESET_DONE) {
        // The staged files stay in place either way.
        Finish(reset == RESET_NONE_FOUND ? MSG_NO_CONTROLLER : MSG_FAILED);
        return;
    }

    if (ShowBox(MessageText(MSG_SUCCESS_REBOOT), MB_YESNO) == IDYES) {
        // The process may end inside the request: release first. Whether the
        // restart was granted is not examined.
        ReleaseMessages();
        ExitWindowsEx(EWX_REBOOT, 0);
        return;
    }
    Finish(MSG_SUCCESS);
}
