// Path helpers shared by every part of the program. All paths live in
// PATH_BUFFER-byte buffers; a path that would not fit is refused rather than
// cut short.
#ifndef VNTR_PATHS_H
#define VNTR_PATHS_H

#include "host/host.h"

// Size of every path buffer: 255 characters and the terminating NUL.
#define PATH_BUFFER 256

// Each returns FALSE, leaving a valid (possibly partial) string in the
// buffer, when the result would not fit a PATH_BUFFER-byte buffer; nothing is
// ever cut short silently.

// The current directory at the start, without a trailing backslash ("C:" at
// a drive root).
BOOL GetStartingDirectory(char* buffer);
BOOL GetWindowsDir(char* buffer);
// `directory` followed by `name`; `buffer` may be `directory` itself.
BOOL JoinPath(char* buffer, const char* directory, const char* name);
// Removes one backslash from the end of `path`, if its last character is
// one. Paths are stepped through by characters: in a double-byte code page
// the last byte may be the second half of a character (0x5C, the
// backslash's byte, is the trail byte of many), which is no backslash.
void RemoveTrailingBackslash(char* path);

#endif  // VNTR_PATHS_H
