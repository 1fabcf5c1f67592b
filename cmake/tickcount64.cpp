// GetTickCount64 for what ships beside the monitors (monitorctl.exe, the
// reference libraries): the static threads runtime (winpthreads) imports it,
// and Windows before Vista lacks it, so a program importing it would not
// start on Windows XP. This definition of its import slot is linked first,
// and the import is then never made: the runtime calls the function below,
// which extends GetTickCount's 32 bits by counting its wraps.
#include <windows.h>

namespace {

// The high 32 bits: how often the tick count wrapped; the low 32: the tick
// count last seen. Changed as one 64-bit value, so that no two callers
// count one wrap twice.
volatile ULONGLONG Last = 0;

ULONGLONG WINAPI TickCount64() {
    ULONGLONG last = __atomic_load_n(&Last, __ATOMIC_ACQUIRE);
    for (;;) {
        DWORD now = GetTickCount();
        ULONGLONG wraps = last >> 32;
        if (now < static_cast<DWORD>(last))
            wraps++;
        ULONGLONG next = wraps << 32 | now;
        if (next == last || __atomic_compare_exchange_n(&Last, &last, next, false, __ATOMIC_ACQ_REL,
                                                        __ATOMIC_ACQUIRE))
            return next;
    }
}

} // namespace

// The import slot's name as the linker knows it (the 32-bit one decorated).
#ifdef _WIN64
extern "C" ULONGLONG(WINAPI *const QuennetTickCount64)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI *const QuennetTickCount64)() __asm__("__imp__GetTickCount64@0");
#endif
extern "C" ULONGLONG(WINAPI *const QuennetTickCount64)() = TickCount64;
