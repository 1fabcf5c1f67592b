// The instance record of the Windows 2000 contract: InitializePrintMonitor2
// creates it after checking what the spooler describes, Shutdown frees it
// once the ports opened through it are closed.
#include "core.h"

BOOL CreateMonitorInstance(PMONITORINIT init, PHANDLE instance) {
    // The spooler's description, as far as its first five fields; a cluster
    // spooler (bLocal FALSE) would share our process-wide port table and
    // agent binding between its instances.
    if (init == nullptr || instance == nullptr ||
        init->cbSize < offsetof(MONITORINIT, bLocal) + sizeof(init->bLocal)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!init->bLocal) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }

    // The lock is set up once per loaded library, as on NT 4.0.
    InitializeMonitorLock();
    MonitorInstance *record = (MonitorInstance *)AllocFixed(sizeof(MonitorInstance));
    if (record == nullptr)
        return FALSE; // the failed allocation's last error stands
    record->Signature = INSTANCE_SIGNATURE;

    // The trace's switch lives under the monitor's own key.
    SetTraceRegistry(init);
    *instance = (HANDLE)record;
    return TRUE;
}

PortHead *FindInstancePort(MonitorInstance *instance) {
    EnterMonitorLock();
    PortHead *entry = PortTable;
    while (entry != nullptr && entry->Instance != instance)
        entry = entry->Next;
    LeaveMonitorLock();
    return entry;
}

void FreeMonitorInstance(MonitorInstance *instance) {
    // The spooler's registry functions may go with the spooler's instance.
    SetTraceRegistry(nullptr);
    // A stale handle must fail the signature test.
    instance->Signature = 0;
    GlobalFree(instance);
}
