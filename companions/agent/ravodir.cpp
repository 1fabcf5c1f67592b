// Reference status agent "RAVODIR.DLL". It wants reports for every job and
// accepts every job, unless its registry policy says otherwise, and appends
// each call it receives, arguments decoded, to a journal file:
//   HKLM\SOFTWARE\Ravodir\Agent
//     Journal      REG_SZ    journal path; no journal when absent
//     HoldCount    REG_DWORD AgentJobStart answers -1 to the first N calls of each job
//     CancelJobs   REG_DWORD 1: AgentJobStart answers 0x10000 (cancel) once accepted
//     StatusAnswer REG_DWORD what AgentJobStatus and AgentJobItems answer (default 0)
//     Query        REG_DWORD what AgentQuery answers (default 0: reports wanted)
// The policy is read at every call, so it can change between jobs. Calls come
// from the spooler's threads and the monitors' status threads at once: one
// lock serialises the policy state and the journal. Nothing thrown inside
// leaves a call (the agent lives in the spooler's process): a call that meets
// an exception (a Journal value that is no path, no memory) answers as if the
// agent were not configured, writes no journal line and says so once on the
// debug output.
#include "agent_api.h"
#include "journal.h"

#include <stddef.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace {

const WCHAR AgentKey[] = WSTR("SOFTWARE\\Ravodir\\Agent");

// Longest journal path taken from the registry, in UTF-16 units.
constexpr DWORD JournalPathMax = 4096;
// Jobs whose job-start calls are counted at once; the counts are dropped
// when a monitor never ends its jobs, so the table cannot grow without end.
constexpr size_t HeldJobsMax = 4096;

struct Policy {
    std::filesystem::path Journal; // empty: no journal
    DWORD HoldCount = 0;
    DWORD CancelJobs = 0;
    DWORD StatusAnswer = 0;
    DWORD Query = 0;
};

std::mutex AgentMutex;
// Job-start calls seen per (port, job id), for HoldCount.
std::map<std::pair<std::string, DWORD>, DWORD> StartCalls;
unsigned long long Sequence = 0;
WCHAR PathBuffer[JournalPathMax + 1];

DWORD ReadDword(HKEY key, LPCWSTR name, DWORD fallback) {
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)&value, &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return fallback;
    return value;
}

// Caller holds AgentMutex (the buffer is shared).
std::filesystem::path ReadPath(HKEY key, LPCWSTR name) {
    DWORD type = 0, size = JournalPathMax * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)PathBuffer, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    // The stored text may or may not carry its terminator.
    PathBuffer[size / sizeof(WCHAR)] = 0;
    std::basic_string<WCHAR> text(PathBuffer);
    if (text.empty())
        return {};
    return std::filesystem::path(text);
}

// Caller holds AgentMutex.
Policy ReadPolicy() {
    Policy policy;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AgentKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return policy;
    policy.Journal = ReadPath(key, WSTR("Journal"));
    policy.HoldCount = ReadDword(key, WSTR("HoldCount"), 0);
    policy.CancelJobs = ReadDword(key, WSTR("CancelJobs"), 0);
    policy.StatusAnswer = ReadDword(key, WSTR("StatusAnswer"), 0);
    policy.Query = ReadDword(key, WSTR("Query"), 0);
    RegCloseKey(key);
    return policy;
}

// One line on the debug output for the first call that met an exception.
std::atomic<bool> Complained{false};

void Complain(const char *call, const char *what) {
    if (Complained.exchange(true))
        return;
    std::string line = std::string("RAVODIR: ") + call + " answers as if not configured, " +
                       "without journal: " + what + "\n";
    std::basic_string<WCHAR> wide;
    for (unsigned char c : line)
        wide.push_back(c < 0x80 ? (WCHAR)c : (WCHAR)'?');
    OutputDebugStringW(wide.c_str());
}

// A call's body, with the answer of an agent that is not configured for
// anything it throws.
template <class Body> LONG Guarded(const char *call, Body body) {
    try {
        return body();
    } catch (const std::exception &problem) {
        Complain(call, problem.what());
    } catch (...) {
        Complain(call, "unknown exception");
    }
    return 0;
}

// The journal line of one call: sequence number and call name first.
JournalLine Entry(const char *call) {
    JournalLine line;
    line["seq"] = ++Sequence;
    line["call"] = call;
    return line;
}

void Record(const Policy &policy, const JournalLine &line) {
    if (!policy.Journal.empty())
        AppendJournalLine(policy.Journal, line);
}

JournalLine ValuesJson(const TklItem &item) {
    JournalLine values = JournalLine::array();
    if (item.Values == nullptr)
        return values;
    for (DWORD v = 0; v < item.ValueCount; v++) {
        const TklValue &value = item.Values[v];
        JournalLine out;
        out["type"] = value.Type;
        out["length"] = value.Length;
        if (value.Type == TKL_TYPE_STRING)
            out["text"] = JournalText(value.Data.Text);
        else if (value.Type <= TKL_TYPE_INT2)
            out["number"] = value.Data.Number;
        values.push_back(std::move(out));
    }
    return values;
}

JournalLine ItemsJson(DWORD count, const TklItem *items) {
    if (items == nullptr)
        return nullptr;
    JournalLine list = JournalLine::array();
    for (DWORD i = 0; i < count; i++) {
        JournalLine out;
        out["code"] = items[i].Code;
        out["size"] = items[i].Size;
        out["values"] = ValuesJson(items[i]);
        list.push_back(std::move(out));
    }
    return list;
}

