// The scriptable status agent: record and script of the test double of
// "RAVODIR.DLL" (agent_double.cpp, built as libravodir.so / RAVODIR.DLL in
// ${QUENNET_DOUBLES_DIR}/agent).
//
// The double itself is loaded and freed by the monitor under test, so its
// state lives here, in the shared library `agent_double_state` that both the
// double and the test program link: the record, the script and the load
// counters survive every load and unload of the double. Link the target
// `test_support` (it brings this library) and point the loader at the folder
// you want with UseAgent() (monitor_loader.h) before the first port opens.
//
//   AgentDouble::Reset();
//   AgentDouble::HoldJobStart(3);                  // three negative answers, then accept
//   AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);
//   ... run the monitor ...
//   EXPECT_EQ(AgentDouble::CallNames(), (std::vector<std::string>{
//                 "Vorl_LMGetEntryPoints", "AgentQuery", "AgentJobStart"}));
//   EXPECT_EQ(AgentDouble::Calls("AgentJobStatus")[0].Code, 0x10u);
//
// All functions are thread-safe.
#pragma once

#include "agent_api.h"

#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#ifdef AGENT_DOUBLE_STATE_BUILD
#define AGENT_DOUBLE_API __declspec(dllexport)
#else
#define AGENT_DOUBLE_API __declspec(dllimport)
#endif
#else
#define AGENT_DOUBLE_API __attribute__((visibility("default")))
#endif

namespace AgentDouble {

// One call into the double, in the order they came.
struct Call {
    // "Vorl_LMGetEntryPoints", "AgentJobStart", "AgentJobEnd", "AgentJobStatus",
    // "AgentJobItems" or "AgentQuery".
    std::string Name;
    std::string Printer, Port, Model;   // ANSI texts as passed ("" for null)
    DWORD JobId = 0;                    // JobStart, JobEnd, JobStatus
    DWORD Code = 0;                     // JobStatus: status code; JobItems: status word
    DWORD Reserved1 = 0, Reserved2 = 0; // the two trailing arguments of JobStart / JobStatus
    DWORD ItemCount = 0;                // JobItems
    std::vector<DWORD> ItemCodes;       // JobItems: Code of each item passed
    DWORD Version = 0, TableSize = 0;   // Vorl_LMGetEntryPoints
    LONG Answer = 0;                    // what the double answered
    DWORD ThreadId = 0;
};

// Slots of the table Vorl_LMGetEntryPoints fills (bit i: slot i + 1).
constexpr unsigned SlotJobStart = 0x1;
constexpr unsigned SlotJobEnd = 0x2;
constexpr unsigned SlotJobStatus = 0x4;
constexpr unsigned SlotJobItems = 0x8;
constexpr unsigned SlotQuery = 0x10;
constexpr unsigned AllSlots = 0x1F;

// ---------------------------------------------------------------- script
// Forgets calls and script and sets the load counters to 0 (call it while
// the double is not loaded, e.g. at the start of each test).
AGENT_DOUBLE_API void Reset();
// The next `times` AgentJobStart calls answer -1 (hold the job).
AGENT_DOUBLE_API void HoldJobStart(int times);
// AgentJobStart's answer once no hold is left (default 0; AGENT_REPLY_CANCEL
// asks to cancel the job).
AGENT_DOUBLE_API void SetJobStartAnswer(LONG answer);
// AgentQuery's answer (default 0: reports are wanted).
AGENT_DOUBLE_API void SetQueryAnswer(LONG answer);
// AgentJobStatus answers 0 for its next `afterCalls` calls, then `answer`.
AGENT_DOUBLE_API void SetStatusAnswer(LONG answer, int afterCalls = 0);
// The same for AgentJobItems.
AGENT_DOUBLE_API void SetItemsAnswer(LONG answer, int afterCalls = 0);
// Which slots Vorl_LMGetEntryPoints fills (default AllSlots); the others are
// left null. It never writes beyond the table size it is given.
AGENT_DOUBLE_API void SetFilledSlots(unsigned mask);
// What Vorl_LMGetEntryPoints returns (default 0).
AGENT_DOUBLE_API void SetGetEntryPointsResult(LONG result);
// Called after each call is recorded, before it returns, without the
// double's lock (it may block or call back).
AGENT_DOUBLE_API void SetHook(std::function<void(const Call &)> hook);

// ---------------------------------------------------------------- record
AGENT_DOUBLE_API std::vector<Call> Calls();
AGENT_DOUBLE_API std::vector<Call> Calls(const std::string &name);
AGENT_DOUBLE_API std::vector<std::string> CallNames();
AGENT_DOUBLE_API void ClearCalls();
// Times the double (variant "agent") or the export-less variant
// ("agent_noexport") was loaded into / unloaded from the process.
AGENT_DOUBLE_API int Loads(const std::string &variant = "agent");
AGENT_DOUBLE_API int Unloads(const std::string &variant = "agent");
// Loaded now (loads minus unloads > 0).
AGENT_DOUBLE_API bool IsLoaded(const std::string &variant = "agent");

// ---------------------------------------------------------------- used by the doubles
AGENT_DOUBLE_API void NoteLoad(const char *variant);
AGENT_DOUBLE_API void NoteUnload(const char *variant);
// Records `call`, fills in its scripted answer and returns it.
AGENT_DOUBLE_API LONG Answer(Call &call);
AGENT_DOUBLE_API unsigned FilledSlots();

} // namespace AgentDouble
