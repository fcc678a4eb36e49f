// vntrcapture's entry: the command line, the output, the parts in order.
#include "capture/capture.h"
#include "capture/output.h"

static const char kUsage[] =
    "usage: vntrcapture [FILE]\n"
    "\n"
    "Writes a machine file that describes this computer as the Vantor CardBus\n"
    "controller setup program sees it: Windows version, folders, the driver\n"
    "package in the current folder, the registry keys or devices it looks at.\n"
    "Run it in the driver package's folder. It changes nothing on the computer.\n"
    "\n"
    "  FILE  the machine file to create (it must not exist yet); without it the\n"
    "        machine file goes to standard output\n"
    "\n"
    "Replay the file with: vntrsetup-sim --machine FILE\n";

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
        fputs("vntrcapture: the command line is too long\n", stderr);
        return 2;
    }
    strcpy(line, arguments);
    BOOL more;
    char* file = FirstArgument(line, &more);
    if (more) {
        fputs("vntrcapture: give at most one argument, the file to write (see vntrcapture /?)\n",
              stderr);
        return 2;
    }
    if (file && (!strcmp(file, "/?") || !strcmp(file, "-h") || !strcmp(file, "--help"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    // Never over an existing file, nor one that may exist: it could be one
    // of those being captured.
    if (file && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
        Say(stderr, "vntrcapture: ", file, " already exists; give the name of a new file\n");
        return 1;
    }
    DWORD error = GetLastError();
    if (file && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        SayError("cannot tell whether this file exists: ", file, error);
        return 1;
    }
    if (!OpenOutput(file)) {
        SayError("cannot create ", file, GetLastError());
        return 1;
    }

    Captured machine;
    memset(&machine, 0, sizeof machine);
    CaptureSystem(&machine);
    CapturePackage(&machine);
    if (machine.platform == VER_PLATFORM_WIN32_WINDOWS) CaptureLegacy(&machine);
    if (machine.platform == VER_PLATFORM_WIN32_NT) CaptureNt(&machine);

    if (!CloseOutput(&error)) {
        SayError("writing the machine file failed; it is incomplete: ",
                 file ? file : "standard output", error);
        return 1;
    }
    if (file) Say(stdout, "vntrcapture: this machine is described in ", file, "\n");
    return 0;
}
