// The thread's last-error value, and the answer that the test hooks work here.
#include "internal.h"

namespace {
// Read and written around every write of a job: the initial-exec model
// makes it one instruction instead of a call into the dynamic loader. The
// library is a load-time dependency of everything that uses it, and the few
// bytes fit the static TLS room glibc keeps even for libraries opened later.
thread_local DWORD lastError __attribute__((tls_model("initial-exec"))) = 0;
} // namespace

DWORD WINAPI GetLastError(void) {
    return lastError;
}

void WINAPI SetLastError(DWORD error) {
    lastError = error;
}

bool PlatHasTestHooks() {
    return true;
}

bool PlatIsOwnLayer() {
    return true;
}
