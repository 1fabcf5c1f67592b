// The port table behind OpenPortEx and ClosePort, seen from inside: records,
// their links and count, the LPR test, what a deleted record frees, failed
// allocations, many threads at once, and the status agent binding. Links the
// monitor's implementation directly (its own port table, not the loaded
// library's).
#include "agent_double_state.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"
#include "quennet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

DLLEXPORT LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

namespace {

constexpr DWORD Sentinel = 0xdeadbeef;
const WString LprKey =
    WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR Port\\Ports\\");

std::vector<PortHead *> TableNow() {
    std::vector<PortHead *> entries;
    EnterMonitorLock();
    for (PortHead *e = PortTable; e != nullptr; e = e->Next)
        entries.push_back(e);
    LeaveMonitorLock();
    return entries;
}

void CreateKey(const WString &path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class PortTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(InitializePrintMonitor(nullptr), nullptr);
        ASSERT_FALSE(AgentDouble::IsLoaded());
        EXPECT_AGENT_REFS(0);
        AgentDouble::Reset();
        UseAgent(AgentFolder::Double);
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        ASSERT_EQ(PortCount, 0u);
        ASSERT_EQ(PortTable, nullptr);
    }

    void TearDown() override {
        for (HANDLE port : open_)
            ClosePort(port);
        EXPECT_EQ(PortCount, 0u);
        EXPECT_EQ(PortTable, nullptr);
        EXPECT_AGENT_REFS(0);
    }

    PortEntry *Open(const WString &port, const WString &printer = WSTR("Printer")) {
        WString portName = port, printerName = printer;
        HANDLE handle = nullptr;
        if (!OpenPortEx(portName.data(), printerName.data(), &handle, portMonitor_.Table()))
            return nullptr;
        open_.push_back(handle);
        return (PortEntry *)handle;
    }

    BOOL Close(PortEntry *e) {
        std::erase(open_, (HANDLE)e);
        return ClosePort(e);
    }

    FakePortMonitor portMonitor_;
    std::vector<HANDLE> open_;
};

// ---------------------------------------------------------------- records and table

TEST_F(PortTableTest, RecordsAreAppendedAtTheTailWithTheirOwnCopies) {
    WString printer = WSTR("Printer A");
    PortEntry *a = Open(WSTR("LPT1:"), printer);
    PortEntry *b = Open(WSTR("LPT2:"));
    PortEntry *c = Open(WSTR("COM1:"));
    ASSERT_TRUE(a && b && c);

    EXPECT_EQ(TableNow(), (std::vector<PortHead *>{a, b, c}));
    EXPECT_EQ(PortCount, 3u);
    EXPECT_EQ(a->Signature, PORT_SIGNATURE);
    EXPECT_EQ(WString(a->PortName), WSTR("LPT1:"));
    EXPECT_EQ(WString(a->PrinterName), printer);
    EXPECT_NE(a->PrinterName, printer.data());
    EXPECT_EQ(a->Model, nullptr);
    EXPECT_EQ(a->PrinterHandle, nullptr);
    EXPECT_EQ(a->JobIds, nullptr);
    EXPECT_EQ(a->Flags, 0u);

    EnterMonitorLock();
    EXPECT_EQ(FindPort(WSTR("com1:")), c);
    EXPECT_EQ(FindPort(WSTR("LPT3:")), nullptr);
    EXPECT_EQ(FindPort(WSTR("")), nullptr);
    EXPECT_EQ(FindPort(nullptr), nullptr);
    LeaveMonitorLock();

    // Closing the middle record keeps the others linked.
    ASSERT_TRUE(Close(b));
    EXPECT_EQ(TableNow(), (std::vector<PortHead *>{a, c}));
    EXPECT_EQ(PortCount, 2u);
    ASSERT_TRUE(Close(a));
    EXPECT_EQ(TableNow(), (std::vector<PortHead *>{c}));
    PortEntry *d = Open(WSTR("LPT1:"));
    EXPECT_EQ(TableNow(), (std::vector<PortHead *>{c, d}));
}

