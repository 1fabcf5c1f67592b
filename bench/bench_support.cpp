// The in-memory port monitor, monitor loading and process figures shared by
// the benchmark programs.
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace bench {

const char *const TklDeviceId = "MFG:Morvane;CMD:TKL,PCL;MDL:RVT-201;CLS:PRINTER;";
const char *const PlainDeviceId = "MFG:Morvane;CMD:PCL;MDL:RVT-900;CLS:PRINTER;";

namespace {

constexpr size_t SinkSize = 64 * 1024;
// Where written bytes go: one per writing thread, so ports cost nothing to
// open. Made on first use: a thread-local array would sit in every thread's
// static TLS (on its stack), and so count against every status thread.
// Page-aligned like the benchmarks' source buffer: how fast a copy runs
// depends on where source and destination lie within their pages, and that
// must not change with the heap's layout from one build to the next.
BYTE *Sink() {
    struct Buffer {
        BYTE *Data = static_cast<BYTE *>(std::aligned_alloc(4096, SinkSize));
        ~Buffer() { std::free(Data); }
    };
    thread_local Buffer sink;
    return sink.Data;
}

// The device ID for new ports and the record of ports, shared by the
// benchmark's thread and the status threads that open ports.
std::mutex PortsLock;
std::string CurrentDeviceId = PlainDeviceId;
MemoryPort *LastPort = nullptr;
// Every port ever opened: a closed port stays readable (a benchmark may
// still queue a reply on a port the status thread has just closed).
std::vector<MemoryPort *> AllPorts;

MemoryPort *PortOf(HANDLE handle) {
    return static_cast<MemoryPort *>(handle);
}

BOOL WINAPI MemOpenPort(LPWSTR name, PHANDLE handle) {
    auto *port = new MemoryPort;
    {
        std::lock_guard<std::mutex> guard(PortsLock);
        port->DeviceId = CurrentDeviceId;
        LastPort = port;
        AllPorts.push_back(port);
    }
    *handle = port;
    return TRUE;
}

BOOL WINAPI MemStartDocPort(HANDLE handle, LPWSTR printer, DWORD jobId, DWORD level,
                            LPBYTE docInfo) {
    PortOf(handle)->Jobs++;
    return TRUE;
}

// Consumes the bytes: copied into the writing thread's sink as a device driver would
// take them, and counted.
BOOL WINAPI MemWritePort(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD written) {
    MemoryPort *port = PortOf(handle);
    DWORD left = count;
    const BYTE *from = buffer;
    while (left > 0) {
        DWORD chunk = left < SinkSize ? left : (DWORD)SinkSize;
        BYTE *sink = Sink();
        memcpy(sink, from, chunk);
        benchmark::DoNotOptimize(sink); // the copy must happen
        from += chunk;
        left -= chunk;
    }
    port->BytesWritten += count;
    *written = count;
    return TRUE;
}

BOOL WINAPI MemReadPort(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD read) {
    MemoryPort *port = PortOf(handle);
    std::lock_guard<std::mutex> guard(port->ReplyLock);
    size_t left = port->Reply.size() - port->ReplyOffset;
    DWORD n = left < count ? (DWORD)left : count;
    memcpy(buffer, port->Reply.data() + port->ReplyOffset, n);
    port->ReplyOffset += n;
    *read = n;
    return TRUE;
}

BOOL WINAPI MemEndDocPort(HANDLE handle) {
    return TRUE;
}

BOOL WINAPI MemClosePort(HANDLE handle) {
    PortOf(handle)->Open = false;
    return TRUE;
}

BOOL WINAPI MemGetPrinterDataFromPort(HANDLE handle, DWORD controlId, LPWSTR valueName,
                                      LPWSTR inBuffer, DWORD inSize, LPWSTR outBuffer,
                                      DWORD outSize, LPDWORD returned) {
    if (controlId != IOCTL_PAR_QUERY_DEVICE_ID) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const std::string &id = PortOf(handle)->DeviceId;
    DWORD n = id.size() < outSize ? (DWORD)id.size() : outSize;
    memcpy(outBuffer, id.data(), n);
    *returned = n;
    return TRUE;
}

BOOL WINAPI MemSetPortTimeOuts(HANDLE handle, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    return TRUE;
}

// ---------------------------------------------------------------- system-call port monitors

// Opens the port as the in-memory one does, with a descriptor to write to.
BOOL OpenWithFd(LPWSTR name, PHANDLE handle, int fd) {
    if (fd < 0 || !MemOpenPort(name, handle)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    PortOf(*handle)->Fd = fd;
    return TRUE;
}

BOOL WINAPI NullOpenPort(LPWSTR name, PHANDLE handle) {
    return OpenWithFd(name, handle, open("/dev/null", O_WRONLY | O_CLOEXEC));
}

// A pipe as large as the system allows, its reading end drained by a thread
// of the port until the writing end closes.
BOOL WINAPI PipeOpenPort(LPWSTR name, PHANDLE handle) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return OpenWithFd(name, handle, -1);
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    if (!OpenWithFd(name, handle, ends[1])) {
        close(ends[0]);
        close(ends[1]);
        return FALSE;
    }
    int reader = ends[0];
    PortOf(*handle)->Drain = std::thread([reader] {
        static thread_local char buffer[1 << 16];
        while (read(reader, buffer, sizeof buffer) > 0) {
        }
        close(reader);
    });
    return TRUE;
}

// One system call per WritePort; what the kernel took is what was written.
BOOL WINAPI SysWritePort(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD written) {
    MemoryPort *port = PortOf(handle);
    ssize_t done = write(port->Fd, buffer, count);
    if (done < 0) {
        *written = 0;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    port->BytesWritten += (unsigned long long)done;
    *written = (DWORD)done;
    return TRUE;
}

BOOL WINAPI SysClosePort(HANDLE handle) {
    MemoryPort *port = PortOf(handle);
    close(port->Fd);
    port->Fd = -1;
    if (port->Drain.joinable())
        port->Drain.join();
    return MemClosePort(handle);
}

MONITOR Table = [] {
    MONITOR table;
    memset(&table, 0, sizeof table);
    table.pfnOpenPort = MemOpenPort;
    table.pfnStartDocPort = MemStartDocPort;
    table.pfnWritePort = MemWritePort;
    table.pfnReadPort = MemReadPort;
    table.pfnEndDocPort = MemEndDocPort;
    table.pfnClosePort = MemClosePort;
    table.pfnGetPrinterDataFromPort = MemGetPrinterDataFromPort;
    table.pfnSetPortTimeOuts = MemSetPortTimeOuts;
    return table;
}();

Monitor LoadMonitor(const char *name, const char *path) {
    Monitor monitor;
    monitor.Name = name;
    HMODULE module = LoadLibraryW(PlatWide(path).c_str());
    if (module == nullptr)
        return monitor;
    auto initialize = reinterpret_cast<LPMONITOREX(WINAPI *)(LPWSTR)>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, "InitializePrintMonitor")));
    if (initialize == nullptr)
        return monitor;
    LPMONITOREX ex = initialize(const_cast<LPWSTR>(u"SYSTEM\\CurrentControlSet\\Control\\Print"));
    monitor.Table = ex != nullptr ? &ex->Monitor : nullptr;
    return monitor;
}

