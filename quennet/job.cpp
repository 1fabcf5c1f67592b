// Job start and end: StartDocPort opens the job on the port monitor below,
// decides whether the job talks the job language and tells the status agent;
// EndDocPort sends the job-end command, marks the job in the spooler and ends
// or hands over the port. Also the list of job ids whose end the printer has
// still to report.
#include "quennet.h"

#include <string.h>

// ---------------------------------------------------------------- status agent

LONG CallAgentJobStart(PortEntry *e) {
    // The model goes with the job start only when the printer was asked for it
    // for this job. Model is replaced under the lock by device identification:
    // copy it under the lock, call the agent without it.
    char model[MODEL_MAX + 1] = "";
    if (TestFlags(e, PortStarted) && TestFlags(e, JobLanguageOn)) {
        EnterMonitorLock();
        if (e->Model != nullptr) {
            strncpy(model, e->Model, MODEL_MAX);
            model[MODEL_MAX] = 0;
        }
        LeaveMonitorLock();
    }
    return AgentJobStart(e, model);
}

// Tells the agent of the job's start when it takes part; without the agent
// the job is free to go at once.
static void AnnounceJob(PortEntry *e) {
    if (!TestFlags(e, AgentActive)) {
        SetFlags(e, AgentStartDone);
        return;
    }
    LONG reply = CallAgentJobStart(e);
    if (reply < 0) {
        TRACE(TRACE_DECISIONS, e, "agent holds job %u (answer %d)", e->JobId, reply);
        return; // held: WritePort asks again
    }
    SetFlags(e, AgentStartDone);
    HandleAgentReply(e, reply);
}

// ---------------------------------------------------------------- job mode

void SetReadTimeouts(PortEntry *e) {
    // Short read time-outs so that a read of the printer's answers ends soon
    // after it stops talking; writes keep the port monitor's own behaviour.
    if (e->PortMonitorTable.pfnSetPortTimeOuts == nullptr)
        return;
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    PortSetTimeOuts(e, &timeouts);
}

// Builds the command of `kind` as the text that must precede the job's data.
// A failed build leaves an empty command, which counts as sent at once.
static void PreparePendingCommand(PortEntry *e, DWORD kind) {
    if (e->PendingCommand != nullptr) {
        FreeMovable(e->PendingCommand);
        e->PendingCommand = nullptr;
    }
    LPSTR text = nullptr;
    DWORD length = 0;
    if (!PrepareCommand(e, kind, &text, &length)) {
        text = nullptr;
        length = 0;
    }
    e->PendingCommand = text;
    e->PendingLength = length;
    e->PendingOffset = 0;
}

void ChooseJobMode(PortEntry *e, ModelShortcut shortcut) {
    // An "RVT-101" whose thread still runs from an earlier job is known to talk
    // the job language; otherwise ask the printer, but only for the agent.
    bool language = false;
    if (shortcut == WITH_MODEL_SHORTCUT && ModelContains(e, "RVT-101") &&
        TestFlags(e, ThreadRunning)) {
        language = true;
        TRACE(TRACE_DECISIONS, e, "job language TKL: RVT-101 with its status thread running");
    } else if (!TestFlags(e, AgentActive)) {
        TRACE(TRACE_DECISIONS, e, "job language not asked: the agent takes no part");
    } else if (QueryDeviceId(e)) {
        language = true;
        TRACE(TRACE_DECISIONS, e, "job language TKL: the device ID names it or a TKL model");
    } else {
        TRACE(TRACE_DECISIONS, e,
              "job language not TKL: the device ID shows neither TKL nor "
              "a TKL model");
    }

    if (language) {
        SetFlags(e, JobLanguageOn);
        SetReadTimeouts(e);
        SetFlags(e, PrefixPending);
        PreparePendingCommand(e, COMMAND_JOB_START);
        // One thread per port: a running one simply goes on.
        if (!TestFlags(e, ThreadRunning))
            StartStatusThread(e);
        return;
    }

    // Not the job language: the agent still wants the printer to say where
    // its job notifications go.
    ClearFlags(e, JobLanguageOn);
    if (TestFlags(e, AgentActive)) {
        SetFlags(e, PrefixPending);
        PreparePendingCommand(e, COMMAND_NOTIFY_ONLY);
    } else {
        ClearFlags(e, PrefixPending);
    }
}

// ---------------------------------------------------------------- port below

