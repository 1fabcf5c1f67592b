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

BOOL OpenPortRecord(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor) {
    // Both names are needed; so are somewhere to put the handle and the table
    // of the port monitor below, which every later call goes through.
    if (portName == nullptr || portName[0] == 0 || printerName == nullptr || printerName[0] == 0 ||
        handle == nullptr || monitor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // One record per port, whatever the case of its name. What the monitor
    // adds to a new record happens under the same lock, so that nothing it
    // counts can disagree with the table.
    EnterMonitorLock();
    if (FindPort(portName) != nullptr) {
        LeaveMonitorLock();
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortHead *entry = CreatePortEntry(portName, printerName);
    if (entry != nullptr && RecordInfo.RecordCreated != nullptr)
        RecordInfo.RecordCreated(entry);
    LeaveMonitorLock();
    if (entry == nullptr)
        return FALSE; // the failed allocation's last error stands

    *handle = (HANDLE)entry;

    // The port monitor's table as NT 4.0 defines it: never read past its 14
    // slots; the later slots of the platform's MONITOR stay null.
    memcpy(RecordInfo.PortMonitorTableOf(entry), monitor, NT4_MONITOR_SIZE);

    // Jobs on LPR ports tell the agent of their start before the port opens.
    if (IsLprPort(entry))
        SetFlags(entry, RecordInfo.LprPortFlag);
    return TRUE;
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
