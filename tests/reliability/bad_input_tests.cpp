// Hostile and broken surroundings that the other programs do not cover: a
// port monitor that fails every call, a registry hive that does not parse,
// and a port name too long for the monitor's registry key buffer. Whatever
// comes, the monitors answer the spooler as their failure tables say, leave
// nothing allocated and nothing open, and touch nothing they must not.
#include "status_fixture.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

const std::string JobData = "page\n";

class BadInput : public StatusFixture {
  protected:
    void SetUp() override {
        StatusFixture::SetUp();
        PlatSetClockScale(10000.0);
        baseline_ = PlatLiveBlocks();
    }
    void TearDown() override {
        StatusFixture::TearDown();
        port_ = nullptr;
        EXPECT_EQ(PortCount, 0u);
        EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
        EXPECT_EQ(portMonitor_.OpenHandles(), 0);
        EXPECT_EQ(PlatModuleRefCount(WSTR("RAVODIR.DLL")), 0);
        EXPECT_EQ(PlatLiveBlocks(), baseline_);
    }

    // Every slot of the port monitor fails, every time.
    void FailEverything() {
        for (PortFn fn : {PortFn::OpenPort, PortFn::StartDocPort, PortFn::WritePort,
                          PortFn::ReadPort, PortFn::EndDocPort, PortFn::ClosePort,
                          PortFn::GetPrinterDataFromPort, PortFn::SetPortTimeOuts})
            portMonitor_.FailCall(fn, 1, ERROR_GEN_FAILURE, 0);
    }

    // A whole job through `table`: answers of StartDocPort, of each of three
    // WritePort calls (result and bytes) and of EndDocPort and ClosePort.
    std::string RunJob(LPMONITOR table) {
        WString port = WSTR("LPT1:"), printer = WSTR("Printer"), doc = WSTR("doc");
        HANDLE handle = nullptr;
        std::ostringstream out;
        out << "open "
            << table->pfnOpenPortEx(port.data(), printer.data(), &handle, portMonitor_.Table());
        DOC_INFO_1W info = {doc.data(), nullptr, nullptr};
        out << " start " << table->pfnStartDocPort(handle, printer.data(), 7, 1, (LPBYTE)&info);
        for (int i = 0; i < 3; i++) {
            DWORD written = 99;
            std::string data = JobData;
            BOOL ok =
                table->pfnWritePort(handle, (LPBYTE)data.data(), (DWORD)data.size(), &written);
            out << " write " << ok << "/" << written;
        }
        out << " end " << table->pfnEndDocPort(handle);
        out << " close " << table->pfnClosePort(handle);
        return out.str();
    }

    long baseline_ = 0;
};

// ---------------------------------------------------------------- the port monitor

TEST_F(BadInput, QuennetUnderAPortMonitorThatFailsEveryCall) {
    FailEverything();
    // The open is deferred to the writes, which report nothing written
    // (after their pause) until it succeeds; nothing is ended or closed
    // that never opened.
    EXPECT_EQ(RunJob(&InitializePrintMonitor(nullptr)->Monitor),
              "open 1 start 1 write 1/0 write 1/0 write 1/0 end 1 close 1");
    EXPECT_EQ(portMonitor_.CallCount(PortFn::EndDocPort), 0u);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ClosePort), 0u);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::OpenPort), 4u) << "the start and each write";
    EXPECT_EQ(portMonitor_.Written(), "");
    EXPECT_EQ(PlatSpoolerJobCommands(WSTR("Printer"), 7),
              (std::vector<DWORD>{JOB_CONTROL_LAST_PAGE_EJECTED}));
}

