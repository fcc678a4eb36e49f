// Path helpers shared by every flow. All paths live in PATH_BUFFER-byte
// buffers; a path that would not fit is refused rather than cut short.
#include "common/paths.h"

BOOL GetStartingDirectory(char* buffer) {
    buffer[0] = '\0';
    DWORD length = GetCurrentDirectoryA(PATH_BUFFER, buffer);
    // 0 is a failure; PATH_BUFFER or more is the size the directory would
    // need, and the buffer was left unfilled.
    if (length == 0 || length >= PATH_BUFFER) {
        buffer[0] = '\0';
        return FALSE;
    }
    RemoveTrailingBackslash(buffer);
    return TRUE;
}

BOOL GetWindowsDir(char* buffer) {
    buffer[0] = '\0';
    UINT length = GetWindowsDirectoryA(buffer, PATH_BUFFER);
    if (length == 0 || length >= PATH_BUFFER) {
        buffer[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

void RemoveTrailingBackslash(char* path) {
    char* end = path + strlen(path);
    if (end == path) return;
    char* last = CharPrevA(path, end);
    if (*last == '\\') *last = '\0';
}

BOOL JoinPath(char* buffer, const char* directory, const char* name) {
    size_t head = strlen(directory);
    size_t tail = strlen(name);
    if (head + tail >= PATH_BUFFER) return FALSE;
    // The callers pass the directory itself or a buffer of their own, never
    // an overlapping one.
    if (buffer != directory) memcpy(buffer, directory, head);
    memcpy(buffer + head, name, tail + 1);
    return TRUE;
}
