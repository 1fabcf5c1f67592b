// Jobs through Quennet as the spooler drives them: StartDocPort, WritePort,
// EndDocPort (and ReadPort, GetPrinterDataFromPort) on a port opened on the
// scriptable port monitor, with the scriptable status agent and, for jobs
// that talk the job language, the reference parser library. Grouped by what a
// user of the spooler would see going wrong. Links the monitor's
// implementation directly, so a few cases also look at the port record.
#include "agent_double_state.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"
#include "quennet.h"
#include "status_fixture.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const TklDeviceId = "MFG:Morvane;CMD:PCL,TKL;MDL:RVT-201 Office;";
const char *const Rvt101DeviceId = "MFG:Morvane;CMD:TKL;MDL:RVT-101;";
const char *const PlainDeviceId = "MFG:Other;CMD:PCL,PS;MDL:Laser 5;";

const WString PrinterA = WSTR("Printer A");
const WString PrinterB = WSTR("Printer B");

// The last error a write starts with: a write that leaves it alone keeps it.
constexpr DWORD UntouchedError = 0x1234;

struct WriteResult {
    BOOL Result;
    DWORD Written;
    DWORD Error;
};

// The document information a job is started with, at level 1 or 2.
struct DocInfo {
    WString Name = WSTR("Report.txt"), Output = WSTR("out.prn"), Type = WSTR("RAW");
    DOC_INFO_2W Info{};
    LPBYTE Bytes() {
        Info = {Name.data(), Output.data(), Type.data(), DI_CHANNEL, 0x5CA1};
        return (LPBYTE)&Info;
    }
};

class JobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_HOOKS();
        ASSERT_NE(InitializePrintMonitor(nullptr), nullptr);
        AgentDouble::Reset();
        UseLibraries(true);
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        PlatSpoolerReset();
        PlatSpoolerAddPrinter(PrinterA);
        PlatSpoolerAddPrinter(PrinterB);
        // The 100 ms paces of held writes cost nothing.
        PlatSetClockScale(1000.0);
    }

    void TearDown() override {
        if (port_ != nullptr)
            ClosePort(port_);
        AgentDouble::SetHook(nullptr);
        PlatFailAllocation(0);
        PlatSpoolerSetJobResult(true);
        PlatSetClockScale(1.0);
    }

    // The scriptable agent, and the parser library when `parser`.
    static void UseLibraries(bool parser) {
        std::string folders = AgentFolderPath(AgentFolder::Double);
        if (parser)
            folders += std::string(":") + QUENNET_COMPANION_FOLDER;
        PlatSetLibraryPath(folders);
    }

    PortEntry *Open(const WString &portName = WSTR("LPT1:"), const WString &printer = PrinterA) {
        WString name = portName, printerName = printer;
        if (!OpenPortEx(name.data(), printerName.data(), &port_, pm_.Table()))
            return nullptr;
        return (PortEntry *)port_;
    }

    BOOL Start(DWORD jobId, const WString &printer = PrinterA, DWORD level = 1) {
        WString name = printer;
        return StartDocPort(port_, name.data(), jobId, level, doc_.Bytes());
    }

    WriteResult Write(const std::string &data) {
        std::string bytes = data;
        DWORD written = 0xdead;
        SetLastError(UntouchedError);
        BOOL result = WritePort(port_, (LPBYTE)bytes.data(), (DWORD)bytes.size(), &written);
        return {result, written, GetLastError()};
    }

    // Writes `data` until the spooler would have seen all of it taken, at
    // most `calls` times; answers the number of calls made.
    int WriteAll(const std::string &data, int calls = 20) {
        size_t done = 0;
        int made = 0;
        while (done < data.size() && made < calls) {
            WriteResult r = Write(data.substr(done));
            made++;
            if (!r.Result)
                break;
            done += r.Written;
        }
        return made;
    }

    PortEntry *Entry() const { return (PortEntry *)port_; }

    static std::vector<std::pair<DWORD, DWORD>> StatusCalls() {
        std::vector<std::pair<DWORD, DWORD>> calls;
        for (const AgentDouble::Call &call : AgentDouble::Calls("AgentJobStatus"))
            calls.emplace_back(call.JobId, call.Code);
        return calls;
    }
    static size_t StatusCount(DWORD code) {
        size_t n = 0;
        for (const AgentDouble::Call &call : AgentDouble::Calls("AgentJobStatus"))
            n += call.Code == code;
        return n;
    }
    static std::vector<DWORD> PendingIds(PortEntry *e) {
        std::vector<DWORD> ids;
        EnterMonitorLock();
        for (JobIdNode *node = e->JobIds; node != nullptr; node = node->Next)
            ids.push_back(node->JobId);
        LeaveMonitorLock();
        return ids;
    }
    // Pushes ids oldest first: the last one becomes the head.
    static void Pending(PortEntry *e, std::initializer_list<DWORD> oldestFirst) {
        for (DWORD id : oldestFirst)
            ASSERT_TRUE(PushJobId(e, id));
    }
    // The text Quennet has pending ahead of the job's data, as it is now.
    static std::string PendingText(PortEntry *e) {
        if (e->PendingCommand == nullptr)
            return "";
        return std::string(e->PendingCommand + e->PendingOffset, e->PendingLength);
    }
    std::vector<DWORD> JobCommands(DWORD jobId, const WString &printer = PrinterA) {
        return PlatSpoolerJobCommands(printer, jobId);
    }

    FakePortMonitor pm_;
    HANDLE port_ = nullptr;
    DocInfo doc_;
};

using Names = std::vector<std::string>;
using Commands = std::vector<DWORD>;

// ---------------------------------------------------------------- one job at a time

// The spooler starts a job on a port whose job is still running: it is
// refused, and the running job goes on undisturbed.
TEST_F(JobTest, SecondStartDuringJobIsBusyAndFirstJobGoesOn) {
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(7));
    pm_.ClearCalls();

    SetLastError(0);
    EXPECT_FALSE(Start(8, PrinterB));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_TRUE(pm_.Calls().empty());
    EXPECT_EQ(Entry()->JobId, 7u);
    EXPECT_EQ(PendingIds(Entry()), (std::vector<DWORD>{7}));

    WriteResult r = Write("first job");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 9u);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Written(), "first job");
    EXPECT_EQ(JobCommands(7), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_TRUE(JobCommands(8, PrinterB).empty());

    // Ended, the port takes the next job.
    EXPECT_TRUE(Start(8, PrinterB));
    EXPECT_TRUE(EndDocPort(port_));
}

