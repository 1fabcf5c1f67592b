// Placeholder until job start and end land: the entry points fail cleanly.
#include "quennet.h"

BOOL WINAPI StartDocPort(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
BOOL WINAPI EndDocPort(HANDLE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
