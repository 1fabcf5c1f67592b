// The monitors above a port monitor we did not write: Wine's own local port
// monitor (localspl.dll). A plain job for its "FILE:" port must arrive in the
// output file byte for byte, with the port below opened, started, ended and
// closed exactly as a real spooler would see it. Brantic sends every port but
// "LPT1" through the port monitor, so it is put above it too.
#include <gtest/gtest.h>

#include "monitor_loader.h"
#include "windows_test_files.h"

#include <string>
#include <vector>

namespace {

typedef LPMONITOREX(WINAPI *PFN_InitializePrintMonitor)(LPWSTR);

// Wine's local port monitor, loaded once; null with the reason when this
// system has none to offer.
struct LocalPortMonitor {
    LPMONITOREX MonitorEx = nullptr;
    std::string Missing;
};

LocalPortMonitor LoadLocalPortMonitor() {
    LocalPortMonitor local;
    HMODULE module = LoadLibraryW(L"localspl.dll");
    if (module == nullptr) {
        local.Missing = "no localspl.dll (error " + std::to_string(GetLastError()) + ")";
        return local;
    }
    FARPROC proc = GetProcAddress(module, "InitializePrintMonitor");
    if (proc == nullptr) {
        local.Missing = "localspl.dll has no InitializePrintMonitor";
        return local;
    }
    auto initialize =
        reinterpret_cast<PFN_InitializePrintMonitor>(reinterpret_cast<void (*)(void)>(proc));
    WCHAR root[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Local Port";
    local.MonitorEx = initialize(root);
    if (local.MonitorEx == nullptr)
        local.Missing = "localspl.dll's InitializePrintMonitor answered null";
    return local;
}

// A fresh, empty temporary file's path; the file is removed at destruction.
struct TempFile {
    WCHAR Path[MAX_PATH] = {};
    TempFile() {
        WCHAR folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"qnt", 0, Path);
    }
    ~TempFile() { DeleteFileW(Path); }

    std::string Read() const { return ReadFileBytes(Path); }
};

// A job of some pages: every byte value, and long enough to take several
// writes.
std::string SampleJob() {
    std::string job = "\x1b%-12345X@PJL ENTER LANGUAGE=PCL\r\n";
    for (int page = 0; page < 3; page++) {
        for (int i = 0; i < 5000; i++)
            job.push_back((char)((i * 7 + page) & 0xFF));
        job.push_back('\f');
    }
    return job;
}

// Which monitor sits above Wine's port monitor.
enum class Monitor { Quennet, Brantic };

std::string MonitorName(const ::testing::TestParamInfo<Monitor> &info) {
    return info.param == Monitor::Quennet ? "Quennet" : "Brantic";
}

class LocalPortMonitorBelow : public ::testing::TestWithParam<Monitor> {
  protected:
    void SetUp() override {
        // The plain path: no agent library to be found.
        UseAgent(AgentFolder::Missing);
        if (GetParam() == Monitor::Quennet) {
            monitor_ = LoadQuennet();
        } else {
            static LoadedMonitor brantic = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
            monitor_ = brantic;
        }
        ASSERT_NE(monitor_.MonitorEx, nullptr) << "the monitor did not initialise";
        local_ = LoadLocalPortMonitor();
        if (local_.MonitorEx == nullptr)
            GTEST_SKIP() << "Wine's local port monitor is not available: " << local_.Missing;
    }

