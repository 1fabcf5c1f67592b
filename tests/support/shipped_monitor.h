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
//
// The contract: with QUENNET_TEST_CONTRACT=2000 in the environment the same
// cases run on the Windows 2000 one. The monitor is initialised once through
// InitializePrintMonitor2 before the first case, and OpenPortEx(port,
// printer, &handle, table) reaches its MONITOR2 OpenPortEx, the port
// monitor's MONITOR handed over as a MONITOR2 (PortMonitorAs2) whose
// pfnOpenPort fails the case when it gets another hMonitorPort than its own.
#pragma once

#include "wintest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#ifdef QUENNET_SHIPPED_DLL

// The shipped monitor's table (null when it does not load).
LPMONITOREX ShippedMonitor();

extern "C" LPMONITOREX WINAPI ShippedInitializePrintMonitor(LPWSTR registryRoot);
extern "C" LPMONITOR2 WINAPI ShippedInitializePrintMonitor2(PMONITORINIT init, PHANDLE instance);
BOOL WINAPI ShippedOpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle,
                              LPMONITOR portMonitor);
BOOL WINAPI ShippedOpenPortEx(HANDLE monitor, HANDLE monitorPort, LPWSTR portName,
                              LPWSTR printerName, PHANDLE handle, LPMONITOR2 portMonitor);
VOID WINAPI ShippedShutdown(HANDLE monitor);
DWORD WINAPI ShippedSendRecvBidiDataFromPort(HANDLE port, DWORD access, LPCWSTR action,
                                             PBIDI_REQUEST_CONTAINER request,
                                             PBIDI_RESPONSE_CONTAINER *response);
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
#define InitializePrintMonitor2(...) ShippedInitializePrintMonitor2(__VA_ARGS__)
#define MONITOR_OPEN_PORT_EX ShippedOpenPortEx
#define Shutdown(...) ShippedShutdown(__VA_ARGS__)
#define SendRecvBidiDataFromPort(...) ShippedSendRecvBidiDataFromPort(__VA_ARGS__)
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

// The linked monitor's own OpenPortEx (both shapes).
#define MONITOR_OPEN_PORT_EX(...) (OpenPortEx)(__VA_ARGS__)
extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE instance);

#endif

namespace contract {

// True when the program runs on the Windows 2000 contract.
inline bool Is2000() {
    static const bool on = [] {
        const char *value = getenv("QUENNET_TEST_CONTRACT");
        return value != nullptr && strcmp(value, "2000") == 0;
    }();
    return on;
}

// The instance InitializePrintMonitor2 answered (null on the NT 4.0 one).
inline HANDLE &Instance() {
    static HANDLE instance = nullptr;
    return instance;
}

#define PORT_MONITOR_AS2_SIGNATURE 0x41533250u

// A port monitor's NT 4.0 table handed over as a MONITOR2. Its address is
// the hMonitorPort the monitor must pass back to pfnOpenPort.
struct PortMonitorAs2 {
    DWORD Signature = PORT_MONITOR_AS2_SIGNATURE;
    MONITOR Table = {};
    MONITOR2 Monitor2 = {};
};

inline BOOL WINAPI OpenPortAs2(HANDLE monitor, LPWSTR name, PHANDLE handle) {
    auto *as2 = static_cast<PortMonitorAs2 *>(monitor);
    if (as2 == nullptr || as2->Signature != PORT_MONITOR_AS2_SIGNATURE) {
        ADD_FAILURE() << "pfnOpenPort got another hMonitorPort than its own: " << monitor;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (as2->Table.pfnOpenPort == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return as2->Table.pfnOpenPort(name, handle);
}

// A new MONITOR2 of `table`'s NT 4.0 slots, kept until the program ends (a
// port keeps its hMonitorPort as long as it is open).
inline PortMonitorAs2 *HandOver(LPMONITOR table) {
    static std::mutex lock;
    static std::vector<std::unique_ptr<PortMonitorAs2>> all;
    auto as2 = std::make_unique<PortMonitorAs2>();
    memcpy(&as2->Table, table, NT4_MONITOR_SIZE);
    MONITOR2 &m = as2->Monitor2;
    m.cbSize = sizeof(MONITOR2);
    m.pfnOpenPort = table->pfnOpenPort != nullptr ? OpenPortAs2 : nullptr;
    m.pfnStartDocPort = table->pfnStartDocPort;
    m.pfnWritePort = table->pfnWritePort;
    m.pfnReadPort = table->pfnReadPort;
    m.pfnEndDocPort = table->pfnEndDocPort;
    m.pfnClosePort = table->pfnClosePort;
    m.pfnGetPrinterDataFromPort = table->pfnGetPrinterDataFromPort;
    m.pfnSetPortTimeOuts = table->pfnSetPortTimeOuts;
    std::lock_guard<std::mutex> guard(lock);
    all.push_back(std::move(as2));
    return all.back().get();
}

} // namespace contract

// The NT 4.0 OpenPortEx of the cases, on the contract the program runs.
inline BOOL ContractOpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle,
                               LPMONITOR portMonitor) {
    if (!contract::Is2000() || portMonitor == nullptr)
        return MONITOR_OPEN_PORT_EX(portName, printerName, handle, portMonitor);
    contract::PortMonitorAs2 *as2 = contract::HandOver(portMonitor);
    return MONITOR_OPEN_PORT_EX(contract::Instance(), as2, portName, printerName, handle,
                                &as2->Monitor2);
}
// The Windows 2000 shape, as it is.
inline BOOL ContractOpenPortEx(HANDLE monitor, HANDLE monitorPort, LPWSTR portName,
                               LPWSTR printerName, PHANDLE handle, LPMONITOR2 portMonitor) {
    return MONITOR_OPEN_PORT_EX(monitor, monitorPort, portName, printerName, handle, portMonitor);
}
#define OpenPortEx(...) ContractOpenPortEx(__VA_ARGS__)

// First statement of a case that is about the NT 4.0 contract only (a port
// monitor table the Windows 2000 contract refuses, say).
#define REQUIRE_NT4_CONTRACT(why)                                                                  \
    do {                                                                                           \
        if (contract::Is2000())                                                                    \
            GTEST_SKIP() << "NT 4.0 contract only: " << why;                                       \
    } while (0)

// Initialises the monitor through InitializePrintMonitor2 before the first
// case when the program runs on the Windows 2000 contract; a local spooler
// without registry functions of its own.
class ContractEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!contract::Is2000())
            return;
        MONITORINIT init = {};
        init.cbSize = sizeof(init);
        init.bLocal = TRUE;
        HANDLE instance = nullptr;
        ASSERT_NE(InitializePrintMonitor2(&init, &instance), nullptr);
        ASSERT_NE(instance, nullptr);
        contract::Instance() = instance;
    }
};
inline ::testing::Environment *const ContractEnvironmentAdded =
    ::testing::AddGlobalTestEnvironment(new ContractEnvironment);
