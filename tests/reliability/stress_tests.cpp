// Concurrency stress: many ports of both monitors at once, each driven by a
// spooler thread of its own (the spooler never calls two entry points of one
// port at the same time, and neither does this test), with job-language
// printers that answer through a many-port port monitor, a status agent that
// holds, cancels and stops reporting on some jobs, writes that fail or are
// cut short, opens and starts that fail, sends over the transport channel
// that fail, and ports closed and opened again at random moments after a
// job's end (fixed seed), also while a status thread is still draining.
//
// The run has a bounded number of jobs. Under ThreadSanitizer it must raise no
// report; a hang is turned into a failure by a watchdog that aborts with a
// message after a generous time (no timing is asserted). At the end the port
// tables, the port count, the library load counts and the spooler's printer
// handles are all back to zero, and every job was marked in the spooler as
// its monitor's rules say.
#include "agent_double_state.h"
#include "monitor_loader.h"
#include "printer_port_monitor.h"
#include "quennet.h"
#include "transport_double_state.h"
#include "shipped_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

namespace {

constexpr int QuennetPorts = 64;
constexpr int BranticPorts = 16; // one of them is "LPT1:", over the transport channel
// Jobs per port; STRESS_JOBS sets another number for a longer run.
int JobsPerPort() {
    static const int jobs = [] {
        const char *text = getenv("STRESS_JOBS");
        int n = text != nullptr ? atoi(text) : 0;
        return n > 0 ? n : 10;
    }();
    return jobs;
}
constexpr unsigned Seed = 20240611;
// Calls of WritePort that one job may make before the test gives up on its
// data (a cancelled job swallows every write).
constexpr int WriteCallsPerJob = 60;
constexpr auto WatchdogLimit = std::chrono::seconds(300);

const WString Dlls[] = {WSTR("RAVODIR.DLL"), WSTR("VEROVIRI.DLL"), WSTR("DARUZUROZ.DLL")};

// Aborts the process with a message unless Finish() comes first.
class Watchdog {
  public:
    explicit Watchdog(const char *what) : what_(what), thread_([this] { Run(); }) {}
    ~Watchdog() { Finish(); }
    void Finish() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void Run() {
        std::unique_lock<std::mutex> lock(lock_);
        if (!changed_.wait_for(lock, WatchdogLimit, [this] { return done_; })) {
            fprintf(stderr, "stress watchdog: %s did not finish within %lld s: a deadlock\n", what_,
                    (long long)WatchdogLimit.count());
            fflush(stderr);
            abort();
        }
    }
    const char *what_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

// One monitor's entry points, as the spooler holds them.
struct Monitor {
    const char *Name;
    LPMONITOR Table;
};

// One port and its spooler thread's doings.
// Ports closed while their status thread was still running (draining the
// job ids of a finished job, or about to end).
std::atomic<int> ClosedWhileDraining{0};

struct PortRun {
    Monitor Mon;
    WString PortName;
    WString Printer;
    DWORD FirstJob;
    unsigned RandomSeed;
    std::vector<DWORD> Jobs;       // every job started
    std::vector<DWORD> NotStarted; // StartDocPort failed
    std::string Failure;           // the first thing that went wrong, if any
};

void Fail(PortRun &run, const std::string &what) {
    if (run.Failure.empty())
        run.Failure = what;
}

LPMONITOR QuennetTable() {
    return &InitializePrintMonitor(nullptr)->Monitor;
}

// The spooler's thread for one port: jobs one after the other, the port
// closed and opened again now and then after a job's end.
void DrivePort(PortRun &run) {
    std::mt19937 random(run.RandomSeed);
    LPMONITOR table = run.Mon.Table;
    HANDLE port = nullptr;
    if (!table->pfnOpenPortEx(run.PortName.data(), run.Printer.data(), &port,
                              PrinterPortMonitor::Table())) {
        Fail(run, "OpenPortEx failed");
        return;
    }
    for (int j = 0; j < JobsPerPort(); j++) {
        DWORD jobId = run.FirstJob + (DWORD)j;
        WString doc = WSTR("Stress job");
        DOC_INFO_1W info = {doc.data(), nullptr, nullptr};
        if (!table->pfnStartDocPort(port, run.Printer.data(), jobId, 1, (LPBYTE)&info)) {
            run.NotStarted.push_back(jobId);
            continue;
        }
        run.Jobs.push_back(jobId);

        // The job's data in a few pieces; each piece is offered until it is
        // taken or the job has had enough calls (held, cancelled, deferred).
        int calls = 0;
        int pieces = 1 + (int)(random() % 4);
        for (int p = 0; p < pieces && calls < WriteCallsPerJob; p++) {
            std::string data = "page " + std::to_string(p) + " of job " + std::to_string(jobId) +
                               std::string(random() % 300, 'x') + "\n";
            while (!data.empty() && calls < WriteCallsPerJob) {
                DWORD written = 0;
                calls++;
                if (!table->pfnWritePort(port, (LPBYTE)data.data(), (DWORD)data.size(), &written))
                    break; // a plain job's failed write: the spooler moves on
                data.erase(0, std::min<size_t>(written, data.size()));
            }
        }
        if (!table->pfnEndDocPort(port))
            Fail(run, "EndDocPort failed");

        // Now and then the port is closed right after the job's end (its
        // status thread may still be draining) and opened again.
        if (random() % 4 == 0) {
            if (random() % 2 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            if (run.Mon.Table == QuennetTable() && TestFlags((PortEntry *)port, ThreadRunning))
                ClosedWhileDraining++;
            if (!table->pfnClosePort(port))
                Fail(run, "ClosePort failed");
            port = nullptr;
            if (!table->pfnOpenPortEx(run.PortName.data(), run.Printer.data(), &port,
                                      PrinterPortMonitor::Table())) {
                Fail(run, "OpenPortEx after ClosePort failed");
                return;
            }
        }
    }
    if (!table->pfnClosePort(port))
        Fail(run, "ClosePort failed");
}

class Stress : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_HOOKS();
        ASSERT_NE(InitializePrintMonitor(nullptr), nullptr);
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        PlatSpoolerReset();
        PrinterPortMonitor::Reset();
        AgentDouble::Reset();
        TransportDouble::Reset();
        // A failed send on every 9th call over the channel.
        std::vector<int> sends;
        for (int i = 0; i < 200; i++)
            sends.push_back(i % 9 == 8 ? -1 : 1 << 20);
        TransportDouble::ScriptSends(sends);
        PlatSetLibraryPath(std::string(QUENNET_DOUBLES_FOLDER) + "/stress_agent:" +
                           QUENNET_DOUBLES_FOLDER + "/transport:" + QUENNET_COMPANION_FOLDER);
        // Polling intervals of seconds and idle limits of minutes pass 1000
        // times faster; the order of events is what is tested, not time.
        PlatSetClockScale(1000.0);
    }

