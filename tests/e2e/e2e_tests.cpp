// Jobs end to end: the stand-in spooler drives the real monitors (loaded by
// path), which load the real companion libraries by name through the
// platform loader; channel and TCP jobs cross real loopback sockets to the
// simulated printer. The test clock makes the monitors' minutes last
// milliseconds; nothing here measures time.
#include <gtest/gtest.h>

#include "journal_lines.h"
#include "host.h"
#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::string Samples = SAMPLES_FOLDER;

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_HOOKS();
        Folder = std::filesystem::temp_directory_path() /
                 ("e2e-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(Folder);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }

    // A run of the given monitor on the sample jobs, on a fast test clock.
    HostOptions Options(const char *monitor = QUENNET_LIBRARY) {
        HostOptions o;
        o.Monitor = monitor;
        // The contract the program runs on (QUENNET_TEST_CONTRACT, as the
        // entry-point programs).
        const char *contract = getenv("QUENNET_TEST_CONTRACT");
        o.Contract = contract != nullptr && strcmp(contract, "2000") == 0 ? "2000" : "nt4";
        o.LibraryPath = QUENNET_COMPANION_FOLDER;
        o.ClockScale = 1000;
        o.WaitSeconds = 30;
        o.WriteTimeoutSeconds = 10;
        o.Progress = false;
        o.Files = {Samples + "/letter.txt", Samples + "/invoice.pcl"};
        return o;
    }
    std::string File(const std::string &name, const std::string &content) {
        std::string path = Folder + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::string Folder;
};

std::vector<nlohmann::json> Journal(const HostResult &r) {
    std::vector<nlohmann::json> lines;
    EXPECT_TRUE(ParseJsonLines(r.Journal, &lines)) << r.Journal;
    return lines;
}

// The status codes the agent received for one job, in order.
std::vector<std::string> StatusCodes(const HostResult &r, DWORD job) {
    std::vector<std::string> codes;
    for (nlohmann::json &line : Journal(r)) {
        if (line["call"] == "AgentJobStatus" && line["job"] == job)
            codes.push_back(line["status"]);
    }
    return codes;
}

std::vector<long> StartAnswers(const HostResult &r, DWORD job) {
    std::vector<long> answers;
    for (nlohmann::json &line : Journal(r)) {
        if (line["call"] == "AgentJobStart" && line["job"] == job)
            answers.push_back(line["answer"].get<long>());
    }
    return answers;
}

std::vector<DWORD> Commands(const JobResult &job) {
    std::vector<DWORD> commands;
    for (const PlatJobControl &control : job.Controls)
        commands.push_back(control.Command);
    return commands;
}

bool Contains(const std::vector<std::string> &list, const std::string &item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The job's own bytes as they passed the port monitor.
std::string TappedData(const HostResult &r, size_t job) {
    std::string data;
    for (const StreamJob &part : r.Tapped[job].Stream.Jobs())
        data += part.Data;
    return data;
}

// The registry value the dispatcher wrote for a port, "" when absent.
std::string PortValue(const std::string &port, const std::string &name) {
    WString key = PlatWide("SOFTWARE\\Morvane\\TallowII\\Ports\\" + port);
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "";
    WCHAR text[300] = {};
    DWORD type = 0, size = sizeof(text) - sizeof(WCHAR);
    LONG result =
        RegQueryValueExW(handle, PlatWide(name).c_str(), nullptr, &type, (LPBYTE)text, &size);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS && type == REG_SZ ? PlatNarrow(text) : "";
}

// Byte strings compared without printing them whole when they differ.
::testing::AssertionResult SameBytes(const std::string &actual, const std::string &expected) {
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        at++;
    return ::testing::AssertionFailure()
           << actual.size() << " bytes where " << expected.size()
           << " were expected; first difference at offset " << at << ": \""
           << tkl::Printable(actual.substr(at, 40)) << "\" instead of \""
           << tkl::Printable(expected.substr(at, 40)) << "\"";
}

void ExpectCleanFinish(const HostResult &r) {
    EXPECT_EQ(r.Setup, "");
    EXPECT_TRUE(r.MonitorFinished);
    EXPECT_TRUE(r.PortClosed);
    EXPECT_EQ(r.PrinterHandlesLeft, 0);
    EXPECT_EQ(r.PortOpens, r.PortCloses);
}

// ---------------------------------------------------------------- Quennet, job language

TEST_F(EndToEnd, JobLanguageJobCompletesOnThePrintersReportAndIsMarkedSentAndEjected) {
    HostResult r = RunHost(Options());
    ExpectCleanFinish(r);
    ASSERT_EQ(r.Jobs.size(), 2u);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        const JobResult &job = r.Jobs[i];
        SCOPED_TRACE(job.File);
        EXPECT_TRUE(job.Completed && job.Ended) << job.Outcome;
        // Bracketed by the job-language texts, the data unchanged between them.
        ASSERT_EQ(r.Tapped[i].Stream.Jobs().size(), 1u);
        const StreamJob &seen = r.Tapped[i].Stream.Jobs()[0];
        EXPECT_TRUE(SameBytes(seen.Data, job.Content));
        EXPECT_EQ(seen.JobId, job.JobId);
        EXPECT_NE(seen.StartText.find("@TKL 200"), std::string::npos) << seen.StartText;
        EXPECT_NE(seen.EndText.find("@TKL 213"), std::string::npos) << seen.EndText;
        EXPECT_EQ(Commands(job),
                  (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
        // Completed by the printer's report, never dropped unreported.
        std::vector<std::string> codes = StatusCodes(r, job.JobId);
        EXPECT_EQ(codes.front(), "0x10");
        EXPECT_TRUE(Contains(codes, "0x80"));
        EXPECT_TRUE(Contains(codes, "0x1000100"));
        EXPECT_FALSE(Contains(codes, "0x100"));
        EXPECT_EQ(StartAnswers(r, job.JobId), std::vector<long>{0});
    }
    // The printer's model reached the agent with the job start.
    for (nlohmann::json &line : Journal(r)) {
        if (line["call"] == "AgentJobStart") {
            EXPECT_EQ(line["model"], "RVT-201");
        }
    }
    // The printer saw both jobs end by their job-end commands.
    ASSERT_EQ(r.PrinterJobs.size(), 2u);
    EXPECT_EQ(r.PrinterJobs[1].EndedBy, "job-end command");
}

TEST_F(EndToEnd, CalibrationValuesReachThePortsRegistryKey) {
    HostOptions o = Options();
    o.Port = "LPT3:";
    o.Files.resize(1);
    o.Sim.Calibration = {TklField::Int(-7), TklField::Str("A"), TklField::Str(""),
                         TklField::Int(5, 0)};
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    EXPECT_EQ(PortValue("LPT3:", "CALIBRATION:YELLOW"), "-7");
    EXPECT_EQ(PortValue("LPT3:", "CALIBRATION:MAGENTA"), "A");
    EXPECT_EQ(PortValue("LPT3:", "CALIBRATION:CYAN"), "");
    EXPECT_EQ(PortValue("LPT3:", "CALIBRATION:BLACK"), "?"); // an integer of type 0
    EXPECT_NE(r.RegistryPorts.find("\"CALIBRATION:YELLOW\"=\"-7\""), std::string::npos)
        << r.RegistryPorts;
}

TEST_F(EndToEnd, Rvt101PrinterReportsTheEndWithItsOwnCommandFamily) {
    HostOptions o = Options();
    o.PortMonitor = "sim:RVT-101";
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        const JobResult &job = r.Jobs[i];
        EXPECT_TRUE(job.Completed) << job.Outcome;
        const StreamJob &seen = r.Tapped[i].Stream.Jobs()[0];
        EXPECT_TRUE(SameBytes(seen.Data, job.Content));
        EXPECT_EQ(seen.StartText.find("@TKL 212"), std::string::npos) << seen.StartText;
        EXPECT_NE(seen.EndText.find("@TKL 208"), std::string::npos) << seen.EndText;
        std::vector<std::string> codes = StatusCodes(r, job.JobId);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), "0x2800000"), 1);
        EXPECT_TRUE(Contains(codes, "0x1000100"));
    }
}

