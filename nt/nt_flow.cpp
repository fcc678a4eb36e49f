// Placeholder until the NT-platform installation lands.
#include "app/program.h"

void RunNtFlow(void) {
    ReleaseMessages();
}
