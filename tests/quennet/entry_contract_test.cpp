// Quennet's entry points as the spooler sees them: the library is loaded by
// path, InitializePrintMonitor hands out the MONITOREX, and every call goes
// through its table. The status agent is the scriptable double.
#include "agent_double_state.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr DWORD Sentinel = 0xdeadbeef;

class QuennetEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        quennet_ = LoadQuennet();
        ASSERT_NE(quennet_.MonitorEx, nullptr) << QuennetLibraryPath();
        monitor_ = quennet_.Table();
        ASSERT_FALSE(AgentDouble::IsLoaded());
        EXPECT_AGENT_REFS(0);
        AgentDouble::Reset();
        UseAgent(AgentFolder::Double);
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
    }

    void TearDown() override {
        for (HANDLE port : open_)
            monitor_->pfnClosePort(port);
        // Every port is closed: no agent may stay loaded.
        EXPECT_AGENT_REFS(0);
    }

    // OpenPortEx with the fake port monitor's table; the handle is closed at
    // the end of the test unless the test closes it.
    BOOL Open(const char *port, const char *printer, HANDLE *handle) {
        WString portName = PlatWide(port), printerName = PlatWide(printer);
        BOOL ok = monitor_->pfnOpenPortEx(portName.data(), printerName.data(), handle,
                                          portMonitor_.Table());
        if (ok)
            open_.push_back(*handle);
        return ok;
    }

    BOOL Close(HANDLE port) {
        BOOL ok = monitor_->pfnClosePort(port);
        if (ok)
            std::erase(open_, port);
        return ok;
    }

    LoadedMonitor quennet_;
    LPMONITOR monitor_ = nullptr;
    FakePortMonitor portMonitor_;
    std::vector<HANDLE> open_;
};

TEST_F(QuennetEntry, MonitorExOffersTheNt4TableWithSevenEntryPoints) {
    const MONITOREX *ex = quennet_.MonitorEx;
    EXPECT_EQ(ex->dwMonitorSize, NT4_MONITOR_SIZE);
    if (sizeof(void *) == 4) {
        EXPECT_EQ(ex->dwMonitorSize, 56u);
    }

    const MONITOR &m = ex->Monitor;
    EXPECT_NE(m.pfnOpenPortEx, nullptr);
    EXPECT_NE(m.pfnStartDocPort, nullptr);
    EXPECT_NE(m.pfnWritePort, nullptr);
    EXPECT_NE(m.pfnReadPort, nullptr);
    EXPECT_NE(m.pfnEndDocPort, nullptr);
    EXPECT_NE(m.pfnClosePort, nullptr);
    EXPECT_NE(m.pfnGetPrinterDataFromPort, nullptr);

    EXPECT_EQ(m.pfnEnumPorts, nullptr);
    EXPECT_EQ(m.pfnOpenPort, nullptr);
    EXPECT_EQ(m.pfnAddPort, nullptr);
    EXPECT_EQ(m.pfnAddPortEx, nullptr);
    EXPECT_EQ(m.pfnConfigurePort, nullptr);
    EXPECT_EQ(m.pfnDeletePort, nullptr);
    EXPECT_EQ(m.pfnSetPortTimeOuts, nullptr);
    EXPECT_EQ(m.pfnXcvOpenPort, nullptr);
    EXPECT_EQ(m.pfnXcvDataPort, nullptr);
    EXPECT_EQ(m.pfnXcvClosePort, nullptr);
}

TEST_F(QuennetEntry, InitializeTwiceKeepsTheTableAndPortsWorking) {
    HANDLE port = nullptr;
    ASSERT_TRUE(Open("LPT1:", "Printer", &port));

    // A host that asks again gets the same record; the lock is not reset
    // under the open port.
    LoadedMonitor again = LoadMonitorLibrary(QuennetLibraryPath());
    ASSERT_NE(again.Module, nullptr);
    EXPECT_EQ(again.MonitorEx, quennet_.MonitorEx);
    FreeLibrary(again.Module);

    SetLastError(Sentinel);
    HANDLE other = nullptr;
    EXPECT_FALSE(Open("lpt1:", "Printer", &other));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_TRUE(Close(port));
}

