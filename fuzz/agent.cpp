// A status agent "RAVODIR.DLL" for the fuzz targets: it takes part in every
// job and reads through every item array it is handed, checking that each
// copied string ends within the length its value claims (the dispatcher's
// copies promise that). A broken copy ends the process, which the fuzzer
// reports as a crash.
#include "agent_api.h"

#include <cstdlib>
#include <cstring>

namespace {

LONG WINAPI JobStart(LPSTR, LPSTR, LPSTR model, DWORD, DWORD, DWORD) {
    if (model != nullptr && strlen(model) > 80)
        abort();
    return 0;
}

LONG WINAPI JobEnd(LPSTR, LPSTR, DWORD) {
    return 0;
}

// Names come in 260-byte buffers.
LONG WINAPI JobStatus(LPSTR printer, LPSTR port, DWORD, DWORD, DWORD, DWORD) {
    if (strlen(printer) >= 260 || strlen(port) >= 260)
        abort();
    return 0;
}

LONG WINAPI JobItems(LPSTR, LPSTR, DWORD, DWORD itemCount, TklItem *items) {
    if (itemCount != 0 && items == nullptr)
        abort();
    for (DWORD i = 0; i < itemCount; i++) {
        if (items[i].ValueCount != 0 && items[i].Values == nullptr)
            abort();
        for (DWORD v = 0; v < items[i].ValueCount; v++) {
            const TklValue &value = items[i].Values[v];
            if (value.Type == TKL_TYPE_STRING &&
                (value.Data.Text == nullptr || strlen(value.Data.Text) > value.Length))
                abort();
        }
    }
    return 0;
}

LONG WINAPI Query() {
    return 0;
}

} // namespace

DLLEXPORT LONG WINAPI Vorl_LMGetEntryPoints(DWORD version, DWORD tableSize,
                                            AgentEntryPoints *table) {
    if (table == nullptr || tableSize < sizeof(AgentEntryPoints))
        return -1;
    table->AgentJobStart = JobStart;
    table->AgentJobEnd = JobEnd;
    table->AgentJobStatus = JobStatus;
    table->AgentJobItems = JobItems;
    table->AgentQuery = Query;
    return 0;
}