TEST_F(PortTableTest, DeletingARecordOutsideTheTableChangesNothing) {
    PortEntry *a = Open(WSTR("LPT1:"));
    ASSERT_NE(a, nullptr);
    PortEntry *stray = (PortEntry *)AllocFixed(sizeof(PortEntry));
    ASSERT_NE(stray, nullptr);
    stray->Signature = PORT_SIGNATURE;
    stray->PortName = DupWide(WSTR("LPT9:"));

    EnterMonitorLock();
    EXPECT_FALSE(DeletePortEntry(stray));
    EXPECT_FALSE(DeletePortEntry(nullptr));
    LeaveMonitorLock();
    EXPECT_EQ(PortCount, 1u);
    EXPECT_EQ(TableNow(), (std::vector<PortHead *>{a}));
    EXPECT_EQ(stray->Signature, PORT_SIGNATURE);
    EXPECT_EQ(WString(stray->PortName), WSTR("LPT9:"));
    GlobalFree(stray->PortName);
    GlobalFree(stray);
}

TEST_F(PortTableTest, PortMonitorTableIsCopiedFromExactlyFourteenSlots) {
    // The caller's table is exactly the NT 4.0 size: reading past it would be
    // caught by the address sanitizer.
    std::unique_ptr<unsigned char[]> table(new unsigned char[NT4_MONITOR_SIZE]);
    memcpy(table.get(), portMonitor_.Table(), NT4_MONITOR_SIZE);
    WString port = WSTR("LPT1:"), printer = WSTR("Printer");
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPortEx(port.data(), printer.data(), &handle, (LPMONITOR)table.get()));
    open_.push_back(handle);
    PortEntry *e = (PortEntry *)handle;

    EXPECT_EQ(memcmp(&e->PortMonitorTable, table.get(), NT4_MONITOR_SIZE), 0);
    EXPECT_EQ(e->PortMonitorTable.pfnWritePort, portMonitor_.Table()->pfnWritePort);
    EXPECT_EQ(e->PortMonitorTable.pfnXcvOpenPort, nullptr);
    EXPECT_EQ(e->PortMonitorTable.pfnXcvDataPort, nullptr);
    EXPECT_EQ(e->PortMonitorTable.pfnXcvClosePort, nullptr);
}

TEST_F(PortTableTest, ClosePortFreesWhatTheRecordOwnsButNotThePortBelow) {
    REQUIRE_TEST_HOOKS();
    long before = PlatLiveBlocks();
    PlatSpoolerReset();
    PlatSpoolerAddPrinter(WSTR("Printer"));
    PortEntry *e = Open(WSTR("LPT1:"));
    ASSERT_NE(e, nullptr);

    // A port closed in the middle of a job, with job ids still pending.
    WString docName = WSTR("Doc"), datatype = WSTR("RAW");
    DOC_INFO_1W info = {docName.data(), nullptr, datatype.data()};
    e->DocInfo = CopyDocInfo((LPBYTE)&info, 1);
    ASSERT_NE(e->DocInfo, nullptr);
    e->PendingCommand = (LPSTR)AllocMovable(64);
    ASSERT_NE(e->PendingCommand, nullptr);
    e->PendingLength = 64;
    for (DWORD id = 1; id <= 3; id++) {
        JobIdNode *node = (JobIdNode *)AllocFixed(sizeof(JobIdNode));
        ASSERT_NE(node, nullptr);
        node->JobId = id;
        node->Next = e->JobIds;
        e->JobIds = node;
    }
    e->Model = DupNarrow("RVT-101");
    WString printer = WSTR("Printer");
    ASSERT_TRUE(OpenPrinterW(printer.data(), &e->PrinterHandle, nullptr));
    ASSERT_TRUE(portMonitor_.Table()->pfnOpenPort(e->PortName, &e->PortHandle));
    long printers = PlatSpoolerOpenHandles();

    ASSERT_TRUE(Close(e));
    EXPECT_EQ(PlatLiveBlocks(), before);
    // A printer handle still on the record has nobody else to close it.
    EXPECT_EQ(PlatSpoolerOpenHandles(), printers - 1);
    // The port monitor's port is opened and closed per job, never by ClosePort.
    EXPECT_EQ(portMonitor_.OpenHandles(), 1);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ClosePort), 0u);
}

// ---------------------------------------------------------------- LPR ports

