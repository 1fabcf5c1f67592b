// Quennet.dll with a TKL printer on the real Win32 API under Wine: the
// reference parser "VEROVIRI.DLL" writes the job-start and job-end texts and
// reads the printer's answers on the status thread, the reference agent
// "RAVODIR.DLL" hears of the job, and the calibration value the printer
// reports lands in the real registry. The printer is the scriptable port
// monitor, answering the device ID and one queued response.
#include <gtest/gtest.h>

#include "fake_port_monitor.h"
#include "monitor_loader.h"
#include "windows_test_files.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

const WCHAR AgentKey[] = L"SOFTWARE\\Ravodir\\Agent";
const WCHAR PollingKey[] = L"SOFTWARE\\Morvane\\TallowII\\VorlAgnt";
const WCHAR PortKey[] = L"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1:";
const char *const TklDeviceId = "MFG:Morvane;CMD:PCL,TKL;MDL:RVT-201 Office;";
constexpr DWORD JobId = 11;

// The printer's report of a job's end: "+", "LPT" in 29 characters, the id
// in 8 hexadecimal digits.
std::string JobTag(DWORD jobId) {
    char tag[64];
    snprintf(tag, sizeof tag, "+%-29s%08X", "LPT", (unsigned)jobId);
    return tag;
}

// The registry text of a per-port value, empty when there is none.
std::wstring PortValue(const WCHAR *name) {
    WCHAR text[64] = {};
    DWORD size = sizeof(text) - sizeof(WCHAR), type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PortKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"";
    LONG status = RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)text, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::wstring(text) : L"";
}

class TklJobUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        // Both reference libraries from their folder, a clean product key and
        // agent policy, and the shortest polling intervals.
        PlatSetLibraryPath(QUENNET_COMPANION_FOLDER);
        std::string error;
        ASSERT_TRUE(PlatRegistryOpen("", &error)) << error;
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, AgentKey);
        journal_ = TempFolderPath(L"quennet-tkl-journal.jsonl");
        DeleteFileW(journal_.c_str());
        SetMachineString(AgentKey, L"Journal", journal_);
        SetMachineDword(PollingKey, L"PollingLevel", 1);
        quennet_ = LoadQuennet();
        ASSERT_NE(quennet_.MonitorEx, nullptr) << "Quennet did not initialise";
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, AgentKey);
        PlatRegistryOpen("", nullptr);
        DeleteFileW(journal_.c_str());
    }

    // Until the agent's journal holds `text`. No deadline: the run's
    // watchdog ends a test whose thread never gets there.
    std::string WaitForJournal(const std::string &text) {
        std::string journal;
        while ((journal = ReadFileBytes(journal_)).find(text) == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return journal;
    }

    LoadedMonitor quennet_;
    std::wstring journal_;
};

TEST_F(TklJobUnderWine, AJobIsBracketedAnsweredAndReported) {
    FakePortMonitor pm;
    pm.SetDeviceId(TklDeviceId);
    // What the printer says once the job runs: a calibration value and the
    // job's end.
    pm.QueueRead("@TKL 220 = \"12\"\n@TKL 216 = \"" + JobTag(JobId) + "\"\n\f");

    LPMONITOR table = quennet_.Table();
    WCHAR portName[] = L"LPT1:";
    WCHAR printerName[] = L"TKL Printer";
    WCHAR docName[] = L"tkl job";
    WCHAR datatype[] = L"RAW";
    DOC_INFO_1W doc = {docName, nullptr, datatype};
    HANDLE port = nullptr;
    ASSERT_TRUE(table->pfnOpenPortEx(portName, printerName, &port, pm.Table()));
    SetLastError(0xDEADBEEF);
    ASSERT_TRUE(table->pfnStartDocPort(port, printerName, JobId, 1, (LPBYTE)&doc))
        << "error " << GetLastError();

    // The job-start text goes out ahead of the data, in as many calls as
    // the port takes; a job-language job reports success with last error 0.
    const std::string data = "page one\fpage two\f";
    size_t sent = 0;
    for (int calls = 0; calls < 20 && sent < data.size(); calls++) {
        DWORD written = 0;
        SetLastError(0xDEADBEEF);
        ASSERT_TRUE(table->pfnWritePort(port, (LPBYTE)data.data() + sent,
                                        (DWORD)(data.size() - sent), &written));
        EXPECT_EQ(GetLastError(), 0u);
        sent += written;
    }
    ASSERT_EQ(sent, data.size());
    ASSERT_TRUE(table->pfnEndDocPort(port));

    // The thread reads the printer's answer: the job is complete.
    std::string journal = WaitForJournal("\"AgentJobEnd\"");
    EXPECT_TRUE(table->pfnClosePort(port));

    // On the wire: job-start text, the data, job-end text.
    std::string wire = pm.Written();
    size_t at = wire.find(data);
    ASSERT_NE(at, std::string::npos) << wire;
    std::string start = wire.substr(0, at), end = wire.substr(at + data.size());
    EXPECT_EQ(start.rfind("@TKL ", 0), 0u) << start;
    EXPECT_EQ(start.back(), '\f');
    EXPECT_NE(start.find("@TKL 212"), std::string::npos) << "where progress goes: " << start;
    EXPECT_EQ(end.rfind("@TKL ", 0), 0u) << end;
    EXPECT_EQ(end.back(), '\f');
    EXPECT_NE(start, end);

    // The calibration value, in the port's key of the real registry.
    EXPECT_EQ(PortValue(L"CALIBRATION:YELLOW"), L"12");

    // The agent heard of the job with the printer's model, of the printer's
    // report of its end (0x1000100 for job 11), and of its end.
    EXPECT_NE(journal.find("\"AgentJobStart\""), std::string::npos) << journal;
    EXPECT_NE(journal.find("RVT-201 Office"), std::string::npos) << journal;
    EXPECT_NE(journal.find("\"job\":11,\"status\":\"0x1000100\""), std::string::npos) << journal;
}

} // namespace