// With the trace on, one line per call and decision of a job, in order;
// switched off before the next job (no restart), that job writes nothing.
TEST_F(JobTest, TheTraceTellsAJobInOrderAndIsSilentWhenOff) {
    TraceCapture trace;
    if (!trace.Redirected())
        GTEST_SKIP() << "the debug output cannot be caught here";
    trace.SetLevel(TRACE_CALLS);
    ASSERT_NE(InitializePrintMonitor((LPWSTR)TraceCapture::Root), nullptr);
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    ASSERT_TRUE(Start(7));
    EXPECT_EQ(Write("DATA").Written, 4u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(trace.Lines(),
              (Names{"Quennet: trace level 2",
                     "Quennet: OpenPortEx LPT1:", "Quennet: status agent RAVODIR.DLL loaded",
                     "Quennet [LPT1:] StartDocPort job 7",
                     std::string("Quennet [LPT1:] device ID asked: ") + PlainDeviceId,
                     "Quennet [LPT1:] job language not TKL: the device ID shows neither TKL nor "
                     "a TKL model",
                     "Quennet: parser VEROVIRI.DLL loaded for a command text",
                     "Quennet [LPT1:] job 7 started: plain with notification command, agent "
                     "takes part",
                     "Quennet [LPT1:] WritePort 4 bytes", "Quennet [LPT1:] EndDocPort job 7",
                     "Quennet: parser VEROVIRI.DLL loaded for a command text",
                     "Quennet [LPT1:] job 7 ended: port below closed"}));

    trace.SetLevel(0);
    ASSERT_TRUE(Start(8));
    EXPECT_EQ(Write("DATA").Written, 4u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(trace.Lines(), Names{});
}

// Bad handles and names are refused by every entry point of the job.
TEST_F(JobTest, BadHandlesAndNamesAreRefused) {
    ASSERT_NE(Open(), nullptr);
    WString empty, printer = WSTR("P");
    DWORD stranger[16] = {0x1234};
    DWORD n = 0;
    BYTE buffer[4];

    SetLastError(0);
    EXPECT_FALSE(StartDocPort(nullptr, printer.data(), 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(StartDocPort(port_, nullptr, 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(StartDocPort(port_, empty.data(), 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(EndDocPort((HANDLE)stranger));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(WritePort((HANDLE)stranger, buffer, 4, &n));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(ReadPort(nullptr, buffer, 4, &n));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(GetPrinterDataFromPort(nullptr, 1, nullptr, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // None of it touched the port or started a job.
    EXPECT_TRUE(pm_.Calls().empty());
    EXPECT_FALSE(TestFlags(Entry(), JobActive));
}

// ---------------------------------------------------------------- the printer handle

// A job for another printer marks that printer's job; a job for the same
// printer name uses the handle that is still open.
TEST_F(JobTest, AnotherPrinterNameReopensTheHandleTheSameNameReusesIt) {
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);

    long opens = PlatSpoolerOpenCount();
    ASSERT_TRUE(Start(1, PrinterB));
    EXPECT_EQ(PlatNarrow(Entry()->PrinterName), "Printer B");
    EXPECT_EQ(PlatSpoolerOpenCount(), opens + 1);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(1, PrinterB), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_TRUE(JobCommands(1, PrinterA).empty());
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    // The port below was started for the printer the job named.
    ASSERT_EQ(pm_.Calls(PortFn::StartDocPort).size(), 1u);
    EXPECT_EQ(pm_.Calls(PortFn::StartDocPort)[0].Printer, "Printer B");

    // A job whose StartDocPort fails (no memory for its job id) leaves the
    // handle open: the next job of the same printer takes it as it is.
    unsigned long before = PlatAllocationCount();
    ASSERT_TRUE(Start(2, PrinterB));
    unsigned long perStart = PlatAllocationCount() - before;
    ASSERT_TRUE(EndDocPort(port_));
    ASSERT_GE(perStart, 1u);
    opens = PlatSpoolerOpenCount();
    PlatFailAllocation(perStart); // the job id node is the start's last block
    EXPECT_FALSE(Start(3, PrinterB));
    PlatFailAllocation(0);
    EXPECT_FALSE(TestFlags(Entry(), JobActive));
    EXPECT_EQ(PlatSpoolerOpenCount(), opens + 1);
    EXPECT_EQ(PlatSpoolerOpenHandles(), 1);

    ASSERT_TRUE(Start(4, PrinterB));
    EXPECT_EQ(PlatSpoolerOpenCount(), opens + 1);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(4, PrinterB), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
}

// A printer that the spooler cannot open still prints; its jobs are simply
// not marked.
TEST_F(JobTest, UnknownPrinterPrintsWithoutMarks) {
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);
    WString unknown = WSTR("Gone");
    ASSERT_TRUE(StartDocPort(port_, unknown.data(), 5, 1, doc_.Bytes()));
    EXPECT_EQ(Entry()->PrinterHandle, nullptr);
    EXPECT_TRUE(Write("data").Result);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Written(), "data");
    EXPECT_TRUE(PlatSpoolerJobControls().empty());
}

// ---------------------------------------------------------------- the port below fails

// The port monitor cannot open the port at first: the spooler's writes wait
// (nothing written, success) until it opens; then the document starts with
// the document information the job began with, at its level (a level
// unknown to the monitor as level 1), and the data goes out in the same call.
TEST_F(JobTest, OpenFailingAtStartSucceedsAtTheThirdWrite) {
    ASSERT_NE(Open(), nullptr);
    pm_.FailCall(PortFn::OpenPort, 1, ERROR_ACCESS_DENIED, 3);
    pm_.SetDeviceId(PlainDeviceId);

    ASSERT_TRUE(Start(12, PrinterA, 2));
    EXPECT_TRUE(TestFlags(Entry(), OpenPending));
    EXPECT_GE(GlobalSize((HGLOBAL)Entry()->DocInfo), sizeof(DOC_INFO_2W));
    // The spooler's document information is its own: the job keeps a copy.
    doc_.Name.assign(doc_.Name.size(), u'x');
    doc_.Info = {};

    for (int call = 1; call <= 2; call++) {
        WriteResult r = Write("payload");
        EXPECT_TRUE(r.Result) << call;
        EXPECT_EQ(r.Written, 0u) << call;
        EXPECT_EQ(r.Error, (DWORD)ERROR_ACCESS_DENIED) << call;
    }
    EXPECT_EQ(pm_.CallCount(PortFn::WritePort), 0u);

    WriteResult r = Write("payload");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 7u);
    EXPECT_EQ(pm_.CallCount(PortFn::OpenPort), 4u);
    auto starts = pm_.Calls(PortFn::StartDocPort);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].Printer, "Printer A");
    EXPECT_EQ(starts[0].JobId, 12u);
    EXPECT_EQ(starts[0].Level, 2u);
    EXPECT_EQ(starts[0].DocName, "Report.txt");
    EXPECT_EQ(starts[0].OutputFile, "out.prn");
    EXPECT_EQ(starts[0].Datatype, "RAW");
    EXPECT_EQ(starts[0].DocMode, (DWORD)DI_CHANNEL);
    EXPECT_EQ(starts[0].DocJobId, 0x5CA1u);
    // The job mode was decided with the port open: the device ID was asked.
    EXPECT_EQ(pm_.CallCount(PortFn::GetPrinterDataFromPort), 1u);
    EXPECT_FALSE(TestFlags(Entry(), JobLanguageOn));
    EXPECT_TRUE(pm_.Written().ends_with("payload"));

    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 1u);
    EXPECT_EQ(pm_.OpenHandles(), 0);
    EXPECT_EQ(JobCommands(12), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));

    pm_.FailCall(PortFn::OpenPort, 5, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(Start(13, PrinterA, 7));
    EXPECT_EQ(Write("payload").Written, 7u);
    EXPECT_EQ(pm_.Calls(PortFn::StartDocPort).back().Level, 1u);
    EXPECT_TRUE(EndDocPort(port_));
}

// A port that never opens: the job ends without ending or closing a port it
// never had; a port whose document never starts is closed but not ended.
TEST_F(JobTest, EndDocPortEndsAndClosesOnlyWhatWasOpened) {
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);

    pm_.FailCall(PortFn::OpenPort, 1, ERROR_ACCESS_DENIED, 0);
    ASSERT_TRUE(Start(1));
    EXPECT_EQ(Write("x").Written, 0u);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.CallCount(PortFn::StartDocPort), 0u);
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 0u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 0u);
    EXPECT_EQ(Entry()->DocInfo, nullptr);

    pm_.Reset();
    pm_.FailCall(PortFn::StartDocPort, 1, ERROR_GEN_FAILURE, 0);
    ASSERT_TRUE(Start(2));
    EXPECT_TRUE(TestFlags(Entry(), StartPending));
    EXPECT_FALSE(TestFlags(Entry(), OpenPending));
    WriteResult r = Write("x");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(r.Error, (DWORD)ERROR_GEN_FAILURE);
    // A pending start is retried without opening again.
    EXPECT_EQ(pm_.CallCount(PortFn::OpenPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::StartDocPort), 2u);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 0u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 1u);
    EXPECT_EQ(pm_.OpenHandles(), 0);
}

