// Brantic's exports, its MONITOREX, the port record and the opening and
// closing of ports.
#include "brantic.h"

#include <string.h>

static HANDLE *PrinterHandleOf(PortHead *entry) {
    return &static_cast<PortEntry *>(entry)->PrinterHandle;
}

// The record goes with its port even when a job was left unended, so the
// document information it still keeps goes with it.
static void FreeRecordExtras(PortHead *entry) {
    PortEntry *e = static_cast<PortEntry *>(entry);
    FreeDocInfo(e->DocInfo);
    e->DocInfo = nullptr;
}

const MonitorRecordInfo RecordInfo = {
    sizeof(PortEntry), AgentActive, JobCancelled, AgentActive, PrinterHandleOf, FreeRecordExtras,
};

// The seven entry points of a language monitor; every other slot is null.
static MONITOREX MonitorEx = {
    .dwMonitorSize = (DWORD)NT4_MONITOR_SIZE,
    .Monitor =
        {
            .pfnEnumPorts = nullptr,
            .pfnOpenPort = nullptr,
            .pfnOpenPortEx = OpenPortEx,
            .pfnStartDocPort = StartDocPort,
            .pfnWritePort = WritePort,
            .pfnReadPort = ReadPort,
            .pfnEndDocPort = EndDocPort,
            .pfnClosePort = ClosePort,
            .pfnAddPort = nullptr,
            .pfnAddPortEx = nullptr,
            .pfnConfigurePort = nullptr,
            .pfnDeletePort = nullptr,
            .pfnGetPrinterDataFromPort = GetPrinterDataFromPort,
            .pfnSetPortTimeOuts = nullptr,
            .pfnXcvOpenPort = nullptr,
            .pfnXcvDataPort = nullptr,
            .pfnXcvClosePort = nullptr,
        },
};

DLLEXPORT LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot) {
    // The lock is set up once: a second call must not re-initialise it
    // under a port that may be holding it.
    static std::atomic<bool> initialized{false};
    if (!initialized.exchange(true))
        InitializeMonitorLock();
    return &MonitorEx;
}

DLLEXPORT BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return TRUE;
}

BOOL WINAPI OpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor) {
    // Both names are needed, and somewhere to put the handle and a table to copy.
    if (portName == nullptr || portName[0] == 0 || printerName == nullptr || printerName[0] == 0 ||
        handle == nullptr || monitor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // A port is opened once, whatever the case of its name. The transport
    // user is counted under the same lock as the record, so that the count
    // always equals the number of records.
    EnterMonitorLock();
    if (FindPort(portName) != nullptr) {
        LeaveMonitorLock();
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortEntry *e = static_cast<PortEntry *>(CreatePortEntry(portName, printerName));
    if (e == nullptr) {
        LeaveMonitorLock();
        return FALSE;
    }
    e->PortHandle = nullptr;
    e->ChannelSocket = NO_SOCKET;
    LoadTransport();
    LeaveMonitorLock();

    // The spooler's handle, and every call to the port below goes through
    // this copy of the port monitor's NT 4.0 table.
    *handle = (HANDLE)e;
    memcpy(&e->PortMonitorTable, monitor, NT4_MONITOR_SIZE);

    if (IsLprPort(e))
        SetFlags(e, LprPort);
    return TRUE;
}

BOOL WINAPI ClosePort(HANDLE port) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    ClearFlags(e, JobActive);

    // The port stops counting as a transport user together with the removal
    // of its record, so the library is freed only when no port is left.
    EnterMonitorLock();
    if (FindPort(e->PortName) == e)
        UnloadTransport();
    DeletePortEntry(e);
    LeaveMonitorLock();
    return TRUE;
}
