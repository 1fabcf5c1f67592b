// What the benchmark programs share: an in-memory port monitor whose ports
// consume what is written to them, loading the built monitors the way the
// spooler does, choosing whether the status agent is found, and reading the
// process's resident memory, thread count and CPU time.
#pragma once

#include "wintest.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// ---------------------------------------------------------------- port monitor
// A port monitor with nothing behind it. WritePort consumes the bytes the way
// a port monitor hands them to its device (copied into a 64 KiB sink and
// counted); ReadPort hands out what the benchmark queued as the
// printer's answer; the device ID is the one set before the port was opened.
struct MemoryPort {
    std::atomic<bool> Open{true};
    unsigned long long BytesWritten = 0;
    unsigned long long Jobs = 0;
    std::string DeviceId;
    std::mutex ReplyLock; // the status thread reads while the benchmark queues
    std::string Reply;
    size_t ReplyOffset = 0;
    int Fd = -1;       // the system-call port monitors' file descriptor
    std::thread Drain; // the pipe's reader
};

// The monitor table to pass to OpenPortEx (every NT 4.0 slot filled).
LPMONITOR MemoryPortMonitor();
// The same port monitor, but its WritePort hands the bytes to the kernel with
// one write(2) per call, as a port monitor in front of a device does: to
// /dev/null, or to a pipe that a thread of the port drains.
LPMONITOR DevNullPortMonitor();
LPMONITOR PipePortMonitor();
// The device ID the ports opened from now on answer.
void SetDeviceId(const std::string &deviceId);
// The last port the monitor opened (the benchmark's way to its handle).
MemoryPort *LastOpenedPort();
// Frees the ports that are closed (a closed port stays valid until then).
// Only while no status thread may still touch one.
void ReleaseClosedPorts();
// Replaces what the printer has to say on `port` (handed out by the
// following reads, at most the read's size at a time).
void SetReply(MemoryPort *port, const std::string &text);

// Device IDs of a printer that speaks the job language and of one that does not.
extern const char *const TklDeviceId;
extern const char *const PlainDeviceId;

// ---------------------------------------------------------------- monitors
struct Monitor {
    const char *Name = "";
    LPMONITOR Table = nullptr; // null when the library could not be loaded
};
// The built libraries, loaded once and kept (as by the spooler).
Monitor Quennet();
Monitor Brantic();

// The status agent: present is the reference agent "RAVODIR.DLL" in the
// companions folder (with the parser and the transport next to it); absent is
// an empty folder. Read whenever a monitor's first port record is created.
void UseAgent(bool present);

// The printer every benchmark prints to (known to the platform's spooler),
// and the DOC_INFO_1 of its jobs.
extern LPWSTR const PrinterName;
LPBYTE DocInfo();

// Forgets the platform spooler's record of job controls (it grows with every
// job) and makes the printer known again. Only while no printer handle is open.
void ResetSpoolerRecord();

// ---------------------------------------------------------------- process figures
// Resident set in KiB (/proc/self/statm).
long ResidentKiB();
// Threads of the process (/proc/self/task).
long ThreadCount();
// CPU time of all the process's threads, in microseconds.
double ProcessCpuMicros();

// Once per program: in-memory registry, known printer, short timer slack (the
// test clock makes sleeps of microseconds, which the default 50 us slack of
// every sleep would swamp).
void InitializeEnvironment();
// Google Benchmark's main, after the program has registered its benchmarks.
int RunBenchmarks(int argc, char **argv);

} // namespace bench