    LoadedMonitor monitor_; // the monitor under test
    LocalPortMonitor local_;
};

TEST_P(LocalPortMonitorBelow, PlainJobArrivesInTheOutputFileByteForByte) {
    LPMONITOR below = &local_.MonitorEx->Monitor;
    // The slots the job path relies on; Wine's monitor has no ReadPort.
    ASSERT_NE(below->pfnOpenPort, nullptr);
    if (below->pfnStartDocPort == nullptr || below->pfnWritePort == nullptr)
        GTEST_SKIP() << "this Wine's local port monitor cannot print to a file";

    TempFile output;
    ASSERT_NE(output.Path[0], 0) << "no temporary file";
    WCHAR portName[] = L"FILE:";
    WCHAR printerName[] = L"Local Port Test";
    WCHAR docName[] = L"local port job";
    WCHAR datatype[] = L"RAW";
    DOC_INFO_1W doc = {docName, output.Path, datatype};

    HANDLE port = nullptr;
    SetLastError(0xDEADBEEF);
    ASSERT_TRUE(monitor_.Table()->pfnOpenPortEx(portName, printerName, &port, below))
        << "error " << GetLastError();
    ASSERT_NE(port, nullptr);

    SetLastError(0xDEADBEEF);
    ASSERT_TRUE(monitor_.Table()->pfnStartDocPort(port, printerName, 17, 1, (LPBYTE)&doc))
        << "error " << GetLastError();

    // Written in the spooler's way: pieces of differing sizes, each one
    // handed on whole by the plain path.
    std::string job = SampleJob();
    size_t sent = 0;
    const size_t pieces[] = {1, 511, 4096, 3, 8192};
    for (size_t i = 0; sent < job.size(); i++) {
        size_t want = std::min(pieces[i % 5], job.size() - sent);
        DWORD written = 0;
        SetLastError(0xDEADBEEF);
        ASSERT_TRUE(
            monitor_.Table()->pfnWritePort(port, (LPBYTE)job.data() + sent, (DWORD)want, &written))
            << "at byte " << sent << ", error " << GetLastError();
        ASSERT_EQ(written, (DWORD)want) << "at byte " << sent;
        sent += written;
    }

    // Reading back has nothing to read from: the monitor below has no ReadPort.
    char answer[16];
    DWORD got = 5;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(monitor_.Table()->pfnReadPort(port, (LPBYTE)answer, sizeof(answer), &got));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);

    SetLastError(0xDEADBEEF);
    EXPECT_TRUE(monitor_.Table()->pfnEndDocPort(port)) << "error " << GetLastError();
    SetLastError(0xDEADBEEF);
    EXPECT_TRUE(monitor_.Table()->pfnClosePort(port)) << "error " << GetLastError();

    std::string printed = output.Read();
    EXPECT_EQ(printed.size(), job.size());
    EXPECT_TRUE(printed == job) << "the file's bytes differ from the job's";
}

TEST_P(LocalPortMonitorBelow, TwoJobsOnOnePortEachGetTheirOwnFile) {
    LPMONITOR below = &local_.MonitorEx->Monitor;
    if (below->pfnStartDocPort == nullptr || below->pfnWritePort == nullptr)
        GTEST_SKIP() << "this Wine's local port monitor cannot print to a file";

    WCHAR portName[] = L"FILE:";
    WCHAR printerName[] = L"Local Port Test";
    WCHAR datatype[] = L"RAW";
    HANDLE port = nullptr;
    ASSERT_TRUE(monitor_.Table()->pfnOpenPortEx(portName, printerName, &port, below));

    // The port below is ended and closed after each job, so the second job
    // opens it anew and writes only its own file.
    TempFile first, second;
    const std::string texts[2] = {"first job\f", "second job, longer than the first\f"};
    TempFile *files[2] = {&first, &second};
    for (int j = 0; j < 2; j++) {
        WCHAR docName[] = L"job";
        DOC_INFO_1W doc = {docName, files[j]->Path, datatype};
        ASSERT_TRUE(monitor_.Table()->pfnStartDocPort(port, printerName, 20 + j, 1, (LPBYTE)&doc));
        DWORD written = 0;
        ASSERT_TRUE(monitor_.Table()->pfnWritePort(port, (LPBYTE)texts[j].data(),
                                                   (DWORD)texts[j].size(), &written));
        EXPECT_EQ(written, (DWORD)texts[j].size());
        ASSERT_TRUE(monitor_.Table()->pfnEndDocPort(port));
    }
    EXPECT_TRUE(monitor_.Table()->pfnClosePort(port));

    EXPECT_EQ(first.Read(), texts[0]);
    EXPECT_EQ(second.Read(), texts[1]);
}

INSTANTIATE_TEST_SUITE_P(Monitors, LocalPortMonitorBelow,
                         ::testing::Values(Monitor::Quennet, Monitor::Brantic), MonitorName);

} // namespace
