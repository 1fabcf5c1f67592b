// Brantic's library, its ports and the binding of the two outside libraries
// that come with the first port and go with the last.
#include "brantic_test.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using PortTest = BranticTest;

TEST(BranticLibrary, ExportsTheMonitorWithItsSevenEntryPoints) {
    if (!PlatHasTestHooks())
        GTEST_SKIP() << "needs the platform loader";
    LoadedMonitor brantic = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
    ASSERT_NE(brantic.MonitorEx, nullptr);
    EXPECT_EQ(brantic.MonitorEx->dwMonitorSize, NT4_MONITOR_SIZE);

    // Exactly the seven slots of a language monitor.
    void *slots[NT4_MONITOR_SLOTS];
    memcpy(slots, brantic.Table(), sizeof(slots));
    const bool filled[NT4_MONITOR_SLOTS] = {false, false, true,  true,  true,  true, true,
                                            true,  false, false, false, false, true, false};
    for (int i = 0; i < NT4_MONITOR_SLOTS; i++)
        EXPECT_EQ(slots[i] != nullptr, filled[i]) << "slot " << i;

    typedef BOOL(WINAPI * PFN_DllEntryPoint)(HINSTANCE, DWORD, LPVOID);
    auto entry = ProcAs<PFN_DllEntryPoint>(GetProcAddress(brantic.Module, "DllEntryPoint"));
    ASSERT_NE(entry, nullptr);
    for (DWORD reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH})
        EXPECT_TRUE(entry(nullptr, reason, nullptr));
}

