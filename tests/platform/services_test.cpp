// Windows Sockets start-up and name lookup, and the spooler client record.
#include "platform_test.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

TEST(Sockets, StartupNeedsVersionOneOne) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
    SetLastError(Sentinel);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSANOTINITIALISED));
    SetLastError(Sentinel);
    EXPECT_EQ(gethostbyname("localhost"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSANOTINITIALISED));
}

TEST(Sockets, EachThreadHasItsOwnLookupResult) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    std::atomic<int> good{0};
    auto lookup = [&] {
        for (int i = 0; i < 50; i++) {
            hostent *host = gethostbyname(i % 2 ? "localhost" : "127.0.0.1");
            if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4)
                return;
            // Still this thread's answer while the others resolve too.
            for (int k = 0; k < 100; k++) {
                if (ntohl(reinterpret_cast<in_addr *>(host->h_addr_list[0])->s_addr) !=
                        0x7F000001u ||
                    host->h_addr_list[1] != nullptr)
                    return;
            }
        }
        good++;
    };
    HANDLE threads[4];
    for (HANDLE &t : threads)
        t = StartThread(lookup);
    for (HANDLE t : threads)
        Join(t);
    EXPECT_EQ(good, 4);
    SetLastError(Sentinel);
    EXPECT_EQ(gethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAHOST_NOT_FOUND));
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(Spooler, RecordsPrintersHandlesAndJobControls) {
    PlatSpoolerReset();
    HANDLE printer = reinterpret_cast<HANDLE>(1);
    SetLastError(Sentinel);
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(u"Laser"), &printer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(printer, nullptr);

    PlatSpoolerAddPrinter(u"Laser");
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"laser"), &printer, nullptr));
    EXPECT_EQ(PlatSpoolerOpenHandles(), 1);
    EXPECT_TRUE(SetJobW(printer, 7, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER));
    PlatSpoolerSetJobResult(false);
    SetLastError(Sentinel);
    EXPECT_FALSE(SetJobW(printer, 7, 0, nullptr, JOB_CONTROL_CANCEL));
    EXPECT_NE(GetLastError(), Sentinel);
    PlatSpoolerSetJobResult(true);
    EXPECT_TRUE(SetJobW(printer, 8, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED));
    EXPECT_TRUE(ClosePrinter(printer));

    // Closed handles are refused, and the refusal is on the record too.
    SetLastError(Sentinel);
    EXPECT_FALSE(ClosePrinter(printer));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetJobW(printer, 7, 0, nullptr, JOB_CONTROL_DELETE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::vector<PlatJobControl> record = PlatSpoolerJobControls();
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record[0].Printer, WString(u"laser"));
    EXPECT_EQ(record[0].Command, static_cast<DWORD>(JOB_CONTROL_SENT_TO_PRINTER));
    EXPECT_TRUE(record[0].Succeeded);
    EXPECT_FALSE(record[1].Succeeded);
    EXPECT_EQ(record[2].JobId, 8u);
    EXPECT_EQ(record[3].Printer, WString());
    EXPECT_FALSE(record[3].Succeeded);
    EXPECT_EQ(PlatSpoolerJobCommands(u"LASER", 7),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_CANCEL}));
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    EXPECT_EQ(PlatSpoolerOpenCount(), 2);
    PlatSpoolerReset();
    EXPECT_TRUE(PlatSpoolerJobControls().empty());
}

TEST(Environment, SettingsAreReadAtFirstUse) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *libraryPath = getenv("WINPLAT_LIBRARY_PATH");
    std::string previousPath = libraryPath != nullptr ? libraryPath : "";
    setenv("WINPLAT_CLOCK_SCALE", "250", 1);
    setenv("WINPLAT_SPOOLER_ANY_PRINTER", "1", 1);
    setenv("WINPLAT_LIBRARY_PATH", "/nonexistent-folder:" PROBE_FOLDER, 1);
    // A fresh process, in which nothing has read them yet.
    EXPECT_EXIT(
        {
            HANDLE printer = nullptr;
            bool scaled = PlatClockScale() == 250.0;
            bool anyPrinter = OpenPrinterW(const_cast<LPWSTR>(u"Anything"), &printer, nullptr);
            bool found = LoadLibraryW(u"PLATPROBE.DLL") != nullptr;
            fprintf(stderr, "scaled=%d anyPrinter=%d found=%d\n", scaled, anyPrinter, found);
            _exit(0);
        },
        testing::ExitedWithCode(0), "scaled=1 anyPrinter=1 found=1");
    unsetenv("WINPLAT_CLOCK_SCALE");
    unsetenv("WINPLAT_SPOOLER_ANY_PRINTER");
    if (libraryPath != nullptr)
        setenv("WINPLAT_LIBRARY_PATH", previousPath.c_str(), 1);
    else
        unsetenv("WINPLAT_LIBRARY_PATH");
}

} // namespace