// A port monitor lacking entry points is never called through a null slot:
// its calls count as failed with ERROR_NOT_SUPPORTED.
TEST_F(JobTest, MissingPortMonitorSlotsFailInsteadOfCrashing) {
    REQUIRE_NT4_CONTRACT("a MONITOR2 without these slots is refused (ContractTest)");
    pm_.RemoveSlot(PortFn::WritePort);
    pm_.RemoveSlot(PortFn::ReadPort);
    pm_.RemoveSlot(PortFn::EndDocPort);
    pm_.RemoveSlot(PortFn::ClosePort);
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(1));

    WriteResult r = Write("data");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(r.Error, (DWORD)ERROR_NOT_SUPPORTED);
    BYTE buffer[8];
    DWORD read = 99;
    SetLastError(0);
    EXPECT_FALSE(ReadPort(port_, buffer, sizeof buffer, &read));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(EndDocPort(port_));
    ClosePort(port_);
    port_ = nullptr;

    // Without an open or a start the port stays deferred for ever: the
    // writes wait, nothing crashes, the job still ends.
    pm_.Reset();
    pm_.RemoveSlot(PortFn::OpenPort);
    pm_.RemoveSlot(PortFn::StartDocPort);
    ASSERT_NE(Open(WSTR("LPT2:")), nullptr);
    ASSERT_TRUE(Start(2));
    r = Write("data");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(r.Error, (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_TRUE(pm_.Calls().empty());
}

// ---------------------------------------------------------------- plain jobs

// A job the printer gets unchanged: the port monitor's answer, bytes and last
// error reach the spooler as they are.
TEST_F(JobTest, PlainJobPassesThePortMonitorsAnswerThrough) {
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(3));
    EXPECT_FALSE(TestFlags(Entry(), PrefixPending));

    pm_.SetWriteCap(4);
    WriteResult r = Write("abcdefgh");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 4u);

    pm_.FailCall(PortFn::WritePort, 2, ERROR_WRITE_FAULT);
    r = Write("efgh");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(r.Error, (DWORD)ERROR_WRITE_FAULT);
    EXPECT_TRUE(TestFlags(Entry(), WriteFailed));

    r = Write("efgh");
    EXPECT_TRUE(r.Result);
    EXPECT_FALSE(TestFlags(Entry(), WriteFailed));
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Written(), "abcdefgh");

    // No agent: nothing but the port's own calls and the ejected mark.
    EXPECT_EQ(pm_.CallNames(), (Names{"OpenPort", "StartDocPort", "WritePort", "WritePort",
                                      "WritePort", "EndDocPort", "ClosePort"}));
    EXPECT_EQ(AgentDouble::CallNames(), (Names{"Vorl_LMGetEntryPoints", "AgentQuery"}));
    EXPECT_EQ(JobCommands(3), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_TRUE(PendingIds(Entry()).empty());
}