// Keeps what the deferred start needs: the copy with the level it describes.
// A copy that fails leaves null, and the start then passes no document
// information.
static void KeepDocInfo(PortEntry *e, DWORD level, LPBYTE docInfo) {
    if (e->DocInfo != nullptr)
        FreeDocInfo(e->DocInfo);
    e->DocInfo = CopyDocInfo(docInfo, level);
    e->DocInfoLevel = DocInfoCopyLevel(level);
}

BOOL OpenAndStartPort(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo) {
    // A port monitor that fails here never fails the job: WritePort retries.
    if (!PortOpen(e)) {
        TRACE(TRACE_DECISIONS, e, "port below does not open (error %u): deferred to WritePort",
              GetLastError());
        SetFlags(e, OpenPending);
        KeepDocInfo(e, level, docInfo);
        return TRUE;
    }
    ClearFlags(e, OpenPending);
    if (!PortStartDoc(e, printerName, jobId, level, docInfo)) {
        TRACE(TRACE_DECISIONS, e, "port below does not start (error %u): deferred to WritePort",
              GetLastError());
        SetFlags(e, StartPending);
        KeepDocInfo(e, level, docInfo);
        return TRUE;
    }
    ClearFlags(e, StartPending);
    SetFlags(e, PortStarted);
    return TRUE;
}

// ---------------------------------------------------------------- printer handle

// The spooler handle the job is marked through. Another printer name than
// the last one replaces the name and re-opens the handle under the lock (the
// exiting status thread closes the handle under it too).
static void OpenJobPrinter(PortEntry *e, LPWSTR printerName) {
    if (e->PrinterName == nullptr || lstrcmpW(e->PrinterName, printerName) != 0) {
        EnterMonitorLock();
        if (e->PrinterName != nullptr)
            GlobalFree(e->PrinterName);
        e->PrinterName = DupWide(printerName);
        if (e->PrinterHandle != nullptr) {
            ClosePrinter(e->PrinterHandle);
            e->PrinterHandle = nullptr;
        }
        if (!OpenPrinterW(printerName, &e->PrinterHandle, nullptr))
            e->PrinterHandle = nullptr;
        LeaveMonitorLock();
        return;
    }
    // A failed open leaves the job without SetJobW calls.
    if (e->PrinterHandle == nullptr && !OpenPrinterW(printerName, &e->PrinterHandle, nullptr))
        e->PrinterHandle = nullptr;
}

// ---------------------------------------------------------------- StartDocPort

// The job's mode as a trace line names it.
static LPCSTR JobModeName(PortEntry *e) {
    if (TestFlags(e, OpenPending) || TestFlags(e, StartPending))
        return "port below deferred";
    if (TestFlags(e, JobLanguageOn))
        return "job language TKL";
    return TestFlags(e, PrefixPending) ? "plain with notification command" : "plain";
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

    // One job at a time per port; the active one is left alone.
    if (TestFlags(e, JobActive)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }

    // The polling level is read anew for every job, and the agent decides per
    // job whether it wants reports. Both are stored below under the lock with
    // the job id: an exiting status thread reads them there.
    DWORD pollingLevel = ReadPollingLevel();
    bool agentActive = AgentQuery() == 0;

    // The status thread of an earlier job decides to end, and does its exit
    // work (ending and closing the port below, closing the printer handle),
    // under MonitorLock, and only while no job is active. Marking the job
    // active under the lock therefore either waits for an exit in progress to
    // finish, or keeps the thread from deciding to exit at all: what is read
    // below of PortStarted, ThreadRunning and PrinterHandle stays true for
    // this job. The port monitor is never called with the lock held.
    bool portKept;
    EnterMonitorLock();
    e->JobId = jobId;
    std::atomic_ref<DWORD>(e->PollingLevel).store(pollingLevel);
    AssignFlags(e, AgentActive, agentActive);
    SetFlags(e, JobActive);
    ClearFlags(e, StartSent | AgentStartDone | DataStarted | JobCancelled);
    portKept = TestFlags(e, PortStarted);
    LeaveMonitorLock();

    OpenJobPrinter(e, printerName);

    if (!PushJobId(e, jobId)) {
        ClearFlags(e, JobActive);
        return FALSE; // the failed allocation's last error stands
    }

    // The LPR port monitor may hold the open until the job is known.
    if (TestFlags(e, LprPort))
        AnnounceJob(e);

    // A port that an earlier job left started for its status thread is used
    // as it is; otherwise open and start it (or defer that to WritePort).
    if (portKept)
        ClearFlags(e, OpenPending | StartPending);
    else
        OpenAndStartPort(e, printerName, jobId, level, docInfo);

    // With the port deferred, the first successful WritePort decides the mode.
    if (TestFlags(e, OpenPending) || TestFlags(e, StartPending))
        ClearFlags(e, JobLanguageOn | PrefixPending);
    else
        ChooseJobMode(e, WITH_MODEL_SHORTCUT);

    // Elsewhere after the decision, so that the agent learns the model.
    if (!TestFlags(e, LprPort))
        AnnounceJob(e);
    TRACE(TRACE_DECISIONS, e, "job %u started: %s, agent %s", jobId, JobModeName(e),
          TestFlags(e, AgentActive) ? "takes part" : "takes no part");
    return TRUE;
}

