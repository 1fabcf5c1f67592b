// Start and end of a job on a port: the agent's part, the printer handle,
// the job's output and the marks the spooler gets.
#include "brantic.h"

// Opens the spooler printer handle into the record; a failed open leaves it
// null and the job then runs without SetJobW calls.
static void OpenJobPrinter(PortEntry *e, LPWSTR printerName) {
    HANDLE printer = nullptr;
    if (!OpenPrinterW(printerName, &printer, nullptr))
        printer = nullptr;
    e->PrinterHandle = printer;
}

void AnnounceJob(PortEntry *e) {
    // Without the agent the job is free to go at once.
    if (!TestFlags(e, AgentActive)) {
        SetFlags(e, AgentStartDone);
        return;
    }
    // A negative answer holds the job: WritePort asks again.
    LONG reply = AgentJobStart(e, e->Model);
    if (reply < 0) {
        TRACE(TRACE_DECISIONS, e, "agent holds job %u (answer %d)", e->JobId, reply);
        return;
    }
    SetFlags(e, AgentStartDone);
    HandleAgentReply(e, reply);
}

// Where the job's data goes, as a trace line names it.
static LPCSTR JobOutputName(PortEntry *e) {
    if (TestFlags(e, OpenDeferred))
        return "output deferred";
    return e->ChannelSocket != NO_SOCKET ? "over the transport channel"
                                         : "through the port monitor";
}

BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level,
                         LPBYTE docInfo) {
    // The trace is switched on and off between jobs.
    ReadTraceLevel();
    TRACE(TRACE_CALLS, IsValidPort(port) ? (PortHead *)port : nullptr, "StartDocPort job %u",
          jobId);
    if (!IsValidPort(port) || printerName == nullptr || printerName[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;

    // One job at a time; the running one is left alone.
    if (TestFlags(e, JobActive)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }

    // The model is read anew for every job.
    if (e->Model != nullptr) {
        GlobalFree(e->Model);
        e->Model = nullptr;
    }
    e->JobId = jobId;

    // The agent decides for each job whether it takes part.
    AssignFlags(e, AgentActive, AgentQuery() == 0);
    // Under the lock: a bidi request outside a job opens the port monitor's
    // port under it too, so the two opens never overlap.
    EnterMonitorLock();
    SetFlags(e, JobActive);
    LeaveMonitorLock();
    ClearFlags(e, AgentStartDone | DataStarted | JobCancelled);

    // Printer handle: re-opened under the lock when the job names another
    // printer, else reused (or opened when the last job closed it).
    if (lstrcmpW(printerName, e->PrinterName) != 0) {
        EnterMonitorLock();
        LPWSTR name = DupWide(printerName);
        // Without memory for the new name the old one is kept: the record
        // never loses its printer name.
        if (name != nullptr) {
            GlobalFree(e->PrinterName);
            e->PrinterName = name;
        }
        if (e->PrinterHandle != nullptr) {
            HANDLE old = e->PrinterHandle;
            e->PrinterHandle = nullptr;
            ClosePrinter(old);
        }
        OpenJobPrinter(e, printerName);
        LeaveMonitorLock();
    } else if (e->PrinterHandle == nullptr) {
        OpenJobPrinter(e, printerName);
    }

    // An LPR port announces the job before its output opens.
    if (TestFlags(e, LprPort))
        AnnounceJob(e);

    // A failed open is deferred to WritePort; StartDocPort goes on and keeps
    // the failing call's last error.
    OpenJobOutput(e, printerName, jobId, level, docInfo);
    DWORD openError = GetLastError();

    // The model goes with the job start when the output could be asked.
    if (!TestFlags(e, OpenDeferred) && TestFlags(e, AgentActive))
        ReadDeviceModel(e);

    if (!TestFlags(e, LprPort))
        AnnounceJob(e);

    TRACE(TRACE_DECISIONS, e, "job %u started: %s, agent %s", jobId, JobOutputName(e),
          TestFlags(e, AgentActive) ? "takes part" : "takes no part");
    if (TestFlags(e, OpenDeferred))
        SetLastError(openError);
    return TRUE;
}

void ReleaseJob(PortEntry *e, bool markSent) {
    // The kept document information is of no more use.
    FreeDocInfo(e->DocInfo);
    e->DocInfo = nullptr;

    // The job stays active until its port is closed, so that a bidi request
    // neither uses the port nor opens its own meanwhile.
    CloseJobOutput(e);
    ClearFlags(e, JobActive);

    // Sent and ejected, a cancelled job too.
    if (markSent && e->PrinterHandle != nullptr) {
        SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
        SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
    }

    if (TestFlags(e, AgentActive))
        AgentJobEnd(e);

    if (e->PrinterHandle != nullptr) {
        ClosePrinter(e->PrinterHandle);
        e->PrinterHandle = nullptr;
    }
}

BOOL WINAPI EndDocPort(HANDLE port) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "EndDocPort job %u", e->JobId);

    // No job to end (a second EndDocPort): the agent and the spooler were
    // told, and the output closed, once.
    if (!TestFlags(e, JobActive)) {
        TRACE(TRACE_DECISIONS, e, "EndDocPort without an active job: nothing to end");
        return TRUE;
    }

    if (TestFlags(e, AgentActive))
        AgentJobStatus(e, e->JobId, AGENT_STATUS_JOB_END);

    ReleaseJob(e, true);
    TRACE(TRACE_DECISIONS, e, "job %u ended", e->JobId);
    return TRUE;
}
