// vntrcapture's entry: the command line, the output, the parts in order.
#include "capture/capture.h"
#include "capture/output.h"

static const char kUsage[] =
    "usage: vntrcapture [FILE]\n"
    "Describes this computer as the Vantor CardBus setup program sees it, in a\n"
    "machine file for vntrsetup-sim. Run it in the driver package's folder; it\n"
    "changes nothing. FILE is a new file to write; without it, standard output.\n";

static void Say(FILE* stream, const char* a, const char* b, const char* c) {
    fputs(a, stream);
    fputs(b, stream);
    fputs(c, stream);
}

static void SayError(const char* problem, const char* file, DWORD error) {
    char code[16];
    sprintf(code, "%lu", (unsigned long)error);
    Say(stderr, "vntrcapture: ", problem, file);
    Say(stderr, " (error ", code, ")\n");
}

// The first argument, quotes taken off, or NULL when there is none; *more
// tells whether anything follows it.
static char* FirstArgument(char* line, BOOL* more) {
    while (*line == ' ' || *line == '\t') ++line;
    if (!*line) {
        *more = FALSE;
        return NULL;
    }
    char* start = line;
    if (*line == '"') {
        start = ++line;
        while (*line && *line != '"') ++line;
    } else {
        while (*line && *line != ' ' && *line != '\t') ++line;
    }
    char* end = line;
    if (*line) ++line;
    while (*line == ' ' || *line == '\t') ++line;
    *end = '\0';
    *more = *line != '\0';
    return start;
}

int CaptureMain(char* arguments) {
    // The argument is cut out of a copy: the command line stays as Windows
    // keeps it.
    static char line[33024];
    if (strlen(arguments) >= sizeof line) {
        fputs("vntrcapture: command line too long\n", stderr);
        return 2;
    }
    strcpy(line, arguments);
    BOOL more;
    char* file = FirstArgument(line, &more);
    if (more) {
        fputs("vntrcapture: give one file at most (see vntrcapture /?)\n", stderr);
        return 2;
    }
    if (file && (!strcmp(file, "/?") || !strcmp(file, "-h") || !strcmp(file, "--help"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    // Never over an existing file, nor one that may exist: it could be one
    // of those being captured.
    if (file && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
        Say(stderr, "vntrcapture: ", file, " already exists\n");
        return 1;
    }
    DWORD error = GetLastError();
    if (file && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        SayError("cannot look at ", file, error);
        return 1;
    }
    if (!OpenOutput(file)) {
        SayError("cannot create ", file, GetLastError());
        return 1;
    }

    Captured machine;
    memset(&machine, 0, sizeof machine);
    machine.written = file;
    CaptureSystem(&machine);
    CapturePackage(&machine);
    if (machine.platform == VER_PLATFORM_WIN32_WINDOWS) CaptureLegacy(&machine);
    if (machine.platform == VER_PLATFORM_WIN32_NT) CaptureNt(&machine);

    if (!CloseOutput(&error)) {
        SayError("incomplete, writing failed: ", file ? file : "standard output", error);
        return 1;
    }
    if (file) Say(stdout, "vntrcapture: wrote ", file, "\n");
    return 0;
}
