// The data path of a job: writes over the channel or through the port
// monitor, reads, printer-data requests and bidi requests.
#include "brantic.h"

// A failed send ends the job: the socket is closed, the agent told, and the
// spooler's job cancelled.
static void CancelChannelJob(PortEntry *e) {
    TRACE(TRACE_DECISIONS, e, "send over the channel failed (error %u): job %u cancelled",
          GetLastError(), e->JobId);
    TransportCloseSocket(e->ChannelSocket);
    e->ChannelSocket = NO_SOCKET;
    if (TestFlags(e, AgentActive))
        AgentJobStatus(e, e->JobId, AGENT_STATUS_SEND_FAILED);
    SetFlags(e, JobCancelled);
    if (e->PrinterHandle != nullptr)
        SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_CANCEL);
}

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    DWORD unused = 0;
    if (written == nullptr)
        written = &unused;
    TRACE(TRACE_CALLS, e, "WritePort %u bytes", count);

    // The first write of the job tells the agent that data flows.
    if (!TestFlags(e, DataStarted)) {
        if (TestFlags(e, AgentActive))
            AgentJobStatus(e, e->JobId, AGENT_STATUS_DATA_STARTED);
        SetFlags(e, DataStarted);
    }

    // The agent still holds the job: ask again.
    if (!TestFlags(e, AgentStartDone)) {
        LONG reply = AgentJobStart(e, e->Model);
        if (reply < 0) {
            TRACE(TRACE_CALLS, e, "agent still holds job %u (answer %d)", e->JobId, reply);
            return PauseWrite(written);
        }
        TRACE(TRACE_DECISIONS, e, "agent lets job %u go (answer %d)", e->JobId, reply);
        SetFlags(e, AgentStartDone);
        HandleAgentReply(e, reply);
    }

    // A cancelled job swallows its data.
    if (TestFlags(e, JobCancelled))
        return PauseWrite(written);

    // Retry a deferred open; once open, the model can be read.
    if (TestFlags(e, OpenDeferred)) {
        if (!RetryJobOutput(e))
            return PauseWrite(written);
        if (TestFlags(e, AgentActive))
            ReadDeviceModel(e);
    }

    if (e->ChannelSocket == NO_SOCKET) {
        // Through the port monitor; its failure is passed on as a short write.
        *written = 0;
        if (PortWrite(e, buffer, count, written))
            return TRUE;
    } else {
        // Over the channel; a library that claims more than it was given is
        // held to what it was given.
        int sent = TransportSend(e->ChannelSocket, buffer, count);
        if (sent >= 0) {
            *written = (DWORD)sent > count ? count : (DWORD)sent;
            return TRUE;
        }
        *written = 0;
        CancelChannelJob(e);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD read) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "ReadPort %u bytes", count);

    // The channel has no read; nothing is read and the last error stays.
    if (e->ChannelSocket != NO_SOCKET)
        return FALSE;

    // Through the port monitor, while it has a port open for the job. A
    // port monitor without the slot (Wine's local one has no ReadPort)
    // cannot read.
    if (e->PortHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return PortRead(e, buffer, count, read);
}

BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                                   DWORD inSize, LPWSTR outBuffer, DWORD outSize,
                                   LPDWORD returned) {
    // Requests by value name are not served.
    if (!IsValidPort(port) || controlId == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "GetPrinterDataFromPort control %x", controlId);

    // Without a channel, the port monitor answers for its open port; with no
    // open port or no such slot the request is refused like a bad argument.
    if (e->ChannelSocket == NO_SOCKET) {
        if (e->PortHandle == nullptr || e->PortMonitorTable.pfnGetPrinterDataFromPort == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return PortGetPrinterData(e, controlId, valueName, inBuffer, inSize, outBuffer, outSize,
                                  returned);
    }

    // Over the channel only the device ID can be asked.
    if (controlId == IOCTL_PAR_QUERY_DEVICE_ID &&
        TransportGetChannelCapability(e->ChannelSocket, controlId, inBuffer, inSize, outBuffer,
                                      outSize, returned) == 0)
        return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// Printer UIs ask at any time, from any thread; decided and done under
// MonitorLock, which StartDocPort takes to mark a job active and EndDocPort
// to take the port monitor's port away: the job's open port is asked as it
// is and cannot be closed meanwhile; outside a job the port is opened for
// this one call and closed before any job can open it; a job without an
// open port monitor port (a channel job, a deferred or closing one) has no
// port to ask.
DWORD WINAPI SendRecvBidiDataFromPort(HANDLE port, DWORD access, LPCWSTR action,
                                      PBIDI_REQUEST_CONTAINER request,
                                      PBIDI_RESPONSE_CONTAINER *response) {
    if (!IsValidPort(port))
        return ERROR_INVALID_PARAMETER;
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "SendRecvBidiDataFromPort %s", action);
    if (!HasBidiBelow(e))
        return ERROR_NOT_SUPPORTED;

    EnterMonitorLock();
    DWORD result;
    HANDLE own = nullptr;
    if (e->OutputOpen) {
        result = PortBidi(e, e->PortHandle, access, action, request, response);
    } else if (TestFlags(e, JobActive)) {
        result = ERROR_BUSY;
    } else if (!PortOpen(e, &own)) {
        result = GetLastError();
    } else {
        result = PortBidi(e, own, access, action, request, response);
        PortClose(e, own);
    }
    LeaveMonitorLock();
    TRACE(TRACE_CALLS, e, "SendRecvBidiDataFromPort answers %u", result);
    return result;
}
