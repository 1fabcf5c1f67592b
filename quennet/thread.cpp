// Placeholder until the status thread lands: no port has a thread, level 3.
#include "quennet.h"

DWORD ReadPollingLevel() { return 3; }
BOOL StartStatusThread(PortEntry *) { return FALSE; }
void StopStatusThread(PortEntry *) {}
