// Brantic's exports, its MONITOREX and MONITOR2, the port record and the
// opening and closing of ports; Shutdown closes what the spooler left open.
#include "brantic.h"

static HANDLE *PrinterHandleOf(PortHead *entry) {
    return &static_cast<PortEntry *>(entry)->PrinterHandle;
}

// The record's own blocks; what an unended job holds beyond them is
// released before (ClosePortRecord).
static void FreeRecordExtras(PortHead *entry) {
    PortEntry *e = static_cast<PortEntry *>(entry);
    FreeDocInfo(e->DocInfo);
    e->DocInfo = nullptr;
}

static MONITOR *PortMonitorTableOf(PortHead *entry) {
    return &static_cast<PortEntry *>(entry)->PortMonitorTable;
}

// A new record has no port below yet and counts as a transport user: under
// the lock that creates it, so that the count always equals the number of
// records.
static void RecordCreated(PortHead *entry) {
    PortEntry *e = static_cast<PortEntry *>(entry);
    e->PortHandle = nullptr;
    e->ChannelSocket = NO_SOCKET;
    LoadTransport();
}

const MonitorRecordInfo RecordInfo = {
    sizeof(PortEntry), AgentActive,        JobCancelled, AgentActive,   PrinterHandleOf,
    FreeRecordExtras,  PortMonitorTableOf, LprPort,      RecordCreated, "Brantic",
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
    // The lock is set up once per loaded library, even if a host asks twice.
    InitializeMonitorLock();
    // The trace's switch lives under the key the spooler names here.
    SetTraceRoot(registryRoot);
    return &MonitorEx;
}

// The same entry points in their Windows 2000 shapes, with Shutdown and the
// bidi entry; the slots a language monitor has no use for stay null.
static MONITOR2 Monitor2 = {
    .cbSize = MONITOR2_BIDI_SIZE,
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
    .pfnShutdown = Shutdown,
    .pfnSendRecvBidiDataFromPort = SendRecvBidiDataFromPort,
    .pfnNotifyUsedPorts = nullptr,
    .pfnNotifyUnusedPorts = nullptr,
};

DLLEXPORT LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE instance) {
    if (!CreateMonitorInstance(init, instance))
        return nullptr;
    // After the level is read: the line says which contract the spooler chose.
    TRACE(TRACE_DECISIONS, nullptr, "initialised through InitializePrintMonitor2");
    return &Monitor2;
}

DLLEXPORT BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return TRUE;
}

BOOL WINAPI OpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor) {
    // The record's own fields and the transport user come in RecordCreated.
    TRACE(TRACE_CALLS, nullptr, "OpenPortEx %s", (LPCWSTR)portName);
    return OpenPortRecord(portName, printerName, handle, monitor);
}

BOOL WINAPI OpenPortEx(HANDLE monitor, HANDLE monitorPort, LPWSTR portName, LPWSTR printerName,
                       PHANDLE handle, LPMONITOR2 portMonitor) {
    TRACE(TRACE_CALLS, nullptr, "OpenPortEx %s", (LPCWSTR)portName);
    return OpenPortRecord2(monitor, monitorPort, portName, printerName, handle, portMonitor);
}

VOID WINAPI Shutdown(HANDLE monitor) {
    if (!IsValidInstance(monitor)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return;
    }
    TRACE(TRACE_CALLS, nullptr, "Shutdown");
    // Ports the spooler left open are closed as it would have closed them.
    MonitorInstance *instance = (MonitorInstance *)monitor;
    for (PortHead *port; (port = FindInstancePort(instance)) != nullptr;)
        if (!ClosePort((HANDLE)port))
            break;
    FreeMonitorInstance(instance);
}

// Ends a port whatever its job's state, as ClosePort does: the record is
// going, so what an unfinished job still holds is released now (nothing could
// release it later), without ending the job as printed.
static void ClosePortRecord(PortEntry *e) {
    bool unfinished = TestFlags(e, JobActive);
    ClearFlags(e, JobActive);
    // Before the transport may go: a channel socket is closed through it.
    if (unfinished) {
        TRACE(TRACE_DECISIONS, e, "job %u not ended before ClosePort: what it holds is released",
              e->JobId);
        ReleaseJob(e, false);
    }

    // The port stops counting as a transport user together with the removal
    // of its record, so the library is freed only when no port is left.
    EnterMonitorLock();
    if (FindPort(e->PortName) == e)
        UnloadTransport();
    DeletePortEntry(e);
    LeaveMonitorLock();
}

BOOL WINAPI ClosePort(HANDLE port) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "ClosePort");
    ClosePortRecord(e);
    return TRUE;
}
