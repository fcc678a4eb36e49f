// WinMain for checking the start-up under Wine: reports what it was given
// on standard output, without flushing, and returns a code of its own.
#include "host/host.h"

// msvcrt's atexit(), through its import slot: the toolchain's import
// library leaves the plain name to its own start-up code, which is not
// linked here.
extern "C" int(__cdecl* _imp__atexit)(void(__cdecl*)(void));

static volatile int g_seed = 41;
static int Initialised(void) { return g_seed + 1; }
// A dynamic initialiser: runs only if the start-up runs the constructors.
static int g_initialised = Initialised();

// Runs only when the process ends through the C library's exit().
static void AtExit(void) { printf("atexit handler ran\n"); }

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    _imp__atexit(AtExit);
    printf("instance-is-module=%d\n", instance == GetModuleHandleA(NULL));
    printf("previous=%p\n", (void*)previous);
    printf("arguments=[%s]\n", commandLine);
    printf("show=%d\n", show);
    printf("initialised=%d\n", g_initialised);
    // Larger than any stream buffer, so part of it is still buffered when
    // WinMain returns.
    for (int i = 0; i < 300; ++i) printf("line %03d of the trace\n", i);
    printf("last line\n");
    return 7;
}
