// The data path and whole jobs: WritePort through Quennet and Brantic against
// the same port monitor called directly, over three port monitors (one that
// copies into memory, and two that make one write(2) per call: to /dev/null
// and to a drained pipe), and short jobs (StartDocPort, one write,
// EndDocPort) through each against the port monitor alone, with the status
// agent present and absent.
//
// Names: write/<path>/<bytes> (in memory), write_null/<path>/<bytes>,
// write_pipe/<path>/<bytes> and job/<path>/<agent>. The report script
// divides each monitor's figure by the direct one of the same port monitor
// and run.
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

namespace {

enum class Path { Direct, QuennetPlain, QuennetTkl, Brantic };

const char *PathName(Path path) {
    switch (path) {
    case Path::Direct:
        return "direct";
    case Path::QuennetPlain:
        return "quennet_plain";
    case Path::QuennetTkl:
        return "quennet_tkl";
    case Path::Brantic:
        return "brantic";
    }
    return "?";
}

Monitor MonitorOf(Path path) {
    switch (path) {
    case Path::QuennetPlain:
    case Path::QuennetTkl:
        return Quennet();
    case Path::Brantic:
        return Brantic();
    case Path::Direct:
        break;
    }
    return Monitor{};
}

// A job-language job's status thread polls every 10 s of monitor time; its
// stop request waits in 500 ms steps. Opening and closing runs on a fast
// clock so that the waits do not stretch the benchmark, the measured loop
// runs on whatever clock the benchmark chose.
class FastClock {
  public:
    explicit FastClock(double scale) : saved_(PlatClockScale()) { PlatSetClockScale(scale); }
    ~FastClock() { PlatSetClockScale(saved_); }

  private:
    double saved_;
};

// What the port monitor below does with the bytes.
enum class Below { Memory, DevNull, Pipe };

const char *BelowName(Below below) {
    switch (below) {
    case Below::Memory:
        return "write";
    case Below::DevNull:
        return "write_null";
    case Below::Pipe:
        return "write_pipe";
    }
    return "?";
}

LPMONITOR PortMonitorOf(Below below) {
    switch (below) {
    case Below::DevNull:
        return DevNullPortMonitor();
    case Below::Pipe:
        return PipePortMonitor();
    case Below::Memory:
        break;
    }
    return MemoryPortMonitor();
}

// One port with a job started on it, through a monitor or on the port
// monitor itself.
struct Session {
    LPMONITOR Below = MemoryPortMonitor();
    LPMONITOR Monitor = nullptr; // null: the port monitor is called directly
    HANDLE Port = nullptr;