TEST_F(BadInput, QuennetWhenOnlyTheWritesFail) {
    // The port opens and starts, the device ID cannot be read (not the job
    // language), and every write fails: a plain job passes the failure on.
    portMonitor_.FailCall(PortFn::WritePort, 1, ERROR_GEN_FAILURE, 0);
    portMonitor_.FailCall(PortFn::GetPrinterDataFromPort, 1, ERROR_GEN_FAILURE, 0);
    PlatSetLibraryPath(AgentFolderPath(AgentFolder::Missing));
    EXPECT_EQ(RunJob(&InitializePrintMonitor(nullptr)->Monitor),
              "open 1 start 1 write 0/0 write 0/0 write 0/0 end 1 close 1");
    EXPECT_EQ(portMonitor_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ClosePort), 1u);
}

TEST_F(BadInput, BranticUnderAPortMonitorThatFailsEveryCall) {
    LoadedMonitor brantic = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
    ASSERT_NE(brantic.MonitorEx, nullptr);
    baseline_ = PlatLiveBlocks();
    FailEverything();
    EXPECT_EQ(RunJob(brantic.Table()),
              "open 1 start 1 write 1/0 write 1/0 write 1/0 end 1 close 1");
    EXPECT_EQ(portMonitor_.CallCount(PortFn::EndDocPort), 0u);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ClosePort), 0u);
    EXPECT_EQ(portMonitor_.Written(), "");
    EXPECT_EQ(PlatSpoolerJobCommands(WSTR("Printer"), 7),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
}

// ---------------------------------------------------------------- the registry

TEST_F(BadInput, HiveThatDoesNotParseGivesTheDefaultsAndIsNeverWritten) {
    REQUIRE_OWN_LAYER("registry files");
    char path[] = "/tmp/quennet-broken-hive-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string broken = "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\VorlAgnt]\n"
                               "\"PollingLevel\"=dword:123456789\n";
    ASSERT_EQ(write(fd, broken.data(), broken.size()), (ssize_t)broken.size());
    close(fd);

    std::string error;
    EXPECT_FALSE(PlatRegistryOpen(path, &error));
    EXPECT_NE(error.find(":4:"), std::string::npos) << error;

    // The configuration reads fall back to their defaults.
    EXPECT_EQ(ReadPollingLevel(), 3u);
    EXPECT_EQ(GetJobNotifyPort(), 4567u);
    // A printer value cannot be written, and the file stays as it was.
    PortEntry *e = OpenEntry("RVT-201");
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(IsLprPort(e));
    Items items;
    items.Number(220, -3);
    EXPECT_FALSE(WritePortStatusValue(e, 220, items[0].Values));
    DispatchTklItems(e, items.Data(), items.Count());
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, broken);

    e->PortMonitorTable.pfnClosePort(e->PortHandle);
    ClosePort(port_);
    port_ = nullptr;
    unlink(path);
    ASSERT_TRUE(PlatRegistryOpen("", nullptr));
}

TEST_F(BadInput, PortNameTooLongForTheRegistryKeyBufferWritesNoValue) {
    // With the 32 characters of "SOFTWARE\Morvane\TallowII\Ports\" and
    // the terminator, a name of 992 characters does not fit the key's
    // 1024-unit buffer (nor the LPR key's).
    WString name(992, u'P'), printer = WSTR("Printer");
    ASSERT_TRUE(OpenPortEx(name.data(), printer.data(), &port_, portMonitor_.Table()));
    PortEntry *e = (PortEntry *)port_;
    EXPECT_FALSE(TestFlags(e, LprPort));
    Items items;
    items.Number(220, -3);
    EXPECT_FALSE(WritePortStatusValue(e, 220, items[0].Values));
    ClosePort(port_);
    port_ = nullptr;
    // One that just fits is written.
    REQUIRE_OWN_LAYER("the real registry refuses key names over 255 characters");
    WString fits(991, u'Q');
    ASSERT_TRUE(OpenPortEx(fits.data(), printer.data(), &port_, portMonitor_.Table()));
    EXPECT_TRUE(WritePortStatusValue((PortEntry *)port_, 220, items[0].Values));
    ClosePort(port_);
    port_ = nullptr;
    ASSERT_TRUE(PlatRegistryOpen("", nullptr));
}

} // namespace