// ---------------------------------------------------------------- plain printers

TEST_F(EndToEnd, PlainPrinterGetsTheJobByteExactBehindOnlyTheNotificationAddress) {
    HostOptions o = Options();
    o.PortMonitor = "sim:LASER-9";
    o.NotifyPort = 0x1234;
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        const JobResult &job = r.Jobs[i];
        ASSERT_EQ(r.Tapped[i].Stream.Jobs().size(), 1u);
        const StreamJob &seen = r.Tapped[i].Stream.Jobs()[0];
        // The notification-address text, the file unchanged, and the job-end
        // text (sent because the address text reached the printer): nothing else.
        EXPECT_TRUE(
            SameBytes(r.Tapped[i].Stream.Received(), seen.StartText + job.Content + seen.EndText));
        std::vector<TklEntry> items;
        ASSERT_TRUE(tkl::Parse(seen.StartText, &items)) << seen.StartText;
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].Code, 212u);
        const std::string tag = items[0].Values[0].Text;
        char expected[32];
        snprintf(expected, sizeof(expected), "1234       %08X\"", (unsigned)job.JobId);
        EXPECT_EQ(tag.substr(0, 5), "\"+UDP") << tag;
        EXPECT_EQ(tag.substr(tag.size() - 20), expected) << tag;
        ASSERT_TRUE(tkl::Parse(seen.EndText, &items)) << seen.EndText;
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0].Code, 214u);
        EXPECT_EQ(items[0].Values[0].Text, tag);
        EXPECT_EQ(items[1].Code, 213u);
        EXPECT_EQ(Commands(job), std::vector<DWORD>{JOB_CONTROL_LAST_PAGE_EJECTED});
        // The printer does not speak the job language: it takes it all as
        // data and answers nothing.
        ASSERT_LT(i, r.PrinterJobs.size());
        EXPECT_TRUE(SameBytes(r.PrinterJobs[i].Data, r.Tapped[i].Stream.Received()));
        EXPECT_TRUE(r.PrinterJobs[i].Answers.empty());
    }
}