WCHAR PrinterText[] = u"Bench Printer";
WCHAR DocName[] = u"benchmark job";
WCHAR Datatype[] = u"RAW";
DOC_INFO_1W JobDocInfo = {DocName, nullptr, Datatype};

MONITOR SysTable(BOOL(WINAPI *open)(LPWSTR, PHANDLE)) {
    MONITOR table = Table;
    table.pfnOpenPort = open;
    table.pfnWritePort = SysWritePort;
    table.pfnClosePort = SysClosePort;
    return table;
}

MONITOR NullTable = SysTable(NullOpenPort);
MONITOR PipeTable = SysTable(PipeOpenPort);

} // namespace

LPMONITOR MemoryPortMonitor() {
    return &Table;
}

LPMONITOR DevNullPortMonitor() {
    return &NullTable;
}

LPMONITOR PipePortMonitor() {
    return &PipeTable;
}

void SetDeviceId(const std::string &deviceId) {
    std::lock_guard<std::mutex> guard(PortsLock);
    CurrentDeviceId = deviceId;
}

void ReleaseClosedPorts() {
    std::lock_guard<std::mutex> guard(PortsLock);
    std::vector<MemoryPort *> open;
    for (MemoryPort *port : AllPorts) {
        if (port->Open)
            open.push_back(port);
        else
            delete port;
    }
    AllPorts.swap(open);
    LastPort = nullptr;
}

MemoryPort *LastOpenedPort() {
    std::lock_guard<std::mutex> guard(PortsLock);
    return LastPort;
}

void SetReply(MemoryPort *port, const std::string &text) {
    std::lock_guard<std::mutex> guard(port->ReplyLock);
    port->Reply = text;
    port->ReplyOffset = 0;
}

Monitor Quennet() {
    static Monitor monitor = LoadMonitor("Quennet", QUENNET_LIBRARY_FILE);
    return monitor;
}

Monitor Brantic() {
    static Monitor monitor = LoadMonitor("Brantic", BRANTIC_LIBRARY_FILE);
    return monitor;
}

void UseAgent(bool present) {
    PlatSetLibraryPath(present ? COMPANION_FOLDER : NO_AGENT_FOLDER);
}

LPWSTR const PrinterName = PrinterText;

LPBYTE DocInfo() {
    return reinterpret_cast<LPBYTE>(&JobDocInfo);
}

void ResetSpoolerRecord() {
    PlatSpoolerReset();
    PlatSpoolerAddPrinter(PrinterText);
}

long ResidentKiB() {
    FILE *file = fopen("/proc/self/statm", "r");
    if (file == nullptr)
        return -1;
    long size = 0, resident = 0;
    int fields = fscanf(file, "%ld %ld", &size, &resident);
    fclose(file);
    if (fields != 2)
        return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long ThreadCount() {
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    long count = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            count++;
    }
    closedir(dir);
    return count;
}

double ProcessCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

void InitializeEnvironment() {
    std::string error;
    PlatRegistryOpen("", &error);
    ResetSpoolerRecord();
    PlatSetClockScale(1.0);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    UseAgent(true);
}

int RunBenchmarks(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace bench
