// Resource ids of setup.exe. The resource script, the program, the simulated
// machine (which serves the caption to LoadStringA) and tools/pe-audit (which
// reads the two #defines below) all take them from here.
#ifndef VNTR_IDS_H
#define VNTR_IDS_H

// The caption, the title of every message box: a string resource.
#define IDS_CAPTION 103
// The program's icon: an icon group.
#define IDI_PROGRAM 107

#endif
