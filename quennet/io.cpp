// The write, read and printer-data path: WritePort carries out what
// StartDocPort prepared (the agent's consent, a cancelled job, the deferred
// open of the port below, the command that precedes the data), ReadPort and
// GetPrinterDataFromPort forward to the port monitor. Also the calls into the
// port monitor below, which every part of the monitor goes through.
#include "quennet.h"

// ---------------------------------------------------------------- port monitor calls

// A port monitor may leave any slot empty: a missing entry point is a failed
// call, never a jump through a null pointer.
static BOOL NotSupported() {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// The one call whose shape differs between the two contracts.
BOOL PortOpen(PortEntry *e) {
    return OpenPortBelow(e, &e->PortHandle);
}

BOOL PortStartDoc(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo) {
    if (e->PortMonitorTable.pfnStartDocPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnStartDocPort(e->PortHandle, printerName, jobId, level, docInfo);
}

BOOL PortWrite(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD written) {
    if (e->PortMonitorTable.pfnWritePort == nullptr) {
        if (written != nullptr)
            *written = 0;
        return NotSupported();
    }
    return e->PortMonitorTable.pfnWritePort(e->PortHandle, buffer, count, written);
}

BOOL PortRead(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD read) {
    if (e->PortMonitorTable.pfnReadPort == nullptr) {
        if (read != nullptr)
            *read = 0;
        return NotSupported();
    }
    return e->PortMonitorTable.pfnReadPort(e->PortHandle, buffer, count, read);
}

BOOL PortEndDoc(PortEntry *e) {
    if (e->PortMonitorTable.pfnEndDocPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnEndDocPort(e->PortHandle);
}

BOOL PortClose(PortEntry *e) {
    if (e->PortMonitorTable.pfnClosePort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnClosePort(e->PortHandle);
}

BOOL PortGetPrinterData(PortEntry *e, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                        DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned) {
    if (e->PortMonitorTable.pfnGetPrinterDataFromPort == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnGetPrinterDataFromPort(
        e->PortHandle, controlId, valueName, inBuffer, inSize, outBuffer, outSize, returned);
}

BOOL PortSetTimeOuts(PortEntry *e, LPCOMMTIMEOUTS timeouts) {
    if (e->PortMonitorTable.pfnSetPortTimeOuts == nullptr)
        return NotSupported();
    return e->PortMonitorTable.pfnSetPortTimeOuts(e->PortHandle, timeouts, 0);
}

DWORD PortBidi(PortEntry *e, DWORD access, LPCWSTR action, PBIDI_REQUEST_CONTAINER request,
               PBIDI_RESPONSE_CONTAINER *response) {
    return BidiBelow(e, e->PortHandle, access, action, request, response);
}

// ---------------------------------------------------------------- WritePort

// WriteFailed follows the outcome of the last write. Nearly every write
// leaves it as it was, so it is changed only when it differs: the common
// write then makes no locked read-modify-write of the shared flag word. Only
// the spooler's thread for the port writes, so the test cannot go stale.
static void NoteWriteResult(PortEntry *e, BOOL ok) {
    if (TestFlags(e, WriteFailed) != !ok)
        AssignFlags(e, WriteFailed, !ok);
}

// A failed write of a job-language job: give the connection to the status
// thread for one read of the printer's answers, and take it back after.
static void HandOverAfterFailedWrite(PortEntry *e, HANDLE io) {
    HANDLE readDone = LoadHandle(e->ReadDoneEvent);
    HANDLE wake = LoadHandle(e->WakeEvent);
    if (io == nullptr || readDone == nullptr || wake == nullptr)
        return;
    TRACE(TRACE_DECISIONS, e, "write failed (error %u): the status thread reads the printer first",
          GetLastError());
    SetEvent(io);
    ResetEvent(readDone);
    SetEvent(wake);
    // The thread reads only while the job talks the job language; an agent
    // answer that turns it off in the thread's cycle would leave this wait
    // without end, so it is looked at again every second.
    while (WaitForSingleObject(readDone, 1000) == WAIT_TIMEOUT) {
        if (!TestFlags(e, ThreadRunning) || !TestFlags(e, JobLanguageOn))
            break;
    }
    WaitForSingleObject(io, INFINITE);
}

BOOL DeferredOpenAndStart(PortEntry *e) {
    if (TestFlags(e, OpenPending)) {
        if (!PortOpen(e)) {
            TRACE(TRACE_CALLS, e, "deferred open failed again (error %u)", GetLastError());
            return FALSE;
        }
        ClearFlags(e, OpenPending);
        SetFlags(e, StartPending);
    }
    if (!TestFlags(e, StartPending))
        return TRUE;
    // The document information kept by StartDocPort, with the level it describes.
    if (!PortStartDoc(e, e->PrinterName, e->JobId, e->DocInfoLevel, (LPBYTE)e->DocInfo)) {
        TRACE(TRACE_CALLS, e, "deferred start failed again (error %u)", GetLastError());
        return FALSE;
    }
    ClearFlags(e, StartPending);
    SetFlags(e, PortStarted);
    TRACE(TRACE_DECISIONS, e, "port below opened and started on a retry in WritePort");
    // A deferred port has no thread of an earlier job: no model shortcut.
    ChooseJobMode(e, WITHOUT_MODEL_SHORTCUT);
    return TRUE;
}

BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "WritePort %u bytes", count);

    // The job's first data.
    if (!TestFlags(e, DataStarted)) {
        if (TestFlags(e, AgentActive))
            AgentJobStatus(e, e->JobId, AGENT_STATUS_DATA_STARTED);
        SetFlags(e, DataStarted);
    }

    // The agent's consent, asked again until it stops holding the job.
    if (!TestFlags(e, AgentStartDone)) {
        LONG reply = CallAgentJobStart(e);
        if (reply < 0) {
            TRACE(TRACE_CALLS, e, "agent still holds job %u (answer %d)", e->JobId, reply);
            return PauseWrite(written);
        }
        TRACE(TRACE_DECISIONS, e, "agent lets job %u go (answer %d)", e->JobId, reply);
        SetFlags(e, AgentStartDone);
        HandleAgentReply(e, reply);
    }

    // A cancelled job's data goes nowhere until the spooler ends it.
    if (TestFlags(e, JobCancelled))
        return PauseWrite(written);

    // The port below that StartDocPort could not open or start.
    if (TestFlags(e, OpenPending) || TestFlags(e, StartPending)) {
        if (!TestFlags(e, AgentActive)) {
            LONG reply = CallAgentJobStart(e);
            if (reply >= 0) {
                SetFlags(e, AgentActive);
                HandleAgentReply(e, reply);
            }
        }
        if (!DeferredOpenAndStart(e))
            return PauseWrite(written); // the port monitor's last error stands
    }

    // The printer connection is this call's from here on.
    HANDLE io = LoadHandle(e->PortIoEvent);
    if (io != nullptr)
        WaitForSingleObject(io, INFINITE);

    // The pending command goes first, in as many calls as the port takes.
    if (TestFlags(e, PrefixPending)) {
        DWORD sent = 0;
        BOOL ok =
            PortWrite(e, (LPBYTE)e->PendingCommand + e->PendingOffset, e->PendingLength, &sent);
        if (sent > e->PendingLength)
            sent = e->PendingLength; // never step past the text
        if (sent == e->PendingLength) {
            if (ModelContains(e, "RVT-101") && TestFlags(e, AgentActive))
                AgentJobStatus(e, e->JobId, AGENT_STATUS_JOB_TAG);
            ClearFlags(e, PrefixPending);
            SetFlags(e, StartSent);
        }
        e->PendingOffset += sent;
        e->PendingLength -= sent;
        NoteWriteResult(e, ok);
        if (!ok && TestFlags(e, ThreadRunning) && TestFlags(e, JobLanguageOn))
            HandOverAfterFailedWrite(e, io);
        // The job's data waits until the whole command is through.
        if (!TestFlags(e, StartSent)) {
            if (written != nullptr)
                *written = 0;
            if (io != nullptr)
                SetEvent(io);
            SetLastError(0);
            return TRUE;
        }
    }

    // A job-language printer tells its troubles through the status thread:
    // the spooler sees success and calls again with what is left.
    if (TestFlags(e, JobLanguageOn)) {
        BOOL ok = PortWrite(e, buffer, count, written);
        NoteWriteResult(e, ok);
        if (!ok && TestFlags(e, ThreadRunning) && TestFlags(e, JobLanguageOn))
            HandOverAfterFailedWrite(e, io);
        if (io != nullptr)
            SetEvent(io);
        SetLastError(0);
        return TRUE;
    }

    // A plain job gets the port monitor's answer as it is: its last error is
    // kept across giving the turn back.
    BOOL ok = PortWrite(e, buffer, count, written);
    NoteWriteResult(e, ok);
    if (io != nullptr) {
        DWORD error = GetLastError();
        SetEvent(io);
        SetLastError(error);
    }
    return ok;
}

// ---------------------------------------------------------------- ReadPort

BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD read) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TRACE(TRACE_CALLS, (PortHead *)port, "ReadPort %u bytes", count);
    return PortRead((PortEntry *)port, buffer, count, read);
}

// ---------------------------------------------------------------- GetPrinterDataFromPort

BOOL ForwardPrinterData(PortEntry *e, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                        DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned) {
    // Only control codes are passed on; requests by value name are not served.
    if (controlId == 0 || e->PortMonitorTable.pfnGetPrinterDataFromPort == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return PortGetPrinterData(e, controlId, valueName, inBuffer, inSize, outBuffer, outSize,
                              returned);
}

BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                                   DWORD inSize, LPWSTR outBuffer, DWORD outSize,
                                   LPDWORD returned) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TRACE(TRACE_CALLS, (PortHead *)port, "GetPrinterDataFromPort control %x", controlId);
    return ForwardPrinterData((PortEntry *)port, controlId, valueName, inBuffer, inSize, outBuffer,
                              outSize, returned);
}

// ---------------------------------------------------------------- SendRecvBidiDataFromPort

// Printer UIs ask at any time, from any thread. Everything is decided and
// done under MonitorLock, which StartDocPort takes to mark a job active,
// EndDocPort to take PortStarted away and the status thread for its exit:
// a port started for a job or kept by the thread is asked as it is and
// cannot be closed meanwhile; outside a job the port is opened for this one
// call and closed again before any job can open it; a job whose port is
// being opened, deferred or closed has no port to ask.
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
    if (TestFlags(e, PortStarted)) {
        result = PortBidi(e, access, action, request, response);
    } else if (TestFlags(e, JobActive)) {
        result = ERROR_BUSY;
    } else if (!PortOpen(e)) {
        result = GetLastError();
    } else {
        result = PortBidi(e, access, action, request, response);
        PortClose(e);
    }
    LeaveMonitorLock();
    TRACE(TRACE_CALLS, e, "SendRecvBidiDataFromPort answers %u", result);
    return result;
}
