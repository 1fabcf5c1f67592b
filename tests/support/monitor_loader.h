// Loading the built monitor libraries the way the spooler does, and choosing
// which status agent library ("RAVODIR.DLL") a monitor will find.
//
//   LoadedMonitor q = LoadQuennet();          // LoadLibraryW + InitializePrintMonitor
//   ASSERT_NE(q.MonitorEx, nullptr);
//   UseAgent(AgentFolder::Double);            // the scriptable agent (agent_double_state.h)
//   q.Table()->pfnOpenPortEx(port, printer, &handle, fakePortMonitor.Table());
//
// The agent folder is read at each load of "RAVODIR.DLL", i.e. when a port
// record is created while no agent is loaded: choose it before that.
#pragma once

#include <gtest/gtest.h>

#include "wintest.h"

#include <string>

struct LoadedMonitor {
    HMODULE Module = nullptr;
    LPMONITOREX MonitorEx = nullptr; // what InitializePrintMonitor answered
    LPMONITOR Table() const { return MonitorEx != nullptr ? &MonitorEx->Monitor : nullptr; }
};

// The built Quennet library (full path; on Windows its file name, found in
// the test program's own folder).
std::string QuennetLibraryPath();
// LoadLibraryW of `path`, then its InitializePrintMonitor; both fields null
// when either is missing. The library is never freed (as by the spooler).
LoadedMonitor LoadMonitorLibrary(const std::string &path);
// Quennet, loaded once per process and kept.
LoadedMonitor LoadQuennet();

enum class AgentFolder {
    Double,   // the scriptable double
    NoExport, // a RAVODIR without Vorl_LMGetEntryPoints
    Missing,  // no RAVODIR at all
};
std::string AgentFolderPath(AgentFolder which);
// Points the platform loader at that folder only (PlatSetLibraryPath).
void UseAgent(AgentFolder which);
// The platform's count of loads of "RAVODIR.DLL"; -1 where the platform does
// not tell (Windows): compare only when it is not negative.
long AgentModuleRefs();

// Expects the platform's count of "RAVODIR.DLL" loads to be `n`, where the
// platform tells it.
#define EXPECT_AGENT_REFS(n)                                                                       \
    do {                                                                                           \
        long agentRefs_ = AgentModuleRefs();                                                       \
        if (agentRefs_ >= 0) {                                                                     \
            EXPECT_EQ(agentRefs_, (long)(n));                                                      \
        }                                                                                          \
    } while (0)
