/*
 * The body of a stand-in for a system library that lacks some entry points:
 * built with a module-definition file, generated for each machine, that
 * forwards every export of Wine's own copy of the library (loaded under
 * another name) except the missing ones.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
