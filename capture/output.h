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

// How texts with bytes above 0x7F are written: as the characters they
// stand for in `codepage`, if the simulator knows that code page (and the
// text is one of its texts), else as their exact bytes. Returns the code
// page the machine file must name: `codepage` itself, or 1252 for a code
// page the simulator does not know.
UINT UseCodePage(UINT codepage);

void Put(const char* ascii);
void PutNumber(DWORD value);
// "0x" and the value in at least `digits` hexadecimal digits.
void PutHexNumber(DWORD value, int digits);
// An error code: decimal, or hexadecimal from 0x10000 on (0xE000020B).
void PutError(DWORD value);
// A TOML string of `size` bytes of machine text: a literal string ('...',
// backslashes as they are) when the text allows one, else a basic string
// with escapes; or, for bytes not to be written as characters (see
// UseCodePage), the table { hex = ".." }, which the simulator reads as the
// text's bytes.
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
