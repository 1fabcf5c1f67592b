// Test double of the status agent "RAVODIR.DLL": every call is recorded and
// answered by the script in agent_double_state (which outlives this library).
#include "agent_double_state.h"

namespace {

// Counts this library's loads and unloads in the state library.
struct LoadCounter {
    LoadCounter() { AgentDouble::NoteLoad("agent"); }
    ~LoadCounter() { AgentDouble::NoteUnload("agent"); }
} Counter;

std::string Text(LPCSTR s) {
    return s != nullptr ? std::string(s) : std::string();
}

LONG WINAPI JobStart(LPSTR printer, LPSTR port, LPSTR model, DWORD jobId, DWORD reserved1,
                     DWORD reserved2) {
    AgentDouble::Call call;
    call.Name = "AgentJobStart";
    call.Printer = Text(printer);
    call.Port = Text(port);
    call.Model = Text(model);
    call.JobId = jobId;
    call.Reserved1 = reserved1;
    call.Reserved2 = reserved2;
    call.ThreadId = GetCurrentThreadId();
    return AgentDouble::Answer(call);
}

LONG WINAPI JobEnd(LPSTR printer, LPSTR port, DWORD jobId) {
    AgentDouble::Call call;
    call.Name = "AgentJobEnd";
    call.Printer = Text(printer);
    call.Port = Text(port);
    call.JobId = jobId;
    call.ThreadId = GetCurrentThreadId();
    return AgentDouble::Answer(call);
}

LONG WINAPI JobStatus(LPSTR printer, LPSTR port, DWORD jobId, DWORD code, DWORD reserved1,
                      DWORD reserved2) {
    AgentDouble::Call call;
    call.Name = "AgentJobStatus";
    call.Printer = Text(printer);
    call.Port = Text(port);
    call.JobId = jobId;
    call.Code = code;
    call.Reserved1 = reserved1;
    call.Reserved2 = reserved2;
    call.ThreadId = GetCurrentThreadId();
    return AgentDouble::Answer(call);
}

LONG WINAPI JobItems(LPSTR printer, LPSTR port, DWORD statusWord, DWORD itemCount, TklItem *items) {
    AgentDouble::Call call;
    call.Name = "AgentJobItems";
    call.Printer = Text(printer);
    call.Port = Text(port);
    call.Code = statusWord;
    call.ItemCount = itemCount;
    for (DWORD i = 0; items != nullptr && i < itemCount; i++)
        call.ItemCodes.push_back(items[i].Code);
    call.ThreadId = GetCurrentThreadId();
    return AgentDouble::Answer(call);
}

LONG WINAPI Query(void) {
    AgentDouble::Call call;
    call.Name = "AgentQuery";
    call.ThreadId = GetCurrentThreadId();
    return AgentDouble::Answer(call);
}

} // namespace

// Fills the slots the script names, never past `tableSize` bytes.
DLLEXPORT LONG WINAPI Vorl_LMGetEntryPoints(DWORD version, DWORD tableSize,
                                            AgentEntryPoints *table) {
    AgentDouble::Call call;
    call.Name = "Vorl_LMGetEntryPoints";
    call.Version = version;
    call.TableSize = tableSize;
    call.ThreadId = GetCurrentThreadId();
    unsigned mask = AgentDouble::FilledSlots();
    if (table != nullptr) {
        void *slots[5] = {
            (mask & AgentDouble::SlotJobStart) ? (void *)JobStart : nullptr,
            (mask & AgentDouble::SlotJobEnd) ? (void *)JobEnd : nullptr,
            (mask & AgentDouble::SlotJobStatus) ? (void *)JobStatus : nullptr,
            (mask & AgentDouble::SlotJobItems) ? (void *)JobItems : nullptr,
            (mask & AgentDouble::SlotQuery) ? (void *)Query : nullptr,
        };
        DWORD fit = tableSize / (DWORD)sizeof(void *);
        for (DWORD i = 0; i < 5 && i < fit; i++)
            ((void **)table)[i] = slots[i];
    }
    return AgentDouble::Answer(call);
}
