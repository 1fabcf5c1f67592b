// The thread's last-error value, and the answer that the test hooks work here.
#include "internal.h"

namespace {
thread_local DWORD lastError = 0;
}

DWORD WINAPI GetLastError(void) {
    return lastError;
}

void WINAPI SetLastError(DWORD error) {
    lastError = error;
}

bool PlatHasTestHooks() {
    return true;
}
