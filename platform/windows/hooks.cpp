// The test hooks that steer the POSIX layer have no Windows counterpart:
// the real heap, tick counter and spooler cannot be made to fail, run fast
// or keep a record. These answer harmlessly; tests that depend on them call
// REQUIRE_TEST_HOOKS() first and are reported as skipped.
#include "wintest.h"

bool PlatHasTestHooks() {
    return false;
}

// ---------------------------------------------------------------- allocation faults
void PlatFailAllocation(unsigned long) {}
unsigned long PlatAllocationCount() {
    return 0;
}
long PlatLiveBlocks() {
    return -1;
}

// ---------------------------------------------------------------- test clock
void PlatSetClockScale(double) {}
double PlatClockScale() {
    return 1.0;
}
void PlatAdvanceTicks(DWORD) {}
void PlatSetTickCount(DWORD) {}

// ---------------------------------------------------------------- debug output
// The system's debug output goes to a debugger; nothing here can catch it.
bool PlatSetDebugOutput(const std::string &) {
    return false;
}
