// The machine file as vntrcapture writes it (see output.h).
#include "capture/output.h"

#include "capture_codepages.h"

static FILE* g_out;
static BOOL g_file;  // g_out is a file of ours, not standard output
static char g_buffer[8192];
static size_t g_used;
static DWORD g_error;  // the first write failure's error code, 0 while all is well

// Texts with bytes above 0x7F are written as their characters, converted
// by Windows from the machine's code page, when the simulator knows that
// code page and the characters convert back to the same bytes; otherwise as
// their exact bytes, { hex = ".." }.
static BOOL g_convert;
// A text's characters, and the bytes they convert back to. Longer texts
// (only registry values can be) are written as their bytes.
#define WIDE_CAP 32768
static WCHAR g_wide[WIDE_CAP];
static char g_back[2 * WIDE_CAP];

static void Flush(void) {
    if (g_used && !g_error && fwrite(g_buffer, 1, g_used, g_out) != g_used) {
        g_error = GetLastError();
        // A short write without an error code: the disk is full.
        if (!g_error) g_error = ERROR_DISK_FULL;
    }
    g_used = 0;
}

static void PutChar(char c) {
    if (g_used == sizeof g_buffer) Flush();
    g_buffer[g_used++] = c;
}

BOOL OpenOutput(const char* path) {
    g_used = 0;
    g_error = 0;
    g_file = path != NULL;
    g_out = g_file ? fopen(path, "wb") : stdout;
    return g_out != NULL;
}

BOOL CloseOutput(DWORD* error) {
    Flush();
    if (g_file) {
        if (fclose(g_out) != 0 && !g_error)
            g_error = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
    } else if ((fflush(g_out) != 0 || ferror(g_out)) && !g_error) {
        g_error = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
    }
    *error = g_error;
    return !g_error;
}

UINT UseCodePage(UINT codepage) {
    static const UINT kKnown[] = {SIMULATED_CODE_PAGES};
    g_convert = FALSE;
    for (size_t i = 0; i < sizeof kKnown / sizeof kKnown[0]; ++i)
        if (kKnown[i] == codepage) g_convert = TRUE;
    return g_convert ? codepage : 1252;
}

void Put(const char* ascii) {
    while (*ascii) PutChar(*ascii++);
}

// `value` in `base`, in at least `digits` digits.
static void PutDigits(DWORD value, DWORD base, int digits) {
    char digit[12];
    int n = 0;
    do {
        digit[n++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value || n < digits);
    while (n) PutChar(digit[--n]);
}

void PutNumber(DWORD value) { PutDigits(value, 10, 1); }

void PutHexNumber(DWORD value, int digits) {
    Put("0x");
    PutDigits(value, 16, digits);
}

void PutError(DWORD value) {
    if (value < 0x10000)
        PutNumber(value);
    else
        PutHexNumber(value, 8);
}

// Characters TOML wants escaped: C0 and C1 controls and DEL.
static BOOL IsControl(unsigned c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// The characters of a text with bytes above 0x7F, in g_wide: their number,
// or -1 when they are not to be written as characters. Windows 98 may not
// refuse bytes that stand for no character, so the conversion is checked
// by converting back.
static int Widen(const char* text, size_t size) {
    if (!g_convert || size >= WIDE_CAP) return -1;
    int count =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, (int)size, g_wide, WIDE_CAP);
    if (count <= 0) return -1;
    BOOL defaulted = FALSE;
    int back =
        WideCharToMultiByte(CP_ACP, 0, g_wide, count, g_back, sizeof g_back, NULL, &defaulted);
    if (back != (int)size || defaulted || memcmp(g_back, text, size) != 0) return -1;
    return count;
}

// One character of a TOML string in UTF-8; in a basic string ("...") with
// the escapes it needs.
static void PutCharacter(unsigned c, BOOL literal) {
    if (!literal && (c == '"' || c == '\\')) {
        PutChar('\\');
        PutChar((char)c);
    } else if (IsControl(c)) {
        Put("\\u");
        PutDigits(c, 16, 4);
    } else if (c < 0x80) {
        PutChar((char)c);
    } else if (c < 0x800) {
        PutChar((char)(0xC0 | (c >> 6)));
        PutChar((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        PutChar((char)(0xE0 | (c >> 12)));
        PutChar((char)(0x80 | ((c >> 6) & 0x3F)));
        PutChar((char)(0x80 | (c & 0x3F)));
    } else {
        PutChar((char)(0xF0 | (c >> 18)));
        PutChar((char)(0x80 | ((c >> 12) & 0x3F)));
        PutChar((char)(0x80 | ((c >> 6) & 0x3F)));
        PutChar((char)(0x80 | (c & 0x3F)));
    }
}

void PutText(const char* text, size_t size) {
    BOOL ascii = TRUE;
    for (size_t i = 0; i < size; ++i)
        if ((BYTE)text[i] >= 0x80) ascii = FALSE;
    int count = ascii ? (int)size : Widen(text, size);
    if (count < 0) {
        Put("{ hex = ");
        PutHex((const BYTE*)text, size, FALSE);
        Put(" }");
        return;
    }
    // The characters, a surrogate pair taken as one.
    BOOL literal = TRUE;
    for (int i = 0; i < count; ++i) {
        unsigned c = ascii ? (BYTE)text[i] : g_wide[i];
        if (c == '\'' || IsControl(c)) literal = FALSE;
    }
    char quote = literal ? '\'' : '"';
    PutChar(quote);
    for (int i = 0; i < count; ++i) {
        unsigned c = ascii ? (BYTE)text[i] : g_wide[i];
        if (!ascii && c >= 0xD800 && c < 0xDC00 && i + 1 < count && g_wide[i + 1] >= 0xDC00 &&
            g_wide[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (g_wide[++i] - 0xDC00);
        PutCharacter(c, literal);
    }
    PutChar(quote);
}

void PutCText(const char* text) { PutText(text, strlen(text)); }

void PutHex(const BYTE* data, size_t size, BOOL lines) {
    lines = lines && size > 32;
    Put(lines ? "\"\"\"\n" : "\"");
    for (size_t i = 0; i < size; ++i) {
        PutChar("0123456789abcdef"[data[i] >> 4]);
        PutChar("0123456789abcdef"[data[i] & 15]);
        if (lines && (i % 32 == 31 || i + 1 == size)) PutChar('\n');
    }
    Put(lines ? "\"\"\"" : "\"");
}

void PutErrorNote(const char* what, DWORD error) {
    Put("# ");
    Put(what);
    Put(": error ");
    PutError(error);
    Put("\n");
}

void PutTextLine(const char* key, const char* text) {
    Put(key);
    Put(" = ");
    PutCText(text);
    Put("\n");
}

void PutNumberLine(const char* key, DWORD value) {
    Put(key);
    Put(" = ");
    PutNumber(value);
    Put("\n");
}

void PutErrorLine(const char* key, DWORD value) {
    Put(key);
    Put(" = ");
    PutError(value);
    Put("\n");
}