    void TearDown() override { PlatSetClockScale(1.0); }

    // Builds the runs of `count` ports named "<prefix><n>:" of `mon`.
    static void AddPorts(std::vector<PortRun> &runs, Monitor mon, const char *prefix, int count,
                         DWORD jobBase) {
        for (int i = 0; i < count; i++) {
            PortRun run{mon, {}, {}, 0, 0, {}, {}, {}};
            std::string name = prefix + std::to_string(i) + ":";
            run.PortName = PlatWide(name);
            run.Printer = PlatWide(std::string(mon.Name) + " printer " + std::to_string(i));
            run.FirstJob = jobBase + (DWORD)i * 10000 + 1;
            run.RandomSeed = Seed + (unsigned)runs.size();
            PlatSpoolerAddPrinter(run.Printer);
            runs.push_back(std::move(run));
        }
    }

    static void RunAll(std::vector<PortRun> &runs) {
        Watchdog watchdog("the stress run");
        std::vector<std::thread> threads;
        for (PortRun &run : runs)
            threads.emplace_back(DrivePort, std::ref(run));
        for (std::thread &thread : threads)
            thread.join();
        watchdog.Finish();
    }

    // How each job was marked in the spooler.
    static void ExpectJobMarks(const PortRun &run, bool brantic) {
        for (DWORD jobId : run.Jobs) {
            std::vector<DWORD> commands = PlatSpoolerJobCommands(run.Printer, jobId);
            auto count = [&](DWORD command) {
                return std::count(commands.begin(), commands.end(), command);
            };
            SCOPED_TRACE(PlatNarrow(run.PortName) + " job " + std::to_string(jobId));
            // Ejected exactly once, whatever happened to the job.
            EXPECT_EQ(count(JOB_CONTROL_LAST_PAGE_EJECTED), 1);
            // Cancelled once when the agent asked for it; over the channel a
            // failed send cancels a job too.
            bool channel = run.PortName == WSTR("LPT1:");
            if (jobId % 7 == 3) {
                EXPECT_GE(count(JOB_CONTROL_CANCEL), 1);
            } else if (!channel) {
                EXPECT_EQ(count(JOB_CONTROL_CANCEL), 0);
            }
            EXPECT_LE(count(JOB_CONTROL_CANCEL), channel ? 2 : 1);
            if (brantic) {
                EXPECT_EQ(count(JOB_CONTROL_SENT_TO_PRINTER), 1);
            }
        }
    }

