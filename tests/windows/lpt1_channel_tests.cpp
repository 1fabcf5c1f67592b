// Brantic.dll on "LPT1" with the reference outside libraries, on the real
// Win32 API under Wine: the transport "DARUZUROZ.DLL" carries the job over
// Windows Sockets to a printer endpoint on the loopback, the reference status
// agent "RAVODIR.DLL" takes part, and Windows' own profile and network calls
// decide the time-out and that "LPT1" is local.
#include <gtest/gtest.h>

#include "monitor_loader.h"
#include "windows_test_files.h"

#include <string>
#include <thread>

namespace {

const WCHAR TransportKey[] = L"SOFTWARE\\Daruzuroz\\Transport";
const WCHAR AgentKey[] = L"SOFTWARE\\Ravodir\\Agent";
constexpr DWORD Channel = 31;

// Windows Sockets for the test's own endpoints.
struct SocketsStarted {
    bool Ok = false;
    SocketsStarted() {
        WSADATA data;
        Ok = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    }
    ~SocketsStarted() {
        if (Ok)
            WSACleanup();
    }
};

// A printer endpoint on 127.0.0.1: accepts up to `connections` connections
// one after another; each gets `answer` once its first line has come (when
// an answer is given), and everything received until the peer closes is
// kept. It gives up waiting for a connection after 10 s, so that a test that
// went wrong still ends.
class Listener {
  public:
    explicit Listener(int connections = 1, std::string answer = "") : answer_(std::move(answer)) {
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        if (socket_ == INVALID_SOCKET || bind(socket_, (sockaddr *)&address, size) != 0 ||
            listen(socket_, 4) != 0 || getsockname(socket_, (sockaddr *)&address, &size) != 0) {
            ADD_FAILURE() << "cannot listen on the loopback: " << WSAGetLastError();
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, connections] { Serve(connections); });
    }
    ~Listener() {
        Received();
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    DWORD Port() const { return port_; }
    // What the connections sent, in order (waits for them to end).
    std::string Received() {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }
    int Connections() {
        Received();
        return accepted_;
    }

  private:
    void Serve(int connections) {
        for (int i = 0; i < connections; i++) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(socket_, &ready);
            timeval wait = {10, 0};
            if (select(0, &ready, nullptr, nullptr, &wait) != 1)
                return;
            SOCKET peer = accept(socket_, nullptr, nullptr);
            if (peer == INVALID_SOCKET)
                return;
            accepted_++;
            char buffer[4096];
            int got;
            std::string line;
            bool answered = answer_.empty();
            while ((got = recv(peer, buffer, sizeof(buffer), 0)) > 0) {
                received_.append(buffer, (size_t)got);
                line.append(buffer, (size_t)got);
                if (!answered && line.find('\n') != std::string::npos) {
                    send(peer, answer_.data(), (int)answer_.size(), 0);
                    answered = true;
                    break;
                }
            }
            closesocket(peer);
        }
    }

    SOCKET socket_ = INVALID_SOCKET;
    DWORD port_ = 0;
    std::string answer_;
    std::string received_;
    int accepted_ = 0;
    std::thread thread_;
};

class BranticOverTheReferenceTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sockets_.Ok) << "WSAStartup failed";
        // Both reference libraries come from their folder; the transport's
        // and the agent's settings from a clean start.
        PlatSetLibraryPath(QUENNET_COMPANION_FOLDER);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, TransportKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, AgentKey);
        journal_ = TempFolderPath(L"brantic-channel-journal.jsonl");
        DeleteFileW(journal_.c_str());
        SetMachineString(AgentKey, L"Journal", journal_);
        brantic_ = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
        ASSERT_NE(brantic_.MonitorEx, nullptr) << "Brantic did not initialise";
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, TransportKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, AgentKey);
        DeleteFileW(journal_.c_str());
    }

    // The printer's endpoints: `control` for device IDs, `data` as the channel.
    void Configure(const Listener &control, const Listener &data) {
        SetMachineString(TransportKey, L"Host", L"127.0.0.1");
        SetMachineDword(TransportKey, L"BasePort", data.Port() - Channel);
        SetMachineDword(TransportKey, L"ControlPort", control.Port());
    }

    SocketsStarted sockets_;
    LoadedMonitor brantic_;
    std::wstring journal_;
};