TEST_F(PortTableTest, PortsWithAnLprKeyAreMarkedAtOpen) {
    REQUIRE_TEST_HOOKS();
    CreateKey(LprKey + WSTR("Remote Printer"));
    PortEntry *lpr = Open(WSTR("Remote Printer"));
    PortEntry *local = Open(WSTR("LPT1:"));
    ASSERT_TRUE(lpr && local);
    EXPECT_TRUE(TestFlags(lpr, LprPort));
    EXPECT_FALSE(TestFlags(local, LprPort));
    EXPECT_EQ(local->Flags, 0u);

    // A key of the port monitor itself, not of the port, is no mark.
    PortEntry *prefix = Open(WSTR("Remote"));
    ASSERT_NE(prefix, nullptr);
    EXPECT_FALSE(TestFlags(prefix, LprPort));
}

TEST_F(PortTableTest, PortNamesTooLongForTheKeyBufferAreNotLprPorts) {
    REQUIRE_OWN_LAYER("the real registry refuses key names over 255 characters");
    // The key path is built in 1024 units: 63 of prefix, the name, a terminator.
    WString fits(960, u'L'), tooLong(961, u'M'), huge(5000, u'N');
    CreateKey(LprKey + fits);
    CreateKey(LprKey + tooLong);
    CreateKey(LprKey + huge);

    PortEntry *a = Open(fits);
    PortEntry *b = Open(tooLong);
    PortEntry *c = Open(huge);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(TestFlags(a, LprPort));
    EXPECT_FALSE(TestFlags(b, LprPort));
    EXPECT_FALSE(TestFlags(c, LprPort));
}

// ---------------------------------------------------------------- failures and threads

TEST_F(PortTableTest, EveryFailedAllocationLeavesTableCountAndMemoryUnchanged) {
    REQUIRE_TEST_HOOKS();
    for (bool withOther : {false, true}) {
        SCOPED_TRACE(withOther ? "another port open" : "empty table");
        PortEntry *other = withOther ? Open(WSTR("COM1:")) : nullptr;
        std::vector<PortHead *> table = TableNow();
        DWORD count = PortCount;
        long live = PlatLiveBlocks();
        bool agent = AgentDouble::IsLoaded();

        unsigned long n = 1;
        PortEntry *e = nullptr;
        for (; n < 50 && e == nullptr; n++) {
            PlatFailAllocation(n);
            SetLastError(Sentinel);
            e = Open(WSTR("LPT1:"));
            PlatFailAllocation(0);
            if (e != nullptr)
                break;
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY) << "allocation " << n;
            EXPECT_EQ(PlatLiveBlocks(), live) << "allocation " << n;
            EXPECT_EQ(PortCount, count) << "allocation " << n;
            EXPECT_EQ(TableNow(), table) << "allocation " << n;
            EXPECT_EQ(AgentDouble::IsLoaded(), agent) << "allocation " << n;
        }
        ASSERT_NE(e, nullptr);
        // The record and its two names.
        EXPECT_EQ(n, 4u);
        EXPECT_EQ(PortCount, count + 1);
        ASSERT_TRUE(Close(e));
        if (other != nullptr) {
            ASSERT_TRUE(Close(other));
        }
    }
}