TEST_F(EndToEnd, WithoutAgentReportsAPlainJobPassesWithNoPrefixAtAll) {
    HostOptions o = Options();
    o.PortMonitor = "file:" + Folder + "/out.prn";
    o.Agent.Query = 1; // the agent takes no part
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    std::ifstream in(Folder + "/out.prn", std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(SameBytes(written, r.Jobs[0].Content + r.Jobs[1].Content));
    EXPECT_EQ(r.PortOpens, 2u);
    for (nlohmann::json &line : Journal(r))
        EXPECT_TRUE(line["call"] == "AgentQuery" || line["call"] == "Vorl_LMGetEntryPoints")
            << line["call"];
}

// ---------------------------------------------------------------- agent policies

TEST_F(EndToEnd, AgentHoldsTheJobBackUntilItConsents) {
    HostOptions o = Options();
    o.Agent.HoldCount = 3;
    o.Files.resize(1);
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    const JobResult &job = r.Jobs[0];
    EXPECT_TRUE(job.Completed) << job.Outcome;
    EXPECT_EQ(StartAnswers(r, job.JobId), (std::vector<long>{-1, -1, -1, 0}));
    // StartDocPort asked once; two writes took nothing while the agent held.
    EXPECT_EQ(job.ZeroWrites, 2u);
    EXPECT_TRUE(SameBytes(TappedData(r, 0), job.Content));
    EXPECT_TRUE(Contains(StatusCodes(r, job.JobId), "0x1000100"));
}

TEST_F(EndToEnd, AgentCancelsTheJobAndNothingReachesThePrinter) {
    HostOptions o = Options();
    o.Agent.CancelJobs = 1;
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        const JobResult &job = r.Jobs[i];
        EXPECT_FALSE(job.Completed);
        EXPECT_EQ(job.Outcome, "cancelled in the spooler");
        std::vector<DWORD> commands = Commands(job);
        EXPECT_EQ(std::count(commands.begin(), commands.end(), (DWORD)JOB_CONTROL_CANCEL), 1);
        EXPECT_EQ(TappedData(r, i), "");
        EXPECT_TRUE(Contains(StatusCodes(r, job.JobId), "0x100"));
    }
    EXPECT_EQ(JobsNotAsAsked(r), 0u) << "a cancelled job is what the run asked for";
    EXPECT_NE(FormatReport(r).find("2 cancelled as asked"), std::string::npos);
}

// ---------------------------------------------------------------- Brantic