    BOOL Write(LPBYTE buffer, DWORD count, LPDWORD written) {
        LPMONITOR table = Monitor != nullptr ? Monitor : Below;
        return table->pfnWritePort(Port, buffer, count, written);
    }
};

WCHAR PortName[] = u"BENCH1:";

// Writes the whole buffer, in as many calls as the path takes (the first
// write of a job may carry the job's command before its data).
bool WriteAll(Session &s, std::vector<BYTE> &buffer) {
    DWORD done = 0;
    for (int calls = 0; calls < 100 && done < buffer.size(); calls++) {
        DWORD written = 0;
        if (!s.Write(buffer.data() + done, (DWORD)buffer.size() - done, &written))
            return false;
        done += written;
    }
    return done == buffer.size();
}

// Opens the port and starts job 1; the monitors' first write (agent report,
// pending command) is made here, outside the measured loop.
bool OpenSession(Path path, Session &s, std::string &error) {
    SetDeviceId(path == Path::QuennetTkl ? TklDeviceId : PlainDeviceId);
    if (path == Path::Direct) {
        if (!s.Below->pfnOpenPort(PortName, &s.Port) ||
            !s.Below->pfnStartDocPort(s.Port, PrinterName, 1, 1, DocInfo())) {
            error = "port monitor open failed";
            return false;
        }
        return true;
    }
    s.Monitor = MonitorOf(path).Table;
    if (s.Monitor == nullptr) {
        error = std::string("cannot load ") + MonitorOf(path).Name;
        return false;
    }
    long threads = ThreadCount();
    FastClock fast(1000);
    if (!s.Monitor->pfnOpenPortEx(PortName, PrinterName, &s.Port, s.Below) ||
        !s.Monitor->pfnStartDocPort(s.Port, PrinterName, 1, 1, DocInfo())) {
        error = "OpenPortEx / StartDocPort failed";
        return false;
    }
    std::vector<BYTE> first(64, 'x');
    if (!WriteAll(s, first)) {
        error = "first write failed";
        return false;
    }
    // The job-language job must really have its status thread (a pipe's
    // port has its draining thread too).
    long added = s.Below == PipePortMonitor() ? 2 : 1;
    if (path == Path::QuennetTkl && ThreadCount() != threads + added) {
        error = "no status thread (agent or parser library missing?)";
        return false;
    }
    return true;
}

void CloseSession(Session &s) {
    FastClock fast(1000);
    if (s.Monitor == nullptr) {
        s.Below->pfnEndDocPort(s.Port);
        s.Below->pfnClosePort(s.Port);
    } else if (s.Port != nullptr) {
        s.Monitor->pfnEndDocPort(s.Port);
        s.Monitor->pfnClosePort(s.Port);
    }
    ResetSpoolerRecord();
    ReleaseClosedPorts();
}

// ---------------------------------------------------------------- WritePort

// Every path writes from the same page-aligned buffer: how a 64 KiB copy
// performs depends on where its source lies against the sink (cache sets,
// 4 KiB aliasing), and that must not differ between the paths compared.
BYTE *WriteSource() {
    alignas(4096) static BYTE source[65536];
    static bool filled = (memset(source, 'x', sizeof source), true);
    (void)filled;
    return source;
}

void WriteBench(benchmark::State &state, Path path, Below below) {
    UseAgent(true);
    Session s;
    s.Below = PortMonitorOf(below);
    std::string error;
    if (!OpenSession(path, s, error)) {
        state.SkipWithError(error.c_str());
        CloseSession(s);
        return;
    }
    DWORD count = (DWORD)state.range(0);
    BYTE *source = WriteSource();
    for (auto _ : state) {
        DWORD written = 0;
        BOOL ok = s.Write(source, count, &written);
        benchmark::DoNotOptimize(ok);
        if (written != count) {
            state.SkipWithError("short write");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)count);
    CloseSession(s);
}

// ---------------------------------------------------------------- whole jobs

// The printer's report that a job has ended, as a job-language printer sends it.
std::string JobDoneReport(DWORD jobId) {
    char tag[64];
    snprintf(tag, sizeof tag, "+%-29s%08X", "LPT", (unsigned)jobId);
    return std::string("@TKL 216 = \"") + tag + "\"\n\f";
}

constexpr DWORD JobBytes = 4096;

// The port monitor alone, as the monitors drive it for a job of their own:
// open, start, one write, end, close.
void DirectJobBench(benchmark::State &state) {
    LPMONITOR below = MemoryPortMonitor();
    std::vector<BYTE> buffer(JobBytes, 'x');
    DWORD jobId = 1;
    for (auto _ : state) {
        HANDLE port = nullptr;
        DWORD written = 0;
        below->pfnOpenPort(PortName, &port);
        below->pfnStartDocPort(port, PrinterName, jobId++, 1, DocInfo());
        below->pfnWritePort(port, buffer.data(), JobBytes, &written);
        below->pfnEndDocPort(port);
        below->pfnClosePort(port);
    }
    state.SetItemsProcessed(state.iterations());
    ReleaseClosedPorts();
}

void JobBench(benchmark::State &state, Path path, bool agent) {
    if (path == Path::Direct) {
        DirectJobBench(state);
        return;
    }
    UseAgent(agent);
    Monitor monitor = MonitorOf(path);
    if (monitor.Table == nullptr) {
        state.SkipWithError("monitor library not loaded");
        return;
    }
    SetDeviceId(path == Path::QuennetTkl ? TklDeviceId : PlainDeviceId);
    // A job-language job's thread reads the printer's job-end reports: on a
    // fast clock it polls every few milliseconds, so reported jobs leave its
    // list instead of piling up over the run.
    FastClock clock(path == Path::QuennetTkl ? 1000 : 1);

    LPMONITOR m = monitor.Table;
    HANDLE port = nullptr;
    if (!m->pfnOpenPortEx(PortName, PrinterName, &port, MemoryPortMonitor())) {
        state.SkipWithError("OpenPortEx failed");
        return;
    }
    // "Absent" must mean absent: no library of the agent's name is loaded.
    if (!agent && PlatModuleRefCount(u"RAVODIR.DLL") != 0) {
        state.SkipWithError("the status agent is loaded though it should be absent");
        m->pfnClosePort(port);
        return;
    }
    std::vector<BYTE> buffer(JobBytes, 'x');
    Session s;
    s.Monitor = m;
    s.Port = port;
    DWORD jobId = 1;
    for (auto _ : state) {
        m->pfnStartDocPort(port, PrinterName, jobId, 1, DocInfo());
        bool ok = WriteAll(s, buffer);
        m->pfnEndDocPort(port);
        if (!ok) {
            state.SkipWithError("job write failed");
            break;
        }
        // The printer reports the job's end on its next poll.
        if (path == Path::QuennetTkl)
            SetReply(LastOpenedPort(), JobDoneReport(jobId));
        jobId++;
    }
    state.SetItemsProcessed(state.iterations());
    {
        FastClock fast(1000);
        m->pfnClosePort(port);
    }
    ResetSpoolerRecord();
    ReleaseClosedPorts();
}

void RegisterAll() {
    for (Below below : {Below::Memory, Below::DevNull, Below::Pipe}) {
        for (Path path : {Path::Direct, Path::QuennetPlain, Path::QuennetTkl, Path::Brantic}) {
            std::string name = std::string(BelowName(below)) + "/" + PathName(path);
            // 64 B, 4 KiB and 64 KiB are the figures of the report; the
            // others fill in the plot.
            benchmark::RegisterBenchmark(name.c_str(), WriteBench, path, below)
                ->Arg(64)
                ->Arg(512)
                ->Arg(4096)
                ->Arg(16384)
                ->Arg(65536);
        }
    }
    struct JobCase {
        Path JobPath;
        bool Agent;
    };
    const JobCase jobs[] = {
        {Path::Direct, false},    {Path::QuennetPlain, false}, {Path::QuennetPlain, true},
        {Path::QuennetTkl, true}, {Path::Brantic, false},      {Path::Brantic, true},
    };
    for (const JobCase &job : jobs) {
        std::string name = std::string("job/") + PathName(job.JobPath) +
                           (job.JobPath == Path::Direct ? ""
                            : job.Agent                 ? "/agent"
                                                        : "/no_agent");
        benchmark::RegisterBenchmark(name.c_str(), JobBench, job.JobPath, job.Agent)
            ->MeasureProcessCPUTime()
            ->UseRealTime();
    }
}

} // namespace

int main(int argc, char **argv) {
    InitializeEnvironment();
    RegisterAll();
    return RunBenchmarks(argc, argv);
}