// Reading and printer data go to the port monitor; by value name they are
// refused even when the port monitor could answer.
TEST_F(JobTest, ReadAndPrinterDataAreForwardedButNotByValueName) {
    ASSERT_NE(Open(), nullptr);
    ASSERT_TRUE(PortOpen(Entry()));
    pm_.QueueRead("status");
    pm_.SetPrinterData(0x22, "answer");

    BYTE buffer[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadPort(port_, buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string((char *)buffer, read), "status");

    WCHAR out[16] = {};
    DWORD returned = 0;
    EXPECT_TRUE(
        GetPrinterDataFromPort(port_, 0x22, nullptr, nullptr, 0, out, sizeof out, &returned));
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(std::string((char *)out, returned), "answer");

    WString value = WSTR("Anything");
    SetLastError(0);
    EXPECT_FALSE(
        GetPrinterDataFromPort(port_, 0, value.data(), nullptr, 0, out, sizeof out, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(pm_.CallCount(PortFn::GetPrinterDataFromPort), 1u);

    pm_.RemoveSlot(PortFn::GetPrinterDataFromPort);
    ClosePort(port_);
    ASSERT_NE(Open(), nullptr);
    ASSERT_TRUE(PortOpen(Entry()));
    SetLastError(0);
    EXPECT_FALSE(
        GetPrinterDataFromPort(port_, 0x22, nullptr, nullptr, 0, out, sizeof out, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------- the status agent

// The agent holds the job three times: each of those writes waits with
// nothing written, the fourth write goes out. The first write of the job is
// reported once.
TEST_F(JobTest, AgentHoldingThreeTimesThenAccepting) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    AgentDouble::HoldJobStart(4); // StartDocPort's announcement and three writes

    ASSERT_TRUE(Start(21));
    EXPECT_FALSE(TestFlags(Entry(), AgentStartDone));
    size_t writesBefore = pm_.CallCount(PortFn::WritePort);
    for (int call = 1; call <= 3; call++) {
        WriteResult r = Write("data");
        EXPECT_TRUE(r.Result) << call;
        EXPECT_EQ(r.Written, 0u) << call;
        EXPECT_EQ(r.Error, UntouchedError) << call;
    }
    EXPECT_EQ(pm_.CallCount(PortFn::WritePort), writesBefore);

    WriteResult r = Write("data");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 4u);
    EXPECT_TRUE(pm_.Written().ends_with("data"));
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart").size(), 5u);
    EXPECT_EQ(StatusCount(AGENT_STATUS_DATA_STARTED), 1u);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(AgentDouble::Calls("AgentJobEnd").size(), 1u);
}

// The agent cancels the job: it is cancelled in the spooler once, reported,
// and nothing of it reaches the printer; without a printer handle there is
// nothing to cancel in the spooler, but the data is still dropped.
TEST_F(JobTest, AgentCancellingTheJob) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);

    ASSERT_TRUE(Start(31));
    EXPECT_TRUE(TestFlags(Entry(), JobCancelled));
    size_t writesBefore = pm_.CallCount(PortFn::WritePort);
    for (int call = 1; call <= 3; call++) {
        WriteResult r = Write("secret");
        EXPECT_TRUE(r.Result);
        EXPECT_EQ(r.Written, 0u);
    }
    EXPECT_EQ(pm_.CallCount(PortFn::WritePort), writesBefore);
    EXPECT_EQ(pm_.Written().find("secret"), std::string::npos);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(31), (Commands{JOB_CONTROL_CANCEL, JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(StatusCount(AGENT_STATUS_CANCELLED), 1u);

    // The next job on the port is not cancelled by the last one's mark.
    AgentDouble::SetJobStartAnswer(0);
    ASSERT_TRUE(Start(32));
    EXPECT_EQ(Write("fine").Written, 4u);
    EXPECT_TRUE(EndDocPort(port_));

    // A cancel that the spooler refuses is not reported as done.
    AgentDouble::ClearCalls();
    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);
    PlatSpoolerSetJobResult(false);
    ASSERT_TRUE(Start(33));
    EXPECT_EQ(Write("x").Written, 0u);
    EXPECT_EQ(StatusCount(AGENT_STATUS_CANCELLED), 0u);
    EXPECT_TRUE(EndDocPort(port_));
    PlatSpoolerSetJobResult(true);

    // No printer handle: no SetJobW, no report, the data is still dropped.
    AgentDouble::ClearCalls();
    size_t controls = PlatSpoolerJobControls().size();
    WString unknown = WSTR("Gone");
    ASSERT_TRUE(StartDocPort(port_, unknown.data(), 34, 1, doc_.Bytes()));
    WriteResult r = Write("secret");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(PlatSpoolerJobControls().size(), controls);
    EXPECT_EQ(StatusCount(AGENT_STATUS_CANCELLED), 0u);
    EXPECT_EQ(pm_.Written().find("secret"), std::string::npos);
}

// On an LPR port the agent hears of the job before the port opens, without
// a model; elsewhere after the job mode is decided, with the model when the
// job talks the job language.
TEST_F(JobTest, AgentJobStartOrderOnLprAndOtherPorts) {
    WString lprKey = WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR Port\\Ports\\"
                          "queue@host");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, lprKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    pm_.SetDeviceId(TklDeviceId);

    // Where the port below stands at each AgentJobStart.
    std::vector<Names> seen;
    AgentDouble::SetHook([&](const AgentDouble::Call &call) {
        if (call.Name == "AgentJobStart")
            seen.push_back(pm_.CallNames());
    });

    ASSERT_NE(Open(WSTR("queue@host")), nullptr);
    ASSERT_TRUE(TestFlags(Entry(), LprPort));
    ASSERT_TRUE(Start(41));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].empty());
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "");
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].JobId, 41u);
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Port, "queue@host");
    EXPECT_TRUE(EndDocPort(port_));
    ClosePort(port_);
    port_ = nullptr;

    // Not LPR, the printer talks the job language: after the device ID.
    pm_.Reset();
    pm_.SetDeviceId(TklDeviceId);
    seen.clear();
    AgentDouble::ClearCalls();
    ASSERT_NE(Open(WSTR("LPT1:")), nullptr);
    ASSERT_TRUE(Start(42));
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_GE(seen[0].size(), 4u);
    EXPECT_EQ(Names(seen[0].begin(), seen[0].begin() + 4),
              (Names{"OpenPort", "StartDocPort", "GetPrinterDataFromPort", "SetPortTimeOuts"}));
    EXPECT_TRUE(TestFlags(Entry(), JobLanguageOn));
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "RVT-201 Office");
    EXPECT_TRUE(EndDocPort(port_));

    // Not LPR, a plain printer: still after the decision, without a model.
    pm_.SetDeviceId(PlainDeviceId);
    seen.clear();
    AgentDouble::ClearCalls();
    ASSERT_TRUE(Start(43));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(std::count(seen[0].begin(), seen[0].end(), "GetPrinterDataFromPort"), 2);
    EXPECT_FALSE(TestFlags(Entry(), JobLanguageOn));
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "");
    EXPECT_TRUE(EndDocPort(port_));
}

// ---------------------------------------------------------------- the command ahead of the data

// A port monitor that takes the job-start command in pieces: the spooler's
// calls write nothing of the job until the command is through, and the call
// that completes it carries the data too.
TEST_F(JobTest, CommandPrefixWrittenInPiecesAcrossCalls) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(0x2A));
    ASSERT_TRUE(TestFlags(Entry(), JobLanguageOn));
    ASSERT_TRUE(TestFlags(Entry(), PrefixPending));
    std::string command = PendingText(Entry());
    ASSERT_GT(command.size(), 40u) << "needs the parser library";
    EXPECT_NE(command.find("+LPT"), std::string::npos);
    EXPECT_NE(command.find("0000002A"), std::string::npos);

    // 30 bytes per call for the command, then whatever is offered.
    std::vector<DWORD> pieces;
    size_t left = command.size();
    while (left > 30) {
        pieces.push_back(30);
        left -= 30;
    }
    pm_.ScriptWrites(pieces);
    pm_.ClearCalls();
    for (size_t call = 0; call < pieces.size(); call++) {
        WriteResult r = Write("DATA");
        EXPECT_TRUE(r.Result) << call;
        EXPECT_EQ(r.Written, 0u) << call;
        EXPECT_EQ(r.Error, 0u) << call;
        EXPECT_FALSE(TestFlags(Entry(), StartSent)) << call;
    }
    WriteResult r = Write("DATA");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 4u);
    EXPECT_EQ(r.Error, 0u);
    EXPECT_TRUE(TestFlags(Entry(), StartSent));
    EXPECT_EQ(pm_.Written(), command + "DATA");
    // Every call but the last offered only the rest of the command.
    auto writes = pm_.Calls(PortFn::WritePort);
    ASSERT_EQ(writes.size(), pieces.size() + 2);
    EXPECT_EQ(writes[1].Data, command.substr(30));
    EXPECT_EQ(writes.back().Data, "DATA");
    // The status agent hears of the model's job tag only from an "RVT-101".
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_TAG), 0u);

    // The job end is bracketed too, and the job marked sent and ejected.
    pm_.ClearCalls();
    EXPECT_TRUE(EndDocPort(port_));
    ASSERT_GE(pm_.Calls(PortFn::WritePort).size(), 1u);
    EXPECT_NE(pm_.Written().find("0000002A"), std::string::npos);
    EXPECT_EQ(JobCommands(0x2A),
              (Commands{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_END), 1u);
}

