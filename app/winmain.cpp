// Entry point: loads the caption and the messages, asks for confirmation and
// hands over to the installation flow of the running platform.
#include "common/messages.h"
#include "host/host.h"
#include "legacy/legacy.h"
#include "nt/nt.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // A missing resource leaves the caption empty; the boxes still show.
    LoadCaption(instance);
    LoadMessages();

    // The table is deliberately not released on the early ways out: the
    // process ends right after.
    if (ShowBox(MessageText(MSG_CONFIRM), MB_YESNO) != IDYES) return 0;

    // A failed query leaves the record zeroed: platform 0 installs nothing.
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);

    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        RunLegacyFlow();
    else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        RunNtFlow();
    return 0;
}