JournalLine Reserved(DWORD first, DWORD second) {
    return JournalLine::array({first, second});
}

std::pair<std::string, DWORD> JobKey(LPCSTR port, DWORD jobId) {
    return std::make_pair(std::string(port != nullptr ? port : ""), jobId);
}

LONG WINAPI JobStart(LPSTR printer, LPSTR port, LPSTR model, DWORD jobId, DWORD reserved1,
                     DWORD reserved2) {
    return Guarded("AgentJobStart", [&] {
        std::lock_guard<std::mutex> lock(AgentMutex);
        Policy policy = ReadPolicy();

        // Count this job's start calls; hold the first HoldCount of them.
        auto key = JobKey(port, jobId);
        if (StartCalls.size() >= HeldJobsMax && StartCalls.find(key) == StartCalls.end())
            StartCalls.clear();
        DWORD calls = ++StartCalls[key];
        LONG answer = 0;
        if (calls <= policy.HoldCount)
            answer = -1;
        else if (policy.CancelJobs == 1)
            answer = AGENT_REPLY_CANCEL;

        JournalLine line = Entry("AgentJobStart");
        line["printer"] = JournalText(printer);
        line["port"] = JournalText(port);
        line["model"] = JournalText(model);
        line["job"] = jobId;
        line["reserved"] = Reserved(reserved1, reserved2);
        line["answer"] = answer;
        Record(policy, line);
        return answer;
    });
}

LONG WINAPI JobEnd(LPSTR printer, LPSTR port, DWORD jobId) {
    return Guarded("AgentJobEnd", [&] {
        std::lock_guard<std::mutex> lock(AgentMutex);
        Policy policy = ReadPolicy();
        StartCalls.erase(JobKey(port, jobId));

        JournalLine line = Entry("AgentJobEnd");
        line["printer"] = JournalText(printer);
        line["port"] = JournalText(port);
        line["job"] = jobId;
        line["answer"] = 0;
        Record(policy, line);
        return 0;
    });
}

LONG WINAPI JobStatus(LPSTR printer, LPSTR port, DWORD jobId, DWORD code, DWORD reserved1,
                      DWORD reserved2) {
    return Guarded("AgentJobStatus", [&] {
        std::lock_guard<std::mutex> lock(AgentMutex);
        Policy policy = ReadPolicy();
        LONG answer = (LONG)policy.StatusAnswer;

        JournalLine line = Entry("AgentJobStatus");
        line["printer"] = JournalText(printer);
        line["port"] = JournalText(port);
        line["job"] = jobId;
        line["status"] = JournalHex(code);
        line["reserved"] = Reserved(reserved1, reserved2);
        line["answer"] = answer;
        Record(policy, line);
        return answer;
    });
}

LONG WINAPI JobItems(LPSTR printer, LPSTR port, DWORD statusWord, DWORD itemCount, TklItem *items) {
    return Guarded("AgentJobItems", [&] {
        std::lock_guard<std::mutex> lock(AgentMutex);
        Policy policy = ReadPolicy();
        LONG answer = (LONG)policy.StatusAnswer;

        JournalLine line = Entry("AgentJobItems");
        line["printer"] = JournalText(printer);
        line["port"] = JournalText(port);
        line["status"] = JournalHex(statusWord);
        line["count"] = itemCount;
        line["items"] = ItemsJson(itemCount, items);
        line["answer"] = answer;
        Record(policy, line);
        return answer;
    });
}

LONG WINAPI Query() {
    return Guarded("AgentQuery", [&] {
        std::lock_guard<std::mutex> lock(AgentMutex);
        Policy policy = ReadPolicy();
        LONG answer = (LONG)policy.Query;

        JournalLine line = Entry("AgentQuery");
        line["answer"] = answer;
        Record(policy, line);
        return answer;
    });
}

} // namespace

// Fills as many of the five slots as the caller's table has room for; the
// monitors pass the size of their own table.
DLLEXPORT LONG WINAPI Vorl_LMGetEntryPoints(DWORD version, DWORD tableSize,
                                            AgentEntryPoints *table) {
    Guarded("Vorl_LMGetEntryPoints", [&] {
        std::lock_guard<std::mutex> lock(AgentMutex);
        Policy policy = ReadPolicy();
        JournalLine line = Entry("Vorl_LMGetEntryPoints");
        line["version"] = JournalHex(version);
        line["size"] = tableSize;
        Record(policy, line);
        return 0;
    });
    if (table == nullptr)
        return -1;

    // A slot is filled only when the whole of it lies inside the table.
    auto fits = [tableSize](size_t offset, size_t size) { return offset + size <= tableSize; };
    if (fits(offsetof(AgentEntryPoints, AgentJobStart), sizeof(table->AgentJobStart)))
        table->AgentJobStart = JobStart;
    if (fits(offsetof(AgentEntryPoints, AgentJobEnd), sizeof(table->AgentJobEnd)))
        table->AgentJobEnd = JobEnd;
    if (fits(offsetof(AgentEntryPoints, AgentJobStatus), sizeof(table->AgentJobStatus)))
        table->AgentJobStatus = JobStatus;
    if (fits(offsetof(AgentEntryPoints, AgentJobItems), sizeof(table->AgentJobItems)))
        table->AgentJobItems = JobItems;
    if (fits(offsetof(AgentEntryPoints, AgentQuery), sizeof(table->AgentQuery)))
        table->AgentQuery = Query;
    return 0;
}
