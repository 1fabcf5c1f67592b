// A library for the loader tests: one answer and a counter that starts
// again from zero only when the library is really unloaded and reloaded.
#include "win32.h"

namespace {
int calls = 0;
}

DLLEXPORT int WINAPI ProbeAnswer(void) {
    return 42;
}

DLLEXPORT int WINAPI ProbeCount(void) {
    return ++calls;
}
