// What only the Windows 2000 contract has: InitializePrintMonitor2 and its
// refusals, the port monitor's MONITOR2 refused or kept within its cbSize,
// Shutdown with a port and its status thread still there, and bidi requests
// forwarded inside and outside a job. The rest of that contract is every
// other case of the program run once more (QUENNET_TEST_CONTRACT=2000).
#include "status_fixture.h"

namespace {

// The port monitor's bidi slot: what it was asked and what it answers.
struct BidiRecord {
    std::vector<HANDLE> Handles;
    DWORD Answer = ERROR_SUCCESS;
};
BidiRecord Bidi;

DWORD WINAPI PortMonitorBidi(HANDLE port, DWORD, LPCWSTR, PBIDI_REQUEST_CONTAINER,
                             PBIDI_RESPONSE_CONTAINER *response) {
    Bidi.Handles.push_back(port);
    // The response container is the caller's, handed through untouched.
    if (response != nullptr)
        *response = (PBIDI_RESPONSE_CONTAINER)0x1234;
    return Bidi.Answer;
}

class Contract2000 : public StatusFixture {
  protected:
    void SetUp() override {
        StatusFixture::SetUp();
        Bidi = BidiRecord{};
        MONITORINIT init = {sizeof(MONITORINIT), nullptr, nullptr, nullptr, TRUE, nullptr};
        monitor2_ = InitializePrintMonitor2(&init, &instance_);
        ASSERT_NE(monitor2_, nullptr);
        below_ = contract::HandOver(portMonitor_.Table());
        below_->Monitor2.pfnSendRecvBidiDataFromPort = PortMonitorBidi;
    }
    void TearDown() override {
        if (instance_ != nullptr)
            Shutdown(instance_);
        port_ = nullptr; // closed by Shutdown
        StatusFixture::TearDown();
    }

    BOOL Open(LPMONITOR2 below, HANDLE instance = nullptr) {
        WString port = WSTR("LPT1:"), printer = WSTR("Printer");
        return OpenPortEx(instance != nullptr ? instance : instance_, below_, port.data(),
                          printer.data(), &port_, below);
    }
    DWORD Ask(HANDLE port) {
        response_ = nullptr;
        return SendRecvBidiDataFromPort(port, 0, WSTR("Get"), nullptr, &response_);
    }

    HANDLE instance_ = nullptr;
    LPMONITOR2 monitor2_ = nullptr;
    PBIDI_RESPONSE_CONTAINER response_ = nullptr;
    contract::PortMonitorAs2 *below_ = nullptr;
};

// ---------------------------------------------------------------- initialisation

TEST_F(Contract2000, InitialisationRefusesWhatIsNotALocalSpoolerAndFillsOnlyItsSlots) {
    // Through the bidi slot; the port-management, Xcv, time-out and Windows 7 slots empty.
    EXPECT_EQ(monitor2_->cbSize, offsetof(MONITOR2, pfnSendRecvBidiDataFromPort) + sizeof(void *));
    EXPECT_NE(monitor2_->pfnOpenPortEx, nullptr);
    EXPECT_NE(monitor2_->pfnShutdown, nullptr);
    EXPECT_NE(monitor2_->pfnSendRecvBidiDataFromPort, nullptr);
    EXPECT_NE(monitor2_->pfnGetPrinterDataFromPort, nullptr);
    EXPECT_EQ(monitor2_->pfnEnumPorts, nullptr);
    EXPECT_EQ(monitor2_->pfnOpenPort, nullptr);
    EXPECT_EQ(monitor2_->pfnSetPortTimeOuts, nullptr);
    EXPECT_EQ(monitor2_->pfnXcvOpenPort, nullptr);
    EXPECT_EQ(monitor2_->pfnNotifyUsedPorts, nullptr);

    struct Case {
        bool Init;
        DWORD Size;
        BOOL Local;
        DWORD Error;
    } cases[] = {
        {false, sizeof(MONITORINIT), TRUE, ERROR_INVALID_PARAMETER},
        {true, (DWORD)offsetof(MONITORINIT, bLocal), TRUE, ERROR_INVALID_PARAMETER},
        {true, sizeof(MONITORINIT), FALSE, ERROR_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        MONITORINIT init = {c.Size, nullptr, nullptr, nullptr, c.Local, nullptr};
        HANDLE instance = nullptr;
        SetLastError(0xBEEF);
        EXPECT_EQ(InitializePrintMonitor2(c.Init ? &init : nullptr, &instance), nullptr);
        EXPECT_EQ(GetLastError(), c.Error) << c.Size << " " << c.Local;
        EXPECT_EQ(instance, nullptr);
    }

    // Another handle than an instance: ERROR_INVALID_HANDLE, nothing opened or shut.
    HANDLE notInstance = below_;
    SetLastError(0xBEEF);
    EXPECT_FALSE(Open(&below_->Monitor2, notInstance));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(0xBEEF);
    Shutdown(notInstance);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(PortTable, nullptr);
}

// A port monitor whose MONITOR2 lacks a slot every job calls, or is too short
// for it, is refused before anything is created or loaded.
TEST_F(Contract2000, APortMonitorWithoutTheJobSlotsIsRefusedWith3007) {
    size_t slots[] = {
        offsetof(MONITOR2, pfnOpenPort),   offsetof(MONITOR2, pfnStartDocPort),
        offsetof(MONITOR2, pfnWritePort),  offsetof(MONITOR2, pfnReadPort),
        offsetof(MONITOR2, pfnEndDocPort), offsetof(MONITOR2, pfnClosePort),
    };
    for (size_t slot : slots) {
        MONITOR2 lacking = below_->Monitor2;
        memset((char *)&lacking + slot, 0, sizeof(void *));
        SetLastError(0xBEEF);
        EXPECT_FALSE(Open(&lacking));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);
    }
    MONITOR2 shortTable = below_->Monitor2;
    shortTable.cbSize = (DWORD)offsetof(MONITOR2, pfnClosePort);
    SetLastError(0xBEEF);
    EXPECT_FALSE(Open(&shortTable));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);
    EXPECT_EQ(PortTable, nullptr);
    EXPECT_AGENT_REFS(0);
    EXPECT_TRUE(portMonitor_.Calls().empty());
}

