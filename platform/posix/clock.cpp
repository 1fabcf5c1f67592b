// The tick counter and Sleep on POSIX, both on the test clock
// (platform/common/test_clock.cpp).
#include "../common/common.h"
#include "internal.h"

#include <thread>
#include <time.h>

namespace winplat {

// Milliseconds since the system started, the real tick count.
uint64_t SystemUptimeMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

} // namespace winplat

DWORD WINAPI GetTickCount(void) {
    return winplat::TestTickCount();
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(winplat::RealDuration(milliseconds));
}
