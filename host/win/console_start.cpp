// Process entry of vntrcapture.exe, a console program started the way
// setup.exe is (start.cpp): no toolchain start-up, msvcrt's streams as
// msvcrt.dll sets them up when it is loaded, and the end through msvcrt's
// exit(), which flushes standard output (the machine file may go there)
// before it calls ExitProcess.
#include "host/win/startup.h"
// exit(), after the program's own header like every other system header.
#include <stdlib.h>

extern "C" void __cdecl VntrConsoleStart(void) {
    RunConstructors();
    exit(CaptureMain(ArgumentsOf(GetCommandLineA())));
}
