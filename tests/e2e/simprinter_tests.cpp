// The stand-in spooler's own pieces: the job stream splitter, the simulated
// printer and its loopback server, the host's port monitors, the record file
// and the command-line helpers. The job-language text goes through the real
// parser library, loaded by name.
#include <gtest/gtest.h>

#include "cli.h"
#include "host.h"
#include "port_monitor.h"
#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// Job-language texts as the monitor builds them (through the same parser).
std::string Compose(const std::vector<TklEntry> &items) {
    std::string text;
    EXPECT_TRUE(tkl::Compose(items, &text));
    return text;
}
TklEntry Item(DWORD code) {
    TklEntry item;
    item.Code = code;
    return item;
}
TklEntry Item(DWORD code, const std::string &text) {
    TklEntry item = Item(code);
    item.Values.push_back(TklField::Str(text));
    return item;
}
std::string StartText(DWORD job) {
    return Compose({Item(200, "ON"), Item(65539), Item(212, "\"" + tkl::PortTag(job) + "\"")});
}
std::string EndText(DWORD job) {
    return Compose({Item(214, "\"" + tkl::PortTag(job) + "\""), Item(213)});
}

// The blocks of an answer text, parsed.
std::vector<std::vector<TklEntry>> Blocks(const std::string &text) {
    std::vector<std::vector<TklEntry>> blocks;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\f', start);
        if (end == std::string::npos)
            end = text.size() - 1;
        std::vector<TklEntry> items;
        tkl::Parse(text.substr(start, end + 1 - start), &items);
        blocks.push_back(items);
        start = end + 1;
    }
    return blocks;
}

std::string ReadEverything(SimPrinter &printer, DWORD size = 4096) {
    std::string out;
    char buffer[4096];
    DWORD got;
    while ((got = printer.Read(buffer, size)) > 0)
        out.append(buffer, got);
    return out;
}

class SpoolerPieces : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_HOOKS();
        PlatSetLibraryPath(QUENNET_COMPANION_FOLDER);
        std::string error;
        ASSERT_TRUE(tkl::Load(&error)) << error;
    }
};

// ---------------------------------------------------------------- job stream

TEST_F(SpoolerPieces, StreamSplitsStartDataAndEndEvenFedByteByByte) {
    std::string stream = StartText(42) + "payload \x0c with a form feed" + EndText(42);
    for (bool byteWise : {false, true}) {
        JobStream splitter;
        std::vector<JobStream::Event> events;
        if (byteWise) {
            for (char c : stream)
                splitter.Feed(&c, 1, &events);
        } else {
            splitter.Feed(stream.data(), stream.size(), &events);
        }
        ASSERT_EQ(splitter.Jobs().size(), 1u);
        const StreamJob &job = splitter.Jobs()[0];
        EXPECT_EQ(job.StartText, StartText(42));
        EXPECT_EQ(job.Data, "payload \x0c with a form feed");
        EXPECT_EQ(job.EndText, EndText(42));
        EXPECT_EQ(job.JobId, 42u);
        EXPECT_TRUE(job.Ended);
        EXPECT_EQ(job.EndedBy, "job-end command");
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].Kind, JobStream::EventKind::Started);
        EXPECT_EQ(events[1].Kind, JobStream::EventKind::Ended);
        EXPECT_TRUE(events[1].ByCommand);
        EXPECT_EQ(splitter.Received(), stream);
    }
}

TEST_F(SpoolerPieces, StreamKeepsWhatOnlyLooksLikeACommandAsData) {
    JobStream splitter;
    std::vector<JobStream::Event> events;
    std::string data = "abc @TKL not a command\f tail @TK";
    splitter.Feed(data.data(), data.size(), &events);
    splitter.Close(&events);
    ASSERT_EQ(splitter.Jobs().size(), 1u);
    EXPECT_EQ(splitter.Jobs()[0].Data, data);
    EXPECT_EQ(splitter.Jobs()[0].EndedBy, "port closed");
    EXPECT_TRUE(splitter.Jobs()[0].StartText.empty());

    // Plain jobs end at each close; a start block after data opens a new job.
    splitter.Feed("second", 6, &events);
    std::string next = StartText(9) + "third";
    splitter.Feed(next.data(), next.size(), &events);
    splitter.Close(&events);
    ASSERT_EQ(splitter.Jobs().size(), 3u);
    EXPECT_EQ(splitter.Jobs()[1].Data, "second");
    EXPECT_EQ(splitter.Jobs()[1].EndedBy, "next job began");
    EXPECT_EQ(splitter.Jobs()[2].JobId, 9u);
    EXPECT_EQ(splitter.Jobs()[2].Data, "third");
}

