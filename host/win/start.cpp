// Process entry of setup.exe, used instead of the toolchain's C runtime
// start-up: that code is built for the P6 (it contains CMOV), brings a TLS
// directory and imports functions Windows 98 does not have.
//
// msvcrt.dll sets up its heap and standard streams when it is loaded, so
// the program can use stdio without msvcrt's own start-up. The process ends
// through msvcrt's exit(), which flushes the streams (the trace may go to a
// redirected standard output) before it calls ExitProcess.
#include "host/win/startup.h"
// exit(), after the program's own header like every other system header.
#include <stdlib.h>

extern "C" void __cdecl VntrStart(void) {
    RunConstructors();

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;

    // WinMain gets the command line without the program name.
    exit(WinMain(GetModuleHandleA(NULL), NULL, ArgumentsOf(GetCommandLineA()), show));
}