// An "RVT-101" whose job-start command goes out in pieces: the agent gets the
// job tag report exactly once, when the command is complete.
TEST_F(JobTest, Rvt101JobTagReportedOnceWhenTheCommandIsComplete) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(Rvt101DeviceId);
    ASSERT_TRUE(Start(0x51));
    ASSERT_TRUE(TestFlags(Entry(), JobLanguageOn));
    std::string command = PendingText(Entry());
    ASSERT_GT(command.size(), 4u) << "needs the parser library";

    pm_.ScriptWrites({2, 2});
    EXPECT_EQ(Write("DATA").Written, 0u);
    EXPECT_EQ(Write("DATA").Written, 0u);
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_TAG), 0u);
    EXPECT_EQ(Write("DATA").Written, 4u);
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_TAG), 1u);
    EXPECT_EQ(Write("MORE").Written, 4u);
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_TAG), 1u);
    EXPECT_EQ(pm_.Written().substr(0, command.size()), command);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_TAG), 1u);
}

// Without the parser library no command can be built: the empty command
// counts as sent at the first write (one write of nothing, then the data in
// the same call) and the job is treated as bracketed at its end.
TEST_F(JobTest, BuilderFailingLeavesAnEmptyCommandThatCountsAsSent) {
    UseLibraries(false);
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(61));
    ASSERT_TRUE(TestFlags(Entry(), JobLanguageOn));
    ASSERT_TRUE(TestFlags(Entry(), PrefixPending));
    EXPECT_EQ(Entry()->PendingLength, 0u);
    EXPECT_EQ(Entry()->PendingCommand, nullptr);

    pm_.ClearCalls();
    WriteResult r = Write("DATA");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 4u);
    auto writes = pm_.Calls(PortFn::WritePort);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Count, 0u);
    EXPECT_EQ(writes[1].Data, "DATA");
    EXPECT_TRUE(TestFlags(Entry(), StartSent));

    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_END), 1u);
    EXPECT_EQ(JobCommands(61),
              (Commands{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
}

// The builder failing for the job-start command only (no memory): the job
// starts without the command, and the job-end command still goes out.
TEST_F(JobTest, BuilderFailingForTheStartStillSendsTheJobEnd) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(TklDeviceId);
    // The read time-outs are set right before the command is built: the
    // builder's first block is the next allocation.
    pm_.SetHook([](const PortMonitorCall &call) {
        if (call.Function == PortFn::SetPortTimeOuts)
            PlatFailAllocation(1);
    });
    ASSERT_TRUE(Start(62));
    PlatFailAllocation(0);
    pm_.SetHook(nullptr);
    ASSERT_TRUE(TestFlags(Entry(), PrefixPending));
    EXPECT_EQ(Entry()->PendingLength, 0u);

    pm_.ClearCalls();
    EXPECT_EQ(Write("DATA").Written, 4u);
    EXPECT_EQ(pm_.Written(), "DATA");
    pm_.ClearCalls();
    EXPECT_TRUE(EndDocPort(port_));
    std::string end = pm_.Written();
    EXPECT_GT(end.size(), 0u) << "needs the parser library";
    EXPECT_NE(end.find("0000003E"), std::string::npos);
}

// The agent's notification address goes ahead of a plain printer's data.
TEST_F(JobTest, PlainPrinterWithAgentGetsTheNotificationAddressFirst) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    ASSERT_TRUE(Start(71));
    EXPECT_FALSE(TestFlags(Entry(), JobLanguageOn));
    EXPECT_TRUE(TestFlags(Entry(), PrefixPending));
    std::string command = PendingText(Entry());
    ASSERT_GT(command.size(), 0u) << "needs the parser library";
    EXPECT_NE(command.find("+UDP"), std::string::npos);

    pm_.ClearCalls();
    EXPECT_EQ(Write("DATA").Written, 4u);
    EXPECT_EQ(pm_.Written(), command + "DATA");
    // The printer got a command: the job-end command closes the bracket, with
    // the same notification address; the job is marked ejected only.
    pm_.ClearCalls();
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.CallNames(), (Names{"WritePort", "EndDocPort", "ClosePort"}));
    EXPECT_NE(pm_.Written().find("+UDP"), std::string::npos);
    EXPECT_NE(pm_.Written().find("00000047"), std::string::npos);
    EXPECT_EQ(JobCommands(71), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_END), 1u);
    EXPECT_TRUE(PendingIds(Entry()).empty());
}

// A job that talks the job language hears of failed writes from the printer
// itself: the spooler sees success with the port monitor's count.
TEST_F(JobTest, JobLanguageJobReportsFailedWritesAsSuccess) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(81));
    ASSERT_TRUE(TestFlags(Entry(), JobLanguageOn));
    ASSERT_EQ(Write("DATA").Written, 4u);

    pm_.FailCall(PortFn::WritePort, (unsigned)pm_.CallCount(PortFn::WritePort) + 1,
                 ERROR_WRITE_FAULT);
    WriteResult r = Write("MORE");
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(r.Error, 0u);
    EXPECT_TRUE(TestFlags(Entry(), WriteFailed));
    EXPECT_EQ(Write("MORE").Written, 4u);
    EXPECT_FALSE(TestFlags(Entry(), WriteFailed));
    EXPECT_TRUE(EndDocPort(port_));
}

// ---------------------------------------------------------------- spooler marks

// What the spooler is told of each kind of job, in order.
TEST_F(JobTest, SetJobSequencesOfJobLanguageAndPlainJobs) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(91));
    EXPECT_TRUE(PlatSpoolerJobControls().empty());
    WriteAll("job-language job");
    EXPECT_TRUE(PlatSpoolerJobControls().empty());
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(91),
              (Commands{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));

    pm_.SetDeviceId(PlainDeviceId);
    ASSERT_TRUE(Start(92));
    WriteAll("plain job");
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(92), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));

    // The agent turning the job language off during the job makes it plain.
    pm_.SetDeviceId(TklDeviceId);
    AgentDouble::SetStatusAnswer(1);
    ASSERT_TRUE(Start(93));
    WriteAll("data"); // the first-data report is answered non-zero
    EXPECT_FALSE(TestFlags(Entry(), JobLanguageOn));
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(93), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));

    // Every mark went to the right printer and job.
    for (const PlatJobControl &control : PlatSpoolerJobControls()) {
        EXPECT_EQ(PlatNarrow(control.Printer), "Printer A");
        EXPECT_TRUE(control.Succeeded);
    }
}

// ---------------------------------------------------------------- the job id list