// ---------------------------------------------------------------- EndDocPort

void ReleaseJobBuffers(PortEntry *e) {
    FreeDocInfo(e->DocInfo);
    e->DocInfo = nullptr;
    FreeMovable(e->PendingCommand);
    e->PendingCommand = nullptr;
}

void ReleaseJobHold(PortEntry *e, PortBelow below) {
    // Only what was really opened and started; the port monitor's answers
    // change nothing.
    if (below == PortBelow::Started)
        PortEndDoc(e);
    if (below != PortBelow::NotOpened)
        PortClose(e);
    if (TestFlags(e, AgentActive))
        AgentJobEnd(e);
    if (e->PrinterHandle != nullptr) {
        ClosePrinter(e->PrinterHandle);
        e->PrinterHandle = nullptr;
    }
}

void ReleaseUnfinishedJob(PortEntry *e) {
    // While a job is active exactly one of these holds: the port below
    // started, its open deferred, or only its start deferred. None holds once
    // the status thread's exit has claimed the started port and released it
    // with the agent's job end and the printer handle: nothing is left then.
    bool held = true;
    PortBelow below = PortBelow::NotOpened;
    if (ClaimFlag(e, PortStarted))
        below = PortBelow::Started;
    else if (TestFlags(e, OpenPending))
        below = PortBelow::NotOpened;
    else if (TestFlags(e, StartPending))
        below = PortBelow::Opened;
    else
        held = false;
    if (held) {
        TRACE(TRACE_DECISIONS, e, "job %u not ended before ClosePort: what it holds is released",
              e->JobId);
        ReleaseJobHold(e, below);
    }
    ReleaseJobBuffers(e);
}

// Removes the newest job id (with every older node that the cut takes along)
// without telling the agent: the printer will not report this job.
static void DropNewestJobId(PortEntry *e) {
    EnterMonitorLock();
    if (e->JobIds != nullptr)
        RemoveJobIdAndOlder(e, e->JobIds->JobId, FALSE);
    LeaveMonitorLock();
}

bool FinishJob(PortEntry *e) {
    if (TestFlags(e, StartSent)) {
        // The printer got the job-start command: close the bracket.
        BuildAndSendCommand(e, COMMAND_JOB_END);
        if (TestFlags(e, AgentActive))
            AgentJobStatus(e, e->JobId, AGENT_STATUS_JOB_END);
        // A job-language printer reports the job's end itself; the dispatcher
        // removes the id then.
        if (!TestFlags(e, JobLanguageOn))
            DropNewestJobId(e);
    } else {
        DropNewestJobId(e);
    }

    // The printer reports the job's progress itself: mark it sent and ejected.
    if (TestFlags(e, JobLanguageOn) && e->PrinterHandle != nullptr) {
        SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
        SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
        return true;
    }
    return false;
}

