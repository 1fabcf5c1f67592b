// The status agent library "RAVODIR.DLL": loaded with the first port record,
// freed after the last, called without the lock by spooler and status threads;
// and what the monitors do with its job-start answer.
#include "core.h"

#include <string.h>

// The library handle and table are written under MonitorLock but read by
// calls on other threads without it: atomic accesses keep them coherent.
static HMODULE AgentLibrary = nullptr;
static AgentEntryPoints AgentTable;

static HMODULE LoadedAgent() {
    return std::atomic_ref<HMODULE>(AgentLibrary).load();
}

template <class F> static F Slot(F &slot) {
    return std::atomic_ref<F>(slot).load();
}

BOOL AgentLoaded() {
    return LoadedAgent() != nullptr;
}

void LoadAgentLibrary() {
    HMODULE library = LoadLibraryW(AGENT_DLL);
    if (library == nullptr) {
        TRACE(TRACE_DECISIONS, nullptr, "status agent RAVODIR.DLL missing (error %u): no reports",
              GetLastError());
        return;
    }
    PFN_Vorl_LMGetEntryPoints getEntryPoints =
        ProcAs<PFN_Vorl_LMGetEntryPoints>(GetProcAddress(library, AGENT_EXPORT));
    if (getEntryPoints == nullptr) {
        TRACE(TRACE_DECISIONS, nullptr, "status agent RAVODIR.DLL lacks the export %s: no reports",
              AGENT_EXPORT);
        FreeLibrary(library);
        return;
    }
    TRACE(TRACE_DECISIONS, nullptr, "status agent RAVODIR.DLL loaded");
    // Fill a local table, then publish it slot by slot before the handle.
    AgentEntryPoints table;
    memset(&table, 0, sizeof(table));
    getEntryPoints(AGENT_INTERFACE_VERSION, (DWORD)sizeof(AgentEntryPoints), &table);
    std::atomic_ref<PFN_AgentJobStart>(AgentTable.AgentJobStart).store(table.AgentJobStart);
    std::atomic_ref<PFN_AgentJobEnd>(AgentTable.AgentJobEnd).store(table.AgentJobEnd);
    std::atomic_ref<PFN_AgentJobStatus>(AgentTable.AgentJobStatus).store(table.AgentJobStatus);
    std::atomic_ref<PFN_AgentJobItems>(AgentTable.AgentJobItems).store(table.AgentJobItems);
    std::atomic_ref<PFN_AgentQuery>(AgentTable.AgentQuery).store(table.AgentQuery);
    std::atomic_ref<HMODULE>(AgentLibrary).store(library);
}

void UnloadAgentLibrary() {
    HMODULE library = LoadedAgent();
    if (library == nullptr)
        return;
    // Mark it gone first; the stale slots are cleared so nothing can reach them.
    std::atomic_ref<HMODULE>(AgentLibrary).store(nullptr);
    std::atomic_ref<PFN_AgentJobStart>(AgentTable.AgentJobStart).store(nullptr);
    std::atomic_ref<PFN_AgentJobEnd>(AgentTable.AgentJobEnd).store(nullptr);
    std::atomic_ref<PFN_AgentJobStatus>(AgentTable.AgentJobStatus).store(nullptr);
    std::atomic_ref<PFN_AgentJobItems>(AgentTable.AgentJobItems).store(nullptr);
    std::atomic_ref<PFN_AgentQuery>(AgentTable.AgentQuery).store(nullptr);
    FreeLibrary(library);
}

// A record's name in the ANSI code page, in the agent's 260-byte buffer. A
// name that does not fit is cut at a character boundary, never overrun.
static void AgentName(LPCWSTR name, char (&buffer)[AGENT_NAME_BUFFER]) {
    buffer[0] = 0;
    if (name == nullptr)
        return;
    int length =
        WideCharToMultiByte(CP_ACP, 0, name, -1, buffer, AGENT_NAME_BUFFER, nullptr, nullptr);
    if (length > 0)
        return;
    // Too long: convert what fits.
    int units = lstrlenW(name);
    while (units > 0) {
        units = units > AGENT_NAME_BUFFER - 1 ? AGENT_NAME_BUFFER - 1 : units - 1;
        length = WideCharToMultiByte(CP_ACP, 0, name, units, buffer, AGENT_NAME_BUFFER - 1, nullptr,
                                     nullptr);
        if (length > 0) {
            buffer[length] = 0;
            return;
        }
    }
    buffer[0] = 0;
}

