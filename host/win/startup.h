// What the start-up code of setup.exe (start.cpp) and of vntrcapture.exe
// (console_start.cpp) share: the constructor list and the command line.
#ifndef VNTR_WIN_STARTUP_H
#define VNTR_WIN_STARTUP_H

#include "host/host.h"

// Constructor list laid out by the linker script: a -1 marker, the
// constructors in link order, then a null entry. The programs have no
// dynamic initialisers today; running the list keeps one added later from
// being silently skipped.
typedef void (*Constructor)(void);
extern "C" Constructor __CTOR_LIST__[];

static inline void RunConstructors(void) {
    int count = 0;
    while (__CTOR_LIST__[count + 1]) ++count;
    // Run last to first, as the toolchain's own start-up does.
    while (count > 0) __CTOR_LIST__[count--]();
}

// The command line without the program name: skip the name (quoted or
// not), then the blanks after it.
static inline LPSTR ArgumentsOf(LPSTR line) {
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

#endif  // VNTR_WIN_STARTUP_H
