// Process entry of setup.exe, used instead of the toolchain's C runtime
// start-up: that code is built for the P6 (it contains CMOV), brings a TLS
// directory and imports functions Windows 98 does not have.
//
// msvcrt.dll sets up its heap and standard streams when it is loaded, so
// the program can use stdio without msvcrt's own start-up. The process ends
// through msvcrt's exit(), which flushes the streams (the trace may go to a
// redirected standard output) before it calls ExitProcess.
#include "app/program.h"
// exit(), after the program's own header like every other system header.
#include <stdlib.h>

// Constructor list laid out by the linker script: a -1 marker, the
// constructors in link order, then a null entry. The program proper has no
// dynamic initialisers today; running the list keeps one added later from
// being silently skipped.
typedef void (*Constructor)(void);
extern "C" Constructor __CTOR_LIST__[];

static void RunConstructors(void) {
    int count = 0;
    while (__CTOR_LIST__[count + 1]) ++count;
    // Run last to first, as the toolchain's own start-up does.
    while (count > 0) __CTOR_LIST__[count--]();
}

// The command line without the program name, as WinMain expects it: skip
// the name (quoted or not), then the blanks after it.
static LPSTR ArgumentsOf(LPSTR line) {
    if (*line == '"') {
        ++line;
        while (*line && *line != '"') ++line;
        if (*line == '"') ++line;
    } else {
        while ((unsigned char)*line > ' ') ++line;
    }
    while (*line && (unsigned char)*line <= ' ') ++line;
    return line;
}

extern "C" void __cdecl VntrStart(void) {
    RunConstructors();

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;

    exit(WinMain(GetModuleHandleA(NULL), NULL, ArgumentsOf(GetCommandLineA()), show));
}
