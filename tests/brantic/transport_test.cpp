// The reference transport "DARUZUROZ.DLL" over real loopback sockets: on
// its own, and carrying a Brantic job to a listening printer endpoint.
#include "brantic_test.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

const WString TransportKey = WSTR("SOFTWARE\\Daruzuroz\\Transport");
constexpr BYTE Channel = 31;

// A printer endpoint on 127.0.0.1: accepts `connections` connections one
// after another; each gets `answer` once its first line has come (when an
// answer is given; one byte every `trickleMs` when that is set, until the
// peer is gone), and everything received until the peer closes is kept.
class Listener {
  public:
    explicit Listener(int connections = 1, std::string answer = "", int trickleMs = 0)
        : answer_(std::move(answer)), trickleMs_(trickleMs) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (bind(fd_, (sockaddr *)&address, size) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, (sockaddr *)&address, &size) != 0)
            ADD_FAILURE() << "cannot listen on the loopback";
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, connections] { Serve(connections); });
    }
    ~Listener() {
        Received();
        close(fd_);
    }
    DWORD Port() const { return port_; }
    // What the connections sent, in order (waits for them to end).
    std::string Received() {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }
    // Bytes of answers sent.
    size_t Sent() {
        Received();
        return sent_;
    }

  private:
    void Serve(int connections) {
        for (int i = 0; i < connections; i++) {
            // Never wait for ever on a test that went wrong.
            pollfd ready = {fd_, POLLIN, 0};
            if (poll(&ready, 1, 10000) != 1)
                return;
            int peer = accept(fd_, nullptr, nullptr);
            char buffer[4096];
            ssize_t got;
            bool answered = answer_.empty();
            while ((got = recv(peer, buffer, sizeof(buffer), 0)) > 0) {
                received_.append(buffer, (size_t)got);
                if (!answered && received_.find('\n') != std::string::npos) {
                    for (size_t at = 0; at < answer_.size();
                         at += trickleMs_ ? 1 : answer_.size()) {
                        if (trickleMs_ != 0)
                            std::this_thread::sleep_for(std::chrono::milliseconds(trickleMs_));
                        size_t n = trickleMs_ ? 1 : answer_.size();
                        if (send(peer, answer_.data() + at, n, MSG_NOSIGNAL) != (ssize_t)n)
                            break;
                        sent_ += n;
                    }
                    answered = true;
                    break;
                }
            }
            close(peer);
        }
    }

    int fd_ = -1;
    DWORD port_ = 0;
    std::string answer_;
    int trickleMs_;
    size_t sent_ = 0;
    std::string received_;
    std::thread thread_;
};

class ReferenceTransportTest : public BranticTest {
  protected:
    void SetUp() override {
        BranticTest::SetUp();
        if (IsSkipped())
            return;
        UseLibraries(AgentFolder::Double, TransportFolder::Reference);
    }
    // The printer's endpoints: `control` for device IDs, `data` as channel 31.
    void Configure(const Listener &control, const Listener &data) {
        SetString(HKEY_LOCAL_MACHINE, TransportKey, WSTR("Host"), WSTR("127.0.0.1"));
        SetDword(HKEY_LOCAL_MACHINE, TransportKey, WSTR("BasePort"), data.Port() - Channel);
        SetDword(HKEY_LOCAL_MACHINE, TransportKey, WSTR("ControlPort"), control.Port());
    }
};

template <class F> F Export(HMODULE library, const char *name) {
    return ProcAs<F>(GetProcAddress(library, name));
}

