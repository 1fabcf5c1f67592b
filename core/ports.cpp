// The process-wide port table, its one lock, and record creation/deletion.
#include "core.h"

#include <string.h>

PortHead *PortTable = nullptr;
DWORD PortCount = 0;
CRITICAL_SECTION MonitorLock;

// Key of the LPR Port monitor's ports; the port name follows it.
static const WCHAR LprKeyPrefix[] =
    WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR Port\\Ports\\");
#define LPR_KEY_BUFFER 1024

void InitializeMonitorLock() {
    // Once per loaded library, however often and from however many threads
    // it is asked: a second initialisation would break a lock that ports may
    // be holding, and a caller must not go on before the lock is ready.
    // Without a C++ function-static guard, whose runtime support would tie
    // the library to a threads library newer than NT 4.0.
    static std::atomic<int> state{0}; // 0 none, 1 being set up, 2 ready
    int expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        InitializeCriticalSection(&MonitorLock);
        state.store(2);
        return;
    }
    while (state.load() != 2)
        Sleep(0);
}
void EnterMonitorLock() {
    EnterCriticalSection(&MonitorLock);
}
void LeaveMonitorLock() {
    LeaveCriticalSection(&MonitorLock);
}

PortHead *FindPort(LPCWSTR portName) {
    if (portName == nullptr || portName[0] == 0)
        return nullptr;
    for (PortHead *entry = PortTable; entry != nullptr; entry = entry->Next) {
        if (lstrcmpiW(entry->PortName, portName) == 0)
            return entry;
    }
    return nullptr;
}

PortHead *CreatePortEntry(LPCWSTR portName, LPCWSTR printerName) {
    // The monitor's whole record, zero-filled.
    PortHead *entry = (PortHead *)AllocFixed(RecordInfo.RecordSize);
    if (entry == nullptr)
        return nullptr;

    // Its own copies of the two names.
    entry->PortName = DupWide(portName);
    if (entry->PortName == nullptr)
        goto fail;
    entry->PrinterName = DupWide(printerName);
    if (entry->PrinterName == nullptr)
        goto fail;

    entry->Next = nullptr;
    entry->Signature = PORT_SIGNATURE;
    *RecordInfo.PrinterHandleOf(entry) = nullptr;

    // The status agent comes with the first record; a failed load is retried
    // at the next creation and is never an error.
    if (!AgentLoaded())
        LoadAgentLibrary();
    PortCount++;

    // Append at the tail.
    if (PortTable == nullptr) {
        PortTable = entry;
    } else {
        PortHead *last = PortTable;
        while (last->Next != nullptr)
            last = last->Next;
        last->Next = entry;
    }
    return entry;

fail:
    if (entry->PortName != nullptr)
        GlobalFree(entry->PortName);
    GlobalFree(entry);
    return nullptr;
}

