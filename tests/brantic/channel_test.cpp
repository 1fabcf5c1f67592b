// Jobs over the transport channel: which ports take it, how it is opened
// (socket, bind, channel number from the device ID, connect, time-out), what
// a failed open or send does, and the transport's missing exports.
#include "brantic_test.h"

namespace {

constexpr DWORD WsaConnRefused = 10061;

class ChannelTest : public BranticTest {
  protected:
    void SetUp() override {
        BranticTest::SetUp();
        if (IsSkipped())
            return;
        TransportDouble::SetDeviceId("MFG:X;MDL:Chan;JOB=0A1F;");
        pm_.SetDeviceId("MFG:X;MDL:Local;");
    }

    // The job channel that the open connected to (0 when none).
    static BYTE ConnectedChannel() {
        std::vector<TransportDouble::Call> connects = TransportDouble::Calls("Connect");
        return connects.empty() ? 0 : connects.back().Address[0];
    }
};

TEST_F(ChannelTest, OnlyTheLocalLpt1TakesTheChannel) {
    const struct {
        const WCHAR *Port;
        bool Redirected;
        bool Channel;
    } cases[] = {
        {WSTR("LPT1"), false, true},  {WSTR("LPT1:"), false, true}, {WSTR("lpt1"), false, false},
        {WSTR("LPT2"), false, false}, {WSTR("LPT1"), true, false},
    };
    DWORD job = 1;
    for (const auto &c : cases) {
        if (c.Redirected)
            RedirectLpt1();
        PortEntry *e = Open(c.Port);
        ASSERT_NE(e, nullptr);
        pm_.ClearCalls();
        TransportDouble::ClearCalls();
        ASSERT_TRUE(Start(e, job++));
        EXPECT_EQ(Write(e, "data"), 4u);
        EXPECT_EQ(e->ChannelSocket != NO_SOCKET, c.Channel) << PlatNarrow(c.Port);
        EXPECT_EQ(pm_.CallCount(PortFn::OpenPort), c.Channel ? 0u : 1u) << PlatNarrow(c.Port);
        EXPECT_EQ(TransportDouble::Calls("Send").size(), c.Channel ? 1u : 0u);
        ASSERT_TRUE(EndDocPort(e));
        ASSERT_TRUE(Close(e));
    }
}

TEST_F(ChannelTest, AChannelJobOpensSendsAndClosesItsSocket) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(Start(e, 3));
    EXPECT_STREQ(e->Model, "Chan");
    EXPECT_EQ(e->PortHandle, nullptr);
    EXPECT_EQ(Write(e, "page 1"), 6u);
    EXPECT_EQ(Write(e, "page 2"), 6u);
    ASSERT_TRUE(EndDocPort(e));

    EXPECT_EQ(TransportDouble::CallNames(),
              (std::vector<std::string>{"CreateSocket", "Bind", "GetChannelCapability", "Connect",
                                        "GetTimeout", "SetTimeout", "GetChannelCapability", "Send",
                                        "Send", "CloseSocket"}));
    for (const TransportDouble::Call &call : TransportDouble::Calls())
        EXPECT_EQ(call.Socket, 1u) << call.Name;
    // Both addresses: only the device name and the channel number are set.
    std::vector<BYTE> bind(44, 0), connect(44, 0);
    memcpy(bind.data() + 2, "LPT1", 4);
    connect[0] = 31;
    EXPECT_EQ(TransportDouble::Calls("Bind")[0].Address, bind);
    EXPECT_EQ(TransportDouble::Calls("Connect")[0].Address, connect);
    TransportDouble::Call query = TransportDouble::Calls("GetChannelCapability")[0];
    EXPECT_EQ(query.Code, (DWORD)IOCTL_PAR_QUERY_DEVICE_ID);
    EXPECT_EQ(query.InSize, 0u);
    EXPECT_EQ(query.OutSize, 1025u);
    // The first time-out as the library had it, the second from the profile's default.
    TransportDouble::Call timeout = TransportDouble::Calls("SetTimeout")[0];
    EXPECT_EQ(timeout.First, 7000u);
    EXPECT_EQ(timeout.Second, 180000u);

