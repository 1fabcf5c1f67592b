// Soak: many jobs through both monitors on ports that stay open, as a
// spooler keeps them for months, against the simulated printers of the
// stress run (job-language and plain printers, held, cancelled and failed
// jobs, failed opens, starts and writes, LPT1 over the transport double).
// At the start, after every step of jobs and at the end it records what the
// process holds: resident memory, the platform's live blocks, open events,
// thread handles, running threads, loaded libraries, file descriptors,
// printer handles, port monitor handles and transport sockets. After the
// first step (the warm-up) every count must stay exactly where it was, the
// live blocks within LiveBlockTolerance and resident memory within
// SoakRssToleranceKiB.
//
// SOAK_JOBS jobs per monitor (default 2000, seconds), a sample every
// SOAK_STEP jobs (default a fifth); scripts/soak runs 100 000 with a sample
// every 10 000.
#include "monitor_loader.h"
#include "printer_port_monitor.h"
#include "quennet.h"
#include "transport_double_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <malloc.h>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

namespace {

constexpr int PortsPerMonitor = 4;
constexpr int WriteCallsPerJob = 60;
// Resident memory may grow this much after the warm-up (allocator arenas and
// caches settling); a leak of one block per job grows far beyond it.
constexpr long SoakRssToleranceKiB = 8 * 1024;
// A port keeps a block or two of its last job or not (its model, a deferred
// job's document information), depending on how that job went.
constexpr long LiveBlockTolerance = 2 * PortsPerMonitor;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true; // quarantine and shadow memory grow by design
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
#else
constexpr bool Sanitized = false;
#endif

long EnvNumber(const char *name, long fallback) {
    const char *text = getenv(name);
    long n = text != nullptr ? atol(text) : 0;
    return n > 0 ? n : fallback;
}

// What the process holds at one moment.
struct Sample {
    long Jobs;
    long RssKiB;
    long HeapKiB; // in use by malloc: tells a leak from memory the allocator keeps
    long LiveBlocks;
    PlatObjectCounts Objects;
    long Descriptors;
    long PrinterHandles;
    long PortHandles;
    long Sockets;
};

long ResidentKiB() {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long HeapInUseKiB() {
    struct mallinfo2 info = mallinfo2();
    return (long)((info.uordblks + info.hblkhd) / 1024);
}

long OpenDescriptors() {
    long n = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            n++;
        closedir(dir);
    }
    return n - 3; // ".", ".." and the directory's own descriptor
}

Sample Take(long jobs) {
    Sample s{jobs,
             ResidentKiB(),
             HeapInUseKiB(),
             PlatLiveBlocks(),
             PlatOpenObjects(),
             OpenDescriptors(),
             PlatSpoolerOpenHandles(),
             PrinterPortMonitor::OpenHandles(),
             (long)TransportDouble::OpenSockets().size()};
    printf("soak: %7ld jobs  rss %7ld KiB  heap %7ld KiB  live blocks %5ld  events %3ld  thread "
           "handles %3ld  "
           "threads %3ld  libraries %2ld  fds %3ld  printer handles %2ld  port handles %2ld  "
           "sockets %ld\n",
           s.Jobs, s.RssKiB, s.HeapKiB, s.LiveBlocks, s.Objects.Events, s.Objects.ThreadHandles,
           s.Objects.Threads, s.Objects.Modules, s.Descriptors, s.PrinterHandles, s.PortHandles,
           s.Sockets);
    fflush(stdout);
    return s;
}

struct SoakPort {
    LPMONITOR Table;
    bool Quennet;
    WString Name, Printer;
    HANDLE Handle = nullptr;
    DWORD NextJob;
    std::mt19937 Random;
    std::vector<DWORD> Jobs; // started in the current step
};

// `count` jobs one after the other on an open port, as the spooler's thread
// for the port runs them.
void RunJobs(SoakPort &p, long count) {
    p.Jobs.clear();
    for (long j = 0; j < count; j++) {
        DWORD jobId = p.NextJob++;
        WString doc = WSTR("Soak job");
        DOC_INFO_1W info = {doc.data(), nullptr, nullptr};
        if (!p.Table->pfnStartDocPort(p.Handle, p.Printer.data(), jobId, 1, (LPBYTE)&info))
            continue;
        p.Jobs.push_back(jobId);
        int calls = 0;
        int pieces = 1 + (int)(p.Random() % 3);
        for (int piece = 0; piece < pieces && calls < WriteCallsPerJob; piece++) {
            std::string data = "page " + std::to_string(piece) + std::string(p.Random() % 200, 'x');
            while (!data.empty() && calls++ < WriteCallsPerJob) {
                DWORD written = 0;
                if (!p.Table->pfnWritePort(p.Handle, (LPBYTE)data.data(), (DWORD)data.size(),
                                           &written))
                    break;
                data.erase(0, std::min<size_t>(written, data.size()));
            }
        }
        p.Table->pfnEndDocPort(p.Handle);
    }
}

// A failed send on every 9th call over the channel.
void ScriptSends() {
    std::vector<int> sends;
    for (int i = 0; i < 5000; i++)
        sends.push_back(i % 9 == 8 ? -1 : 1 << 20);
    TransportDouble::ScriptSends(sends);
}

TEST(Soak, MemoryAndHandlesStayFlatOverManyJobs) {
    REQUIRE_TEST_HOOKS();
    const long total = EnvNumber("SOAK_JOBS", 2000);
    const long step = EnvNumber("SOAK_STEP", std::max(total / 5, 1L));
    ASSERT_NE(InitializePrintMonitor(nullptr), nullptr);
    ASSERT_TRUE(PlatRegistryOpen("", nullptr));
    PlatSpoolerReset();
    PrinterPortMonitor::Reset();
    TransportDouble::Reset();
    ScriptSends();
    PlatSetLibraryPath(std::string(QUENNET_DOUBLES_FOLDER) + "/stress_agent:" +
                       QUENNET_DOUBLES_FOLDER + "/transport:" + QUENNET_COMPANION_FOLDER);
    PlatSetClockScale(1000.0);
    LoadedMonitor brantic = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
    ASSERT_NE(brantic.MonitorEx, nullptr);

    // Four ports of each monitor: an "RVT-201", an "RVT-101", a plain printer
    // and an "RVT-102" for Quennet (by the port's number); Brantic's last
    // port is LPT1, over the transport channel.
    std::vector<SoakPort> ports;
    for (int i = 0; i < 2 * PortsPerMonitor; i++) {
        bool quennet = i < PortsPerMonitor;
        int n = i % PortsPerMonitor;
        SoakPort p{
            quennet ? &InitializePrintMonitor(nullptr)->Monitor : brantic.Table(),
            quennet,
            PlatWide((quennet ? "QSOAK" : "BSOAK") + std::to_string(n) + ":"),
            PlatWide(std::string(quennet ? "Q" : "B") + " soak printer " + std::to_string(n)),
            nullptr,
            (DWORD)(i + 1) * 1000000u + 1,
            std::mt19937(20240611u + (unsigned)i),
            {}};
        if (!quennet && n == PortsPerMonitor - 1)
            p.Name = WSTR("LPT1:");
        PlatSpoolerAddPrinter(p.Printer);
        ASSERT_TRUE(p.Table->pfnOpenPortEx(p.Name.data(), p.Printer.data(), &p.Handle,
                                           PrinterPortMonitor::Table()));
        ports.push_back(std::move(p));
    }

    std::vector<Sample> samples{Take(0)};
    for (long done = 0; done < total; done += step) {
        long jobs = std::min(step, total - done);
        std::vector<std::thread> threads;
        for (int i = 0; i < (int)ports.size(); i++) {
            long share = jobs / PortsPerMonitor + (i % PortsPerMonitor < jobs % PortsPerMonitor);
            threads.emplace_back(RunJobs, std::ref(ports[i]), share);
        }
        for (std::thread &thread : threads)
            thread.join();
        // Quiet: every status thread has ended (reports in, or given up).
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (const SoakPort &p : ports) {
            while (p.Quennet && TestFlags((PortEntry *)p.Handle, ThreadRunning) &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_FALSE(p.Quennet && TestFlags((PortEntry *)p.Handle, ThreadRunning));
        }

        // Every job of the step was ejected once; then the record is dropped
        // so that the test's own bookkeeping does not grow.
        std::map<std::pair<WString, DWORD>, int> ejected;
        for (const PlatJobControl &c : PlatSpoolerJobControls())
            if (c.Command == JOB_CONTROL_LAST_PAGE_EJECTED)
                ejected[{c.Printer, c.JobId}]++;
        for (const SoakPort &p : ports)
            for (DWORD jobId : p.Jobs)
                ASSERT_EQ((ejected[{p.Printer, jobId}]), 1) << PlatNarrow(p.Name) << " " << jobId;
        std::string misuse;
        ASSERT_EQ(PrinterPortMonitor::Misuse(&misuse), 0) << misuse;
        PlatSpoolerClearRecord();
        TransportDouble::ClearCalls();
        ScriptSends();
        samples.push_back(Take(done + jobs));
    }

    // Flat after the warm-up (the first step), which needs a sample after it.
    ASSERT_GE(samples.size(), 3u) << "nothing to compare: SOAK_JOBS must exceed SOAK_STEP";
    const Sample &warm = samples[1];
    for (const Sample &s : samples) {
        if (s.Jobs <= warm.Jobs)
            continue;
        SCOPED_TRACE("after " + std::to_string(s.Jobs) + " jobs");
        EXPECT_LE(std::abs(s.LiveBlocks - warm.LiveBlocks), LiveBlockTolerance);
        EXPECT_EQ(s.Objects.Events, warm.Objects.Events);
        EXPECT_EQ(s.Objects.ThreadHandles, warm.Objects.ThreadHandles);
        EXPECT_EQ(s.Objects.Threads, warm.Objects.Threads);
        EXPECT_EQ(s.Objects.Modules, warm.Objects.Modules);
        EXPECT_EQ(s.Descriptors, warm.Descriptors);
        EXPECT_EQ(s.PrinterHandles, warm.PrinterHandles);
        EXPECT_EQ(s.PortHandles, warm.PortHandles);
        EXPECT_EQ(s.Sockets, warm.Sockets);
        if (!Sanitized) {
            EXPECT_LE(s.RssKiB, warm.RssKiB + SoakRssToleranceKiB);
        }
    }

    // Closed, everything goes.
    for (SoakPort &p : ports)
        EXPECT_TRUE(p.Table->pfnClosePort(p.Handle));
    Sample closed = Take(total);
    EXPECT_EQ(closed.Objects.Threads, 0);
    EXPECT_EQ(closed.Objects.Events, 0);
    EXPECT_EQ(closed.PrinterHandles, 0);
    EXPECT_EQ(closed.PortHandles, 0);
    EXPECT_EQ(closed.Sockets, 0);
    EXPECT_EQ(PortCount, 0u);
    PlatSetClockScale(1.0);
}

} // namespace
