// The doubles other tests rely on: a double that answers other than its
// header promises would make those tests check the wrong thing.
#include "agent_double_state.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

class FakePortMonitorTest : public ::testing::Test {
  protected:
    HANDLE OpenPort(const char *name = "LPT1:") {
        WString wide = PlatWide(name);
        HANDLE handle = nullptr;
        EXPECT_TRUE(pm_.Table()->pfnOpenPort(wide.data(), &handle));
        return handle;
    }
    BOOL Write(HANDLE port, const std::string &bytes, DWORD *written) {
        return pm_.Table()->pfnWritePort(port, (LPBYTE)bytes.data(), (DWORD)bytes.size(), written);
    }
    FakePortMonitor pm_;
};

TEST_F(FakePortMonitorTest, ScriptedFailuresHitTheChosenCalls) {
    pm_.FailCall(PortFn::OpenPort, 2, ERROR_ACCESS_DENIED, 2);
    HANDLE first = OpenPort();
    WString name = WSTR("LPT2:");
    HANDLE handle = (HANDLE)0x1;
    for (int i = 0; i < 2; i++) {
        SetLastError(0);
        EXPECT_FALSE(pm_.Table()->pfnOpenPort(name.data(), &handle));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(handle, (HANDLE)0x1);
    HANDLE fourth = OpenPort("LPT2:");
    EXPECT_NE(fourth, first);
    EXPECT_EQ(pm_.OpenHandles(), 2);

    // A handle that is not open is refused; a closed one too.
    DWORD written = 99;
    SetLastError(0);
    EXPECT_FALSE(Write((HANDLE)0x77, "x", &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(pm_.Table()->pfnClosePort(first));
    EXPECT_FALSE(pm_.Table()->pfnEndDocPort(first));
    EXPECT_EQ(pm_.OpenHandles(), 1);

    // For ever from the nth call on.
    pm_.FailCall(PortFn::StartDocPort, 2, ERROR_WRITE_FAULT, 0);
    EXPECT_TRUE(pm_.Table()->pfnStartDocPort(fourth, nullptr, 1, 1, nullptr));
    for (int i = 0; i < 3; i++)
        EXPECT_FALSE(pm_.Table()->pfnStartDocPort(fourth, nullptr, 1, 1, nullptr));

    std::vector<PortMonitorCall> opens = pm_.Calls(PortFn::OpenPort);
    ASSERT_EQ(opens.size(), 4u);
    EXPECT_EQ(opens[1].Port, "LPT2:");
    EXPECT_FALSE(opens[1].Result);
    EXPECT_EQ(opens[1].Error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(opens[3].Handle, fourth);
    EXPECT_EQ(pm_.CallNames().front(), "OpenPort");
}

TEST_F(FakePortMonitorTest, WritesAreCappedOrScriptedAndRecorded) {
    HANDLE port = OpenPort();
    DWORD written = 0;
    pm_.SetWriteCap(4);
    pm_.ScriptWrites({2, 0});
    EXPECT_TRUE(Write(port, "abcdef", &written));
    EXPECT_EQ(written, 2u);
    EXPECT_TRUE(Write(port, "cdef", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Write(port, "cdefgh", &written));
    EXPECT_EQ(written, 4u);
    pm_.FailCall(PortFn::WritePort, 4, ERROR_WRITE_FAULT);
    EXPECT_FALSE(Write(port, "gh", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Write(port, "gh", &written));
    EXPECT_EQ(pm_.Written(), "abcdefgh");

    std::vector<PortMonitorCall> writes = pm_.Calls(PortFn::WritePort);
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[0].Data, "abcdef");
    EXPECT_EQ(writes[0].Count, 6u);
    EXPECT_EQ(writes[0].Transferred, 2u);
    EXPECT_EQ(writes[0].Port, "LPT1:");
}

TEST_F(FakePortMonitorTest, ReadsHandOutQueuedChunksInOrder) {
    HANDLE port = OpenPort();
    pm_.QueueRead("hello world");
    pm_.QueueRead("\f");
    char buffer[8];
    DWORD read = 99;
    ASSERT_TRUE(pm_.Table()->pfnReadPort(port, (LPBYTE)buffer, 5, &read));
    EXPECT_EQ(std::string(buffer, read), "hello");
    ASSERT_TRUE(pm_.Table()->pfnReadPort(port, (LPBYTE)buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), " world");
    EXPECT_EQ(pm_.PendingReadBytes(), 1u);
    ASSERT_TRUE(pm_.Table()->pfnReadPort(port, (LPBYTE)buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "\f");
    ASSERT_TRUE(pm_.Table()->pfnReadPort(port, (LPBYTE)buffer, sizeof(buffer), &read));
    EXPECT_EQ(read, 0u);
}

TEST_F(FakePortMonitorTest, PrinterDataAnswersTheDeviceIdCutToTheBuffer) {
    HANDLE port = OpenPort();
    char out[16];
    DWORD returned = 99;
    LPMONITOR t = pm_.Table();
    SetLastError(0);
    EXPECT_FALSE(t->pfnGetPrinterDataFromPort(port, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0,
                                              (LPWSTR)out, sizeof(out), &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0u);

    pm_.SetDeviceId("MFG:X;CMD:TKL,PCL;MDL:RVT-201;");
    memset(out, 0, sizeof(out));
    ASSERT_TRUE(t->pfnGetPrinterDataFromPort(port, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0,
                                             (LPWSTR)out, sizeof(out), &returned));
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(std::string(out, returned), "MFG:X;CMD:TKL,PC");

    pm_.SetPrinterData(0x22, "ab");
    ASSERT_TRUE(t->pfnGetPrinterDataFromPort(port, 0x22, nullptr, nullptr, 0, (LPWSTR)out,
                                             sizeof(out), &returned));
    EXPECT_EQ(returned, 2u);
    std::vector<PortMonitorCall> calls = pm_.Calls(PortFn::GetPrinterDataFromPort);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].ControlId, (DWORD)IOCTL_PAR_QUERY_DEVICE_ID);
    EXPECT_EQ(calls[1].Count, 16u);
    EXPECT_FALSE(calls[1].HasValueName);
}

TEST_F(FakePortMonitorTest, RemovedSlotsAreNullAndTimeoutsAreRecorded) {
    pm_.RemoveSlot(PortFn::GetPrinterDataFromPort);
    pm_.RemoveSlot(PortFn::ReadPort);
    LPMONITOR t = pm_.Table();
    EXPECT_EQ(t->pfnGetPrinterDataFromPort, nullptr);
    EXPECT_EQ(t->pfnReadPort, nullptr);
    EXPECT_NE(t->pfnSetPortTimeOuts, nullptr);
    EXPECT_EQ(t->pfnOpenPortEx, nullptr);
    EXPECT_EQ(t->pfnXcvOpenPort, nullptr);

    HANDLE port = OpenPort();
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    EXPECT_TRUE(t->pfnSetPortTimeOuts(port, &timeouts, 0));
    std::vector<PortMonitorCall> calls = pm_.Calls(PortFn::SetPortTimeOuts);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].HasTimeouts);
    EXPECT_EQ(calls[0].Timeouts.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(calls[0].Timeouts.WriteTotalTimeoutConstant, 5u);
}

TEST_F(FakePortMonitorTest, StartDocPortKeepsTheDocumentInformation) {
    HANDLE port = OpenPort();
    WString printer = WSTR("Printer"), doc = WSTR("Report"), type = WSTR("RAW");
    DOC_INFO_1W info = {doc.data(), nullptr, type.data()};
    ASSERT_TRUE(pm_.Table()->pfnStartDocPort(port, printer.data(), 42, 1, (LPBYTE)&info));
    PortMonitorCall call = pm_.Calls().back();
    EXPECT_EQ(call.Printer, "Printer");
    EXPECT_EQ(call.JobId, 42u);
    EXPECT_EQ(call.Level, 1u);
    EXPECT_TRUE(call.HasDocInfo);
    EXPECT_EQ(call.DocName, "Report");
    EXPECT_FALSE(call.HasOutputFile);
    EXPECT_EQ(call.Datatype, "RAW");
}

TEST_F(FakePortMonitorTest, HookRunsOnTheCallingThreadAndMayBlock) {
    HANDLE port = OpenPort();
    std::atomic<int> hooked{0};
    pm_.SetHook([&](const PortMonitorCall &call) {
        if (call.Function == PortFn::WritePort)
            hooked++;
        // The record is free while the hook runs.
        (void)pm_.CallCount(PortFn::WritePort);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            DWORD written;
            for (int i = 0; i < 250; i++)
                Write(port, "ab", &written);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(hooked.load(), 1000);
    EXPECT_EQ(pm_.Written().size(), 2000u);
}

TEST(AgentDoubleTest, LoadsCountAndTheRecordOutlivesTheLibrary) {
    AgentDouble::Reset();
    UseAgent(AgentFolder::Double);
    HMODULE agent = LoadLibraryW(WSTR("RAVODIR.DLL"));
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(AgentDouble::Loads(), 1);
    auto get = reinterpret_cast<PFN_Vorl_LMGetEntryPoints>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(agent, AGENT_EXPORT)));
    ASSERT_NE(get, nullptr);

    // A table too small for all slots is filled only as far as it goes.
    AgentEntryPoints table;
    memset(&table, 0, sizeof(table));
    get(AGENT_INTERFACE_VERSION, 2 * sizeof(void *), &table);
    EXPECT_NE(table.AgentJobStart, nullptr);
    EXPECT_NE(table.AgentJobEnd, nullptr);
    EXPECT_EQ(table.AgentJobStatus, nullptr);
    EXPECT_EQ(table.AgentQuery, nullptr);

    AgentDouble::SetFilledSlots(AgentDouble::AllSlots & ~AgentDouble::SlotJobEnd);
    get(AGENT_INTERFACE_VERSION, sizeof(table), &table);
    EXPECT_EQ(table.AgentJobEnd, nullptr);
    ASSERT_NE(table.AgentJobStart, nullptr);
    ASSERT_NE(table.AgentQuery, nullptr);

    AgentDouble::HoldJobStart(2);
    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);
    char printer[] = "P", port[] = "LPT1:", model[] = "";
    EXPECT_EQ(table.AgentJobStart(printer, port, model, 5, 0, 0), -1);
    EXPECT_EQ(table.AgentJobStart(printer, port, model, 5, 0, 0), -1);
    EXPECT_EQ(table.AgentJobStart(printer, port, model, 5, 0, 0), AGENT_REPLY_CANCEL);
    AgentDouble::SetQueryAnswer(1);
    EXPECT_EQ(table.AgentQuery(), 1);
    AgentDouble::SetStatusAnswer(7, 1);
    EXPECT_EQ(table.AgentJobStatus(printer, port, 5, 0x10, 0, 0), 0);
    EXPECT_EQ(table.AgentJobStatus(printer, port, 5, 0x80, 0, 0), 7);

    ASSERT_TRUE(FreeLibrary(agent));
    EXPECT_EQ(AgentDouble::Unloads(), 1);
    EXPECT_FALSE(AgentDouble::IsLoaded());
    std::vector<AgentDouble::Call> calls = AgentDouble::Calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[0].Name, "Vorl_LMGetEntryPoints");
    EXPECT_EQ(calls[0].TableSize, 2 * sizeof(void *));
    EXPECT_EQ(calls[2].Port, "LPT1:");
    EXPECT_EQ(calls[2].JobId, 5u);
    EXPECT_EQ(calls[7].Code, 0x80u);
    EXPECT_EQ(calls[7].Answer, 7);

    // The export-less variant and the missing library.
    UseAgent(AgentFolder::NoExport);
    agent = LoadLibraryW(WSTR("RAVODIR.DLL"));
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(GetProcAddress(agent, AGENT_EXPORT), nullptr);
    EXPECT_EQ(AgentDouble::Loads("agent_noexport"), 1);
    FreeLibrary(agent);
    UseAgent(AgentFolder::Missing);
    EXPECT_EQ(LoadLibraryW(WSTR("RAVODIR.DLL")), nullptr);
}

} // namespace
