// Record and script of the status agent double; outlives the double's loads.
#include "agent_double_state.h"

#include <map>
#include <mutex>

namespace AgentDouble {
namespace {

struct State {
    std::mutex Lock;
    std::vector<Call> Record;
    int Holds = 0;
    LONG StartAnswer = 0;
    LONG QueryAnswer = 0;
    LONG StatusAnswer = 0;
    int StatusZeroes = 0;
    LONG ItemsAnswer = 0;
    int ItemsZeroes = 0;
    unsigned Slots = AllSlots;
    LONG GetEntryPointsResult = 0;
    std::function<void(const Call &)> Hook;
    std::map<std::string, int> LoadCount, UnloadCount;
};

// Never destroyed: the double may be unloaded after static destructors ran.
State &S() {
    static State *state = new State;
    return *state;
}

} // namespace

void Reset() {
    State &s = S();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Record.clear();
    s.Holds = 0;
    s.StartAnswer = 0;
    s.QueryAnswer = 0;
    s.StatusAnswer = 0;
    s.StatusZeroes = 0;
    s.ItemsAnswer = 0;
    s.ItemsZeroes = 0;
    s.Slots = AllSlots;
    s.GetEntryPointsResult = 0;
    s.Hook = nullptr;
    s.LoadCount.clear();
    s.UnloadCount.clear();
}

void HoldJobStart(int times) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().Holds = times;
}

void SetJobStartAnswer(LONG answer) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().StartAnswer = answer;
}

void SetQueryAnswer(LONG answer) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().QueryAnswer = answer;
}

void SetStatusAnswer(LONG answer, int afterCalls) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().StatusAnswer = answer;
    S().StatusZeroes = afterCalls;
}

void SetItemsAnswer(LONG answer, int afterCalls) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().ItemsAnswer = answer;
    S().ItemsZeroes = afterCalls;
}

void SetFilledSlots(unsigned mask) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().Slots = mask;
}

void SetGetEntryPointsResult(LONG result) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().GetEntryPointsResult = result;
}

void SetHook(std::function<void(const Call &)> hook) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().Hook = std::move(hook);
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().Record;
}

std::vector<Call> Calls(const std::string &name) {
    std::lock_guard<std::mutex> guard(S().Lock);
    std::vector<Call> calls;
    for (const Call &call : S().Record)
        if (call.Name == name)
            calls.push_back(call);
    return calls;
}

std::vector<std::string> CallNames() {
    std::lock_guard<std::mutex> guard(S().Lock);
    std::vector<std::string> names;
    for (const Call &call : S().Record)
        names.push_back(call.Name);
    return names;
}

void ClearCalls() {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().Record.clear();
}

int Loads(const std::string &variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().LoadCount[variant];
}

int Unloads(const std::string &variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().UnloadCount[variant];
}

bool IsLoaded(const std::string &variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().LoadCount[variant] > S().UnloadCount[variant];
}

void NoteLoad(const char *variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().LoadCount[variant]++;
}

void NoteUnload(const char *variant) {
    std::lock_guard<std::mutex> guard(S().Lock);
    S().UnloadCount[variant]++;
}

LONG Answer(Call &call) {
    State &s = S();
    std::unique_lock<std::mutex> guard(s.Lock);
    LONG answer = 0;
    if (call.Name == "Vorl_LMGetEntryPoints") {
        answer = s.GetEntryPointsResult;
    } else if (call.Name == "AgentJobStart") {
        if (s.Holds > 0) {
            s.Holds--;
            answer = -1;
        } else {
            answer = s.StartAnswer;
        }
    } else if (call.Name == "AgentJobStatus") {
        if (s.StatusZeroes > 0)
            s.StatusZeroes--;
        else
            answer = s.StatusAnswer;
    } else if (call.Name == "AgentJobItems") {
        if (s.ItemsZeroes > 0)
            s.ItemsZeroes--;
        else
            answer = s.ItemsAnswer;
    } else if (call.Name == "AgentQuery") {
        answer = s.QueryAnswer;
    }
    call.Answer = answer;
    s.Record.push_back(call);
    std::function<void(const Call &)> hook = s.Hook;
    guard.unlock();
    if (hook)
        hook(call);
    return answer;
}

unsigned FilledSlots() {
    std::lock_guard<std::mutex> guard(S().Lock);
    return S().Slots;
}

} // namespace AgentDouble