// The pending job ids [5, 3, 5] (newest first): an id removes its oldest
// entry and every older one; an unknown id changes nothing; the value for
// all empties the list. The agent hears of each id removed on a report.
TEST_F(JobTest, JobIdListRemovals) {
    REQUIRE_LINKED_MONITOR("job-id list");
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);

    Pending(e, {5, 3, 5});
    AgentDouble::ClearCalls();
    RemoveJobIds(e, 5, TRUE);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5, 3}));
    EXPECT_EQ(StatusCalls(), (std::vector<std::pair<DWORD, DWORD>>{{5, AGENT_STATUS_JOB_DONE}}));

    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
    Pending(e, {5, 3, 5});
    AgentDouble::ClearCalls();
    RemoveJobIds(e, 3, TRUE);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5}));
    EXPECT_EQ(StatusCalls(), (std::vector<std::pair<DWORD, DWORD>>{{3, AGENT_STATUS_JOB_DONE},
                                                                   {5, AGENT_STATUS_JOB_DONE}}));

    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
    Pending(e, {5, 3, 5});
    AgentDouble::ClearCalls();
    RemoveJobIds(e, 7, TRUE);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5, 3, 5}));
    EXPECT_TRUE(StatusCalls().empty());

    RemoveJobIds(e, ALL_JOB_IDS, TRUE);
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_EQ(StatusCalls(), (std::vector<std::pair<DWORD, DWORD>>{{5, AGENT_STATUS_CANCELLED},
                                                                   {3, AGENT_STATUS_CANCELLED},
                                                                   {5, AGENT_STATUS_CANCELLED}}));

    // Without the agent taking part nothing is reported.
    ClearFlags(e, AgentActive);
    Pending(e, {1, 2});
    AgentDouble::ClearCalls();
    RemoveJobIds(e, 2, TRUE);
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_TRUE(StatusCalls().empty());

    // The search finds the oldest entry and its predecessor.
    Pending(e, {5, 3, 5});
    JobIdNode *before = (JobIdNode *)1;
    EnterMonitorLock();
    JobIdNode *found = FindJobId(e, 5, &before);
    EXPECT_NE(found, nullptr);
    EXPECT_EQ(found->Next, nullptr);
    EXPECT_NE(before, nullptr);
    EXPECT_EQ(before->JobId, 3u);
    EXPECT_EQ(FindJobId(e, 9, &before), nullptr);
    EXPECT_EQ(before, nullptr);
    LeaveMonitorLock();
    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
}

// A spooler job id of 0xFFFFFFFF is a job like any other where one job's id
// is meant; only the explicit request for all empties the list.
TEST_F(JobTest, JobIdFFFFFFFFIsOneJobWhereOneJobIsMeant) {
    REQUIRE_LINKED_MONITOR("job-id list");
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);

    Pending(e, {3, 0xFFFFFFFF, 7});
    AgentDouble::ClearCalls();
    RemoveJobIdAndOlder(e, 0xFFFFFFFF, TRUE);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{7}));
    EXPECT_EQ(StatusCalls(), (std::vector<std::pair<DWORD, DWORD>>{
                                 {0xFFFFFFFF, AGENT_STATUS_JOB_DONE}, {3, AGENT_STATUS_JOB_DONE}}));
    // The ordinary ids behave the same through both calls.
    Pending(e, {4});
    RemoveJobIdAndOlder(e, 7, FALSE);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{4}));
    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
    ClearFlags(e, AgentActive);

    // A plain job with that id, started while an older job with the same id
    // and a later one are pending (a draining status thread's list): its end
    // drops from the oldest entry of the id on, nothing newer.
    Pending(e, {2, 0xFFFFFFFF, 9});
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(0xFFFFFFFF));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{0xFFFFFFFF, 9, 0xFFFFFFFF, 2}));
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{0xFFFFFFFF, 9}));
    EXPECT_EQ(JobCommands(0xFFFFFFFF), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
}

// A plain job's id is dropped at its end; a job-language job's id stays
// until the printer reports the job done.
TEST_F(JobTest, JobIdsKeptOnlyForJobsThePrinterWillReport) {
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    ASSERT_TRUE(Start(100));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{100}));
    WriteAll("x");
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_TRUE(PendingIds(e).empty());

    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(101));
    WriteAll("x");
    ASSERT_TRUE(TestFlags(e, StartSent));
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{101}));

    // A job-language job whose command never went out is not awaited; its
    // id is cut from the list with every older one.
    ASSERT_TRUE(Start(102));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{102, 101}));
    AgentDouble::ClearCalls();
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_DONE) + StatusCount(AGENT_STATUS_CANCELLED), 0u);
}

// ---------------------------------------------------------------- closing and races

// A second EndDocPort touches nothing. A port closed in the middle of a job
// releases what the job holds, once: the port below as far as it was opened
// and started (by the status thread's exit when one runs), the agent's part,
// the printer handle, the buffers and job ids, without ending the job as
// printed (no job-end text, no marks, no 0x80).
TEST_F(JobTest, ClosePortDuringAnActiveJobLeaksNothing) {
    long baseline = PlatLiveBlocks();
    ASSERT_NE(Open(), nullptr);
    ASSERT_TRUE(Start(110));
    WriteAll("DATA");
    ASSERT_TRUE(EndDocPort(port_));
    size_t calls = pm_.Calls().size(), agentCalls = AgentDouble::Calls().size();
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.Calls().size(), calls);
    EXPECT_EQ(AgentDouble::Calls().size(), agentCalls);
    EXPECT_EQ(JobCommands(110), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_TRUE(ClosePort(port_));

    // Started on a retry (with a thread), started, only opened, not opened.
    const struct {
        const char *DeviceId;
        PortFn Fails;
        unsigned Times; // 0: no failure; 9: every call
        size_t Ends, Closes;
    } cases[] = {{TklDeviceId, PortFn::StartDocPort, 1, 1, 1},
                 {PlainDeviceId, PortFn::StartDocPort, 0, 1, 1},
                 {PlainDeviceId, PortFn::StartDocPort, 9, 0, 1},
                 {PlainDeviceId, PortFn::OpenPort, 9, 0, 0}};
    for (const auto &c : cases) {
        pm_.Reset();
        AgentDouble::ClearCalls();
        ASSERT_NE(Open(), nullptr);
        pm_.SetDeviceId(c.DeviceId);
        if (c.Times != 0)
            pm_.FailCall(c.Fails, 1, ERROR_GEN_FAILURE, c.Times == 9 ? 0 : c.Times);
        ASSERT_TRUE(Start(111));
        pm_.ScriptWrites({1}); // a byte of the command ahead of the data
        ASSERT_EQ(Write("DATA").Written, 0u);
        ASSERT_EQ(TestFlags(Entry(), ThreadRunning), c.DeviceId == TklDeviceId);
        Pending(Entry(), {1, 2});
        std::string written = pm_.Written();
        EXPECT_TRUE(ClosePort(port_));
        port_ = nullptr;
        EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), c.Ends) << c.DeviceId << c.Times;
        EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), c.Closes) << c.DeviceId << c.Times;
        EXPECT_EQ(pm_.OpenHandles(), 0);
        EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
        EXPECT_EQ(AgentDouble::Calls("AgentJobEnd").size(), 1u);
        EXPECT_EQ(pm_.Written(), written);
        EXPECT_TRUE(JobCommands(111).empty());
        EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_END), 0u);
    }
    EXPECT_EQ(PlatLiveBlocks(), baseline);
}

