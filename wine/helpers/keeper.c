/*
 * Holds a Wine session booted: started first in each session, it has Wine
 * boot, then keeps Wine's boot event open, signalled, until the session
 * ends. A process that starts in a session without that event boots the
 * session again (wineboot --init, seconds under qemu); Wine's service
 * manager keeps it open, and the sessions here run without one
 * (wine/session.py). The programs run after the keeper (vntrcapture.exe,
 * setup.exe) then start in a booted session, as they would on Windows.
 * (Wine's desktop process is left to the program that shows a box: under
 * qemu it ends a second or two after it starts, once its window is there.)
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>

typedef NTSTATUS(NTAPI* CreateEvent_t)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, int, BOOLEAN);

#define NOTIFICATION_EVENT 0 /* EVENT_TYPE NotificationEvent: stays signalled */
#define OPEN_IF_EXISTS 0x80  /* OBJ_OPENIF */

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
    (void)instance;
    (void)previous;
    (void)command;
    (void)show;
    static WCHAR name[] = L"\\KernelObjects\\__wineboot_event";
    UNICODE_STRING unicode = {sizeof name - sizeof name[0], sizeof name, name};
    OBJECT_ATTRIBUTES attributes = {sizeof attributes, NULL, &unicode, OPEN_IF_EXISTS, NULL, NULL};
    CreateEvent_t create =
        (CreateEvent_t)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateEvent");
    HANDLE booted = NULL;
    /* The handle is the point: it is left open until the process is ended. */
    if (create) create(&booted, EVENT_ALL_ACCESS, &attributes, NOTIFICATION_EVENT, TRUE);
    if (booted) SetEvent(booted);
    Sleep(INFINITE);
    return 0;
}
