// The program's entry point, called by the start-up code (host/win/start.cpp)
// on Windows and by the simulator elsewhere.
#ifndef VNTR_PROGRAM_H
#define VNTR_PROGRAM_H

#include "host/host.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#endif  // VNTR_PROGRAM_H
