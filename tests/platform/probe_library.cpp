// A library for the loader tests: one answer and a counter that starts
// again from zero only when the library is really unloaded and reloaded.
#include "win32.h"

#include <string>

namespace {
int calls = 0;
}

DLLEXPORT int WINAPI ProbeAnswer(void) {
    return 42;
}

DLLEXPORT int WINAPI ProbeCount(void) {
    return ++calls;
}

// Number formatting of the standard library: it brings a symbol that GCC
// would mark unique, which keeps a library mapped after its last dlclose.
DLLEXPORT int WINAPI ProbeDigits(void) {
    return static_cast<int>(std::to_string(1000u + static_cast<unsigned>(calls)).size());
}

// A thread body that ends by giving up the library's last reference: it must
// be out of the library's code before the library goes.
DLLEXPORT DWORD WINAPI ProbeThreadMain(LPVOID module) {
    calls += 100;
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 7);
}
