// The stand-in spooler: loads a language monitor, gives it a port monitor,
// opens a port, prints files as jobs the way the NT spooler drives a monitor,
// waits until the monitor has finished with the port, and collects what
// happened (bytes at the printer, job controls, the agent's journal, the
// registry values written). spoolhost is its command line; the end-to-end
// tests drive it in-process.
#pragma once

#include "port_monitor.h"
#include "sim_printer.h"
#include "wintest.h"

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

// The reference status agent's configuration (HKLM\SOFTWARE\Ravodir\Agent).
struct AgentPolicy {
    bool Configure = true; // write the values below (and the journal path)
    std::string Journal;   // "" : a file in the host's temporary folder
    DWORD HoldCount = 0;
    DWORD CancelJobs = 0;
    DWORD StatusAnswer = 0;
    DWORD Query = 0;
};

struct HostOptions {
    std::string Monitor;          // library path, or "quennet" / "brantic"
    std::string Contract = "nt4"; // "nt4": InitializePrintMonitor; "2000": InitializePrintMonitor2
    std::string PortMonitor = "sim:RVT-201"; // file:PATH, tcp:HOST:PORT, sim:MODEL
    std::string Port = "LPT1:";
    std::string Printer; // "" : "Simulated printer"
    DWORD FirstJobId = 1;
    DWORD Buffer = 4096;     // bytes per WritePort call
    double ClockScale = 1;   // test clock: 100 makes 5 minutes last 3 seconds
    double WaitSeconds = 60; // longest real wait for the monitor after the last job
    double WriteTimeoutSeconds =
        DefaultSocketTimeoutSeconds; // no progress (or a socket wait) this long: given up
    std::string LibraryPath;         // "" : the companions folder beside the program
    std::string Registry;            // hive file; "" : a new one in the temporary folder
    std::string TempFolder;          // "" : a new folder under $TMPDIR or /tmp
    bool Keep = false;               // keep the temporary folder
    AgentPolicy Agent;
    long PollingLevel = -1;    // HKLM\SOFTWARE\Morvane\TallowII\VorlAgnt PollingLevel
    long NotifyPort = -1;      // HKLM\SOFTWARE\Morvane\TallowII JobNotifyPort
    bool LprPort = false;      // give the port an LPR Port monitor key
    SimPrinterConfig Sim;      // the printer of sim:MODEL (its model comes from --port-monitor)
    std::string DeviceId;      // tcp: the device ID the port monitor answers
    unsigned DeviceIdPort = 0; // tcp: ask it from the printer's control endpoint
    std::string Transport;     // HOST:BASEPORT for DARUZUROZ.DLL
    std::string PrinterRecord; // simprinter's record file
    std::vector<std::string> Files;
    bool Progress = true; // progress lines on stderr for long jobs
    DWORD TraceLevel = 0; // the monitor's TraceLevel: 1 decisions, 2 every call too
};

struct JobResult {
    std::string File;
    DWORD JobId = 0;
    std::string Content; // the file's bytes
    bool Started = false;
    DWORD StartError = 0;
    uint64_t Written = 0;
    unsigned WriteCalls = 0, ZeroWrites = 0, FailedWrites = 0;
    DWORD LastWriteError = 0;
    bool Completed = false; // every byte was accepted
    bool Cancelled = false; // the spooler's job was cancelled while it was written
    std::string Outcome;
    bool Ended = false;
    DWORD EndError = 0;
    double Seconds = 0;
    std::vector<PlatJobControl> Controls;
};

struct HostResult {
    HostOptions Options;
    std::string MonitorPath;
    DWORD MonitorSize = 0;
    std::string Setup; // why the host could not run ("" when it ran)
    std::string TempFolder, RegistryPath, JournalPath;
    std::vector<JobResult> Jobs;
    std::vector<TappedJob> Tapped; // per job, what the port monitor passed
    bool HavePrinterJobs = false;
    std::string PrinterSource;          // "simulated printer" / record path
    std::vector<StreamJob> PrinterJobs; // jobs as the printer understood them
    std::string DeviceId;
    bool MonitorFinished = false;
    size_t UnreadAnswerBytes = 0; // what the simulated printer said that nobody read
    double FinishSeconds = 0;
    unsigned PortOpens = 0, PortCloses = 0;
    std::vector<PortCallFailures> PortFailures; // the port monitor's calls that failed
    long PrinterHandlesLeft = 0;
    bool PortClosed = false;
    std::string Journal;
    std::string Trace;         // the monitor's trace lines, with TraceLevel set
    std::string RegistryPorts; // the hive's Ports keys in the export format
    std::vector<std::string> Warnings;
};

// The key the host names in InitializePrintMonitor (below HKEY_LOCAL_MACHINE).
extern const char HostMonitorKey[];

// Runs everything: environment, monitor, port, jobs, wait, close, collect.
HostResult RunHost(const HostOptions &options);

// The report a person reads.
std::string FormatReport(const HostResult &result);

// Whether a job ended as the run asked for: accepted whole and ended, or,
// when the agent takes part and was told to cancel every job, cancelled in
// the spooler.
bool EndedAsAsked(const HostOptions &options, const JobResult &job);
// The jobs that did not (spoolhost's exit status 3 when any).
unsigned JobsNotAsAsked(const HostResult &result);

// The sections of an exported hive whose key path begins with `prefix`
// (e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\Morvane\TallowII\Ports").
std::string ExportSections(const std::string &exported, const std::string &prefix);
