// The NT flow: binds setupapi.dll, looks for either controller model and
// hands the driver package's INF file for the matched hardware identifier
// to the new-device installer.
#include "common/messages.h"
#include "common/product.h"
#include "nt/nt.h"

// The driver-package path handed to the update.
static char g_packagePath[PATH_BUFFER];

static const char kFirstModel[] = CONTROLLER_ID(FIRST_MODEL);
static const char kSecondModel[] = CONTROLLER_ID(SECOND_MODEL);

// Forms the driver-package path anew: the starting directory followed by
// the INF file of the running NT version. NULL when the directory cannot be
// had or the path would not fit.
static const char* DriverPackagePath(void) {
    if (!GetStartingDirectory(g_packagePath)) return NULL;
    // A failed query leaves the record zeroed: minor version 0.
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    // Windows 2000 is 5.0, XP 5.1; later versions get the bare directory.
    const char* inf = version.dwMinorVersion == 0   ? INF_2000
                      : version.dwMinorVersion == 1 ? INF_XP
                                                    : "";
    if (!JoinPath(g_packagePath, g_packagePath, inf)) return NULL;
    return g_packagePath;
}

// Installs the package's INF for g_hardwareId through newdev.dll. FALSE
// when the library, its entry point or the path is missing, or the update
// failed.
static BOOL UpdateDriver(void) {
    HMODULE newdev = LoadSystemLibrary(NEWDEV_LIBRARY);
    if (!newdev) return FALSE;
    UpdateDriverForPlugAndPlayDevicesA_t update =
        (UpdateDriverForPlugAndPlayDevicesA_t)(void (*)(void))GetProcAddress(newdev, UPDATE_ENTRY);
    BOOL updated = FALSE;
    if (update) {
        const char* path = DriverPackagePath();
        // A path that does not fit is not passed cut short: it would name
        // another file.
        if (path) {
            // Whether Windows wants a restart is its own business: the
            // program offers none on this platform.
            BOOL reboot = FALSE;
            updated = update(NULL, g_hardwareId, path, INSTALLFLAG_FORCE, &reboot);
        }
    }
    FreeLibrary(newdev);
    return updated;
}

void RunNtFlow(void) {
    HMODULE setupapi = BindSetupLibrary();
    int message;
    // Without the library or an entry the search calls there is nothing to
    // search with.
    if (!setupapi || !SearchEntriesBound())
        message = MSG_FAILED;
    else if (!SearchController(kFirstModel) && !SearchController(kSecondModel))
        message = MSG_NO_CONTROLLER;
    else
        message = UpdateDriver() ? MSG_SUCCESS : MSG_FAILED;
    ShowBox(MessageText(message), MB_OK);
    ReleaseMessages();
    UnbindSetupLibrary(setupapi);
}