// ---------------------------------------------------------------- simulated printer

TEST_F(SpoolerPieces, PrinterAnswersStatusRequestsAndReportsTheJobsEnd) {
    SimPrinter printer(SimPrinterConfig{});
    std::string stream = StartText(0x2A) + "data" + EndText(0x2A);
    DWORD accepted = 0;
    ASSERT_TRUE(printer.Write(stream.data(), (DWORD)stream.size(), &accepted));
    EXPECT_EQ(accepted, stream.size());

    std::vector<std::vector<TklEntry>> blocks = Blocks(ReadEverything(printer));
    ASSERT_EQ(blocks.size(), 2u);
    // The status request of the job-start text.
    ASSERT_EQ(blocks[0].size(), 2u);
    EXPECT_EQ(blocks[0][0].Code, 65539u);
    EXPECT_EQ(blocks[0][0].Values[0].Number, 10000);
    EXPECT_EQ(blocks[0][1].Code, 65600u);
    // The job's end with its tag, unquoted, then status and calibration.
    std::vector<DWORD> codes;
    for (const TklEntry &item : blocks[1])
        codes.push_back(item.Code);
    EXPECT_EQ(codes, (std::vector<DWORD>{216, 65539, 65600, 220, 221, 222, 223}));
    EXPECT_EQ(blocks[1][0].Values[0].Text, "+LPT                          0000002A");
    EXPECT_EQ(blocks[1][4].Values[0].Number, -3);
    EXPECT_EQ(printer.PendingAnswerBytes(), 0u);
    EXPECT_EQ(printer.Jobs()[0].Data, "data");
}

TEST_F(SpoolerPieces, ModelRvt101ReportsTheEndWithItem208AndOtherModelsSpeakNoTkl) {
    SimPrinterConfig config;
    config.Model = "RVT-101";
    config.Behaviour.Silent = false;
    SimPrinter printer(config);
    std::string stream = "data" + Compose({Item(208, tkl::PortTag(5))});
    DWORD accepted = 0;
    printer.Write(stream.data(), (DWORD)stream.size(), &accepted);
    std::vector<std::vector<TklEntry>> blocks = Blocks(ReadEverything(printer));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0][0].Code, 208u);
    EXPECT_EQ(tkl::TagJobId(blocks[0][0].Values[0].Text), 5u);

    EXPECT_NE(DefaultDeviceId("RVT-201").find("CMD:TKL"), std::string::npos);
    EXPECT_EQ(DefaultDeviceId("LASER-9").find("TKL"), std::string::npos);
    EXPECT_EQ(DeviceIdChannel(DefaultDeviceId("RVT-201")), 0x11u);
    EXPECT_EQ(DeviceIdChannel("MFG:X;MDL:Y;DES:JOB=0A1F;"), 31u);
    EXPECT_EQ(DeviceIdChannel("MFG:X;MDL:Y;DES:JOB=0A00;"), 16u);
    EXPECT_EQ(DeviceIdChannel("JOB=0A1F;MDL:Y;"), 16u);
    EXPECT_EQ(DeviceIdChannel("MDL:Y;JOB=0A"), 16u);
}