// A job that starts while the port's status thread is on its way out (its
// exit work runs under the monitor's lock and closes the port below) waits
// for the exit and then opens the port anew instead of using the closed one.
TEST_F(JobTest, StartDuringStatusThreadExitOpensThePortAnew) {
    REQUIRE_LINKED_MONITOR("lock");
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    AgentDouble::SetQueryAnswer(-1);
    // An earlier job left the port started for a status thread.
    ASSERT_TRUE(PortOpen(e));
    WString printer = PrinterA;
    ASSERT_TRUE(PortStartDoc(e, printer.data(), 1, 1, nullptr));
    SetFlags(e, PortStarted | ThreadRunning);
    HANDLE oldHandle = e->PortHandle;

    // The thread's exit holds the lock while the job starts; it ends and
    // closes the port once the job is past its agent query.
    std::atomic<bool> queried{false};
    AgentDouble::SetHook([&](const AgentDouble::Call &call) {
        if (call.Name == "AgentQuery")
            queried = true;
    });
    EnterMonitorLock();
    std::thread job([&] { EXPECT_TRUE(Start(2)); });
    while (!queried)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ClearFlags(e, PortStarted);
    PortEndDoc(e);
    PortClose(e);
    ClearFlags(e, ThreadRunning);
    LeaveMonitorLock();
    job.join();

    EXPECT_TRUE(TestFlags(e, PortStarted));
    EXPECT_NE(e->PortHandle, oldHandle);
    EXPECT_EQ(pm_.CallCount(PortFn::OpenPort), 2u);
    EXPECT_EQ(pm_.CallCount(PortFn::StartDocPort), 2u);
    EXPECT_EQ(Write("DATA").Written, 4u);
    EXPECT_EQ(pm_.Calls(PortFn::WritePort).back().Handle, e->PortHandle);
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(pm_.OpenHandles(), 0);
}

// ---------------------------------------------------------------- with a status thread

// Waits (real time, bounded) until `done` holds.
bool Eventually(const std::function<bool()> &done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A job-language job ends for the spooler at once, marked sent and ejected;
// the port below, the printer handle and the agent's job end wait for the
// printer's report of the job's end, which the status thread reads.
TEST_F(JobTest, JobLanguageJobEndsAtOnceAndTheThreadFinishesThePort) {
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(0x61));
    ASSERT_TRUE(TestFlags(e, ThreadRunning));
    WriteAll("DATA");
    ASSERT_TRUE(TestFlags(e, StartSent));

    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(0x61),
              (Commands{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 0u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 0u);
    EXPECT_EQ(PlatSpoolerOpenHandles(), 1);
    EXPECT_TRUE(AgentDouble::Calls("AgentJobEnd").empty());
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{0x61}));

    pm_.QueueRead(JobDoneResponse(0x61));
    ASSERT_TRUE(Eventually([&] { return !TestFlags(e, ThreadRunning); }));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 1u);
    EXPECT_EQ(pm_.OpenHandles(), 0);
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    EXPECT_EQ(AgentDouble::Calls("AgentJobEnd").size(), 1u);
    EXPECT_EQ(StatusCount(AGENT_STATUS_JOB_DONE), 1u);
    EXPECT_TRUE(PendingIds(e).empty());
    // The spooler was told of the job once.
    EXPECT_EQ(JobCommands(0x61).size(), 2u);
}

// The next job arrives while the printer still owes a report: it goes out on
// the port left open, an "RVT-101" is not asked for its device ID again, and
// the same thread goes on. One report of the newer job releases both.
TEST_F(JobTest, NextJobWhileThePrinterOwesAReportReusesPortAndThread) {
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    pm_.SetDeviceId(Rvt101DeviceId);
    ASSERT_TRUE(Start(1));
    ASSERT_TRUE(TestFlags(e, ThreadRunning));
    WriteAll("one");
    ASSERT_TRUE(EndDocPort(port_));
    HANDLE wake = LoadHandle(e->WakeEvent);
    ASSERT_NE(wake, nullptr);

    pm_.ClearCalls();
    AgentDouble::ClearCalls();
    ASSERT_TRUE(Start(2));
    EXPECT_EQ(pm_.CallCount(PortFn::OpenPort), 0u);
    EXPECT_EQ(pm_.CallCount(PortFn::StartDocPort), 0u);
    EXPECT_EQ(pm_.CallCount(PortFn::GetPrinterDataFromPort), 0u);
    EXPECT_TRUE(TestFlags(e, JobLanguageOn));
    EXPECT_EQ(LoadHandle(e->WakeEvent), wake);
    ASSERT_EQ(AgentDouble::Calls("AgentJobStart").size(), 1u);
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "RVT-101");
    WriteAll("two");
    EXPECT_NE(pm_.Written().find("two"), std::string::npos);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{2, 1}));

    // "RVT-101" reports a job's end with its own item.
    pm_.QueueRead(TklString(208, JobTag(2)) + "\f");
    ASSERT_TRUE(Eventually([&] { return !TestFlags(e, ThreadRunning); }));
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 1u);
    EXPECT_EQ(pm_.OpenHandles(), 0);
}

// A plain job left to a draining thread (its id shares the list with an
// older job of the same id, which the printer still owes) is still marked
// ejected for the spooler.
TEST_F(JobTest, PlainJobHandedToADrainingThreadIsStillMarkedEjected) {
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(5));
    WriteAll("language");
    ASSERT_TRUE(EndDocPort(port_));
    ASSERT_TRUE(TestFlags(e, ThreadRunning));

    pm_.SetDeviceId(PlainDeviceId);
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(5, PrinterB));
    EXPECT_FALSE(TestFlags(e, JobLanguageOn));
    WriteAll("plain");
    ASSERT_TRUE(EndDocPort(port_));
    // Cut at the older 5: the thread still waits for nothing of it, but owns
    // the port until it ends.
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5}));
    EXPECT_EQ(JobCommands(5, PrinterB), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 0u);
}

// A job-language write that fails hands the connection to the status thread
// for one read of the printer's answer before the spooler hears of it.
TEST_F(JobTest, FailedJobLanguageWriteWaitsForOneReadOfTheThread) {
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(0x71));
    ASSERT_TRUE(TestFlags(e, ThreadRunning));
    WriteAll("DATA");

    // Reads after the failed write while the spooler's call has not returned:
    // the writer held the connection until the failure, so only a hand-over
    // lets the thread read then.
    std::atomic<bool> inWrite{false}, failed{false};
    std::atomic<int> readsAfterFailure{0};
    pm_.SetHook([&](const PortMonitorCall &call) {
        if (call.Function == PortFn::WritePort && !call.Result)
            failed = true;
        if (call.Function == PortFn::ReadPort && inWrite && failed)
            readsAfterFailure++;
    });
    pm_.FailCall(PortFn::WritePort, (unsigned)pm_.CallCount(PortFn::WritePort) + 1,
                 ERROR_WRITE_FAULT);
    inWrite = true;
    WriteResult r = Write("MORE");
    inWrite = false;
    pm_.SetHook(nullptr);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(r.Error, 0u);
    EXPECT_GE(readsAfterFailure.load(), 1);
    EXPECT_TRUE(TestFlags(e, WriteFailed));
    // The connection came back: the next write goes through.
    EXPECT_EQ(Write("MORE").Written, 4u);
    EXPECT_TRUE(EndDocPort(port_));
}

// ---------------------------------------------------------------- pauses, names and late agents