TEST_F(PortTest, OpenRefusesBadArgumentsAndASecondOpenOfAPort) {
    WString port = WSTR("LPT1"), printer = PrinterName, empty;
    HANDLE handle = nullptr;
    SetLastError(0);
    EXPECT_FALSE(OpenPortEx(nullptr, printer.data(), &handle, pm_.Table()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(OpenPortEx(port.data(), empty.data(), &handle, pm_.Table()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(TransportUserCount(), 0u);

    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Open(WSTR("lpt1")), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_EQ(TransportUserCount(), 1u);

    // A stale or foreign handle is refused and changes nothing.
    PortEntry fake = {};
    EXPECT_FALSE(ClosePort(&fake));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ClosePort(nullptr));
    EXPECT_EQ(TransportUserCount(), 1u);
}

TEST_F(PortTest, ANewRecordCopiesTheNt4TableOnlyAndMarksLprPorts) {
    MakeLprPort(WSTR("LprQueue"));
    // The Xcv slots past the NT 4.0 table are never read.
    MONITOR table = *pm_.Table();
    table.pfnXcvOpenPort = (decltype(table.pfnXcvOpenPort))0x1234;
    WString port = WSTR("LprQueue"), printer = PrinterName;
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPortEx(port.data(), printer.data(), &handle, &table));
    open_.push_back(handle);
    PortEntry *lpr = (PortEntry *)handle;
    PortEntry *plain = Open(WSTR("LPT2:"));
    ASSERT_NE(plain, nullptr);

    EXPECT_EQ(memcmp(&lpr->PortMonitorTable, &table, NT4_MONITOR_SIZE), 0);
    EXPECT_EQ(lpr->PortMonitorTable.pfnXcvOpenPort, nullptr);
    EXPECT_EQ(lpr->Flags, LprPort);
    EXPECT_EQ(plain->Flags, 0u);
    EXPECT_EQ(plain->ChannelSocket, NO_SOCKET);
    EXPECT_EQ(plain->PortHandle, nullptr);
    EXPECT_EQ(plain->PrinterHandle, nullptr);
}

TEST_F(PortTest, BothLibrariesComeWithTheFirstPortAndGoWithTheLast) {
    PortEntry *a = Open(WSTR("LPT1"));
    PortEntry *b = Open(WSTR("LPT2"));
    PortEntry *c = Open(WSTR("COM1"));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(TransportDouble::Loads(), 1);
    EXPECT_EQ(TransportUserCount(), 3u);
    EXPECT_TRUE(AgentDouble::IsLoaded());

    ASSERT_TRUE(Close(a));
    ASSERT_TRUE(Close(b));
    EXPECT_TRUE(TransportLoaded());
    EXPECT_EQ(TransportDouble::Unloads(), 0);

    ASSERT_TRUE(Close(c));
    EXPECT_FALSE(TransportLoaded());
    EXPECT_EQ(TransportDouble::Unloads(), 1);
    EXPECT_EQ(PlatModuleRefCount(TransportDll), 0);
    EXPECT_FALSE(AgentDouble::IsLoaded());
    // The cleared table answers as a missing library would.
    EXPECT_EQ(TransportCreateSocket(), TRANSPORT_NO_SOCKET);

    ASSERT_NE(Open(WSTR("LPT1")), nullptr);
    EXPECT_EQ(TransportDouble::Loads(), 2);
}

TEST_F(PortTest, WithoutTheTransportEveryPortCountsAndLpt1UsesThePortMonitor) {
    UseLibraries(AgentFolder::Double, TransportFolder::Missing);
    PortEntry *lpt1 = Open(WSTR("LPT1"));
    ASSERT_TRUE(lpt1 && Open(WSTR("LPT2")) && Open(WSTR("LPT3")));
    EXPECT_EQ(TransportUserCount(), 3u);
    EXPECT_FALSE(TransportLoaded());

    ASSERT_TRUE(Start(lpt1, 1));
    EXPECT_EQ(Write(lpt1, "data"), 4u);
    ASSERT_TRUE(EndDocPort(lpt1));
    EXPECT_EQ(pm_.Written(), "data");
    EXPECT_EQ(pm_.Calls(PortFn::OpenPort)[0].Port, "LPT1");

    // A later port loads it after all, and the earlier ports count with it.
    UseLibraries(AgentFolder::Double, TransportFolder::Double);
    ASSERT_NE(Open(WSTR("LPT4")), nullptr);
    EXPECT_TRUE(TransportLoaded());
    EXPECT_EQ(TransportUserCount(), 4u);
}

TEST_F(PortTest, AFailedAllocationLeavesNothingAndCountsNoUser) {
    long live = PlatLiveBlocks();
    for (unsigned n = 1; n <= 3; n++) {
        PlatFailAllocation(n);
        EXPECT_EQ(Open(WSTR("LPT2")), nullptr) << n;
        PlatFailAllocation(0);
        EXPECT_EQ(TransportUserCount(), 0u);
        EXPECT_EQ(PortCount, 0u);
        EXPECT_EQ(PlatLiveBlocks(), live);
    }
}

TEST_F(PortTest, ClosingAPortWithADeferredJobFreesItsDocumentInformation) {
    long live = PlatLiveBlocks();
    PortEntry *e = Open(WSTR("LPT2"));
    ASSERT_NE(e, nullptr);
    pm_.FailCall(PortFn::OpenPort, 1, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(Start(e, 3));
    ASSERT_NE(e->DocInfo, nullptr);
    ASSERT_TRUE(Close(e));
    EXPECT_EQ(PlatLiveBlocks(), live);
}

// Ports opened and closed on many threads at once keep the user count equal
// to the number of open ports, and a port's channel job keeps reaching the
// library meanwhile.
TEST_F(PortTest, ConcurrentOpensAndClosesKeepTheUserCount) {
    constexpr int Threads = 4, Rounds = 60;
    TransportDouble::SetDeviceId("MDL:M;JOB=0A02;");
    std::atomic<int> failures{0};
    MONITOR table = *pm_.Table();
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; t++) {
        threads.emplace_back([&, t] {
            WString name = WSTR("COM") + PlatWide(std::to_string(t + 1));
            for (int i = 0; i < Rounds; i++) {
                WString printer = PrinterName;
                HANDLE handle = nullptr;
                if (!OpenPortEx(name.data(), printer.data(), &handle, &table)) {
                    failures++;
                    continue;
                }
                // This port counts, so the library stays.
                if (!TransportLoaded() || TransportUserCount() == 0)
                    failures++;
                ClosePort(handle);
            }
        });
    }
    // One channel job after another on LPT1 while the other ports come and go.
    PortEntry *lpt1 = Open(WSTR("LPT1"));
    ASSERT_NE(lpt1, nullptr);
    std::string expected;
    for (DWORD job = 1; job <= Rounds; job++) {
        ASSERT_TRUE(Start(lpt1, job));
        ASSERT_NE(lpt1->ChannelSocket, NO_SOCKET);
        std::string data = "job " + std::to_string(job) + ";";
        EXPECT_EQ(Write(lpt1, data), data.size());
        expected += data;
        ASSERT_TRUE(EndDocPort(lpt1));
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(TransportDouble::Sent(), expected);
    EXPECT_EQ(TransportUserCount(), 1u);
    EXPECT_EQ(TransportDouble::Loads(), TransportDouble::Unloads() + 1);
    ASSERT_TRUE(Close(lpt1));
    EXPECT_EQ(TransportDouble::Loads(), TransportDouble::Unloads());
}

} // namespace
