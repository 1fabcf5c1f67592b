// The entry points of the monitor under test, for programs that drive a
// monitor the way the spooler does. Included last (after the monitor's own
// header): where the program is built with QUENNET_SHIPPED_DLL (Windows),
// the calls reach the shipped DLL of that name, loaded by name, steered
// (platform/windows/steer.h) and initialised once, through the MONITOREX it
// answers; the port handles are its records, so a case may still look at
// one. Elsewhere the names stay those of the linked monitor code.
//
// Only calls are redirected (function-like macros): PortFn::ClosePort and
// the table's pfnClosePort keep their names.
#pragma once

#include "wintest.h"

#ifdef QUENNET_SHIPPED_DLL

// The shipped monitor's table (null when it does not load).
LPMONITOREX ShippedMonitor();

extern "C" LPMONITOREX WINAPI ShippedInitializePrintMonitor(LPWSTR registryRoot);
BOOL WINAPI ShippedOpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle,
                              LPMONITOR portMonitor);
BOOL WINAPI ShippedStartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level,
                                LPBYTE docInfo);
BOOL WINAPI ShippedWritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written);
BOOL WINAPI ShippedReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read);
BOOL WINAPI ShippedEndDocPort(HANDLE port);
BOOL WINAPI ShippedClosePort(HANDLE port);
BOOL WINAPI ShippedGetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName,
                                          LPWSTR inBuffer, DWORD inSize, LPWSTR outBuffer,
                                          DWORD outSize, LPDWORD returned);
BOOL WINAPI ShippedSetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved);

// First statement of a case that works on the monitor's own state through
// the linked code (its lock, job-id list, port table, dispatcher, reader):
// that state is not the shipped DLL's, so the case runs only where the
// linked code is under test (every program on POSIX).
#define REQUIRE_LINKED_MONITOR(what)                                                               \
    GTEST_SKIP() << "works on the linked monitor code's own " << what                              \
                 << ", which the shipped DLL does not export"

#define InitializePrintMonitor(...) ShippedInitializePrintMonitor(__VA_ARGS__)
#define OpenPortEx(...) ShippedOpenPortEx(__VA_ARGS__)
#define StartDocPort(...) ShippedStartDocPort(__VA_ARGS__)
#define WritePort(...) ShippedWritePort(__VA_ARGS__)
#define ReadPort(...) ShippedReadPort(__VA_ARGS__)
#define EndDocPort(...) ShippedEndDocPort(__VA_ARGS__)
#define ClosePort(...) ShippedClosePort(__VA_ARGS__)
#define GetPrinterDataFromPort(...) ShippedGetPrinterDataFromPort(__VA_ARGS__)
#define SetPortTimeOuts(...) ShippedSetPortTimeOuts(__VA_ARGS__)

#else

#define REQUIRE_LINKED_MONITOR(what)                                                               \
    do {                                                                                           \
    } while (0)

#endif