// The test clock's Sleep calls of the calling thread while `run` runs.
std::vector<DWORD> SleepsDuring(const std::function<void()> &run) {
    PlatRecordWaits(true);
    run();
    PlatRecordWaits(false);
    std::vector<DWORD> sleeps;
    for (const PlatWait &w : PlatRecordedWaits())
        if (w.Slept && w.ThreadId == GetCurrentThreadId())
            sleeps.push_back(w.Milliseconds);
    return sleeps;
}

// A write that cannot pass data (agent holding the job, job cancelled, port
// below not yet open) paces the spooler with one 100 ms pause; a write that
// passes data does not pause.
TEST_F(JobTest, WritesThatCannotPassDataPauseOneHundredMilliseconds) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    const std::vector<DWORD> pause{100}, none;
    WriteResult r{};
    auto write = [&] { r = Write("data"); };

    AgentDouble::HoldJobStart(2); // StartDocPort's announcement and one write
    ASSERT_TRUE(Start(41));
    EXPECT_EQ(SleepsDuring(write), pause) << "held";
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(SleepsDuring(write), none) << "accepted";
    EXPECT_EQ(r.Written, 4u);
    ASSERT_TRUE(EndDocPort(port_));

    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);
    ASSERT_TRUE(Start(42));
    EXPECT_EQ(SleepsDuring(write), pause) << "cancelled";
    EXPECT_EQ(SleepsDuring(write), pause) << "cancelled";
    ASSERT_TRUE(EndDocPort(port_));

    AgentDouble::SetJobStartAnswer(0);
    pm_.FailCall(PortFn::OpenPort, (unsigned)pm_.CallCount(PortFn::OpenPort) + 1,
                 ERROR_ACCESS_DENIED, 2);
    ASSERT_TRUE(Start(43));
    EXPECT_EQ(SleepsDuring(write), pause) << "open deferred";
    EXPECT_EQ(r.Written, 0u);
    EXPECT_EQ(SleepsDuring([&] { WriteAll("data"); }), none) << "opened";
    ASSERT_TRUE(EndDocPort(port_));
}

// Printer names are compared as they are: a job for the same printer named
// in other case opens a handle of its own.
TEST_F(JobTest, PrinterNameDifferingOnlyInCaseReopensTheHandle) {
    ASSERT_NE(Open(), nullptr);
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Start(51, PrinterA));
    ASSERT_TRUE(EndDocPort(port_));
    long opens = PlatSpoolerOpenCount();
    WString lower = WSTR("printer a");
    ASSERT_TRUE(Start(52, lower));
    EXPECT_EQ(PlatSpoolerOpenCount(), opens + 1);
    EXPECT_EQ(PlatNarrow(Entry()->PrinterName), "printer a");
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(JobCommands(52, lower), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
}

// An agent that wants no reports for the job (AgentQuery non-zero) is asked
// again when the deferred open finally succeeds: a yes makes it take part
// from there on, and a cancel is carried out and reported (0x100) although
// the agent did not report the job.
TEST_F(JobTest, DeferredOpenAsksANonReportingAgentAgain) {
    ASSERT_NE(Open(), nullptr);
    pm_.SetDeviceId(PlainDeviceId);
    AgentDouble::SetQueryAnswer(1);
    for (LONG answer : std::initializer_list<LONG>{0, (LONG)AGENT_REPLY_CANCEL}) {
        SCOPED_TRACE("answer " + std::to_string(answer));
        AgentDouble::ClearCalls();
        AgentDouble::SetJobStartAnswer(answer);
        DWORD jobId = 60 + (DWORD)answer % 7;
        pm_.FailCall(PortFn::OpenPort, (unsigned)pm_.CallCount(PortFn::OpenPort) + 1,
                     ERROR_ACCESS_DENIED);
        ASSERT_TRUE(Start(jobId));
        EXPECT_FALSE(TestFlags(Entry(), AgentActive));
        EXPECT_TRUE(AgentDouble::Calls("AgentJobStart").empty());

        WriteAll("data", 3);
        EXPECT_EQ(AgentDouble::Calls("AgentJobStart").size(), 1u);
        EXPECT_TRUE(TestFlags(Entry(), AgentActive));
        ASSERT_TRUE(EndDocPort(port_));
        EXPECT_EQ(AgentDouble::Calls("AgentJobEnd").size(), 1u);
        if (answer == 0) {
            EXPECT_EQ(StatusCount(AGENT_STATUS_CANCELLED), 0u);
            EXPECT_EQ(JobCommands(jobId), (Commands{JOB_CONTROL_LAST_PAGE_EJECTED}));
        } else {
            std::vector<std::pair<DWORD, DWORD>> calls = StatusCalls();
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(calls[0], (std::pair<DWORD, DWORD>{jobId, AGENT_STATUS_CANCELLED}));
            EXPECT_EQ(JobCommands(jobId),
                      (Commands{JOB_CONTROL_CANCEL, JOB_CONTROL_LAST_PAGE_EJECTED}));
        }
    }
}

// The failed-write hand-over looks at the job language every second: when an
// agent answer turns it off during the thread's read, the writer stops
// waiting for that read after one wait of a second instead of waiting it out.
TEST_F(JobTest, FailedWriteHandOverStopsWaitingWhenTheJobLanguageEnds) {
    REQUIRE_LINKED_MONITOR("agent binding");
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    pm_.SetDeviceId(TklDeviceId);
    ASSERT_TRUE(Start(0x73));
    ASSERT_TRUE(TestFlags(e, ThreadRunning));
    WriteAll("DATA");

    // The thread's read after the failure: the agent answers a status call
    // with non-zero, then the read takes five seconds.
    std::atomic<bool> failed{false}, answered{false};
    pm_.SetHook([&](const PortMonitorCall &call) {
        if (call.Function == PortFn::WritePort && !call.Result)
            failed = true;
        if (call.Function == PortFn::ReadPort && failed && !answered) {
            answered = true;
            AgentDouble::SetStatusAnswer(1);
            AgentJobStatus(e, e->JobId, AGENT_STATUS_DATA_STARTED);
            Sleep(5000);
        }
    });
    pm_.FailCall(PortFn::WritePort, (unsigned)pm_.CallCount(PortFn::WritePort) + 1,
                 ERROR_WRITE_FAULT);
    PlatRecordWaits(true);
    WriteResult r = Write("MORE");
    PlatRecordWaits(false);
    pm_.SetHook(nullptr);
    EXPECT_TRUE(r.Result);
    EXPECT_EQ(r.Error, 0u);
    EXPECT_TRUE(answered);
    EXPECT_FALSE(TestFlags(e, JobLanguageOn));
    std::vector<DWORD> waits;
    for (const PlatWait &w : PlatRecordedWaits())
        if (!w.Slept && w.ThreadId == GetCurrentThreadId())
            waits.push_back(w.Milliseconds);
    EXPECT_EQ(waits, (std::vector<DWORD>{1000})) << "one bounded wait for the read";
    // The job goes on as a plain one.
    EXPECT_EQ(Write("MORE").Written, 4u);
    EXPECT_TRUE(EndDocPort(port_));
}

} // namespace
