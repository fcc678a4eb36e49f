/*
 * Holds a Wine session open: started first in each session, it has Wine
 * boot (wineboot runs when a session's first process starts, and again
 * once no process is left) and start its desktop process (explorer.exe,
 * which draws the boxes' frames), and then waits until the session ends.
 * The programs run after it (vntrcapture.exe, setup.exe) then start in a
 * booted session with the desktop there, as they would on Windows.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
    (void)instance;
    (void)previous;
    (void)command;
    (void)show;
    GetDesktopWindow(); /* the desktop process starts with the first call */
    Sleep(INFINITE);
    return 0;
}
