// Placeholder until the command builder lands.
#include "quennet.h"

BOOL PrepareCommand(PortEntry *, DWORD, LPSTR *, LPDWORD) { return FALSE; }
void FreeTklItems(TklItem *, DWORD) {}
