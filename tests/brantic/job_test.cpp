// Jobs through the port monitor: the lifecycle from StartDocPort to
// EndDocPort, deferred opens, the agent's part, the model read from the
// device ID, and the read and printer-data paths.
#include "brantic_test.h"
#include "trace_capture.h"

namespace {

class JobTest : public BranticTest {
  protected:
    void SetUp() override {
        BranticTest::SetUp();
        if (IsSkipped())
            return;
        pm_.SetDeviceId("MFG:X;MDL:abc;CMD:Y;");
        port_ = Open(WSTR("LPT2:"));
        ASSERT_NE(port_, nullptr);
    }

    // The agent calls after the binding's own, by name.
    static std::vector<std::string> AgentCalls() {
        std::vector<std::string> names;
        for (const std::string &name : AgentDouble::CallNames())
            if (name != "Vorl_LMGetEntryPoints")
                names.push_back(name);
        return names;
    }
    static std::vector<DWORD> StatusCodes() {
        std::vector<DWORD> codes;
        for (const AgentDouble::Call &call : AgentDouble::Calls("AgentJobStatus"))
            codes.push_back(call.Code);
        return codes;
    }

    PortEntry *port_ = nullptr;
};

TEST_F(JobTest, AJobRunsThroughThePortMonitorAndIsReportedAndMarked) {
    ASSERT_TRUE(Start(port_, 7));
    EXPECT_EQ(port_->Flags, JobActive | AgentStartDone | AgentActive);
    EXPECT_STREQ(port_->Model, "abc");
    EXPECT_EQ(Write(port_, "hello "), 6u);
    EXPECT_EQ(Write(port_, "world"), 5u);
    ASSERT_TRUE(EndDocPort(port_));

    EXPECT_EQ(pm_.CallNames(),
              (std::vector<std::string>{"OpenPort", "StartDocPort", "GetPrinterDataFromPort",
                                        "WritePort", "WritePort", "EndDocPort", "ClosePort"}));
    PortMonitorCall start = pm_.Calls(PortFn::StartDocPort)[0];
    EXPECT_EQ(start.Printer, "Printer");
    EXPECT_EQ(start.JobId, 7u);
    EXPECT_EQ(start.Level, 1u);
    EXPECT_EQ(start.DocName, "Report");
    EXPECT_EQ(pm_.Calls(PortFn::GetPrinterDataFromPort)[0].ControlId,
              (DWORD)IOCTL_PAR_QUERY_DEVICE_ID);
    EXPECT_EQ(pm_.Written(), "hello world");
    EXPECT_EQ(pm_.OpenHandles(), 0);

    EXPECT_EQ(AgentCalls(),
              (std::vector<std::string>{"AgentQuery", "AgentJobStart", "AgentJobStatus",
                                        "AgentJobStatus", "AgentJobEnd"}));
    AgentDouble::Call jobStart = AgentDouble::Calls("AgentJobStart")[0];
    EXPECT_EQ(jobStart.Model, "abc");
    EXPECT_EQ(jobStart.Port, "LPT2:");
    EXPECT_EQ(jobStart.Printer, "Printer");
    EXPECT_EQ(jobStart.JobId, 7u);
    EXPECT_EQ(StatusCodes(), (std::vector<DWORD>{AGENT_STATUS_DATA_STARTED, AGENT_STATUS_JOB_END}));

    EXPECT_EQ(JobCommands(7),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    EXPECT_EQ(port_->Flags & JobActive, 0u);
}

// With the trace on, one line per call and decision of a job, in order;
// switched off before the next job (no restart), that job writes nothing.
TEST_F(JobTest, TheTraceTellsAJobInOrderAndIsSilentWhenOff) {
    TraceCapture trace;
    if (!trace.Redirected())
        GTEST_SKIP() << "the debug output cannot be caught here";
    trace.SetLevel(TRACE_CALLS);
    ASSERT_NE(InitializePrintMonitor((LPWSTR)TraceCapture::Root), nullptr);
    ASSERT_TRUE(Start(port_, 7));
    EXPECT_EQ(Write(port_, "hello"), 5u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{
                  "Brantic: trace level 2", "Brantic [LPT2:] StartDocPort job 7",
                  "Brantic [LPT2:] output through the port monitor: not the local LPT1",
                  "Brantic [LPT2:] GetPrinterDataFromPort control 0x16000c",
                  "Brantic [LPT2:] device ID asked: MFG:X;MDL:abc;CMD:Y;",
                  "Brantic [LPT2:] job 7 started: through the port monitor, agent takes part",
                  "Brantic [LPT2:] WritePort 5 bytes", "Brantic [LPT2:] EndDocPort job 7",
                  "Brantic [LPT2:] job 7 ended"}));

    trace.SetLevel(0);
    ASSERT_TRUE(Start(port_, 8));
    EXPECT_EQ(Write(port_, "hello"), 5u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{});
}

TEST_F(JobTest, StartRefusesBadArgumentsAndASecondJob) {
    WString printer = PrinterName, empty;
    EXPECT_FALSE(StartDocPort(nullptr, printer.data(), 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(StartDocPort(port_, empty.data(), 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    for (BOOL(WINAPI * call)(HANDLE) : {EndDocPort, ClosePort}) {
        SetLastError(0);
        EXPECT_FALSE(call(nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }

    ASSERT_TRUE(Start(port_, 1));
    size_t calls = pm_.Calls().size();
    EXPECT_FALSE(Start(port_, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_EQ(port_->JobId, 1u);
    EXPECT_EQ(pm_.Calls().size(), calls);
    EXPECT_EQ(Write(port_, "abc"), 3u);
}

TEST_F(JobTest, WithoutTheAgentTheJobIsFreeAndStillMarked) {
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(port_, 4));
    EXPECT_EQ(port_->Flags, JobActive | AgentStartDone);
    EXPECT_EQ(port_->Model, nullptr); // the device ID is asked only for the agent
    EXPECT_EQ(Write(port_, "x"), 1u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(AgentCalls(), (std::vector<std::string>{"AgentQuery"}));
    EXPECT_EQ(JobCommands(4),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
}

TEST_F(JobTest, AFailedStartClosesThePortAndTheNextWriteReopensWithTheKeptDocument) {
    pm_.FailCall(PortFn::StartDocPort, 1, ERROR_ACCESS_DENIED);
    SetLastError(0);
    ASSERT_TRUE(Start(port_, 9, PrinterName, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(port_->Flags & OpenDeferred);
    EXPECT_EQ(port_->PortHandle, nullptr);
    EXPECT_EQ(pm_.CallNames(), (std::vector<std::string>{"OpenPort", "StartDocPort", "ClosePort"}));
    // Nothing could be asked, so the job starts without a model.
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "");

    // The spooler's DOC_INFO_1 is gone by now: the retry uses the copy.
    docName_ = WSTR("overwritten");
    EXPECT_EQ(Write(port_, "data"), 4u);
    std::vector<PortMonitorCall> starts = pm_.Calls(PortFn::StartDocPort);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].DocName, "Report");
    EXPECT_EQ(starts[1].Datatype, "RAW");
    EXPECT_FALSE(starts[1].HasOutputFile);
    EXPECT_EQ(starts[1].Level, 2u);
    EXPECT_EQ(starts[1].DocMode, (DWORD)DI_CHANNEL);
    EXPECT_EQ(starts[1].DocJobId, 0x5CA1u);
    EXPECT_EQ(starts[1].JobId, 9u);
    EXPECT_STREQ(port_->Model, "abc");
    EXPECT_FALSE(port_->Flags & OpenDeferred);

    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(port_->DocInfo, nullptr);
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 2u);
    EXPECT_EQ(pm_.OpenHandles(), 0);
}

TEST_F(JobTest, WritesWaitWhileTheOpenFailsAndNothingIsClosedThatNeverOpened) {
    pm_.FailCall(PortFn::OpenPort, 1, ERROR_ACCESS_DENIED, 3);
    ASSERT_TRUE(Start(port_, 2));
    BOOL ok = FALSE;
    EXPECT_EQ(Write(port_, "data", &ok), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Write(port_, "data"), 0u);
    EXPECT_EQ(Write(port_, "data"), 4u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Written(), "data");

    // A job whose open never succeeds ends without EndDocPort or ClosePort below.
    pm_.ClearCalls();
    pm_.FailCall(PortFn::OpenPort, 5, ERROR_ACCESS_DENIED, 0);
    ASSERT_TRUE(Start(port_, 3));
    EXPECT_EQ(Write(port_, "data"), 0u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.CallNames(), (std::vector<std::string>{"OpenPort", "OpenPort"}));
}

TEST_F(JobTest, AFailedPortMonitorWriteIsAShortWriteWithoutError) {
    ASSERT_TRUE(Start(port_, 1));
    pm_.FailCall(PortFn::WritePort, 1, ERROR_WRITE_FAULT);
    SetLastError(ERROR_GEN_FAILURE);
    BOOL ok = FALSE;
    EXPECT_EQ(Write(port_, "data", &ok), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
}

TEST_F(JobTest, TheAgentHoldsTheJobUntilItAcceptsAndCanCancelIt) {
    AgentDouble::HoldJobStart(2);
    ASSERT_TRUE(Start(port_, 5));
    EXPECT_FALSE(port_->Flags & AgentStartDone);
    EXPECT_EQ(Write(port_, "data"), 0u);
    EXPECT_EQ(Write(port_, "data"), 4u);
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart").size(), 3u);
    EXPECT_EQ(pm_.Written(), "data");
    ASSERT_TRUE(EndDocPort(port_));

    // A cancel: the spooler's job once, the agent told, no data from then on.
    AgentDouble::ClearCalls();
    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);
    ASSERT_TRUE(Start(port_, 6));
    EXPECT_TRUE(port_->Flags & JobCancelled);
    EXPECT_EQ(Write(port_, "more"), 0u);
    EXPECT_EQ(Write(port_, "more"), 0u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Written(), "data");
    EXPECT_EQ(JobCommands(6), (std::vector<DWORD>{JOB_CONTROL_CANCEL, JOB_CONTROL_SENT_TO_PRINTER,
                                                  JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(StatusCodes(), (std::vector<DWORD>{AGENT_STATUS_CANCELLED, AGENT_STATUS_DATA_STARTED,
                                                 AGENT_STATUS_JOB_END}));
}

TEST_F(JobTest, ANonZeroStatusAnswerEndsTheAgentsPartInTheJob) {
    AgentDouble::SetStatusAnswer(1);
    ASSERT_TRUE(Start(port_, 8));
    EXPECT_EQ(Write(port_, "x"), 1u);
    EXPECT_FALSE(port_->Flags & AgentActive);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(StatusCodes(), (std::vector<DWORD>{AGENT_STATUS_DATA_STARTED}));
    EXPECT_TRUE(AgentDouble::Calls("AgentJobEnd").empty());
}

TEST_F(JobTest, AnLprPortAnnouncesTheJobBeforeItsOutputOpensWithoutAModel) {
    MakeLprPort(WSTR("Queue"));
    PortEntry *lpr = Open(WSTR("Queue"));
    ASSERT_NE(lpr, nullptr);
    std::vector<size_t> opensAtJobStart;
    AgentDouble::SetHook([&](const AgentDouble::Call &call) {
        if (call.Name == "AgentJobStart")
            opensAtJobStart.push_back(pm_.CallCount(PortFn::OpenPort));
    });
    ASSERT_TRUE(Start(lpr, 1));
    EXPECT_STREQ(lpr->Model, "abc");
    ASSERT_TRUE(EndDocPort(lpr));
    ASSERT_TRUE(Start(port_, 2));
    ASSERT_TRUE(EndDocPort(port_));
    AgentDouble::SetHook(nullptr);

    EXPECT_EQ(opensAtJobStart, (std::vector<size_t>{0, 2}));
    std::vector<AgentDouble::Call> starts = AgentDouble::Calls("AgentJobStart");
    EXPECT_EQ(starts[0].Model, "");
    EXPECT_EQ(starts[1].Model, "abc");
}

TEST_F(JobTest, TheModelComesFromTheLastModelKeyOfTheDeviceId) {
    const struct {
        std::string DeviceId;
        bool HasModel;
        std::string Model;
    } cases[] = {
        {"MFG:X;MDL:abc;CMD:Y;", true, "abc"},
        {"MFG:X;MDL:abc", true, "abc"},
        {"MODEL:one;MDL:two;", true, "two"},
        {"MDL:" + std::string(100, 'm') + ";", true, std::string(80, 'm')},
        {"MDL:" + std::string(2000, 'z'), true, std::string(80, 'z')}, // beyond the buffer
        {"MFG:X;mdl:abc;", false, ""},
        {"MFG:X; MDL:abc;", false, ""},
        {"no fields at all", false, ""},
        {"", false, ""},
    };
    DWORD job = 1;
    for (const auto &c : cases) {
        pm_.SetDeviceId(c.DeviceId);
        ASSERT_TRUE(Start(port_, job++));
        if (c.HasModel)
            EXPECT_STREQ(port_->Model, c.Model.c_str()) << c.DeviceId.substr(0, 30);
        else
            EXPECT_EQ(port_->Model, nullptr) << c.DeviceId;
        ASSERT_TRUE(EndDocPort(port_));
    }
}

TEST_F(JobTest, ReadsAndPrinterDataGoToThePortMonitorWhileItsPortIsOpen) {
    BYTE buffer[16] = {};
    DWORD count = 0;
    WCHAR out[16];
    DWORD returned = 0;
    // Nothing is open before the first job: nothing reaches the port monitor.
    EXPECT_FALSE(ReadPort(port_, buffer, sizeof(buffer), &count));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(GetPrinterDataFromPort(port_, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0, out,
                                        sizeof(out), &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(Start(port_, 1));
    pm_.ClearCalls();
    pm_.QueueRead("status");
    EXPECT_TRUE(ReadPort(port_, buffer, sizeof(buffer), &count));
    EXPECT_EQ(std::string((char *)buffer, count), "status");

    // Forwarded unchanged, value name included; by value name alone: refused.
    pm_.SetPrinterData(0x1234, "answer");
    WString name = WSTR("Value");
    WCHAR in[2] = {};
    EXPECT_TRUE(GetPrinterDataFromPort(port_, 0x1234, name.data(), in, sizeof(in), out, sizeof(out),
                                       &returned));
    EXPECT_EQ(returned, 6u);
    PortMonitorCall call = pm_.Calls(PortFn::GetPrinterDataFromPort)[0];
    EXPECT_EQ(call.ValueName, "Value");
    EXPECT_EQ(call.InSize, sizeof(in));
    EXPECT_EQ(call.Count, sizeof(out));
    EXPECT_FALSE(
        GetPrinterDataFromPort(port_, 0, name.data(), nullptr, 0, out, sizeof(out), &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(pm_.CallCount(PortFn::GetPrinterDataFromPort), 1u);

    // After the job the port monitor's handle is closed and forgotten.
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_FALSE(ReadPort(port_, buffer, sizeof(buffer), &count));
    EXPECT_EQ(pm_.CallCount(PortFn::ReadPort), 1u);
}

TEST_F(JobTest, APortMonitorWithoutReadOrPrinterDataSlotsIsNeverCalledThroughThem) {
    REQUIRE_NT4_CONTRACT("a MONITOR2 without pfnReadPort is refused (ContractTest)");
    pm_.RemoveSlot(PortFn::ReadPort);
    pm_.RemoveSlot(PortFn::GetPrinterDataFromPort);
    // The table is copied at the open: a port opened now has no such slots.
    ASSERT_TRUE(Close(port_));
    port_ = Open(WSTR("FILE:"));
    ASSERT_NE(port_, nullptr);
    ASSERT_TRUE(Start(port_, 1));

    BYTE buffer[16] = {};
    DWORD count = 5;
    SetLastError(0x1234);
    EXPECT_FALSE(ReadPort(port_, buffer, sizeof(buffer), &count));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    WCHAR out[16];
    DWORD returned = 0;
    SetLastError(0x1234);
    EXPECT_FALSE(GetPrinterDataFromPort(port_, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0, out,
                                        sizeof(out), &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // The job itself is not hurt.
    EXPECT_EQ(Write(port_, "data"), 4u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Written(), "data");
}

// A second EndDocPort touches nothing. A port closed mid-job releases what
// the job holds, once (the port monitor's port, the channel socket, the
// printer handle, the agent's part), without ending the job as printed.
TEST_F(JobTest, EndingTwiceOrClosingMidJobReleasesEveryHandleOnce) {
    ASSERT_TRUE(Start(port_, 1));
    ASSERT_TRUE(EndDocPort(port_));
    AgentDouble::ClearCalls();
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 1u);
    EXPECT_TRUE(AgentDouble::Calls().empty());
    EXPECT_EQ(JobCommands(1).size(), 2u);

    // Through the port monitor, over the channel, and with the open deferred.
    PortEntry *channel = Open(WSTR("LPT1")), *deferred = Open(WSTR("LPT3"));
    ASSERT_TRUE(Start(port_, 2) && Start(channel, 3));
    pm_.FailCall(PortFn::OpenPort, 3, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(Start(deferred, 4));
    ASSERT_TRUE(channel->ChannelSocket != NO_SOCKET && (deferred->Flags & OpenDeferred));
    EXPECT_EQ(Write(port_, "data") + Write(channel, "data"), 8u);
    AgentDouble::ClearCalls();
    for (PortEntry *e : {port_, channel, deferred})
        ASSERT_TRUE(Close(e));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort) + pm_.CallCount(PortFn::ClosePort), 4u);
    EXPECT_EQ(pm_.OpenHandles(), 0);
    EXPECT_EQ(TransportDouble::Calls("CloseSocket").size(), 1u);
    EXPECT_TRUE(TransportDouble::OpenSockets().empty());
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    EXPECT_EQ(AgentCalls(), (std::vector<std::string>(3, "AgentJobEnd")));
    EXPECT_EQ(PlatSpoolerJobControls().size(), 2u); // job 1's marks only
}

TEST_F(JobTest, AJobForAnotherPrinterReopensThePrinterHandle) {
    WString other = WSTR("Other");
    PlatSpoolerAddPrinter(other);
    ASSERT_TRUE(Start(port_, 1, other));
    EXPECT_EQ(WString(port_->PrinterName), other);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(PlatSpoolerJobCommands(other, 1).size(), 2u);

    // An unknown printer: the job runs, unmarked.
    ASSERT_TRUE(Start(port_, 2, WSTR("Unknown")));
    EXPECT_EQ(port_->PrinterHandle, nullptr);
    EXPECT_EQ(Write(port_, "x"), 1u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_TRUE(PlatSpoolerJobCommands(WSTR("Unknown"), 2).empty());
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
}

// A write that cannot pass data (agent holding the job, job cancelled,
// output not yet open) paces the spooler with one 100 ms pause; a write that
// passes data does not pause.
TEST_F(JobTest, WritesThatCannotPassDataPauseOneHundredMilliseconds) {
    auto sleeps = [&](DWORD expectWritten) {
        PlatRecordWaits(true);
        EXPECT_EQ(Write(port_, "data"), expectWritten);
        PlatRecordWaits(false);
        std::vector<DWORD> slept;
        for (const PlatWait &w : PlatRecordedWaits())
            if (w.Slept && w.ThreadId == GetCurrentThreadId())
                slept.push_back(w.Milliseconds);
        return slept;
    };
    const std::vector<DWORD> pause{100}, none;

    AgentDouble::HoldJobStart(2);
    ASSERT_TRUE(Start(port_, 1));
    EXPECT_EQ(sleeps(0), pause) << "held";
    EXPECT_EQ(sleeps(4), none) << "accepted";
    ASSERT_TRUE(EndDocPort(port_));

    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);
    ASSERT_TRUE(Start(port_, 2));
    EXPECT_EQ(sleeps(0), pause) << "cancelled";
    ASSERT_TRUE(EndDocPort(port_));

    AgentDouble::SetJobStartAnswer(0);
    pm_.FailCall(PortFn::OpenPort, (unsigned)pm_.CallCount(PortFn::OpenPort) + 1,
                 ERROR_ACCESS_DENIED, 2);
    ASSERT_TRUE(Start(port_, 3));
    EXPECT_EQ(sleeps(0), pause) << "open deferred";
    EXPECT_EQ(sleeps(4), none) << "opened";
    ASSERT_TRUE(EndDocPort(port_));
}

// ---------------------------------------------------------------- bidi (the Windows 2000 contract)

std::vector<HANDLE> BidiHandles;
DWORD WINAPI RecordBidi(HANDLE port, DWORD, LPCWSTR, PBIDI_REQUEST_CONTAINER,
                        PBIDI_RESPONSE_CONTAINER *) {
    BidiHandles.push_back(port);
    return 21;
}

// Outside a job the port monitor's port is opened for the request and closed
// after; in a job the job's own port is asked, and nothing else is opened.
TEST_F(JobTest, BidiGoesToTheJobsPortOrToAnOpenOfItsOwn) {
    MONITORINIT init = {sizeof(MONITORINIT), nullptr, nullptr, nullptr, TRUE, nullptr};
    HANDLE instance = nullptr;
    ASSERT_NE(InitializePrintMonitor2(&init, &instance), nullptr);
    contract::PortMonitorAs2 *below = contract::HandOver(pm_.Table());
    below->Monitor2.pfnSendRecvBidiDataFromPort = RecordBidi;
    WString name = WSTR("USB001"), printer = PrinterName;
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPortEx(instance, below, name.data(), printer.data(), &port, &below->Monitor2));
    BidiHandles.clear();
    pm_.ClearCalls();

    EXPECT_EQ(SendRecvBidiDataFromPort(port, 0, WSTR("Get"), nullptr, nullptr), 21u);
    EXPECT_EQ(pm_.CallNames(), (std::vector<std::string>{"OpenPort", "ClosePort"}));
    ASSERT_EQ(BidiHandles.size(), 1u);
    EXPECT_EQ(BidiHandles[0], pm_.Calls()[0].Handle);

    ASSERT_TRUE(Start((PortEntry *)port, 5));
    pm_.ClearCalls();
    EXPECT_EQ(SendRecvBidiDataFromPort(port, 0, WSTR("Get"), nullptr, nullptr), 21u);
    EXPECT_EQ(BidiHandles.back(), ((PortEntry *)port)->PortHandle);
    EXPECT_TRUE(pm_.Calls().empty());
    ASSERT_TRUE(EndDocPort(port));
    // Shutdown closes the port the spooler left open.
    Shutdown(instance);
    EXPECT_EQ(pm_.OpenHandles(), 0);
}

} // namespace