// What both contracts' openings share: the arguments, one record per port
// (ERROR_BUSY), the record created under the lock with what the monitor adds.
// Null with the last error set; nothing is left behind then.
static PortHead *OpenRecord(LPWSTR portName, LPWSTR printerName, PHANDLE handle, bool monitor) {
    // Both names are needed; so are somewhere to put the handle and the table
    // of the port monitor below, which every later call goes through.
    if (portName == nullptr || portName[0] == 0 || printerName == nullptr || printerName[0] == 0 ||
        handle == nullptr || !monitor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    // One record per port, whatever the case of its name. What the monitor
    // adds to a new record happens under the same lock, so that nothing it
    // counts can disagree with the table.
    EnterMonitorLock();
    if (FindPort(portName) != nullptr) {
        LeaveMonitorLock();
        SetLastError(ERROR_BUSY);
        return nullptr;
    }
    PortHead *entry = CreatePortEntry(portName, printerName);
    if (entry != nullptr && RecordInfo.RecordCreated != nullptr)
        RecordInfo.RecordCreated(entry);
    LeaveMonitorLock();
    // Without a record the failed allocation's last error stands.
    return entry;
}

BOOL OpenPortRecord(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor) {
    PortHead *entry = OpenRecord(portName, printerName, handle, monitor != nullptr);
    if (entry == nullptr)
        return FALSE;

    *handle = (HANDLE)entry;

    // The port monitor's table as NT 4.0 defines it: never read past its 14
    // slots; the later slots of the platform's MONITOR stay null.
    memcpy(RecordInfo.PortMonitorTableOf(entry), monitor, NT4_MONITOR_SIZE);

    // Jobs on LPR ports tell the agent of their start before the port opens.
    if (IsLprPort(entry))
        SetFlags(entry, RecordInfo.LprPortFlag);
    return TRUE;
}

// A slot of a MONITOR2 copy: there when its cbSize covers it and it is not null.
#define MONITOR2_HAS(table, slot)                                                                  \
    ((table).cbSize >= offsetof(MONITOR2, slot) + sizeof(void *) && (table).slot != nullptr)

BOOL OpenPortRecord2(HANDLE instance, HANDLE monitorPort, LPWSTR portName, LPWSTR printerName,
                     PHANDLE handle, LPMONITOR2 monitor) {
    if (!IsValidInstance(instance)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    // The port monitor's MONITOR2, only as far as its cbSize says and never
    // past the slots we know; what it does not cover stays null.
    MONITOR2 below = {};
    if (monitor != nullptr) {
        DWORD size = monitor->cbSize < sizeof(MONITOR2) ? monitor->cbSize : (DWORD)sizeof(MONITOR2);
        memcpy(&below, monitor, size);
        below.cbSize = size;
    }
    // Every job opens, starts, writes, reads, ends and closes through it.
    if (monitor != nullptr &&
        (!MONITOR2_HAS(below, pfnOpenPort) || !MONITOR2_HAS(below, pfnStartDocPort) ||
         !MONITOR2_HAS(below, pfnWritePort) || !MONITOR2_HAS(below, pfnReadPort) ||
         !MONITOR2_HAS(below, pfnEndDocPort) || !MONITOR2_HAS(below, pfnClosePort))) {
        SetLastError(ERROR_INVALID_PRINT_MONITOR);
        return FALSE;
    }

    PortHead *entry = OpenRecord(portName, printerName, handle, monitor != nullptr);
    if (entry == nullptr)
        return FALSE;
    *handle = (HANDLE)entry;
    entry->Instance = (MonitorInstance *)instance;
    entry->MonitorPort = monitorPort;
    entry->PortMonitor2 = below;

    // The calls on the port monitor's port handle have the same shapes in
    // both contracts: they go through the record's MONITOR table as on NT 4.0.
    MONITOR *table = RecordInfo.PortMonitorTableOf(entry);
    table->pfnStartDocPort = below.pfnStartDocPort;
    table->pfnWritePort = below.pfnWritePort;
    table->pfnReadPort = below.pfnReadPort;
    table->pfnEndDocPort = below.pfnEndDocPort;
    table->pfnClosePort = below.pfnClosePort;
    if (MONITOR2_HAS(below, pfnGetPrinterDataFromPort))
        table->pfnGetPrinterDataFromPort = below.pfnGetPrinterDataFromPort;
    if (MONITOR2_HAS(below, pfnSetPortTimeOuts))
        table->pfnSetPortTimeOuts = below.pfnSetPortTimeOuts;

    if (IsLprPort(entry))
        SetFlags(entry, RecordInfo.LprPortFlag);
    return TRUE;
}

bool CanOpenPortBelow(PortHead *entry) {
    if (entry->Instance != nullptr)
        return entry->PortMonitor2.pfnOpenPort != nullptr;
    return RecordInfo.PortMonitorTableOf(entry)->pfnOpenPort != nullptr;
}

BOOL OpenPortBelow(PortHead *entry, PHANDLE handle) {
    if (!CanOpenPortBelow(entry)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (entry->Instance != nullptr)
        return entry->PortMonitor2.pfnOpenPort(entry->MonitorPort, entry->PortName, handle);
    return RecordInfo.PortMonitorTableOf(entry)->pfnOpenPort(entry->PortName, handle);
}

bool HasBidiBelow(PortHead *entry) {
    return MONITOR2_HAS(entry->PortMonitor2, pfnSendRecvBidiDataFromPort);
}

DWORD BidiBelow(PortHead *entry, HANDLE port, DWORD access, LPCWSTR action,
                PBIDI_REQUEST_CONTAINER request, PBIDI_RESPONSE_CONTAINER *response) {
    if (!HasBidiBelow(entry))
        return ERROR_NOT_SUPPORTED;
    return entry->PortMonitor2.pfnSendRecvBidiDataFromPort(port, access, action, request, response);
}

BOOL DeletePortEntry(PortHead *entry) {
    // Unlink; a record that is not in the table is left alone.
    if (entry == nullptr)
        return FALSE;
    if (PortTable == entry) {
        PortTable = entry->Next;
    } else {
        PortHead *previous = PortTable;
        while (previous != nullptr && previous->Next != entry)
            previous = previous->Next;
        if (previous == nullptr)
            return FALSE;
        previous->Next = entry->Next;
    }

    // The agent library goes with the last record.
    if (PortCount > 0)
        PortCount--;
    if (PortCount == 0 && AgentLoaded())
        UnloadAgentLibrary();

    // What the monitor's own fields own, then the head's strings and the record.
    if (RecordInfo.FreeRecordExtras != nullptr)
        RecordInfo.FreeRecordExtras(entry);
    if (entry->Model != nullptr)
        GlobalFree(entry->Model);
    if (entry->PrinterName != nullptr)
        GlobalFree(entry->PrinterName);
    if (entry->PortName != nullptr)
        GlobalFree(entry->PortName);
    // A stale handle held by the spooler must fail the signature test.
    entry->Signature = 0;
    GlobalFree(entry);
    return TRUE;
}

BOOL IsLprPort(PortHead *entry) {
    WCHAR key[LPR_KEY_BUFFER];
    SIZE_T prefix = sizeof(LprKeyPrefix) / sizeof(WCHAR) - 1;
    SIZE_T name = (SIZE_T)lstrlenW(entry->PortName);
    // A name too long for the key buffer cannot be an LPR port's.
    if (prefix + name + 1 > LPR_KEY_BUFFER)
        return FALSE;
    memcpy(key, LprKeyPrefix, prefix * sizeof(WCHAR));
    memcpy(key + prefix, entry->PortName, (name + 1) * sizeof(WCHAR));

    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(handle);
    return TRUE;
}