    static void ExpectEverythingReleased() {
        EXPECT_EQ(PortCount, 0u);
        EXPECT_EQ(PortTable, nullptr);
        for (const WString &dll : Dlls) {
            EXPECT_EQ(PlatModuleRefCount(dll), 0) << PlatNarrow(dll);
        }
        EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
        EXPECT_EQ(PrinterPortMonitor::OpenHandles(), 0);
        std::string misuse;
        EXPECT_EQ(PrinterPortMonitor::Misuse(&misuse), 0) << misuse;
        EXPECT_TRUE(TransportDouble::OpenSockets().empty());
    }
};

TEST_F(Stress, ManyPortsOfBothMonitorsRunJobsAtOnce) {
    LoadedMonitor brantic = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
    ASSERT_NE(brantic.MonitorEx, nullptr);
    Monitor q{"Quennet", QuennetTable()};
    Monitor b{"Brantic", brantic.Table()};

    std::vector<PortRun> runs;
    AddPorts(runs, q, "QSTRESS", QuennetPorts, 1000000);
    AddPorts(runs, b, "BSTRESS", BranticPorts - 1, 2000000);
    // The local LPT1 of Brantic goes over the transport channel.
    PortRun lpt1{b, WSTR("LPT1:"), WSTR("Brantic printer LPT1"), 3000001, Seed - 1, {}, {}, {}};
    PlatSpoolerAddPrinter(lpt1.Printer);
    runs.push_back(std::move(lpt1));

    RunAll(runs);

    size_t jobs = 0;
    for (const PortRun &run : runs) {
        EXPECT_EQ(run.Failure, "") << PlatNarrow(run.PortName);
        // Quennet's StartDocPort fails only without memory; Brantic's never.
        EXPECT_TRUE(run.NotStarted.empty()) << PlatNarrow(run.PortName);
        ExpectJobMarks(run, run.Mon.Name == std::string("Brantic"));
        jobs += run.Jobs.size();
    }
    EXPECT_EQ(jobs, (size_t)(QuennetPorts + BranticPorts) * (size_t)JobsPerPort());
    EXPECT_GT(PrinterPortMonitor::Reports(), 0) << "job-language printers reported job ends";
    EXPECT_GT(TransportDouble::Calls("Send").size(), 0u) << "LPT1 used the channel";
    ExpectEverythingReleased();
    printf("stress: %zu jobs, %ld job-end reports, %ld reads, %zu channel sends, %d ports "
           "closed with a running status thread\n",
           jobs, PrinterPortMonitor::Reports(), PrinterPortMonitor::Reads(),
           TransportDouble::Calls("Send").size(), ClosedWhileDraining.load());

    // The tables are whole: every port opens and closes again.
    for (PortRun &run : runs) {
        HANDLE port = nullptr;
        ASSERT_TRUE(run.Mon.Table->pfnOpenPortEx(run.PortName.data(), run.Printer.data(), &port,
                                                 PrinterPortMonitor::Table()))
            << PlatNarrow(run.PortName);
        EXPECT_TRUE(run.Mon.Table->pfnClosePort(port));
    }
    ExpectEverythingReleased();
}

} // namespace