TEST_F(ReferenceTransportTest, ASocketAsksTheDeviceIdAndSendsOverItsChannel) {
    Listener control(1, "MFG:Sim;MDL:Ref;JOB=0A1F;"), data;
    Configure(control, data);
    HMODULE library = LoadLibraryW(TransportDll.c_str());
    ASSERT_NE(library, nullptr);
    auto create = Export<PFN_ZLT_CreateSocket>(library, "ZLT_CreateSocket");
    auto bind = Export<PFN_ZLT_Bind>(library, "ZLT_Bind");
    auto socketId = Export<PFN_ZLT_GetSockedID>(library, "ZLT_GetSockedID");
    auto connect = Export<PFN_ZLT_Connect>(library, "ZLT_Connect");
    auto closeSocket = Export<PFN_ZLT_CloseSocket>(library, "ZLT_CloseSocket");
    auto send = Export<PFN_ZLT_Send>(library, "ZLT_Send");
    auto capability = Export<PFN_ZLT_GetChannelCapability>(library, "ZLT_GetChannelCapability");
    auto setTimeout = Export<PFN_ZLT_SetTimeout>(library, "ZLT_SetTimeout");
    auto getTimeout = Export<PFN_ZLT_GetTimeout>(library, "ZLT_GetTimeout");
    ASSERT_TRUE(create && bind && socketId && connect && closeSocket && send && capability &&
                setTimeout && getTimeout && GetProcAddress(library, "ZLT_Recv"));

    WORD s = create();
    ASSERT_EQ(s & TRANSPORT_SOCKET_FAILED, 0u);
    char out[256] = {};
    DWORD returned = 0;
    ChannelConnectAddress to = {Channel, {}};
    // Nothing before the device is named.
    EXPECT_EQ(capability(s, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, 0, out, sizeof(out), &returned),
              -1);
    EXPECT_EQ(connect(s, &to), -1);
    ChannelBindAddress device = {{0, 0}, "LPT1"};
    ASSERT_EQ(bind(s, &device), 0);

    ASSERT_EQ(capability(s, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, 0, out, sizeof(out), &returned), 0);
    EXPECT_EQ(std::string(out, returned), "MFG:Sim;MDL:Ref;JOB=0A1F;");
    EXPECT_EQ(control.Received(), "DEVICEID LPT1\n");

    DWORD first = 0, second = 0;
    ASSERT_NE(getTimeout(s, &first, &second), 0);
    EXPECT_EQ(first, 10000u);
    EXPECT_EQ(second, 180000u);
    EXPECT_NE(setTimeout(s, 2000, 30000), 0);
    ASSERT_NE(getTimeout(s, &first, &second), 0);
    EXPECT_EQ(second, 30000u);

    ASSERT_EQ(connect(s, &to), 0);
    EXPECT_EQ(socketId(s), (int)Channel);
    std::string job = "job bytes\f";
    EXPECT_EQ(send(s, (LPBYTE)job.data(), (DWORD)job.size()), (int)job.size());
    EXPECT_EQ(closeSocket(s), 0);
    EXPECT_EQ(data.Received(), job);
    EXPECT_EQ(closeSocket(s), -1);
    EXPECT_EQ(send(s, (LPBYTE)job.data(), (DWORD)job.size()), -1);
    FreeLibrary(library);
}

TEST_F(ReferenceTransportTest, TheDeviceKeyCanGiveTheDeviceIdAndARefusedChannelFails) {
    // A bound port that does not listen refuses: it is channel 30.
    int refusing = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(::bind(refusing, (sockaddr *)&address, size), 0);
    ASSERT_EQ(getsockname(refusing, (sockaddr *)&address, &size), 0);
    SetDword(HKEY_LOCAL_MACHINE, TransportKey, WSTR("BasePort"), ntohs(address.sin_port) - 30u);
    SetString(HKEY_LOCAL_MACHINE, TransportKey + WSTR("\\LPT1"), WSTR("DeviceId"),
              WSTR("MDL:Configured;"));
    HMODULE library = LoadLibraryW(TransportDll.c_str());
    ASSERT_NE(library, nullptr);
    auto create = Export<PFN_ZLT_CreateSocket>(library, "ZLT_CreateSocket");
    auto bind = Export<PFN_ZLT_Bind>(library, "ZLT_Bind");
    auto connect = Export<PFN_ZLT_Connect>(library, "ZLT_Connect");
    auto closeSocket = Export<PFN_ZLT_CloseSocket>(library, "ZLT_CloseSocket");
    auto capability = Export<PFN_ZLT_GetChannelCapability>(library, "ZLT_GetChannelCapability");

    WORD s = create();
    ChannelBindAddress device = {{0, 0}, "LPT1"};
    ASSERT_EQ(bind(s, &device), 0);
    char out[8] = {};
    DWORD returned = 0;
    ASSERT_EQ(capability(s, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, 0, out, sizeof(out), &returned), 0);
    EXPECT_EQ(std::string(out, returned), "MDL:Conf"); // cut to the buffer
    EXPECT_EQ(capability(s, 0x160010, nullptr, 0, out, sizeof(out), &returned), -1);

    ChannelConnectAddress to = {30, {}};
    EXPECT_EQ(connect(s, &to), -1);
    EXPECT_EQ(GetLastError(), 10061u);
    EXPECT_EQ(closeSocket(s), 0);
    FreeLibrary(library);
    close(refusing);
}