// The trace level through the spooler's registry functions while they
// answer, at load and at every job start; where they answer "not
// implemented" (Wine), once through the key handed over, and no more.
struct RegistryRecord {
    unsigned Queries = 0;
    LONG Answer = ERROR_SUCCESS;
    DWORD Level = 1;
    HANDLE Key = (HANDLE)0x5151;
};
RegistryRecord Registry;

LONG WINAPI QueryTraceLevel(HANDLE key, LPCWSTR name, PDWORD type, PBYTE data, PDWORD size,
                            HANDLE spooler) {
    Registry.Queries++;
    EXPECT_EQ(key, Registry.Key);
    EXPECT_EQ(spooler, (HANDLE)0x5150);
    EXPECT_EQ(PlatNarrow(name), "TraceLevel");
    if (Registry.Answer != ERROR_SUCCESS)
        return Registry.Answer;
    *type = REG_DWORD;
    memcpy(data, &Registry.Level, sizeof(DWORD));
    *size = sizeof(DWORD);
    return ERROR_SUCCESS;
}

TEST_F(Contract2000, TheTraceLevelComesThroughTheSpoolersFunctionsWhileTheyAnswer) {
    REQUIRE_LINKED_MONITOR("trace level");
    MONITORREG reg = {};
    reg.cbSize = sizeof(reg);
    reg.fpQueryValue = QueryTraceLevel;
    MONITORINIT init = {
        sizeof(MONITORINIT), (HANDLE)0x5150, (HKEYMONITOR)0x5151, &reg, TRUE, nullptr};
    Registry = RegistryRecord{};
    HANDLE answering = nullptr;
    ASSERT_NE(InitializePrintMonitor2(&init, &answering), nullptr);
    EXPECT_EQ(ActiveTraceLevel.load(), 1u);
    ASSERT_TRUE(Open(&below_->Monitor2, answering));
    Registry.Level = 2;
    WString printer = WSTR("Printer");
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(StartDocPort(port_, printer.data(), 1, 1, nullptr));
    EXPECT_EQ(ActiveTraceLevel.load(), 2u);
    EXPECT_EQ(Registry.Queries, 2u);
    EXPECT_TRUE(EndDocPort(port_));
    Shutdown(answering);
    port_ = nullptr;

    // Wine's answer: the key itself, read at once; the level then stays.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, WSTR("SYSTEM\\Monitors\\Wine"), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD level = 1;
    RegSetValueExW(key, WSTR("TraceLevel"), 0, REG_DWORD, (const BYTE *)&level, sizeof(level));
    Registry = RegistryRecord{};
    Registry.Answer = ERROR_CALL_NOT_IMPLEMENTED;
    init.hckRegistryRoot = key;
    Registry.Key = (HANDLE)key;
    HANDLE wine = nullptr;
    ASSERT_NE(InitializePrintMonitor2(&init, &wine), nullptr);
    RegCloseKey(key);
    EXPECT_EQ(ActiveTraceLevel.load(), 1u);
    ASSERT_TRUE(Open(&below_->Monitor2, wine));
    ASSERT_TRUE(StartDocPort(port_, printer.data(), 2, 1, nullptr));
    EXPECT_EQ(ActiveTraceLevel.load(), 1u);
    EXPECT_TRUE(EndDocPort(port_));
    Shutdown(wine);
    port_ = nullptr;
    EXPECT_EQ(ActiveTraceLevel.load(), 1u);
    InitializePrintMonitor(nullptr); // the NT 4.0 contract's root again: the trace off
    EXPECT_EQ(ActiveTraceLevel.load(), 0u);
}

