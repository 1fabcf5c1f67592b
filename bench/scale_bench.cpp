// Scale: what each open port with a status thread costs Quennet's process.
// For 1, 64, 256 and 1024 ports, each with a job-language job started (and
// so its status thread polling an idle printer), the resident set and the
// thread count per port, and the CPU time the idle threads spend over a
// fixed span of monitor time (test clock).
//
//   scale/ports/<n>  counters: rss_kib_per_port, threads_per_port,
//                    idle_cpu_us_per_port_minute (CPU per port per minute
//                    of monitor time), ports
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

// Monitor time over which idle CPU is taken, and how much faster than real
// time it passes: 5 minutes in 3 real seconds. The threads poll every 10 s
// of monitor time while their job is active, so 30 cycles each.
constexpr double SpanMinutes = 5;
constexpr double IdleScale = 100;

std::vector<std::u16string> PortNames(int count) {
    std::vector<std::u16string> names;
    for (int i = 0; i < count; i++) {
        std::string name = "SCALE" + std::to_string(i + 1) + ":";
        names.push_back(std::u16string(name.begin(), name.end()));
    }
    return names;
}

// Waits (real time) until the process has `threads` threads, at most 10 s.
bool AwaitThreads(long threads) {
    for (int i = 0; i < 1000; i++) {
        if (ThreadCount() == threads)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ScaleBench(benchmark::State &state) {
    int count = (int)state.range(0);
    LPMONITOR m = Quennet().Table;
    if (m == nullptr) {
        state.SkipWithError("cannot load Quennet");
        return;
    }
    UseAgent(true);
    SetDeviceId(TklDeviceId);
    std::vector<std::u16string> names = PortNames(count);
    std::vector<HANDLE> ports(count, nullptr);

    // One port without a job keeps the agent library loaded, so that the
    // baseline holds everything that does not come per port.
    static WCHAR AnchorName[] = u"ANCHOR:";
    HANDLE anchor = nullptr;
    m->pfnOpenPortEx(AnchorName, PrinterName, &anchor, MemoryPortMonitor());

    // One clock throughout: a faster one while opening or closing would make
    // every running thread poll that much more often. The stop request waits
    // in steps of 500 ms of monitor time, 5 ms here.
    PlatSetClockScale(IdleScale);
    for (auto _ : state) {
        long threadsBefore = ThreadCount();
        long rssBefore = ResidentKiB();

        // Every port gets a job that talks the job language: a status thread each.
        for (int i = 0; i < count; i++) {
            if (!m->pfnOpenPortEx(names[i].data(), PrinterName, &ports[i], MemoryPortMonitor()) ||
                !m->pfnStartDocPort(ports[i], PrinterName, (DWORD)(i + 1), 1, DocInfo()))
                state.SkipWithError("OpenPortEx / StartDocPort failed");
        }
        if (!AwaitThreads(threadsBefore + count))
            state.SkipWithError("not every port got its status thread");

        // Idle: the printers say nothing; the threads poll on the test clock.
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // every thread past its start
        long rssAfter = ResidentKiB();
        long threadsAfter = ThreadCount();
        double cpuBefore = ProcessCpuMicros();
        std::this_thread::sleep_for(
            std::chrono::duration<double, std::milli>(SpanMinutes * 60000 / IdleScale));
        double cpuAfter = ProcessCpuMicros();

        state.counters["ports"] = count;
        state.counters["rss_kib_per_port"] = (double)(rssAfter - rssBefore) / count;
        state.counters["threads_per_port"] = (double)(threadsAfter - threadsBefore) / count;
        state.counters["idle_cpu_us_per_port_minute"] =
            (cpuAfter - cpuBefore) / count / SpanMinutes;
        state.counters["rss_kib_total"] = (double)(rssAfter - rssBefore);

        // Jobs end (the threads keep draining), ports close (the threads stop).
        for (int i = 0; i < count; i++) {
            if (ports[i] == nullptr)
                continue;
            m->pfnEndDocPort(ports[i]);
            m->pfnClosePort(ports[i]);
            ports[i] = nullptr;
        }
        AwaitThreads(threadsBefore);
    }

    m->pfnClosePort(anchor);
    PlatSetClockScale(1);
    ResetSpoolerRecord();
    ReleaseClosedPorts();
}

} // namespace

int main(int argc, char **argv) {
    InitializeEnvironment();
    benchmark::RegisterBenchmark("scale/ports", ScaleBench)
        ->Arg(1)
        ->Arg(64)
        ->Arg(256)
        ->Arg(1024)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    return RunBenchmarks(argc, argv);
}