TEST_F(SpoolerPieces, PrinterMisbehavesOnRequest) {
    SimPrinterConfig config;
    config.Behaviour.WriteCap = 3;
    config.Behaviour.FailWritesFrom = 2;
    config.Behaviour.FailWritesCount = 2;
    config.Behaviour.PieceSize = 5;
    SimPrinter printer(config);
    DWORD accepted = 99;
    EXPECT_TRUE(printer.Write("abcdef", 6, &accepted));
    EXPECT_EQ(accepted, 3u);
    EXPECT_FALSE(printer.Write("def", 3, &accepted));
    EXPECT_EQ(accepted, 0u);
    EXPECT_FALSE(printer.Write("def", 3, &accepted));
    EXPECT_TRUE(printer.Write("def", 3, &accepted));
    EXPECT_EQ(printer.FailedWrites(), 2u);
    EXPECT_EQ(printer.Received(), "abcdef");

    // Answers come in pieces of at most 5 bytes.
    std::string end = EndText(1);
    for (size_t done = 0; done < end.size(); done += accepted)
        ASSERT_TRUE(printer.Write(end.data() + done, (DWORD)(end.size() - done), &accepted));
    char buffer[64];
    EXPECT_EQ(printer.Read(buffer, sizeof(buffer)), 5u);

    // A silent printer never answers; a confused one sends garbage first.
    config = SimPrinterConfig{};
    config.Behaviour.Silent = true;
    SimPrinter silent(config);
    silent.Write(end.data(), (DWORD)end.size(), &accepted);
    EXPECT_EQ(silent.PendingAnswerBytes(), 0u);
    config.Behaviour = SimBehaviour{};
    config.Behaviour.Garbage = true;
    SimPrinter confused(config);
    confused.Write(end.data(), (DWORD)end.size(), &accepted);
    std::string first(buffer, confused.Read(buffer, sizeof(buffer)));
    std::vector<TklEntry> items;
    EXPECT_FALSE(tkl::Parse(first, &items)) << first;
    EXPECT_EQ(Blocks(ReadEverything(confused))[0][0].Code, 216u);
}

// ---------------------------------------------------------------- loopback server

int ConnectTo(unsigned port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (sockaddr *)&address, sizeof(address)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Reads until `until` appears, the peer closes, or 5 seconds pass.
std::string ReceiveUntil(int s, const std::string &until) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline &&
           (until.empty() || got.find(until) == std::string::npos)) {
        pollfd poller = {s, POLLIN, 0};
        if (poll(&poller, 1, 20) <= 0)
            continue;
        char buffer[1024];
        ssize_t n = recv(s, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        got.append(buffer, (size_t)n);
    }
    return got;
}

