// Interfaces between the parts of the program: start-up and messages (app/),
// the legacy-platform installation (legacy/) and the NT-platform installation
// (nt/). Process-wide state is declared here and defined where it is owned.
#ifndef VNTR_PROGRAM_H
#define VNTR_PROGRAM_H

#include "host/host.h"

// Resource ids.
#define IDS_CAPTION 103
#define IDI_PROGRAM 107

// Message indexes into the message table.
#define MSG_FAILED 0
#define MSG_NO_CONTROLLER 1
#define MSG_SUCCESS 2
#define MSG_SUCCESS_REBOOT 3
#define MSG_CONFIRM 4
#define MESSAGE_COUNT 5

// Size of every path buffer: 255 characters and the terminating NUL.
#define PATH_BUFFER 256

// The title of every message box, loaded once from string resource 103.
extern char g_caption[100];

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

// Message table.
void LoadMessages(void);
const char* MessageText(int index);
void ReleaseMessages(void);

// Shows a message box with no owner and the caption as title.
int ShowBox(const char* text, UINT type);

// Paths. Each returns FALSE, leaving a valid (possibly partial) string in the
// buffer, when the result would not fit a PATH_BUFFER-byte buffer; nothing is
// ever cut short silently.
BOOL GetStartingDirectory(char* buffer);
BOOL GetWindowsDir(char* buffer);
BOOL JoinPath(char* buffer, const char* directory, const char* name);

// Legacy platform (Windows 98, 98 SE, ME).
void RunLegacyFlow(void);
// Results of ResetDeviceRegistry.
#define RESET_NONE_FOUND 0  // no controller key: nothing deleted
#define RESET_DONE 1        // controller keys found and their deletion requested
#define RESET_NO_MEMORY 2   // the keys could not all be listed: nothing deleted
int ResetDeviceRegistry(void);

// NT platform (Windows 2000, XP).
void RunNtFlow(void);

#endif  // VNTR_PROGRAM_H
