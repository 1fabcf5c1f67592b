// A print monitor whose initialisation fails, for the monitorctl test: the
// spooler must refuse to add it.
#include <windows.h>

#include <winspool.h>
#include <winsplp.h>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
}

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
