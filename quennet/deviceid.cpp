// Placeholder until device identification lands.
#include "quennet.h"

BOOL QueryDeviceId(PortEntry *) { return FALSE; }
BOOL ModelContains(PortEntry *, LPCSTR) { return FALSE; }