TEST_F(PortTableTest, ManyThreadsOpeningAndClosingKeepTheCountEqualToTheTable) {
    constexpr int Threads = 8, Iterations = 200;
    long live = PlatLiveBlocks();
    std::atomic<int> failures{0}, sharedOpens{0}, mismatches{0};
    LPMONITOR table = portMonitor_.Table();

    auto worker = [&](int index) {
        std::string ownName = std::to_string(index);
        ownName.insert(0, 1, 'T');
        ownName.push_back(':');
        WString own = PlatWide(ownName);
        WString shared = index % 2 ? WSTR("SHARED:") : WSTR("shared:");
        WString printer = WSTR("Printer");
        for (int i = 0; i < Iterations; i++) {
            HANDLE mine = nullptr, common = nullptr;
            if (!OpenPortEx(own.data(), printer.data(), &mine, table))
                failures++;
            SetLastError(Sentinel);
            if (OpenPortEx(shared.data(), printer.data(), &common, table))
                sharedOpens++;
            else if (GetLastError() != ERROR_BUSY)
                failures++;
            // Count the table under the lock now and then.
            if (i % 16 == 0) {
                EnterMonitorLock();
                DWORD length = 0;
                for (PortHead *e = PortTable; e != nullptr; e = e->Next)
                    length++;
                if (length != PortCount)
                    mismatches++;
                LeaveMonitorLock();
            }
            if (mine != nullptr && !ClosePort(mine))
                failures++;
            if (common != nullptr && !ClosePort(common))
                failures++;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; t++)
        threads.emplace_back(worker, t);
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(sharedOpens.load(), 0);
    EXPECT_EQ(PortCount, 0u);
    EXPECT_EQ(PortTable, nullptr);
    EXPECT_EQ(PlatLiveBlocks(), live);
    EXPECT_AGENT_REFS(0);
    EXPECT_EQ(AgentDouble::Loads(), AgentDouble::Unloads());
    EXPECT_GE(AgentDouble::Loads(), 1);
}

// ---------------------------------------------------------------- status agent binding

TEST_F(PortTableTest, AgentCallsCarryTheRecordsNamesAsAnsiText) {
    PortEntry *e = Open(WSTR("LPT1:"), WSTR("Office Printer"));
    ASSERT_NE(e, nullptr);
    e->JobId = 7;
    AgentDouble::ClearCalls();
    AgentDouble::SetQueryAnswer(0);
    AgentDouble::SetJobStartAnswer(AGENT_REPLY_CANCEL);

    EXPECT_EQ(AgentQuery(), 0);
    EXPECT_EQ(AgentJobStart(e, "RVT-101"), AGENT_REPLY_CANCEL);
    EXPECT_EQ(AgentJobStatus(e, 9, AGENT_STATUS_DATA_STARTED), 0);
    TklItem items[2] = {{215, 16, 0, nullptr}, {300, 16, 0, nullptr}};
    EXPECT_EQ(AgentJobItems(e, 0x42, 2, items), 0);
    EXPECT_EQ(AgentJobEnd(e), 0);

    std::vector<AgentDouble::Call> calls = AgentDouble::Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].Name, "AgentQuery");
    EXPECT_EQ(calls[1].Name, "AgentJobStart");
    EXPECT_EQ(calls[1].Printer, "Office Printer");
    EXPECT_EQ(calls[1].Port, "LPT1:");
    EXPECT_EQ(calls[1].Model, "RVT-101");
    EXPECT_EQ(calls[1].JobId, 7u);
    EXPECT_EQ(calls[1].Reserved1, 0u);
    EXPECT_EQ(calls[1].Reserved2, 0u);
    EXPECT_EQ(calls[2].Name, "AgentJobStatus");
    EXPECT_EQ(calls[2].JobId, 9u);
    EXPECT_EQ(calls[2].Code, AGENT_STATUS_DATA_STARTED);
    EXPECT_EQ(calls[3].Name, "AgentJobItems");
    EXPECT_EQ(calls[3].Code, 0x42u);
    EXPECT_EQ(calls[3].ItemCodes, (std::vector<DWORD>{215, 300}));
    EXPECT_EQ(calls[4].Name, "AgentJobEnd");
    EXPECT_EQ(calls[4].JobId, 7u);
    EXPECT_EQ(calls[4].Port, "LPT1:");
}

TEST_F(PortTableTest, NamesLongerThanTheAgentsBufferArriveCut) {
    WString port(300, u'P'), printer(1000, u'Q');
    PortEntry *e = Open(port, printer);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(AgentJobEnd(e), 0);
    std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobEnd");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_LT(calls[0].Port.size(), (size_t)AGENT_NAME_BUFFER);
    EXPECT_LT(calls[0].Printer.size(), (size_t)AGENT_NAME_BUFFER);
    EXPECT_EQ(calls[0].Port, std::string(calls[0].Port.size(), 'P'));
    EXPECT_EQ(calls[0].Printer, std::string(calls[0].Printer.size(), 'Q'));
}

TEST_F(PortTableTest, NonZeroStatusAnswersEndTheAgentsPartInTheJob) {
    PortEntry *e = Open(WSTR("LPT1:"));
    ASSERT_NE(e, nullptr);
    const DWORD agentBits = AgentActive | JobLanguageOn | KeepPolling;

    SetFlags(e, agentBits | PortStarted | JobActive);
    AgentDouble::SetStatusAnswer(1, 1);
    EXPECT_EQ(AgentJobStatus(e, 1, AGENT_STATUS_DATA_STARTED), 0);
    EXPECT_EQ(e->Flags, agentBits | PortStarted | JobActive);
    EXPECT_EQ(AgentJobStatus(e, 1, AGENT_STATUS_JOB_END), 1);
    EXPECT_EQ(e->Flags, PortStarted | JobActive);

    SetFlags(e, agentBits);
    AgentDouble::SetItemsAnswer(-5);
    EXPECT_EQ(AgentJobItems(e, 0, 0, nullptr), -5);
    EXPECT_EQ(e->Flags, PortStarted | JobActive);
}

