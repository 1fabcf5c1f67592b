// Opening a job's output: over the transport channel for the local LPT1 when
// the transport library is loaded, through the port monitor otherwise. A
// failed open is deferred and retried by every WritePort. Also the calls
// into the port monitor below, which every part of the monitor goes through.
#include "brantic.h"

// ---------------------------------------------------------------- port monitor calls

static BOOL NotSupported() {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// The one call whose shape differs between the two contracts.
BOOL PortOpen(PortEntry *e, PHANDLE handle) {
    return OpenPortBelow(e, handle);
}

BOOL PortStartDoc(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo) {
    if (e->PortMonitorTable.pfnStartDocPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnStartDocPort(e->PortHandle, printerName, jobId, level, docInfo);
}

BOOL PortWrite(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD written) {
    if (e->PortMonitorTable.pfnWritePort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnWritePort(e->PortHandle, buffer, count, written);
}

BOOL PortRead(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD read) {
    if (e->PortMonitorTable.pfnReadPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnReadPort(e->PortHandle, buffer, count, read);
}

BOOL PortEndDoc(PortEntry *e, HANDLE handle) {
    if (e->PortMonitorTable.pfnEndDocPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnEndDocPort(handle);
}

BOOL PortClose(PortEntry *e, HANDLE handle) {
    if (e->PortMonitorTable.pfnClosePort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnClosePort(handle);
}

BOOL PortGetPrinterData(PortEntry *e, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                        DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned) {
    if (e->PortMonitorTable.pfnGetPrinterDataFromPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnGetPrinterDataFromPort(
        e->PortHandle, controlId, valueName, inBuffer, inSize, outBuffer, outSize, returned);
}

DWORD PortBidi(PortEntry *e, HANDLE handle, DWORD access, LPCWSTR action,
               PBIDI_REQUEST_CONTAINER request, PBIDI_RESPONSE_CONTAINER *response) {
    return BidiBelow(e, handle, access, action, request, response);
}

// ---------------------------------------------------------------- the job's output

// The port-monitor branch: open the port and start its document. FALSE with
// the failing call's error in *error, the port closed again.
static BOOL OpenPortMonitorOutput(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level,
                                  LPBYTE docInfo, LPDWORD error) {
    if (!CanOpenPortBelow(e) || e->PortMonitorTable.pfnStartDocPort == nullptr) {
        *error = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    if (!PortOpen(e, &e->PortHandle)) {
        *error = GetLastError();
        return FALSE;
    }
    if (PortStartDoc(e, printerName, jobId, level, docInfo)) {
        EnterMonitorLock();
        e->OutputOpen = true;
        LeaveMonitorLock();
        return TRUE;
    }
    *error = GetLastError();
    PortClose(e, e->PortHandle);
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
    // ends or closes it a second time; taken under the lock, as a bidi
    // request reads it there.
    EnterMonitorLock();
    HANDLE handle = e->PortHandle;
    e->PortHandle = nullptr;
    e->OutputOpen = false;
    LeaveMonitorLock();
    if (handle != nullptr) {
        PortEndDoc(e, handle);
        PortClose(e, handle);
    }
}
