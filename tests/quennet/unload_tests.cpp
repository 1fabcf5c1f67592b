// Quennet loaded and freed the way a spooler host does it: a host may free the
// library as soon as the last ClosePort has returned, while a status thread
// is still on its way out of the library's code. The thread holds its own
// reference until it has left, so the library goes only after it.
//
// A program of its own: it unloads Quennet, which the other test programs
// keep loaded for their whole run. Under Wine it runs against the real
// loader, which tells only whether the library is loaded, not how often.
#include "agent_double_state.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

const char *const TklDeviceId = "MFG:Morvane;CMD:PCL,TKL;MDL:RVT-201 Office;";
const WString Printer = WSTR("Unload Printer");

long QuennetRefs() {
    return PlatModuleRefCount(WSTR("Quennet.dll"));
}

// Until Quennet has been unloaded. No deadline: the watchdog of the test
// run ends a thread that never lets go.
void WaitUntilUnloaded() {
    while (QuennetRefs() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class Unload : public ::testing::Test {
  protected:
    void SetUp() override {
        AgentDouble::Reset();
        // The scriptable agent wants reports, and (where the loader takes a
        // list of folders) the parser builds the job-language commands;
        // without it the job runs with empty commands, its thread all the same.
        PlatSetLibraryPath(AgentFolderPath(AgentFolder::Double) + ":" + QUENNET_COMPANION_FOLDER);
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        PlatSpoolerReset();
        PlatSpoolerAddPrinter(Printer);
        // Polling intervals and the stop's 500 ms polls cost nothing.
        PlatSetClockScale(1000.0);
        ASSERT_EQ(QuennetRefs(), 0) << "Quennet is loaded before the test";
    }
    void TearDown() override { PlatSetClockScale(1.0); }

    // One job-language job on a freshly loaded Quennet, its port closed at
    // the end (with the job ended first unless `closeMidJob`); answers the
    // library, still loaded.
    HMODULE PrintOneJob(bool closeMidJob) {
        LoadedMonitor quennet = LoadMonitorLibrary(QuennetLibraryPath());
        EXPECT_NE(quennet.MonitorEx, nullptr);
        if (quennet.MonitorEx == nullptr)
            return quennet.Module;
        LPMONITOR table = quennet.Table();
        FakePortMonitor pm;
        pm.SetDeviceId(TklDeviceId);

        HANDLE port = nullptr;
        WString portName = WSTR("LPT1:"), printer = Printer;
        WString docName = WSTR("unload.txt"), datatype = WSTR("RAW");
        DOC_INFO_1W doc = {docName.data(), nullptr, datatype.data()};
        EXPECT_TRUE(table->pfnOpenPortEx(portName.data(), printer.data(), &port, pm.Table()));
        EXPECT_TRUE(table->pfnStartDocPort(port, printer.data(), 7, 1, (LPBYTE)&doc));

        // The status thread runs and holds a reference of its own.
        long refs = QuennetRefs();
        if (refs >= 0) {
            EXPECT_EQ(refs, 2);
        }

        std::string data = "page\f";
        DWORD written = 0;
        EXPECT_TRUE(table->pfnWritePort(port, (LPBYTE)data.data(), (DWORD)data.size(), &written));
        if (!closeMidJob) {
            EXPECT_TRUE(table->pfnEndDocPort(port));
        }
        EXPECT_TRUE(table->pfnClosePort(port));
        return quennet.Module;
    }
};

TEST_F(Unload, TheStatusThreadHoldsTheLibraryUntilItHasLeftIt) {
    // The spooler's reference goes right after ClosePort, again and again:
    // each time the thread lets go last, and the library really goes.
    // Without the test clock each stop waits half a second: fewer rounds.
    const int rounds = PlatHasTestHooks() ? 20 : 3;
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        HMODULE module = PrintOneJob(false);
        ASSERT_NE(module, nullptr);
        EXPECT_TRUE(FreeLibrary(module));
        WaitUntilUnloaded();
        EXPECT_EQ(AgentDouble::Calls("AgentJobStart").size(), (size_t)round + 1);
    }
}

TEST_F(Unload, APortClosedInTheMiddleOfAJobStillLetsTheLibraryGo) {
    HMODULE module = PrintOneJob(true);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    WaitUntilUnloaded();
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
}

} // namespace
