// The machine file as vntrcapture writes it: buffered output to standard
// output or a new file, and the TOML forms of what the capture puts there.
// Every text of the machine (a path, a key or value name, a hardware
// identifier) is written as a TOML string that the simulator reads back to
// the same bytes, whatever they are.
#ifndef VNTR_CAPTURE_OUTPUT_H
#define VNTR_CAPTURE_OUTPUT_H

#include "host/host.h"

// Opens standard output (`path` NULL) or creates the file `path`. FALSE,
// with the last-error code set, when the file cannot be created.
BOOL OpenOutput(const char* path);
// Writes out what is buffered and closes a file. FALSE when any write
// failed; *error then holds the error code.
BOOL CloseOutput(DWORD* error);

// How bytes above 0x7F in texts are written: as the characters they stand
// for in the code page `codepage`, if the simulator knows it. Returns the
// code page the machine file must name: `codepage` itself, or 1252 for a
// code page the simulator does not know, whose bytes are then written as
// 1252's characters, one for one (the same bytes, shown as 1252 shows them).
UINT UseCodePage(UINT codepage);

// The simulator's code-page tables, as runs (capture/codepages.cpp, made by
// scripts/mkcodepages.py).
extern const unsigned char kCodePageRuns[];
// The characters of the bytes 0x80 to 0xFF in `codepage`; FALSE when the
// list has no such code page.
BOOL CodePageCharacters(UINT codepage, unsigned short* high);

void Put(const char* ascii);
void PutNumber(DWORD value);
// "0x" and the value in at least `digits` hexadecimal digits.
void PutHexNumber(DWORD value, int digits);
// An error code: decimal, or hexadecimal from 0x10000 on (0xE000020B).
void PutError(DWORD value);
// A TOML string of `size` bytes of machine text: a literal string ('...',
// backslashes as they are) when the text allows one, else a basic string
// with escapes.
void PutText(const char* text, size_t size);
void PutCText(const char* text);
// A TOML string of the bytes in hexadecimal; `lines` breaks a long one
// into lines of 32 bytes (a multi-line string).
void PutHex(const BYTE* data, size_t size, BOOL lines);

// A comment line: "# WHAT: error N".
void PutErrorNote(const char* what, DWORD error);

// Whole lines: `key = value` and a line end.
void PutTextLine(const char* key, const char* text);
void PutNumberLine(const char* key, DWORD value);
void PutErrorLine(const char* key, DWORD value);

#endif  // VNTR_CAPTURE_OUTPUT_H