TEST_F(BranticOverTheReferenceTransport, AnLpt1JobTravelsOverItsChannelToThePrinter) {
    // Two device-ID requests: the channel number, then the model for the agent.
    const std::string deviceId = "MFG:Sim;CMD:RAW;MDL:Ref 1;JOB=0A1F;";
    Listener control(2, deviceId), data;
    Configure(control, data);

    // No port monitor below is needed on "LPT1": every slot is empty.
    MONITOR below = {};
    WCHAR portName[] = L"LPT1:";
    WCHAR printerName[] = L"Channel Printer";
    WCHAR docName[] = L"channel job";
    WCHAR datatype[] = L"RAW";
    DOC_INFO_1W doc = {docName, nullptr, datatype};
    LPMONITOR table = brantic_.Table();

    HANDLE port = nullptr;
    SetLastError(0xDEADBEEF);
    ASSERT_TRUE(table->pfnOpenPortEx(portName, printerName, &port, &below))
        << "error " << GetLastError();
    SetLastError(0xDEADBEEF);
    ASSERT_TRUE(table->pfnStartDocPort(port, printerName, 9, 1, (LPBYTE)&doc))
        << "error " << GetLastError();

    std::string job;
    for (int i = 0; i < 20000; i++)
        job.push_back((char)(i * 13 & 0xFF));
    size_t sent = 0;
    while (sent < job.size()) {
        DWORD want = (DWORD)std::min<size_t>(3000, job.size() - sent);
        DWORD written = 0;
        SetLastError(0xDEADBEEF);
        ASSERT_TRUE(table->pfnWritePort(port, (LPBYTE)job.data() + sent, want, &written))
            << "at byte " << sent << ", error " << GetLastError();
        ASSERT_GT(written, 0u) << "at byte " << sent << ": the channel did not take the data";
        sent += written;
    }

    // Nothing can be read back over the channel; the last error stays.
    char answer[16];
    DWORD got = 0;
    SetLastError(0x1234);
    EXPECT_FALSE(table->pfnReadPort(port, (LPBYTE)answer, sizeof(answer), &got));
    EXPECT_EQ(GetLastError(), 0x1234u);

    EXPECT_TRUE(table->pfnEndDocPort(port));
    EXPECT_TRUE(table->pfnClosePort(port));

    EXPECT_EQ(control.Received(), "DEVICEID LPT1\nDEVICEID LPT1\n");
    std::string printed = data.Received();
    EXPECT_EQ(data.Connections(), 1);
    EXPECT_EQ(printed.size(), job.size());
    EXPECT_TRUE(printed == job) << "the printer's bytes differ from the job's";

    // The reference agent heard of the job with the model from the device ID.
    std::string journal = ReadFileBytes(journal_);
    EXPECT_NE(journal.find("\"AgentJobStart\""), std::string::npos) << journal;
    EXPECT_NE(journal.find("Ref 1"), std::string::npos) << journal;
    EXPECT_NE(journal.find("\"AgentJobEnd\""), std::string::npos) << journal;
}

TEST_F(BranticOverTheReferenceTransport, ARefusedChannelDefersTheJobUntilThePrinterListens) {
    // The device ID is answered, but nothing listens on the channel: the open
    // fails with the Windows Sockets error, the job is not lost, and a later
    // write opens the channel anew once the printer listens.
    const std::string deviceId = "MFG:Sim;CMD:RAW;MDL:Ref 1;JOB=0A1F;";
    Listener control(4, deviceId);
    Listener *data = nullptr;
    {
        // A port that was free a moment ago and is closed again: refused.
        Listener probe(0);
        Configure(control, probe);
    }

    MONITOR below = {};
    WCHAR portName[] = L"LPT1";
    WCHAR printerName[] = L"Channel Printer";
    DOC_INFO_1W doc = {nullptr, nullptr, nullptr};
    LPMONITOR table = brantic_.Table();
    HANDLE port = nullptr;
    ASSERT_TRUE(table->pfnOpenPortEx(portName, printerName, &port, &below));
    SetLastError(0xDEADBEEF);
    EXPECT_TRUE(table->pfnStartDocPort(port, printerName, 10, 1, (LPBYTE)&doc));

    // While refused, writes take nothing and report no failure.
    std::string text = "deferred job\f";
    DWORD written = 5;
    SetLastError(0xDEADBEEF);
    EXPECT_TRUE(table->pfnWritePort(port, (LPBYTE)text.data(), (DWORD)text.size(), &written));
    EXPECT_EQ(written, 0u);

    // The printer listens now (on a new port: point the channel at it).
    Listener listening;
    data = &listening;
    Configure(control, *data);
    size_t sent = 0;
    for (int tries = 0; tries < 10 && sent < text.size(); tries++) {
        written = 0;
        ASSERT_TRUE(table->pfnWritePort(port, (LPBYTE)text.data() + sent,
                                        (DWORD)(text.size() - sent), &written));
        sent += written;
    }
    EXPECT_EQ(sent, text.size());
    EXPECT_TRUE(table->pfnEndDocPort(port));
    EXPECT_TRUE(table->pfnClosePort(port));
    EXPECT_EQ(data->Received(), text);
}

} // namespace
