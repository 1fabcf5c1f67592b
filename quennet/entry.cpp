// Placeholder: replaced by the entry-point work (InitializePrintMonitor, OpenPortEx, ClosePort).
#include "quennet.h"
