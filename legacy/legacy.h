// The installation on the legacy platform (Windows 98, 98 SE, ME): package
// staging and the device registry reset.
#ifndef VNTR_LEGACY_H
#define VNTR_LEGACY_H

#include "host/host.h"

// Copies the package's INF (and catalog) into the Windows INF directory,
// resets the controllers' registry keys and offers a restart.
void RunLegacyFlow(void);

// Results of ResetDeviceRegistry.
#define RESET_NONE_FOUND 0  // no controller key: nothing deleted
#define RESET_DONE 1        // controller keys found and their deletion requested
#define RESET_NO_MEMORY 2   // the keys could not all be listed: nothing deleted

// Makes sure OtherDevicePath is set, then deletes the controllers' keys
// under Enum\PCI with everything below them.
int ResetDeviceRegistry(void);

#endif  // VNTR_LEGACY_H