// A whole job through Brantic and the reference transport: the device ID
// names channel 31, and the bytes arrive there unchanged.
TEST_F(ReferenceTransportTest, AJobTravelsOverTheChannelToThePrinter) {
    // Two device-ID requests: the job channel, then the model.
    Listener control(2, "MFG:Sim;MDL:Ref 1;JOB=0A1F;"), data;
    Configure(control, data);
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(TransportLoaded());

    std::string job;
    for (int i = 0; job.size() < 100000; i++)
        job += "line " + std::to_string(i) + " \x01\x02\xff\r\n";
    ASSERT_TRUE(Start(e, 11));
    ASSERT_NE(e->ChannelSocket, NO_SOCKET);
    EXPECT_STREQ(e->Model, "Ref 1");
    for (size_t offset = 0; offset < job.size(); offset += 4096) {
        std::string chunk = job.substr(offset, 4096);
        EXPECT_EQ(Write(e, chunk), chunk.size());
    }
    ASSERT_TRUE(EndDocPort(e));

    EXPECT_EQ(data.Received(), job);
    EXPECT_EQ(control.Received(), "DEVICEID LPT1\nDEVICEID LPT1\n");
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "Ref 1");
    EXPECT_EQ(JobCommands(11),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
    ASSERT_TRUE(Close(e));
    EXPECT_FALSE(TransportLoaded());
}

// The reference transport's time-outs expire: a printer that takes the
// device-ID query and never answers leaves the job on channel 16 without a
// model, and one that stops reading mid-job makes a send fail once the retry
// time-out has passed, which cancels the job.
TEST_F(ReferenceTransportTest, TimeOutsEndASilentPrinterAndOneThatStopsReading) {
    // Both queries get their answer a byte every 150 ms: the 200 ms time-out
    // bounds the whole answer, not each byte's wait.
    const std::string deviceId = "MFG:Sim;MDL:Ref 1;JOB=0A1F;";
    Listener control(2, deviceId, 150);
    // The data endpoint takes connections into its backlog and never reads.
    int stalled = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(::bind(stalled, (sockaddr *)&address, size), 0);
    ASSERT_EQ(listen(stalled, 1), 0);
    ASSERT_EQ(getsockname(stalled, (sockaddr *)&address, &size), 0);
    SetString(HKEY_LOCAL_MACHINE, TransportKey, WSTR("Host"), WSTR("127.0.0.1"));
    SetDword(HKEY_LOCAL_MACHINE, TransportKey, WSTR("BasePort"), ntohs(address.sin_port) - 16u);
    SetDword(HKEY_LOCAL_MACHINE, TransportKey, WSTR("ControlPort"), control.Port());
    SetDword(HKEY_LOCAL_MACHINE, TransportKey, WSTR("ReceiveTimeout"), 200);
    SetRetryTimeout(1);

    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(Start(e, 12));
    ASSERT_NE(e->ChannelSocket, NO_SOCKET) << "channel 16";
    EXPECT_EQ(e->Model, nullptr);
    EXPECT_EQ(control.Received(), "DEVICEID LPT1\nDEVICEID LPT1\n");
    EXPECT_LT(control.Sent(), 2 * deviceId.size()) << "the queries ended at their deadline";

    std::string chunk(65536, 'x');
    for (int writes = 0; !(e->Flags & JobCancelled) && writes < 1000; writes++)
        Write(e, chunk);
    EXPECT_TRUE(e->Flags & JobCancelled) << "a send timed out";
    EXPECT_EQ(e->ChannelSocket, NO_SOCKET);
    ASSERT_TRUE(EndDocPort(e));
    EXPECT_EQ(JobCommands(12).front(), (DWORD)JOB_CONTROL_CANCEL);
    close(stalled);
}

} // namespace
