// Opening a job's output: over the transport channel for the local LPT1 when
// the transport library is loaded, through the port monitor otherwise. A
// failed open is deferred and retried by every WritePort.
#include "brantic.h"

// The port-monitor branch: open the port and start its document. FALSE with
// the failing call's error in *error, the port closed again.
static BOOL OpenPortMonitorOutput(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level,
                                  LPBYTE docInfo, LPDWORD error) {
    MONITOR &pm = e->PortMonitorTable;
    if (pm.pfnOpenPort == nullptr || pm.pfnStartDocPort == nullptr) {
        *error = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    if (!pm.pfnOpenPort(e->PortName, &e->PortHandle)) {
        *error = GetLastError();
        return FALSE;
    }
    if (pm.pfnStartDocPort(e->PortHandle, printerName, jobId, level, docInfo))
        return TRUE;
    *error = GetLastError();
    if (pm.pfnClosePort != nullptr)
        pm.pfnClosePort(e->PortHandle);
    return FALSE;
}

// Both branches and, on failure, what they leave open is closed: the
// transport socket, and the port monitor's handle is forgotten.
static BOOL OpenOutput(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo,
                       LPDWORD error) {
    BOOL opened;
    BOOL local = IsLocalLpt1(e->PortName);
    if (local && TransportLoaded()) {
        // A channel job has no port monitor handle of its own.
        e->PortHandle = nullptr;
        opened = OpenChannel(e, error);
    } else {
        TRACE(TRACE_DECISIONS, e, "output through the port monitor: %s",
              local ? "no transport library" : "not the local LPT1");
        e->ChannelSocket = NO_SOCKET;
        opened = OpenPortMonitorOutput(e, printerName, jobId, level, docInfo, error);
    }
    if (opened)
        return TRUE;

    if (e->ChannelSocket != NO_SOCKET) {
        TransportCloseSocket(e->ChannelSocket);
        e->ChannelSocket = NO_SOCKET;
    }
    e->PortHandle = nullptr;
    return FALSE;
}

void OpenJobOutput(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo) {
    ClearFlags(e, OpenDeferred);
    DWORD error = ERROR_SUCCESS;
    if (OpenOutput(e, printerName, jobId, level, docInfo, &error))
        return;

    // Keep what the retry needs: the document information and the level
    // the copy describes.
    FreeDocInfo(e->DocInfo);
    e->DocInfo = CopyDocInfo(docInfo, level);
    e->DocInfoLevel = DocInfoCopyLevel(level);
    SetFlags(e, OpenDeferred);
    TRACE(TRACE_DECISIONS, e, "output does not open (error %u): deferred to WritePort", error);
    SetLastError(error);
}

BOOL RetryJobOutput(PortEntry *e) {
    DWORD error = ERROR_SUCCESS;
    if (!OpenOutput(e, e->PrinterName, e->JobId, e->DocInfoLevel, (LPBYTE)e->DocInfo, &error)) {
        TRACE(TRACE_CALLS, e, "deferred output failed again (error %u)", error);
        SetLastError(error);
        return FALSE;
    }
    TRACE(TRACE_DECISIONS, e, "output opened on a retry in WritePort");
    // The document information stays until EndDocPort.
    ClearFlags(e, OpenDeferred);
    return TRUE;
}

void CloseJobOutput(PortEntry *e) {
    // A deferred output has nothing open.
    if (TestFlags(e, OpenDeferred))
        return;
    if (e->ChannelSocket != NO_SOCKET) {
        TransportCloseSocket(e->ChannelSocket);
        e->ChannelSocket = NO_SOCKET;
        return;
    }
    // The port monitor's handle is forgotten once closed, so that nothing
    // ends or closes it a second time.
    if (e->PortHandle == nullptr)
        return;
    HANDLE handle = e->PortHandle;
    e->PortHandle = nullptr;
    if (e->PortMonitorTable.pfnEndDocPort != nullptr)
        e->PortMonitorTable.pfnEndDocPort(handle);
    if (e->PortMonitorTable.pfnClosePort != nullptr)
        e->PortMonitorTable.pfnClosePort(handle);
}
