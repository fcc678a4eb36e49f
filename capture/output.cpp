// The machine file as vntrcapture writes it (see output.h).
#include "capture/output.h"

static FILE* g_out;
static BOOL g_file;  // g_out is a file of ours, not standard output
static char g_buffer[8192];
static size_t g_used;
static DWORD g_error;  // the first write failure's error code, 0 while all is well

// The characters of the bytes 0x80 to 0xFF in the code page in use.
static unsigned short g_high[128];

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

BOOL CodePageCharacters(UINT codepage, unsigned short* high) {
    for (const unsigned char* p = kCodePageRuns; p[0] | p[1];) {
        UINT id = p[0] | p[1] << 8;
        int runs = p[2];
        p += 3;
        for (int at = 0; runs--; p += 3)
            for (int k = 0; k < p[0]; ++k) high[at++] = (unsigned short)((p[1] | p[2] << 8) + k);
        if (id == codepage) return TRUE;
    }
    return FALSE;
}

UINT UseCodePage(UINT codepage) {
    if (CodePageCharacters(codepage, g_high)) return codepage;
    CodePageCharacters(1252, g_high);
    return 1252;
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

// The character a byte of the machine's text stands for.
static unsigned CharOf(BYTE b) { return b < 0x80 ? b : g_high[b - 0x80]; }

// Characters TOML wants escaped: C0 and C1 controls and DEL.
static BOOL IsControl(unsigned c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

void PutText(const char* text, size_t size) {
    BOOL literal = TRUE;
    for (size_t i = 0; i < size; ++i)
        if (text[i] == '\'' || IsControl(CharOf((BYTE)text[i]))) literal = FALSE;
    char quote = literal ? '\'' : '"';
    PutChar(quote);
    for (size_t i = 0; i < size; ++i) {
        unsigned c = CharOf((BYTE)text[i]);
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
        } else {
            PutChar((char)(0xE0 | (c >> 12)));
            PutChar((char)(0x80 | ((c >> 6) & 0x3F)));
            PutChar((char)(0x80 | (c & 0x3F)));
        }
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