TEST_F(QuennetEntry, DllEntryPointAnswersTrueForEveryReason) {
    typedef BOOL(WINAPI * PFN_DllEntryPoint)(HINSTANCE, DWORD, LPVOID);
    FARPROC proc = GetProcAddress(quennet_.Module, "DllEntryPoint");
    ASSERT_NE(proc, nullptr);
    auto entry = reinterpret_cast<PFN_DllEntryPoint>(reinterpret_cast<void (*)(void)>(proc));
    for (DWORD reason :
         {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_TRUE(entry((HINSTANCE)quennet_.Module, reason, nullptr)) << reason;
    // Nothing was torn down.
    HANDLE port = nullptr;
    EXPECT_TRUE(Open("LPT1:", "Printer", &port));
}

TEST_F(QuennetEntry, SecondOpenOfAnOpenPortIsBusyWhateverTheCase) {
    HANDLE first = nullptr;
    ASSERT_TRUE(Open("LPT1:", "Printer A", &first));
    EXPECT_NE(first, nullptr);

    for (const char *name : {"LPT1:", "lpt1:", "Lpt1:"}) {
        HANDLE second = (HANDLE)0x1234;
        SetLastError(Sentinel);
        EXPECT_FALSE(Open(name, "Printer B", &second)) << name;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY) << name;
        EXPECT_EQ(second, (HANDLE)0x1234) << "the handle out is left alone";
    }

    // Another port opens alongside.
    HANDLE com = nullptr;
    EXPECT_TRUE(Open("COM1:", "Printer A", &com));
    EXPECT_NE(com, first);

    ASSERT_TRUE(Close(first));
    HANDLE second = nullptr;
    SetLastError(Sentinel);
    EXPECT_TRUE(Open("lpt1:", "Printer B", &second));
    EXPECT_NE(second, nullptr);

    // Opening and closing ports never touches the port monitor's ports: those
    // are opened per job.
    EXPECT_TRUE(portMonitor_.Calls().empty());
}

TEST_F(QuennetEntry, MissingOrEmptyArgumentsAreInvalid) {
    WString port = WSTR("LPT1:"), printer = WSTR("Printer"), empty;
    struct Case {
        LPWSTR Port, Printer;
        bool HandleOut, Table;
    } cases[] = {
        {nullptr, printer.data(), true, true},
        {empty.data(), printer.data(), true, true},
        {port.data(), nullptr, true, true},
        {port.data(), empty.data(), true, true},
        {nullptr, nullptr, true, true},
        {port.data(), printer.data(), false, true},
        {port.data(), printer.data(), true, false},
    };
    int index = 0;
    for (const Case &c : cases) {
        HANDLE handle = (HANDLE)0x1234;
        SetLastError(Sentinel);
        EXPECT_FALSE(monitor_->pfnOpenPortEx(c.Port, c.Printer, c.HandleOut ? &handle : nullptr,
                                             c.Table ? portMonitor_.Table() : nullptr))
            << "case " << index;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << "case " << index;
        EXPECT_EQ(handle, (HANDLE)0x1234) << "case " << index;
        index++;
    }
    // Nothing was created: the port is free and no agent was loaded.
    EXPECT_EQ(AgentDouble::Loads(), 0);
    HANDLE handle = nullptr;
    EXPECT_TRUE(Open("LPT1:", "Printer", &handle));
}

TEST_F(QuennetEntry, ClosePortRefusesNullAndForeignHandles) {
    HANDLE port = nullptr;
    ASSERT_TRUE(Open("LPT1:", "Printer", &port));

    SetLastError(Sentinel);
    EXPECT_FALSE(monitor_->pfnClosePort(nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A block that is not a port record (its first word is not the signature).
    alignas(void *) unsigned char foreign[512];
    memset(foreign, 0xA5, sizeof(foreign));
    DWORD wrong = 0x4F4B;
    memcpy(foreign, &wrong, sizeof(wrong));
    unsigned char before[sizeof(foreign)];
    memcpy(before, foreign, sizeof(foreign));
    SetLastError(Sentinel);
    EXPECT_FALSE(monitor_->pfnClosePort((HANDLE)foreign));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(memcmp(foreign, before, sizeof(foreign)), 0);

    // The real port is still open.
    HANDLE again = nullptr;
    SetLastError(Sentinel);
    EXPECT_FALSE(Open("LPT1:", "Printer", &again));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_AGENT_REFS(1);
    EXPECT_TRUE(Close(port));
}

TEST_F(QuennetEntry, AgentIsLoadedWithTheFirstPortAndFreedAfterTheLast) {
    HANDLE a = nullptr, b = nullptr, c = nullptr;
    ASSERT_TRUE(Open("LPT1:", "Printer", &a));
    EXPECT_EQ(AgentDouble::Loads(), 1);
    EXPECT_AGENT_REFS(1);

    // The entry points were asked for once, with the interface version and
    // the size of the monitor's table.
    std::vector<AgentDouble::Call> gets = AgentDouble::Calls("Vorl_LMGetEntryPoints");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].Version, 0x200u);
    EXPECT_EQ(gets[0].TableSize, (DWORD)sizeof(AgentEntryPoints));

    ASSERT_TRUE(Open("LPT2:", "Printer", &b));
    ASSERT_TRUE(Open("COM1:", "Other printer", &c));
    EXPECT_EQ(AgentDouble::Loads(), 1);
    EXPECT_AGENT_REFS(1);
    EXPECT_EQ(AgentDouble::Calls("Vorl_LMGetEntryPoints").size(), 1u);

    ASSERT_TRUE(Close(a));
    ASSERT_TRUE(Close(c));
    EXPECT_EQ(AgentDouble::Unloads(), 0);
    EXPECT_TRUE(AgentDouble::IsLoaded());

    ASSERT_TRUE(Close(b));
    EXPECT_EQ(AgentDouble::Unloads(), 1);
    EXPECT_FALSE(AgentDouble::IsLoaded());
    EXPECT_AGENT_REFS(0);

    // The next port brings it back.
    ASSERT_TRUE(Open("LPT2:", "Printer", &b));
    EXPECT_EQ(AgentDouble::Loads(), 2);
    EXPECT_EQ(AgentDouble::Calls("Vorl_LMGetEntryPoints").size(), 2u);
    EXPECT_AGENT_REFS(1);
    // Opening and closing ports makes no agent call.
    for (const std::string &name : AgentDouble::CallNames())
        EXPECT_EQ(name, "Vorl_LMGetEntryPoints");
}

TEST_F(QuennetEntry, MissingAgentLibraryIsRetriedAtTheNextPort) {
    UseAgent(AgentFolder::Missing);
    HANDLE a = nullptr, b = nullptr;
    SetLastError(Sentinel);
    ASSERT_TRUE(Open("LPT1:", "Printer", &a));
    EXPECT_NE(a, nullptr);
    EXPECT_AGENT_REFS(0);
    EXPECT_EQ(AgentDouble::Loads(), 0);

    // The agent appears: the next port loads it; closing the port without it
    // does not free it, the last one does.
    UseAgent(AgentFolder::Double);
    ASSERT_TRUE(Open("LPT2:", "Printer", &b));
    EXPECT_EQ(AgentDouble::Loads(), 1);
    EXPECT_AGENT_REFS(1);
    ASSERT_TRUE(Close(a));
    EXPECT_TRUE(AgentDouble::IsLoaded());
    ASSERT_TRUE(Close(b));
    EXPECT_EQ(AgentDouble::Unloads(), 1);
}

TEST_F(QuennetEntry, AgentWithoutItsExportIsFreedAndRetried) {
    UseAgent(AgentFolder::NoExport);
    HANDLE a = nullptr, b = nullptr, c = nullptr;
    ASSERT_TRUE(Open("LPT1:", "Printer", &a));
    EXPECT_EQ(AgentDouble::Loads("agent_noexport"), 1);
    EXPECT_EQ(AgentDouble::Unloads("agent_noexport"), 1);
    EXPECT_AGENT_REFS(0);

    ASSERT_TRUE(Open("LPT2:", "Printer", &b));
    EXPECT_EQ(AgentDouble::Loads("agent_noexport"), 2);
    EXPECT_EQ(AgentDouble::Unloads("agent_noexport"), 2);

    UseAgent(AgentFolder::Double);
    ASSERT_TRUE(Open("LPT3:", "Printer", &c));
    EXPECT_EQ(AgentDouble::Loads(), 1);
    EXPECT_AGENT_REFS(1);
}

TEST_F(QuennetEntry, FailedAllocationsLeaveNothingBehind) {
    REQUIRE_TEST_HOOKS();
    long empty = PlatLiveBlocks();
    HANDLE other = nullptr;
    ASSERT_TRUE(Open("COM1:", "Printer", &other));
    long baseline = PlatLiveBlocks();

    // Fail the first allocation, then the second, ... until the open goes through.
    HANDLE port = nullptr;
    unsigned long n = 1;
    for (; n < 50; n++) {
        port = (HANDLE)0x1234;
        PlatFailAllocation(n);
        SetLastError(Sentinel);
        WString portName = WSTR("LPT1:"), printerName = WSTR("Printer");
        BOOL ok = monitor_->pfnOpenPortEx(portName.data(), printerName.data(), &port,
                                          portMonitor_.Table());
        PlatFailAllocation(0);
        if (ok) {
            open_.push_back(port);
            break;
        }
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY) << "allocation " << n;
        EXPECT_EQ(port, (HANDLE)0x1234) << "allocation " << n;
        EXPECT_EQ(PlatLiveBlocks(), baseline) << "allocation " << n;
    }
    EXPECT_GT(n, 1u) << "the open allocates";
    EXPECT_LT(n, 50u);
    // The failures left the port free; the agent stayed loaded for COM1:.
    EXPECT_EQ(AgentDouble::Loads(), 1);
    ASSERT_TRUE(Close(port));
    ASSERT_TRUE(Close(other));
    EXPECT_EQ(PlatLiveBlocks(), empty);
}

} // namespace
