// What the host contract checks need from their surroundings: a place to put
// files, registry keys and devices. One implementation sets them up in the
// simulated machine, the other on the real (or Wine's) Windows.
#ifndef VNTR_CONTRACT_ENV_H
#define VNTR_CONTRACT_ENV_H

#include <stddef.h>

// A directory the checks may fill, without a trailing backslash.
const char* EnvWorkDir(void);
void EnvPutFile(const char* path, const char* data, size_t size);
// Creates a key below HKEY_LOCAL_MACHINE with all its parents.
void EnvMakeKey(const char* path);
// Registers a present device whose hardware-ID property is `ids` (a list of
// NUL-terminated strings closed by an empty one) of `size` bytes. Returns 0
// when the environment cannot make devices.
int EnvAddDevice(const char* ids, size_t size);
// Nonzero when the system is of the 9x family (RegDeleteKeyA deletes trees).
int EnvLegacy(void);
// Nonzero when running under Wine, where known differences from Windows are
// reported as notes instead of failures.
int EnvWine(void);

// Runs every check; returns the number that failed.
int RunContractChecks(void);

#endif
