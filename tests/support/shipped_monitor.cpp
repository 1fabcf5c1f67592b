// The shipped monitor's entry points (shipped_monitor.h): one load per
// program, as by the spooler, and every call through its table.
#include "shipped_monitor.h"

#include "monitor_loader.h"

#ifdef QUENNET_SHIPPED_DLL

// The monitor code linked into the program, which the cases still call for
// what the DLL does not export (flags, lists, helpers). In parentheses: the
// name alone is the call redirected to the DLL.
extern "C" LPMONITOREX WINAPI(InitializePrintMonitor)(LPWSTR registryRoot);

namespace {

LoadedMonitor &Shipped() {
    static LoadedMonitor monitor = [] {
        // The linked code's lock is set up as well: cases that look at a
        // record take it. It guards nothing of the DLL's, so they look only
        // while the DLL's threads leave the record alone.
        (InitializePrintMonitor)(nullptr);
        return LoadMonitorLibrary(QUENNET_SHIPPED_DLL);
    }();
    return monitor;
}

} // namespace

LPMONITOREX ShippedMonitor() {
    return Shipped().MonitorEx;
}

namespace {

// The table, which a test program without its monitor cannot do without.
LPMONITOR Table() {
    LPMONITOREX monitor = ShippedMonitor();
    if (monitor == nullptr) {
        fprintf(stderr, "cannot load %s\n", QUENNET_SHIPPED_DLL);
        abort();
    }
    return &monitor->Monitor;
}

} // namespace

// Called again with the key a case names (its trace level, say), as the
// linked code would be.
extern "C" LPMONITOREX WINAPI ShippedInitializePrintMonitor(LPWSTR registryRoot) {
    HMODULE module = Shipped().Module;
    FARPROC proc = module != nullptr ? GetProcAddress(module, "InitializePrintMonitor") : nullptr;
    if (proc == nullptr || registryRoot == nullptr)
        return ShippedMonitor();
    typedef LPMONITOREX(WINAPI * PFN_InitializePrintMonitor)(LPWSTR);
    return reinterpret_cast<PFN_InitializePrintMonitor>(reinterpret_cast<void (*)(void)>(proc))(
        registryRoot);
}

BOOL WINAPI ShippedOpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle,
                              LPMONITOR portMonitor) {
    return Table()->pfnOpenPortEx(portName, printerName, handle, portMonitor);
}

namespace {

// What the shipped InitializePrintMonitor2 answered last.
LPMONITOR2 Monitor2 = nullptr;

LPMONITOR2 Table2() {
    if (Monitor2 == nullptr) {
        fprintf(stderr, "%s was not initialised through InitializePrintMonitor2\n",
                QUENNET_SHIPPED_DLL);
        abort();
    }
    return Monitor2;
}

} // namespace

extern "C" LPMONITOR2 WINAPI ShippedInitializePrintMonitor2(PMONITORINIT init, PHANDLE instance) {
    HMODULE module = Shipped().Module;
    FARPROC proc = module != nullptr ? GetProcAddress(module, "InitializePrintMonitor2") : nullptr;
    if (proc == nullptr)
        return nullptr;
    typedef LPMONITOR2(WINAPI * PFN_InitializePrintMonitor2)(PMONITORINIT, PHANDLE);
    LPMONITOR2 answer = reinterpret_cast<PFN_InitializePrintMonitor2>(
        reinterpret_cast<void (*)(void)>(proc))(init, instance);
    if (answer != nullptr)
        Monitor2 = answer;
    return answer;
}

BOOL WINAPI ShippedOpenPortEx(HANDLE monitor, HANDLE monitorPort, LPWSTR portName,
                              LPWSTR printerName, PHANDLE handle, LPMONITOR2 portMonitor) {
    return Table2()->pfnOpenPortEx(monitor, monitorPort, portName, printerName, handle,
                                   portMonitor);
}

VOID WINAPI ShippedShutdown(HANDLE monitor) {
    Table2()->pfnShutdown(monitor);
}

DWORD WINAPI ShippedSendRecvBidiDataFromPort(HANDLE port, DWORD access, LPCWSTR action,
                                             PBIDI_REQUEST_CONTAINER request,
                                             PBIDI_RESPONSE_CONTAINER *response) {
    return Table2()->pfnSendRecvBidiDataFromPort(port, access, action, request, response);
}

BOOL WINAPI ShippedStartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level,
                                LPBYTE docInfo) {
    return Table()->pfnStartDocPort(port, printerName, jobId, level, docInfo);
}

BOOL WINAPI ShippedWritePort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written) {
    return Table()->pfnWritePort(port, buffer, size, written);
}

BOOL WINAPI ShippedReadPort(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read) {
    return Table()->pfnReadPort(port, buffer, size, read);
}

BOOL WINAPI ShippedEndDocPort(HANDLE port) {
    return Table()->pfnEndDocPort(port);
}

BOOL WINAPI ShippedClosePort(HANDLE port) {
    return Table()->pfnClosePort(port);
}

BOOL WINAPI ShippedGetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName,
                                          LPWSTR inBuffer, DWORD inSize, LPWSTR outBuffer,
                                          DWORD outSize, LPDWORD returned) {
    return Table()->pfnGetPrinterDataFromPort(port, controlId, valueName, inBuffer, inSize,
                                              outBuffer, outSize, returned);
}

BOOL WINAPI ShippedSetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    return Table()->pfnSetPortTimeOuts(port, timeouts, reserved);
}

#endif