TEST_F(EndToEnd, BranticSendsLpt1JobsOverTheTransportChannel) {
    auto printer = std::make_shared<SimPrinter>(SimPrinterConfig{});
    SimServer server(printer, SimServerConfig{});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;

    HostOptions o = Options(BRANTIC_LIBRARY);
    o.Port = "LPT1";
    o.Transport = "127.0.0.1:" + std::to_string(server.BasePort());
    o.PortMonitor = "file:" + Folder + "/unused.prn";
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    EXPECT_EQ(r.PortOpens, 0u) << "the port monitor is not used on LPT1";

    // The printer process's side: one channel connection per job, bytes intact.
    for (int i = 0; i < 500 && server.EndedJobs() < 2; i++)
        usleep(10000);
    server.Stop();
    std::vector<StreamJob> jobs = printer->Jobs();
    ASSERT_EQ(jobs.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        const JobResult &job = r.Jobs[i];
        EXPECT_TRUE(job.Completed) << job.Outcome;
        EXPECT_TRUE(SameBytes(jobs[i].Data, job.Content));
        EXPECT_EQ(jobs[i].EndedBy, "port closed");
        EXPECT_EQ(Commands(job),
                  (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
        EXPECT_EQ(StatusCodes(r, job.JobId), (std::vector<std::string>{"0x10", "0x80"}));
    }
    // The model came over the channel's device-ID query.
    for (nlohmann::json &line : Journal(r)) {
        if (line["call"] == "AgentJobStart") {
            EXPECT_EQ(line["model"], "RVT-201");
        }
    }
}

TEST_F(EndToEnd, BranticSendsOtherPortsThroughThePortMonitor) {
    HostOptions o = Options(BRANTIC_LIBRARY);
    o.Port = "LPT2:";
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    EXPECT_EQ(r.PortOpens, 2u);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        EXPECT_TRUE(SameBytes(r.Tapped[i].Stream.Received(), r.Jobs[i].Content)) << "nothing added";
        EXPECT_EQ(Commands(r.Jobs[i]),
                  (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
    }
}

TEST_F(EndToEnd, BranticCancelsAJobWhoseChannelBreaks) {
    SimPrinterConfig config;
    config.Behaviour.FailWritesFrom = 1;
    auto printer = std::make_shared<SimPrinter>(config);
    SimServer server(printer, SimServerConfig{});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;

    HostOptions o = Options(BRANTIC_LIBRARY);
    o.Port = "LPT1:";
    o.Transport = "127.0.0.1:" + std::to_string(server.BasePort());
    // Enough data that sends go on after the printer has reset the channel.
    o.Files = {File("big.bin", std::string(8 << 20, 'x'))};
    HostResult r = RunHost(o);
    server.Stop();
    ExpectCleanFinish(r);
    const JobResult &job = r.Jobs[0];
    EXPECT_FALSE(job.Completed);
    EXPECT_EQ(job.Outcome, "cancelled in the spooler");
    EXPECT_EQ(Commands(job), (std::vector<DWORD>{JOB_CONTROL_CANCEL, JOB_CONTROL_SENT_TO_PRINTER,
                                                 JOB_CONTROL_LAST_PAGE_EJECTED}));
    EXPECT_TRUE(Contains(StatusCodes(r, job.JobId), "0x20000000"));
}

// ---------------------------------------------------------------- misbehaving printers

TEST_F(EndToEnd, JobLanguageJobSurvivesWritesThatFailForAWhile) {
    HostOptions o = Options();
    o.Buffer = 512;
    o.Sim.Behaviour.FailWritesFrom = 2;
    o.Sim.Behaviour.FailWritesCount = 3;
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    EXPECT_EQ(r.Jobs[0].FailedWrites, 0u) << "a job-language job reports no write failure";
    EXPECT_GE(r.Jobs[0].ZeroWrites, 3u);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        EXPECT_TRUE(r.Jobs[i].Completed) << r.Jobs[i].Outcome;
        EXPECT_TRUE(SameBytes(TappedData(r, i), r.Jobs[i].Content));
        EXPECT_TRUE(Contains(StatusCodes(r, r.Jobs[i].JobId), "0x1000100"));
    }
}

TEST_F(EndToEnd, PlainJobOnAPrinterThatFailsWritesGetsTheFailureReported) {
    HostOptions o = Options();
    o.PortMonitor = "sim:LASER-9";
    o.Files.resize(1);
    o.Sim.Behaviour.FailWritesFrom = 1;
    o.Agent.Query = 1; // no reports: no address text, the data goes first
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    const JobResult &job = r.Jobs[0];
    EXPECT_FALSE(job.Completed);
    EXPECT_EQ(job.FailedWrites, 3u) << job.Outcome;
    EXPECT_EQ(job.LastWriteError, (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(job.Written, 0u);
    EXPECT_EQ(Commands(job), std::vector<DWORD>{JOB_CONTROL_LAST_PAGE_EJECTED});
    // The run counts the job as failed, and the report says which call failed and why.
    EXPECT_EQ(JobsNotAsAsked(r), 1u);
    ASSERT_EQ(r.PortFailures.size(), 1u);
    EXPECT_EQ(r.PortFailures[0].Call, "WritePort");
    EXPECT_EQ(r.PortFailures[0].Count, 3u);
    EXPECT_EQ(r.PortFailures[0].Last.Code, (DWORD)ERROR_WRITE_FAULT);
    EXPECT_NE(FormatReport(r).find(
                  "3 times; last error 29 (The system cannot write to the specified device.)"),
              std::string::npos)
        << FormatReport(r);

    // With reports, the address text goes first and its failed writes read as
    // "nothing taken yet": the spooler waits, and gives the job up.
    o.Agent.Query = 0;
    o.WriteTimeoutSeconds = 0.3;
    r = RunHost(o);
    ExpectCleanFinish(r);
    EXPECT_EQ(r.Jobs[0].FailedWrites, 0u);
    EXPECT_GT(r.Jobs[0].ZeroWrites, 0u);
    EXPECT_EQ(r.Jobs[0].Outcome.rfind("given up", 0), 0u) << r.Jobs[0].Outcome;
}

TEST_F(EndToEnd, PartialWritesAndAnswersInPiecesStillCompleteAnRvt101Job) {
    HostOptions o = Options();
    o.PortMonitor = "sim:RVT-101";
    o.Sim.Behaviour.WriteCap = 7;
    o.Sim.Behaviour.PieceSize = 5;
    HostResult r = RunHost(o);
    ExpectCleanFinish(r);
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        EXPECT_TRUE(r.Jobs[i].Completed) << r.Jobs[i].Outcome;
        EXPECT_TRUE(SameBytes(TappedData(r, i), r.Jobs[i].Content));
        EXPECT_NE(r.Tapped[i].Stream.Jobs()[0].EndText.find("@TKL 208"), std::string::npos);
        EXPECT_TRUE(Contains(StatusCodes(r, r.Jobs[i].JobId), "0x1000100"));
    }

    // Other models get one write for the job-end text: a printer that takes
    // 7 bytes at a time receives only its first 7, never sees the job end,
    // and the pending job is dropped once the idle limit has passed.
    o.PortMonitor = "sim:RVT-201";
    o.Files.resize(1);
    r = RunHost(o);
    ExpectCleanFinish(r);
    const StreamJob &seen = r.Tapped[0].Stream.Jobs()[0];
    EXPECT_TRUE(
        SameBytes(r.Tapped[0].Stream.Received(), seen.StartText + r.Jobs[0].Content + "@TKL 21"));
    std::vector<std::string> codes = StatusCodes(r, r.Jobs[0].JobId);
    EXPECT_TRUE(Contains(codes, "0x100"));
    EXPECT_FALSE(Contains(codes, "0x1000100"));
}

TEST_F(EndToEnd, PendingJobsAreDroppedWithNoticeWhenThePrinterNeverReports) {
    for (bool garbage : {false, true}) {
        SCOPED_TRACE(garbage ? "garbage" : "silent");
        HostOptions o = Options();
        o.Files.resize(1);
        o.Sim.Behaviour.Silent = !garbage;
        o.Sim.Behaviour.Garbage = garbage;
        HostResult r = RunHost(o);
        // The status thread gives up after its idle limit (on the test clock).
        ExpectCleanFinish(r);
        const JobResult &job = r.Jobs[0];
        EXPECT_TRUE(job.Completed);
        EXPECT_TRUE(SameBytes(TappedData(r, 0), job.Content));
        std::vector<std::string> codes = StatusCodes(r, job.JobId);
        EXPECT_TRUE(Contains(codes, "0x100"));
        EXPECT_FALSE(Contains(codes, "0x1000100"));
        EXPECT_EQ(Commands(job),
                  (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
    }
}

TEST_F(EndToEnd, JobLanguageJobOverRawTcpToThePrinterProcessSide) {
    auto printer = std::make_shared<SimPrinter>(SimPrinterConfig{});
    SimServer server(printer, SimServerConfig{});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    HostOptions o = Options();
    o.PortMonitor = "tcp:127.0.0.1:" + std::to_string(server.BasePort() + server.Channels()[0]);
    o.DeviceIdPort = server.BasePort();
    HostResult r = RunHost(o);
    server.Stop();
    ExpectCleanFinish(r);
    EXPECT_EQ(r.DeviceId, printer->DeviceId());
    std::vector<StreamJob> jobs = printer->Jobs();
    ASSERT_EQ(jobs.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_TRUE(SameBytes(jobs[i].Data, r.Jobs[i].Content));
        EXPECT_EQ(jobs[i].EndedBy, "job-end command");
        EXPECT_TRUE(Contains(StatusCodes(r, r.Jobs[i].JobId), "0x1000100"));
    }
}

TEST_F(EndToEnd, RunThatCannotSetUpLeavesTheProcessAsItWas) {
    PlatSetClockScale(3);
    HostOptions o = Options("/nonexistent/libnomonitor.so");
    o.TraceLevel = 1;
    HostResult r = RunHost(o);
    EXPECT_EQ(r.Setup.rfind("cannot load the monitor", 0), 0u) << r.Setup;
    EXPECT_EQ(PlatClockScale(), 3.0);
    EXPECT_FALSE(std::filesystem::exists(r.TempFolder));
    PlatSetClockScale(1);
}

// ---------------------------------------------------------------- the programs

// Runs a command line; its standard output, standard error and exit status.
struct Ran {
    int Status;
    std::string Out, Err;
};
Ran RunProgram(const std::string &command, const std::string &folder) {
    std::string out = folder + "/out", err = folder + "/err";
    int status = system((command + " >" + out + " 2>" + err).c_str());
    auto read = [](const std::string &path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(out), read(err)};
}

TEST_F(EndToEnd, SpoolhostDocumentsEveryOptionAndRefusesBadArgumentsInOneLine) {
    std::string host = SPOOLHOST_PROGRAM;
    Ran help = RunProgram(host + " --help", Folder);
    EXPECT_EQ(help.Status, 0);
    for (const char *option : {"--monitor",         "--contract",       "--port-monitor",
                               "--port ",           "--printer ",       "--lpr",
                               "--device-id ",      "--device-id-port", "--transport",
                               "--printer-record",  "--job-id",         "--buffer",
                               "--write-timeout",   "--journal",        "--agent-hold",
                               "--agent-cancel",    "--agent-query",    "--agent-status",
                               "--no-agent-config", "--polling-level",  "--notify-port",
                               "--clock-scale",     "--wait",           "--library-path",
                               "--registry",        "--keep",           "--quiet",
                               "--model",           "--status",         "--write-cap",
                               "--fail-writes",     "--silent",         "--pieces",
                               "--garbage",         "sim:MODEL",        "tcp:HOST:PORT",
                               "file:PATH"})
        EXPECT_NE(help.Out.find(option), std::string::npos) << option;

    std::string sample = Samples + "/letter.txt";
    for (const std::string &bad : std::vector<std::string>{
             " --monitor quennet", " " + sample, " --monitor quennet --frobnicate " + sample,
             " --monitor quennet --buffer 0 " + sample,
             " --monitor quennet --clock-scale x " + sample,
             " --monitor quennet --port-monitor lpr:x " + sample,
             " --monitor quennet --contract 95 " + sample,
             " --monitor quennet --fail-writes 0 " + sample,
             " --monitor quennet " + Folder + "/nothing", " --monitor quennet --wait"}) {
        Ran ran = RunProgram(host + bad, Folder);
        EXPECT_EQ(ran.Status, 2) << bad;
        EXPECT_EQ(std::count(ran.Err.begin(), ran.Err.end(), '\n'), 1) << bad << ": " << ran.Err;
        EXPECT_EQ(ran.Err.rfind("spoolhost: ", 0), 0u) << ran.Err;
        EXPECT_EQ(ran.Out, "") << bad;
    }
    Ran missing = RunProgram(host + " --monitor " + Folder + "/none.so " + sample, Folder);
    EXPECT_EQ(missing.Status, 1);
    EXPECT_NE(missing.Err.find("cannot load the monitor"), std::string::npos) << missing.Err;

    // A printer that refuses the connection: every job fails, the run says
    // so in its exit status and last line, and the report gives the reason.
    int refusing = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(refusing, (sockaddr *)&address, length), 0); // bound, never listening
    ASSERT_EQ(getsockname(refusing, (sockaddr *)&address, &length), 0);
    Ran refused = RunProgram(host + " --monitor quennet --port-monitor tcp:127.0.0.1:" +
                                 std::to_string(ntohs(address.sin_port)) +
                                 " --clock-scale 1000 --write-timeout 0.2 --quiet " + sample,
                             Folder);
    close(refusing);
    EXPECT_EQ(refused.Status, 3) << refused.Err;
    std::string last = refused.Out.substr(refused.Out.rfind('\n', refused.Out.size() - 2) + 1);
    EXPECT_NE(last.find("0 of 1 jobs passed completely; 1 did not end as the run asked for"),
              std::string::npos)
        << last;
    EXPECT_NE(refused.Out.find("OpenPort"), std::string::npos) << refused.Out;
    EXPECT_NE(refused.Out.find("Connection refused"), std::string::npos) << refused.Out;
}

TEST_F(EndToEnd, SpoolhostGivesUpATcpPrinterThatStopsReadingAndSaysWhy) {
    // The printer takes the connection into its backlog and never reads.
    int stalled = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(stalled, (sockaddr *)&address, size), 0);
    ASSERT_EQ(listen(stalled, 1), 0);
    ASSERT_EQ(getsockname(stalled, (sockaddr *)&address, &size), 0);
    std::string job = File("big.prn", std::string(16 << 20, 'x'));
    Ran ran = RunProgram(std::string(SPOOLHOST_PROGRAM) + " --monitor quennet --port-monitor " +
                             "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port)) +
                             " --write-timeout 0.5 --clock-scale 1000 --quiet " + job,
                         Folder);
    close(stalled);
    EXPECT_EQ(ran.Status, 3) << ran.Err;
    EXPECT_NE(ran.Out.find("printer stopped reading for 0.5 s"), std::string::npos) << ran.Out;
}

TEST_F(EndToEnd, MainJobRunsThroughBothMonitorsAsSeparateProcesses) {
    std::string samples =
        Samples + "/letter.txt " + Samples + "/invoice.pcl " + Samples + "/chart.ps";
    // On the program's contract; the report says which one ran.
    std::string contract = " --contract " + Options().Contract;
    Ran quennet = RunProgram(std::string(SPOOLHOST_PROGRAM) + contract +
                                 " --monitor quennet --clock-scale 1000 --quiet " + samples,
                             Folder);
    EXPECT_EQ(quennet.Status, 0) << quennet.Err;
    EXPECT_NE(quennet.Out.find(Options().Contract == "2000"
                                   ? "contract          Windows 2000 and later"
                                   : "contract          NT 4.0 (InitializePrintMonitor)"),
              std::string::npos)
        << quennet.Out;
    EXPECT_GT(std::count(quennet.Out.begin(), quennet.Out.end(), '\n'), 20);
    EXPECT_NE(quennet.Out.find("3 of 3 jobs passed completely"), std::string::npos) << quennet.Out;
    EXPECT_NE(quennet.Out.find("\"CALIBRATION:MAGENTA\"=\"-3\""), std::string::npos);

    // The printer as a process of its own, reached over the transport.
    std::string ports = Folder + "/ports", record = Folder + "/record";
    pid_t printer = fork();
    ASSERT_GE(printer, 0);
    if (printer == 0) {
        execl(SIMPRINTER_PROGRAM, SIMPRINTER_PROGRAM, "--port-file", ports.c_str(), "--record",
              record.c_str(), "--lifetime", "60", "--exit-after-jobs", "3", (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(ports); i++)
        usleep(10000);
    unsigned base = 0, channel = 0;
    std::ifstream(ports) >> base >> channel;
    ASSERT_NE(base, 0u);
    Ran brantic = RunProgram(
        std::string(SPOOLHOST_PROGRAM) + contract +
            " --monitor brantic --port LPT1 --transport 127.0.0.1:" + std::to_string(base) +
            " --printer-record " + record + " --clock-scale 1000 --quiet " + samples,
        Folder);
    int status = 0;
    waitpid(printer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(brantic.Status, 0) << brantic.Err;
    EXPECT_NE(brantic.Out.find("3 of 3 jobs passed completely"), std::string::npos) << brantic.Out;
    EXPECT_GT(std::count(brantic.Out.begin(), brantic.Out.end(), '\n'), 10);
    size_t exact = 0;
    for (size_t at = brantic.Out.find("byte-exact"); at != std::string::npos;
         at = brantic.Out.find("byte-exact", at + 1))
        exact++;
    EXPECT_EQ(exact, 3u) << brantic.Out;
}

} // namespace