// ---------------------------------------------------------------- bidi

TEST_F(Contract2000, BidiGoesToThePortMonitorInsideAJobAndOnItsOwnOpenOutside) {
    ASSERT_TRUE(Open(&below_->Monitor2));
    EXPECT_EQ(SendRecvBidiDataFromPort(nullptr, 0, WSTR("Get"), nullptr, nullptr),
              (DWORD)ERROR_INVALID_PARAMETER);

    // Outside a job: opened (through hMonitorPort), asked, closed.
    Bidi.Answer = 13;
    EXPECT_EQ(Ask(port_), 13u);
    EXPECT_EQ(response_, (PBIDI_RESPONSE_CONTAINER)0x1234);
    EXPECT_EQ(portMonitor_.CallNames(), (std::vector<std::string>{"OpenPort", "ClosePort"}));
    ASSERT_EQ(Bidi.Handles.size(), 1u);
    EXPECT_EQ(Bidi.Handles[0], portMonitor_.Calls()[0].Handle);

    // A failed open answers the port monitor's last error, and asks nothing.
    portMonitor_.FailCall(PortFn::OpenPort, 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Ask(port_), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Bidi.Handles.size(), 1u);

    // In a job: on the job's own port, which stays open.
    portMonitor_.ClearCalls();
    AgentDouble::SetQueryAnswer(-1);
    WString printer = WSTR("Printer");
    ASSERT_TRUE(StartDocPort(port_, printer.data(), 3, 1, nullptr));
    HANDLE jobPort = ((PortEntry *)port_)->PortHandle;
    Bidi.Answer = ERROR_SUCCESS;
    EXPECT_EQ(Ask(port_), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Bidi.Handles.back(), jobPort);
    EXPECT_EQ(portMonitor_.CallNames(), (std::vector<std::string>{"OpenPort", "StartDocPort"}));
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(portMonitor_.OpenHandles(), 0);
}

// A MONITOR2 too short for the bidi slot has none: 50, and nothing past its
// cbSize is read (the table below ends there).
TEST_F(Contract2000, APortMonitorTooShortForBidiAnswersNotSupported) {
    DWORD size = (DWORD)offsetof(MONITOR2, pfnSendRecvBidiDataFromPort);
    std::unique_ptr<char[]> exact(new char[size]);
    memcpy(exact.get(), &below_->Monitor2, size);
    ((MONITOR2 *)exact.get())->cbSize = size;
    ASSERT_TRUE(Open((LPMONITOR2)exact.get()));
    EXPECT_EQ(Ask(port_), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(Bidi.Handles.empty());
    EXPECT_TRUE(portMonitor_.Calls().empty());
}

// ---------------------------------------------------------------- Shutdown

// The spooler shuts the instance down with a port open and its status thread
// running: the port is closed as ClosePort closes it, and a new instance
// prints again.
TEST_F(Contract2000, ShutdownClosesAPortLeftOpenAndANewInstanceWorks) {
    PlatSetClockScale(100.0);
    portMonitor_.SetDeviceId("MFG:Morvane;CMD:TKL;MDL:RVT-201;");
    ASSERT_TRUE(Open(&below_->Monitor2));
    PortEntry *e = (PortEntry *)port_;
    WString printer = WSTR("Printer");
    ASSERT_TRUE(StartDocPort(port_, printer.data(), 7, 1, nullptr));
    ASSERT_TRUE(TestFlags(e, ThreadRunning));
    ASSERT_TRUE(EndDocPort(port_)); // the thread keeps the port for the job's end report

    Shutdown(instance_);
    instance_ = nullptr;
    EXPECT_EQ(PortTable, nullptr);
    EXPECT_EQ(portMonitor_.OpenHandles(), 0);
    EXPECT_AGENT_REFS(0);

    MONITORINIT init = {sizeof(MONITORINIT), nullptr, nullptr, nullptr, TRUE, nullptr};
    ASSERT_NE(InitializePrintMonitor2(&init, &instance_), nullptr);
    portMonitor_.ClearDeviceId();
    AgentDouble::SetQueryAnswer(-1);
    ASSERT_TRUE(Open(&below_->Monitor2));
    ASSERT_TRUE(StartDocPort(port_, printer.data(), 8, 1, nullptr));
    DWORD written = 0;
    EXPECT_TRUE(WritePort(port_, (LPBYTE) "page", 4, &written));
    EXPECT_TRUE(EndDocPort(port_));
    EXPECT_EQ(portMonitor_.Written().substr(portMonitor_.Written().size() - 4), "page");
}

} // namespace