    EXPECT_EQ(TransportDouble::Sent(), "page 1page 2");
    EXPECT_TRUE(TransportDouble::OpenSockets().empty());
    EXPECT_TRUE(pm_.Calls().empty());
    EXPECT_EQ(AgentDouble::Calls("AgentJobStart")[0].Model, "Chan");
    EXPECT_EQ(JobCommands(3),
              (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
}

TEST_F(ChannelTest, TheRetryTimeOutComesFromTheProfileInMilliseconds) {
    PortEntry *e = Open(WSTR("LPT1:"));
    ASSERT_NE(e, nullptr);
    SetRetryTimeout(30);
    ASSERT_TRUE(Start(e, 1));
    ASSERT_TRUE(EndDocPort(e));
    EXPECT_EQ(TransportDouble::Calls("SetTimeout").back().Second, 30000u);

    // A library that cannot tell its time-outs keeps them.
    TransportDouble::SetTimeouts(0, 0, 0);
    ASSERT_TRUE(Start(e, 2));
    EXPECT_NE(e->ChannelSocket, NO_SOCKET);
    ASSERT_TRUE(EndDocPort(e));
    EXPECT_EQ(TransportDouble::Calls("SetTimeout").size(), 1u);
}

TEST_F(ChannelTest, TheJobChannelIsReadFromTheDeviceId) {
    const std::pair<std::string, BYTE> cases[] = {
        {"MFG:X;MDL:M;JOB=0A1F;", 31}, {"MDL:M;CMD:Y;JOB=00FF", 255}, {"MDL:M;JOB=0A5;", 5},
        {"MDL:M;JOB=0A00;", 16},       {"MDL:M;JOB=0AZZ;", 16},       {"MDL:M;JOB=0A1", 16},
        {"JOB=0A1F;MDL:M;", 16},       {"MFG:X;JOB=0A1F;", 16},       {"", 16},
    };
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    DWORD job = 1;
    for (const auto &[deviceId, channel] : cases) {
        TransportDouble::SetDeviceId(deviceId);
        ASSERT_TRUE(Start(e, job++));
        EXPECT_EQ(ConnectedChannel(), channel) << deviceId;
        ASSERT_TRUE(EndDocPort(e));
    }
    // A device ID that cannot be read gives the default too.
    TransportDouble::SetDeviceId("MDL:M;JOB=0A1F;");
    TransportDouble::SetCapabilityAnswer(-1);
    ASSERT_TRUE(Start(e, job));
    EXPECT_EQ(ConnectedChannel(), 16);
    ASSERT_TRUE(EndDocPort(e));
}

TEST_F(ChannelTest, ConnectAnswersZeroToTwoConnectOthersDeferTheOpen) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    DWORD job = 1;
    for (int answer : {0, 1, 2, 3, -1}) {
        bool connects = answer >= 0 && answer <= 2;
        TransportDouble::SetConnectAnswer(answer, WsaConnRefused);
        TransportDouble::ClearCalls();
        SetLastError(0);
        ASSERT_TRUE(Start(e, job++));
        EXPECT_EQ((e->Flags & OpenDeferred) == 0, connects) << answer;
        EXPECT_EQ(e->ChannelSocket != NO_SOCKET, connects) << answer;
        if (!connects) {
            // The failure tail closed the socket and kept the connect's error.
            EXPECT_EQ(GetLastError(), WsaConnRefused);
            EXPECT_EQ(TransportDouble::CallNames().back(), "CloseSocket");
            EXPECT_NE(e->DocInfo, nullptr);
        }
        ASSERT_TRUE(EndDocPort(e));
        EXPECT_TRUE(TransportDouble::OpenSockets().empty()) << answer;
    }
}

TEST_F(ChannelTest, AFailedOpenIsRetriedWithANewSocketAtEveryWrite) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    TransportDouble::SetBindAnswer(-1, ERROR_GEN_FAILURE);
    SetLastError(0);
    ASSERT_TRUE(Start(e, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(Write(e, "data"), 0u);
    TransportDouble::SetBindAnswer(0);
    EXPECT_EQ(Write(e, "data"), 4u);
    ASSERT_TRUE(EndDocPort(e));

    std::vector<TransportDouble::Call> creates = TransportDouble::Calls("CreateSocket");
    std::vector<TransportDouble::Call> closes = TransportDouble::Calls("CloseSocket");
    ASSERT_EQ(creates.size(), 3u);
    ASSERT_EQ(closes.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(closes[i].Socket, creates[i].Socket);
    EXPECT_EQ(TransportDouble::Sent(), "data");
    // The model is read once the retry opened the channel.
    EXPECT_STREQ(e->Model, "Chan");
    EXPECT_TRUE(pm_.Calls().empty());
}

TEST_F(ChannelTest, AFailedSocketCreationNeitherBindsNorCloses) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    TransportDouble::SetCreateSocketAnswer(0x8001, 10024);
    ASSERT_TRUE(Start(e, 1));
    EXPECT_EQ(GetLastError(), 10024u);
    EXPECT_EQ(e->ChannelSocket, NO_SOCKET);
    EXPECT_EQ(Write(e, "data"), 0u);
    ASSERT_TRUE(EndDocPort(e));
    EXPECT_EQ(TransportDouble::CallNames(),
              (std::vector<std::string>{"CreateSocket", "CreateSocket"}));
}

TEST_F(ChannelTest, AFailedSendClosesTheSocketAndCancelsTheJob) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    TransportDouble::ScriptSends({3, -1});
    ASSERT_TRUE(Start(e, 4));
    EXPECT_EQ(Write(e, "first"), 3u);
    SetLastError(ERROR_GEN_FAILURE);
    BOOL ok = FALSE;
    EXPECT_EQ(Write(e, "second", &ok), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(e->ChannelSocket, NO_SOCKET);
    EXPECT_TRUE(e->Flags & JobCancelled);
    EXPECT_EQ(Write(e, "third"), 0u);
    ASSERT_TRUE(EndDocPort(e));

    EXPECT_EQ(TransportDouble::Calls("Send").size(), 2u);
    EXPECT_EQ(TransportDouble::Calls("CloseSocket").size(), 1u);
    std::vector<DWORD> codes;
    for (const AgentDouble::Call &call : AgentDouble::Calls("AgentJobStatus"))
        codes.push_back(call.Code);
    EXPECT_EQ(codes, (std::vector<DWORD>{AGENT_STATUS_DATA_STARTED, AGENT_STATUS_SEND_FAILED,
                                         AGENT_STATUS_JOB_END}));
    EXPECT_EQ(JobCommands(4), (std::vector<DWORD>{JOB_CONTROL_CANCEL, JOB_CONTROL_SENT_TO_PRINTER,
                                                  JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_TRUE(pm_.Calls().empty());
}

TEST_F(ChannelTest, ReadsFailAndOnlyTheDeviceIdIsAskedWhileAChannelIsOpen) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(Start(e, 1));
    BYTE buffer[8];
    DWORD count = 0;
    SetLastError(1234);
    EXPECT_FALSE(ReadPort(e, buffer, sizeof(buffer), &count));
    EXPECT_EQ(GetLastError(), 1234u);

    char out[64] = {};
    DWORD returned = 0;
    EXPECT_TRUE(GetPrinterDataFromPort(e, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0,
                                       (LPWSTR)out, sizeof(out), &returned));
    EXPECT_EQ(std::string(out, returned), "MFG:X;MDL:Chan;JOB=0A1F;");
    size_t queries = TransportDouble::Calls("GetChannelCapability").size();
    EXPECT_FALSE(GetPrinterDataFromPort(e, 0x160010, nullptr, nullptr, 0, (LPWSTR)out, sizeof(out),
                                        &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(TransportDouble::Calls("GetChannelCapability").size(), queries);
    TransportDouble::SetCapabilityAnswer(5);
    EXPECT_FALSE(GetPrinterDataFromPort(e, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0,
                                        (LPWSTR)out, sizeof(out), &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(EndDocPort(e));
    EXPECT_TRUE(pm_.Calls().empty());
}

// A port whose jobs change between the port monitor and the channel: the
// port monitor's handle, closed by the first job, is never used again.
TEST_F(ChannelTest, APortMonitorHandleIsNotEndedAgainByALaterChannelJob) {
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    RedirectLpt1();
    ASSERT_TRUE(Start(e, 1));
    ASSERT_EQ(e->ChannelSocket, NO_SOCKET);
    EXPECT_EQ(Write(e, "printed"), 7u);
    ASSERT_TRUE(EndDocPort(e));

    DeleteKey(HKEY_CURRENT_USER, WSTR("Network\\LPT1"));
    TransportDouble::ScriptSends({-1});
    ASSERT_TRUE(Start(e, 2));
    ASSERT_NE(e->ChannelSocket, NO_SOCKET);
    EXPECT_EQ(Write(e, "lost"), 0u);
    ASSERT_TRUE(EndDocPort(e));

    EXPECT_EQ(pm_.CallCount(PortFn::EndDocPort), 1u);
    EXPECT_EQ(pm_.CallCount(PortFn::ClosePort), 1u);
    for (const PortMonitorCall &call : pm_.Calls())
        EXPECT_TRUE(call.Result) << PortFnName(call.Function);
}

TEST_F(ChannelTest, MissingExportsGiveTheirFixedAnswers) {
    UseLibraries(AgentFolder::Double, TransportFolder::Partial);
    PortEntry *e = Open(WSTR("LPT1"));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(TransportDouble::Loads("transport_partial"), 1);
    ASSERT_TRUE(Start(e, 1));
    // No device ID: channel 16, no model; no time-outs touched.
    EXPECT_EQ(ConnectedChannel(), 16);
    EXPECT_EQ(e->Model, nullptr);
    EXPECT_EQ(TransportDouble::CallNames(),
              (std::vector<std::string>{"CreateSocket", "Bind", "Connect"}));
    // No send: the first write cancels the job.
    EXPECT_EQ(Write(e, "data"), 0u);
    EXPECT_TRUE(e->Flags & JobCancelled);
    EXPECT_EQ(TransportDouble::CallNames().back(), "CloseSocket");
    ASSERT_TRUE(EndDocPort(e));
    EXPECT_EQ(TransportGetTimeout(1, nullptr, nullptr), 0);
    EXPECT_EQ(TransportSetTimeout(1, 1, 1), 0);
    EXPECT_EQ(TransportSend(1, nullptr, 0), -1);
    EXPECT_EQ(TransportGetChannelCapability(1, 0, nullptr, 0, nullptr, 0, nullptr), -1);
}

// A transport without one of the exports every channel open needs: each
// open of the channel fails (retried at every write, no socket left open),
// so a job on LPT1 never reaches a printer, while other ports still print
// through the port monitor.
TEST_F(ChannelTest, ATransportThatCannotOpenAChannelNeverOpensOne) {
    for (TransportFolder without :
         {TransportFolder::WithoutCreateSocket, TransportFolder::WithoutBind,
          TransportFolder::WithoutConnect}) {
        SCOPED_TRACE((int)without);
        TransportDouble::Reset();
        pm_.Reset();
        UseLibraries(AgentFolder::Double, without);
        PortEntry *lpt1 = Open(WSTR("LPT1"));
        PortEntry *lpt2 = Open(WSTR("LPT2"));
        ASSERT_TRUE(lpt1 != nullptr && lpt2 != nullptr);
        ASSERT_NE(PlatModuleRefCount(TransportDll), 0) << "the transport is loaded";
        ASSERT_TRUE(Start(lpt1, 1));
        EXPECT_TRUE(lpt1->Flags & OpenDeferred);
        EXPECT_EQ(Write(lpt1, "data"), 0u);
        EXPECT_EQ(Write(lpt1, "data"), 0u);
        EXPECT_TRUE(lpt1->Flags & OpenDeferred);
        EXPECT_EQ(lpt1->ChannelSocket, NO_SOCKET);
        EXPECT_TRUE(TransportDouble::OpenSockets().empty());
        EXPECT_TRUE(TransportDouble::Calls("Connect").size() <= 3u);
        ASSERT_TRUE(EndDocPort(lpt1));

        ASSERT_TRUE(Start(lpt2, 2));
        EXPECT_EQ(Write(lpt2, "data"), 4u);
        ASSERT_TRUE(EndDocPort(lpt2));
        EXPECT_EQ(pm_.Written(), "data");
        EXPECT_EQ(pm_.CallCount(PortFn::OpenPort), 1u) << "LPT1 never used the port monitor";
        ASSERT_TRUE(Close(lpt1));
        ASSERT_TRUE(Close(lpt2));
        EXPECT_EQ(PlatModuleRefCount(TransportDll), 0) << "the transport is gone";
    }
}

} // namespace
