// A status agent "RAVODIR.DLL" for the stress run: it wants reports for
// every job and answers by the job id, so that a fixed set of jobs is held,
// cancelled or dropped from reporting whatever the threads' timing:
//   job id % 5 == 1   AgentJobStart holds the job twice, then accepts it;
//   job id % 7 == 3   AgentJobStart asks to cancel the job;
//   job id % 13 == 4  AgentJobStatus answers 1 (no more reports).
// Every item array handed over is read through, so that a sanitizer sees a
// bad pointer in it.
#include "agent_api.h"

#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex Lock;
std::map<std::string, int> Holds; // by port and job id

LONG WINAPI JobStart(LPSTR printer, LPSTR port, LPSTR model, DWORD jobId, DWORD, DWORD) {
    if (jobId % 5 == 1) {
        std::lock_guard<std::mutex> guard(Lock);
        std::string key = std::string(port) + "/" + std::to_string(jobId);
        int &held = Holds[key];
        if (held < 2) {
            held++;
            return -1;
        }
        // Accepted: forgotten, so that a long run does not grow the map.
        Holds.erase(key);
    }
    return jobId % 7 == 3 ? AGENT_REPLY_CANCEL : 0;
}

LONG WINAPI JobEnd(LPSTR printer, LPSTR port, DWORD jobId) {
    return 0;
}

LONG WINAPI JobStatus(LPSTR printer, LPSTR port, DWORD jobId, DWORD code, DWORD, DWORD) {
    return jobId % 13 == 4 ? 1 : 0;
}

LONG WINAPI JobItems(LPSTR printer, LPSTR port, DWORD statusWord, DWORD itemCount, TklItem *items) {
    // Touch every byte the monitor hands over.
    volatile DWORD sum = 0;
    for (DWORD i = 0; items != nullptr && i < itemCount; i++) {
        for (DWORD v = 0; items[i].Values != nullptr && v < items[i].ValueCount; v++) {
            const TklValue &value = items[i].Values[v];
            if (value.Type == TKL_TYPE_STRING && value.Data.Text != nullptr) {
                for (const char *c = value.Data.Text; *c != 0; c++)
                    sum = sum + (BYTE)*c;
            } else {
                sum = sum + (DWORD)value.Data.Number;
            }
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