TEST_F(SpoolerPieces, ServerAnswersDeviceIdAndServesAJobChannelBothWays) {
    std::string folder =
        std::filesystem::temp_directory_path() / ("simprinter-tests-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    auto printer = std::make_shared<SimPrinter>(SimPrinterConfig{});
    SimServerConfig config;
    config.RecordPath = folder + "/record";
    SimServer server(printer, config);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    EXPECT_EQ(server.Channels(), (std::vector<unsigned>{0x11, 16}));

    int control = ConnectTo(server.BasePort());
    ASSERT_GE(control, 0);
    send(control, "DEVICEID LPT1\n", 14, MSG_NOSIGNAL);
    EXPECT_EQ(ReceiveUntil(control, ""), printer->DeviceId());
    close(control);

    int channel = ConnectTo(server.BasePort() + 0x11);
    ASSERT_GE(channel, 0);
    std::string stream = StartText(3) + "job bytes" + EndText(3);
    send(channel, stream.data(), stream.size(), MSG_NOSIGNAL);
    std::string answers = ReceiveUntil(channel, "223 = ");
    EXPECT_NE(answers.find(tkl::PortTag(3)), std::string::npos) << answers;
    close(channel);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.ServedConnections() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server.Stop();
    EXPECT_EQ(server.EndedJobs(), 1u);

    // The record tells the same job, bytes intact.
    std::ifstream record(config.RecordPath);
    std::string line;
    ASSERT_TRUE(std::getline(record, line));
    StreamJob job;
    ASSERT_TRUE(ParseRecordLine(line, &job)) << line;
    EXPECT_EQ(job.JobId, 3u);
    EXPECT_EQ(job.Data, "job bytes");
    EXPECT_EQ(job.StartText, StartText(3));
    EXPECT_EQ(job.EndText, EndText(3));
    EXPECT_EQ(job.EndedBy, "job-end command");
    EXPECT_EQ(job.Answers, printer->Answered());
    std::filesystem::remove_all(folder);
}

TEST_F(SpoolerPieces, ServerBreaksTheConnectionOffWhenAWriteFails) {
    SimPrinterConfig printerConfig;
    printerConfig.Behaviour.FailWritesFrom = 1;
    auto printer = std::make_shared<SimPrinter>(printerConfig);
    SimServer server(printer, SimServerConfig{});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    int channel = ConnectTo(server.BasePort() + 16);
    ASSERT_GE(channel, 0);
    send(channel, "doomed", 6, MSG_NOSIGNAL);
    // The reset ends the stream: nothing more comes, and sending fails soon.
    EXPECT_EQ(ReceiveUntil(channel, "never"), "");
    bool failed = false;
    for (int i = 0; i < 100 && !failed; i++) {
        failed = send(channel, "more", 4, MSG_NOSIGNAL) < 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(failed);
    close(channel);
    server.Stop();
    EXPECT_EQ(printer->FailedWrites(), 1u);
}

TEST_F(SpoolerPieces, RecordLinesCarryAnyBytes) {
    StreamJob job;
    job.JobId = 0xDEADBEEF;
    job.Data = std::string("\0\x01\xff \n=", 6);
    job.Ended = true;
    job.EndedBy = "port closed";
    StreamJob back;
    ASSERT_TRUE(ParseRecordLine(RecordLine(4, job), &back));
    EXPECT_EQ(back.JobId, job.JobId);
    EXPECT_EQ(back.Data, job.Data);
    EXPECT_TRUE(back.StartText.empty());
    EXPECT_EQ(back.EndedBy, "port closed");
    EXPECT_FALSE(ParseRecordLine("job=1 id=00000001 data=abc", &back));
}

// ---------------------------------------------------------------- port monitors

TEST_F(SpoolerPieces, PortMonitorsServeTheirOutputsAndTapEveryByte) {
    std::string error;
    // sim: answers the device ID, cut to the caller's buffer, and reads back.
    auto printer = std::make_shared<SimPrinter>(SimPrinterConfig{});
    auto sim = HostPortMonitor::Create("sim:RVT-201", printer, "", &error);
    ASSERT_NE(sim, nullptr) << error;
    LPMONITOR table = sim->Table();
    ASSERT_NE(table->pfnGetPrinterDataFromPort, nullptr);
    HANDLE port = nullptr;
    WCHAR name[] = WSTR("LPT1:");
    ASSERT_TRUE(table->pfnOpenPort(name, &port));
    char id[8];
    DWORD returned = 0;
    EXPECT_TRUE(table->pfnGetPrinterDataFromPort(port, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr,
                                                 0, (LPWSTR)id, sizeof(id), &returned));
    EXPECT_EQ(std::string(id, returned), printer->DeviceId().substr(0, 8));
    EXPECT_FALSE(table->pfnGetPrinterDataFromPort(port, 1234, nullptr, nullptr, 0, (LPWSTR)id,
                                                  sizeof(id), &returned));
    sim->BeginJob(0);
    std::string stream = StartText(1) + "x" + EndText(1);
    DWORD written = 0;
    EXPECT_TRUE(table->pfnWritePort(port, (LPBYTE)stream.data(), (DWORD)stream.size(), &written));
    char buffer[4096];
    DWORD read = 0;
    EXPECT_TRUE(table->pfnReadPort(port, (LPBYTE)buffer, sizeof(buffer), &read));
    EXPECT_GT(read, 0u);
    EXPECT_EQ(sim->OpenHandles(), 1);
    EXPECT_TRUE(table->pfnClosePort(port));
    EXPECT_FALSE(table->pfnClosePort(nullptr));
    sim->FinishTap();
    std::vector<TappedJob> tapped = sim->TappedJobs();
    EXPECT_EQ(tapped[0].Stream.Jobs()[0].Data, "x");
    EXPECT_EQ(tapped[0].ReadBack, std::string(buffer, read));
    EXPECT_EQ(sim->OpenHandles(), 0);
    sim.reset();

    // file: starts the file afresh, appends later jobs, has no device ID.
    std::string path =
        std::filesystem::temp_directory_path() / ("file-port-" + std::to_string(getpid()));
    {
        std::ofstream old(path);
        old << "old";
    }
    auto file = HostPortMonitor::Create("file:" + path, nullptr, "", &error);
    ASSERT_NE(file, nullptr);
    table = file->Table();
    EXPECT_EQ(table->pfnGetPrinterDataFromPort, nullptr);
    for (const char *job : {"one", "two"}) {
        ASSERT_TRUE(table->pfnOpenPort(name, &port));
        EXPECT_TRUE(table->pfnWritePort(port, (LPBYTE)job, 3, &written));
        EXPECT_TRUE(table->pfnClosePort(port));
    }
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "onetwo");
    std::filesystem::remove(path);
    file.reset();

    // tcp: a printer that is not there fails the open, as a port monitor does.
    auto tcp = HostPortMonitor::Create("tcp:127.0.0.1:1", nullptr, "", &error);
    ASSERT_NE(tcp, nullptr);
    SetLastError(0);
    EXPECT_FALSE(tcp->Table()->pfnOpenPort(name, &port));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(HostPortMonitor::Create("lpr:x", nullptr, "", &error), nullptr);
    EXPECT_EQ(HostPortMonitor::Create("tcp:nohostport", nullptr, "", &error), nullptr);
}

TEST_F(SpoolerPieces, ExportSectionsKeepsOnlyTheKeysBelowThePrefix) {
    std::string exported = "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII]\r\n"
                           "\"JobNotifyPort\"=dword:000011d7\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1:]\r\n"
                           "\"CALIBRATION:BLACK\"=\"0\"\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\PortsExtra]\r\n"
                           "\"X\"=\"1\"\r\n";
    EXPECT_EQ(ExportSections(exported, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\Ports"),
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1:]\n"
              "\"CALIBRATION:BLACK\"=\"0\"\n");
}

TEST_F(SpoolerPieces, TagsAndPrinterOptionsAreReadStrictly) {
    EXPECT_EQ(tkl::TagJobId(tkl::PortTag(42)), 42u);
    EXPECT_EQ(tkl::TagJobId("\"" + tkl::PortTag(0xABCDEF01) + "\""), 0xABCDEF01u);
    EXPECT_EQ(tkl::TagJobId("\"+UDP192.168.001.010"
                            "11D7       0000002A\""),
              42u);
    EXPECT_EQ(tkl::TagJobId("+LPT 0000002A"), 0u);
    EXPECT_EQ(tkl::TagJobId(tkl::PortTag(1).substr(0, 37) + "G"), 0u);

    auto parse = [](std::vector<std::string> words, SimPrinterConfig *config, std::string *error) {
        std::vector<char *> argv = {(char *)"test"};
        for (std::string &word : words)
            argv.push_back(word.data());
        CLI::App app;
        AddPrinterOptions(app, config);
        bool help = false;
        return ParseCommandLine(app, (int)argv.size(), argv.data(), &help, error);
    };
    SimPrinterConfig config;
    std::string error;
    EXPECT_TRUE(parse({"--fail-writes", "3:2"}, &config, &error));
    EXPECT_EQ(config.Behaviour.FailWritesFrom, 3u);
    EXPECT_EQ(config.Behaviour.FailWritesCount, 2u);
    EXPECT_TRUE(parse({"--status", "10030:4"}, &config, &error));
    EXPECT_EQ(config.StatusCode, 10030);
    EXPECT_EQ(config.StatusKind, 4);
    EXPECT_FALSE(parse({"--fail-writes", "0"}, &config, &error));
    EXPECT_FALSE(parse({"--write-cap", "-1"}, &config, &error));
    EXPECT_FALSE(parse({"--pieces"}, &config, &error));
    EXPECT_EQ(error, "--pieces needs a value");
    EXPECT_FALSE(parse({"--model", "A;B"}, &config, &error));
    EXPECT_EQ(error, "--model: a name of 1 to 80 characters without ';' expected");
    EXPECT_FALSE(parse({"--frobnicate"}, &config, &error));
    EXPECT_EQ(error, "unknown option \"--frobnicate\" (see --help)");
}

} // namespace