TEST_F(PortTableTest, MissingSlotsOrAgentAnswerAsNoAgent) {
    AgentDouble::SetFilledSlots(AgentDouble::SlotJobEnd);
    PortEntry *e = Open(WSTR("LPT1:"));
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);
    AgentDouble::SetStatusAnswer(1);
    AgentDouble::ClearCalls();

    EXPECT_EQ(AgentQuery(), -1);
    EXPECT_EQ(AgentJobStart(e, ""), 0);
    EXPECT_EQ(AgentJobStatus(e, 1, AGENT_STATUS_CANCELLED), 0);
    EXPECT_EQ(AgentJobItems(e, 0, 0, nullptr), 0);
    EXPECT_TRUE(TestFlags(e, AgentActive));
    EXPECT_EQ(AgentJobEnd(e), 0);
    EXPECT_EQ(AgentDouble::CallNames(), (std::vector<std::string>{"AgentJobEnd"}));

    // Once the last port is closed, nothing reaches the freed library.
    ASSERT_TRUE(Close(e));
    AgentDouble::ClearCalls();
    EXPECT_EQ(AgentQuery(), -1);
    EXPECT_TRUE(AgentDouble::Calls().empty());

    // No agent library at all.
    UseAgent(AgentFolder::Missing);
    e = Open(WSTR("LPT1:"));
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(AgentLoaded());
    EXPECT_EQ(AgentQuery(), -1);
    EXPECT_EQ(AgentJobStart(e, "x"), 0);
    EXPECT_EQ(AgentJobEnd(e), 0);
    EXPECT_TRUE(AgentDouble::Calls().empty());
}

// ---------------------------------------------------------------- helpers

TEST(CoreHelpers, NothingToWorkOnGivesNothing) {
    unsigned long allocations = PlatAllocationCount();
    EXPECT_EQ(DupWide(nullptr), nullptr);
    EXPECT_EQ(DupNarrow(nullptr), nullptr);
    EXPECT_EQ(PlatAllocationCount(), allocations);

    EXPECT_FALSE(FreeMovable(nullptr));
    if (PlatHasTestHooks()) {
        char notABlock[16] = {};
        EXPECT_FALSE(FreeMovable(notABlock));
    }

    long live = PlatLiveBlocks();
    LPBYTE block = (LPBYTE)AllocMovable(100);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(block[i], 0) << i;
    EXPECT_TRUE(FreeMovable(block));
    EXPECT_EQ(PlatLiveBlocks(), live);

    LPWSTR copy = DupWide(WSTR(""));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], 0);
    GlobalFree(copy);
}

TEST(CoreHelpers, ReadRegistryValueAnswersTheOpensOrTheQuerysError) {
    ASSERT_TRUE(PlatRegistryOpen("", nullptr));
    const WString key = WSTR("SOFTWARE\\Morvane\\TallowII");
    DWORD type = 0, value = 0, size = sizeof(value);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.c_str(), WSTR("JobNotifyPort"), &type,
                                (LPBYTE)&value, &size),
              ERROR_FILE_NOT_FOUND);

    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    size = sizeof(value);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.c_str(), WSTR("JobNotifyPort"), &type,
                                (LPBYTE)&value, &size),
              ERROR_FILE_NOT_FOUND);
    DWORD stored = 4567;
    ASSERT_EQ(RegSetValueExW(handle, WSTR("JobNotifyPort"), 0, REG_DWORD, (const BYTE *)&stored,
                             sizeof(stored)),
              ERROR_SUCCESS);
    RegCloseKey(handle);
    size = sizeof(value);
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.c_str(), WSTR("JobNotifyPort"), &type,
                                (LPBYTE)&value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(value, 4567u);
    EXPECT_EQ(size, sizeof(DWORD));
}

} // namespace