// The record's printer and port names for the agent. StartDocPort replaces
// PrinterName under MonitorLock while a status thread may be reporting an
// earlier job, so the names are read under the lock (it nests).
static void AgentNames(PortHead *entry, char (&printer)[AGENT_NAME_BUFFER],
                       char (&port)[AGENT_NAME_BUFFER]) {
    EnterMonitorLock();
    AgentName(entry->PrinterName, printer);
    AgentName(entry->PortName, port);
    LeaveMonitorLock();
}

// A non-zero status answer ends the agent's part in this job.
static LONG AgentAnswered(PortHead *entry, LONG answer) {
    if (answer != 0) {
        TRACE(TRACE_DECISIONS, entry, "agent answered %d: no more reports for job %u", answer,
              entry->JobId);
        ClearFlags(entry, RecordInfo.AgentOffFlags);
    }
    return answer;
}

LONG AgentQuery() {
    if (!AgentLoaded())
        return -1;
    PFN_AgentQuery call = Slot(AgentTable.AgentQuery);
    return call != nullptr ? call() : -1;
}

LONG AgentJobStart(PortHead *entry, LPCSTR model) {
    PFN_AgentJobStart call = AgentLoaded() ? Slot(AgentTable.AgentJobStart) : nullptr;
    if (call == nullptr)
        return 0;
    char printer[AGENT_NAME_BUFFER], port[AGENT_NAME_BUFFER];
    AgentNames(entry, printer, port);
    return call(printer, port, (LPSTR)(model != nullptr ? model : ""), entry->JobId, 0, 0);
}

LONG AgentJobEnd(PortHead *entry) {
    PFN_AgentJobEnd call = AgentLoaded() ? Slot(AgentTable.AgentJobEnd) : nullptr;
    if (call == nullptr)
        return 0;
    char printer[AGENT_NAME_BUFFER], port[AGENT_NAME_BUFFER];
    AgentNames(entry, printer, port);
    return call(printer, port, entry->JobId);
}

LONG AgentJobStatus(PortHead *entry, DWORD jobId, DWORD code) {
    PFN_AgentJobStatus call = AgentLoaded() ? Slot(AgentTable.AgentJobStatus) : nullptr;
    if (call == nullptr)
        return 0;
    char printer[AGENT_NAME_BUFFER], port[AGENT_NAME_BUFFER];
    AgentNames(entry, printer, port);
    return AgentAnswered(entry, call(printer, port, jobId, code, 0, 0));
}

LONG AgentJobItems(PortHead *entry, DWORD statusWord, DWORD itemCount, TklItem *items) {
    PFN_AgentJobItems call = AgentLoaded() ? Slot(AgentTable.AgentJobItems) : nullptr;
    if (call == nullptr)
        return 0;
    char printer[AGENT_NAME_BUFFER], port[AGENT_NAME_BUFFER];
    AgentNames(entry, printer, port);
    return AgentAnswered(entry, call(printer, port, statusWord, itemCount, items));
}

void HandleAgentReply(PortHead *entry, LONG reply) {
    if ((reply & AGENT_REPLY_CANCEL) == 0)
        return;
    TRACE(TRACE_DECISIONS, entry, "agent cancels job %u (answer %x)", entry->JobId, reply);
    SetFlags(entry, RecordInfo.JobCancelledFlag);
    // Cancel the spooler's job; only a cancel that took is reported.
    HANDLE printer = *RecordInfo.PrinterHandleOf(entry);
    if (printer == nullptr)
        return;
    if (SetJobW(printer, entry->JobId, 0, nullptr, JOB_CONTROL_CANCEL))
        AgentJobStatus(entry, entry->JobId, AGENT_STATUS_CANCELLED);
}
