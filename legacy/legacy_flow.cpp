// Placeholder until the legacy-platform installation lands.
#include "app/program.h"

void RunLegacyFlow(void) {
    ReleaseMessages();
}

BOOL ResetDeviceRegistry(void) {
    return FALSE;
}
