// A "RAVODIR.DLL" without the export Vorl_LMGetEntryPoints: the monitors must
// free it again and go on without an agent. It only counts its loads.
#include "agent_double_state.h"

namespace {

struct LoadCounter {
    LoadCounter() { AgentDouble::NoteLoad("agent_noexport"); }
    ~LoadCounter() { AgentDouble::NoteUnload("agent_noexport"); }
} Counter;

} // namespace

// Something else to export, so the library is a normal one.
DLLEXPORT LONG WINAPI Vorl_Unrelated(void) {
    return 0;
}