BOOL WINAPI EndDocPort(HANDLE port) {
    if (!IsValidPort(port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortEntry *e = (PortEntry *)port;
    TRACE(TRACE_CALLS, e, "EndDocPort job %u", e->JobId);

    // No job to end (a second EndDocPort, or one after a failed StartDocPort):
    // its end went out and its port below was closed, or it never opened.
    if (!TestFlags(e, JobActive)) {
        TRACE(TRACE_DECISIONS, e, "EndDocPort without an active job: nothing to end");
        return TRUE;
    }

    ReleaseJobBuffers(e);
    bool marked = FinishJob(e);

    // Printer reports still owed to a running thread: the port below, the
    // printer handle and the agent's job-end call become the thread's. The
    // decision is taken under the lock, like the thread's own exit decision;
    // otherwise taking PortStarted away keeps an exiting thread from ending
    // the port as well, so that exactly one side ends it. While the job is
    // still active the thread cannot exit.
    EnterMonitorLock();
    bool handOver = TestFlags(e, ThreadRunning) && e->JobIds != nullptr;
    if (!handOver)
        ClearFlags(e, PortStarted);
    LeaveMonitorLock();
    if (handOver) {
        // A job that did not talk the job language is not marked by
        // FinishJob; the spooler must still learn that it left.
        if (!marked && e->PrinterHandle != nullptr)
            SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
        TRACE(TRACE_DECISIONS, e, "job %u ended: the status thread waits for its end report",
              e->JobId);
        ClearFlags(e, JobActive);
        return TRUE;
    }

    // Let a read of the thread in progress finish, then hold the I/O turn
    // while the port below is ended and closed, so that no read of the thread
    // overlaps it. The job stays active until the turn is given back: the
    // thread cannot exit, and close the events, under these waits.
    HANDLE readDone = LoadHandle(e->ReadDoneEvent);
    if (readDone != nullptr)
        WaitForSingleObject(readDone, INFINITE);
    HANDLE io = LoadHandle(e->PortIoEvent);
    if (io != nullptr)
        WaitForSingleObject(io, INFINITE);

    // End and close only what was opened and started.
    if (!TestFlags(e, OpenPending) && !TestFlags(e, StartPending))
        PortEndDoc(e);
    if (!marked && e->PrinterHandle != nullptr)
        SetJobW(e->PrinterHandle, e->JobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
    if (!TestFlags(e, OpenPending))
        PortClose(e);

    if (io != nullptr)
        SetEvent(io);
    ClearFlags(e, JobActive);

    StopStatusThread(e);
    if (TestFlags(e, AgentActive))
        AgentJobEnd(e);
    if (e->PrinterHandle != nullptr) {
        ClosePrinter(e->PrinterHandle);
        e->PrinterHandle = nullptr;
    }
    TRACE(TRACE_DECISIONS, e, "job %u ended: port below closed", e->JobId);
    return TRUE;
}

// ---------------------------------------------------------------- job id list

BOOL PushJobId(PortEntry *e, DWORD jobId) {
    JobIdNode *node = (JobIdNode *)AllocFixed(sizeof(JobIdNode));
    if (node == nullptr)
        return FALSE;
    node->JobId = jobId;
    EnterMonitorLock();
    node->Next = e->JobIds;
    e->JobIds = node;
    LeaveMonitorLock();
    return TRUE;
}

JobIdNode *FindJobId(PortEntry *e, DWORD jobId, JobIdNode **predecessor) {
    // The oldest node with the id wins: a repeated id releases everything
    // started since its first use.
    JobIdNode *found = nullptr, *foundBefore = nullptr, *before = nullptr;
    for (JobIdNode *node = e->JobIds; node != nullptr; before = node, node = node->Next) {
        if (node->JobId == jobId) {
            found = node;
            foundBefore = before;
        }
    }
    if (predecessor != nullptr)
        *predecessor = foundBefore;
    return found;
}

void NotifyJobRemoved(PortEntry *e, JobIdNode *node, DWORD kind) {
    if (TestFlags(e, AgentActive))
        AgentJobStatus(e, node->JobId,
                       kind == JOB_END_REPORTED ? AGENT_STATUS_JOB_DONE : AGENT_STATUS_CANCELLED);
}

// Frees a detached run of nodes, telling the agent of each when asked.
static void FreeJobIdRun(PortEntry *e, JobIdNode *node, BOOL notify, DWORD kind) {
    while (node != nullptr) {
        JobIdNode *next = node->Next;
        if (notify)
            NotifyJobRemoved(e, node, kind);
        GlobalFree(node);
        node = next;
    }
}

void RemoveJobIdAndOlder(PortEntry *e, DWORD jobId, BOOL notify) {
    EnterMonitorLock();
    JobIdNode *before = nullptr;
    JobIdNode *found = FindJobId(e, jobId, &before);
    if (found != nullptr) {
        if (before == nullptr)
            e->JobIds = nullptr;
        else
            before->Next = nullptr;
        FreeJobIdRun(e, found, notify, JOB_END_REPORTED);
    }
    LeaveMonitorLock();
}

void RemoveJobIds(PortEntry *e, DWORD jobId, BOOL notify) {
    if (jobId != ALL_JOB_IDS) {
        RemoveJobIdAndOlder(e, jobId, notify);
        return;
    }
    EnterMonitorLock();
    JobIdNode *all = e->JobIds;
    e->JobIds = nullptr;
    FreeJobIdRun(e, all, notify, JOB_DROPPED);
    LeaveMonitorLock();
}
