// The library's exports and its port records: InitializePrintMonitor hands the
// spooler the MONITOREX, OpenPortEx and ClosePort create and delete the
// PortEntry that stands behind each port handle.
#include "quennet.h"

// The spooler of NT 4.0 knows exactly these 14 slots; on a 32-bit build they
// are the 56 bytes it expects.
static_assert(sizeof(void *) != 4 || NT4_MONITOR_SIZE == 56, "NT 4.0 MONITOR is 56 bytes");
static_assert(NT4_MONITOR_SIZE <= sizeof(MONITOR), "the platform MONITOR begins with NT 4.0's");

// ---------------------------------------------------------------- the record for core/

static HANDLE *PrinterHandleOf(PortHead *entry) {
    return &((PortEntry *)entry)->PrinterHandle;
}

// What a PortEntry owns beyond the head's strings. A port closed in the middle
// of a job (or with job ids the printer never reported) must not leak them.
// The port monitor's port is the job's and the status thread's to close,
// never the record's. The printer handle is theirs too while a job runs, but
// a StartDocPort that failed for want of memory leaves it open for the next
// job: when the port is closed instead, nobody else would ever close it.
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

DLLEXPORT BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return TRUE;
}

// ---------------------------------------------------------------- ports

BOOL WINAPI OpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor) {
    // A Quennet record needs nothing beyond what every record gets.
    TRACE(TRACE_CALLS, nullptr, "OpenPortEx %s", (LPCWSTR)portName);
    return OpenPortRecord(portName, printerName, handle, monitor);
}

BOOL WINAPI ClosePort(HANDLE port) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "ClosePort");

    // No job any more; the status thread sees it and leaves. It takes the
    // lock on its way out, so it is stopped before the lock is entered.
    ClearFlags(e, JobActive);
    StopStatusThread(e);

    EnterMonitorLock();
    DeletePortEntry(e);
    LeaveMonitorLock();
    return TRUE;
}
