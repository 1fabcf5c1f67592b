// The library's exports and its port records: InitializePrintMonitor hands the
// spooler of NT 4.0 the MONITOREX, InitializePrintMonitor2 a spooler since
// Windows 2000 the MONITOR2; OpenPortEx and ClosePort create and delete the
// PortEntry that stands behind each port handle, Shutdown closes what is left.
#include "quennet.h"

// The spooler of NT 4.0 knows exactly these 14 slots; on a 32-bit build they
// are the 56 bytes it expects.
static_assert(sizeof(void *) != 4 || NT4_MONITOR_SIZE == 56, "NT 4.0 MONITOR is 56 bytes");
static_assert(NT4_MONITOR_SIZE <= sizeof(MONITOR), "the platform MONITOR begins with NT 4.0's");

// ---------------------------------------------------------------- the record for core/

static HANDLE *PrinterHandleOf(PortHead *entry) {
    return &((PortEntry *)entry)->PrinterHandle;
}

// What a PortEntry owns beyond the head's strings. A port closed with job ids
// the printer never reported must not leak them. The port monitor's port is
// the job's, the status thread's or ClosePort's to close (ClosePortRecord),
// never the record's. So is the printer handle, but a StartDocPort that
// failed for want of memory leaves it open for the next job: when the port is
// closed instead, nobody else would ever close it.
static void FreeRecordExtras(PortHead *head) {
    PortEntry *e = (PortEntry *)head;
    if (e->PrinterHandle != nullptr) {
        ClosePrinter(e->PrinterHandle);
        e->PrinterHandle = nullptr;
    }
    if (e->DocInfo != nullptr) {
        FreeDocInfo(e->DocInfo);
        e->DocInfo = nullptr;
    }
    if (e->PendingCommand != nullptr) {
        FreeMovable(e->PendingCommand);
        e->PendingCommand = nullptr;
        e->PendingLength = 0;
        e->PendingOffset = 0;
    }
    DropReadCarry(e);
    JobIdNode *node = e->JobIds;
    while (node != nullptr) {
        JobIdNode *next = node->Next;
        GlobalFree(node);
        node = next;
    }
    e->JobIds = nullptr;
}

static MONITOR *PortMonitorTableOf(PortHead *entry) {
    return &((PortEntry *)entry)->PortMonitorTable;
}

const MonitorRecordInfo RecordInfo = {
    sizeof(PortEntry),
    AgentActive,
    JobCancelled,
    AgentActive | JobLanguageOn | KeepPolling,
    PrinterHandleOf,
    FreeRecordExtras,
    PortMonitorTableOf,
    LprPort,
    nullptr,
    "Quennet",
};

// ---------------------------------------------------------------- the spooler's table

// Only the NT 4.0 slots the spooler calls on a language monitor; the rest
// are null, and so are the later Xcv slots the spooler of NT 4.0 never reads.
static MONITOREX MonitorEx = {
    (DWORD)NT4_MONITOR_SIZE,
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

// The same entry points in their Windows 2000 shapes, through
// pfnSendRecvBidiDataFromPort; the port-management and Xcv slots stay null,
// and so does pfnSetPortTimeOuts, as in the MONITOREX.
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

// ---------------------------------------------------------------- ports

BOOL WINAPI OpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor) {
    // A Quennet record needs nothing beyond what every record gets.
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
    // The spooler should have closed its ports; those left are closed as it
    // would have. Each status thread leaves with its own library reference.
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
    // No job any more; the status thread sees it and leaves, releasing a port
    // left started for it. It takes the lock on its way out, so it is stopped
    // before the lock is entered.
    bool unfinished = ClaimFlag(e, JobActive);
    StopStatusThread(e);
    if (unfinished)
        ReleaseUnfinishedJob(e);

    EnterMonitorLock();
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
