// The host's port monitors: the MONITOR table a language monitor receives at
// OpenPortEx, over one of three outputs:
//   file:PATH       the job's bytes go to a file (nothing to read back)
//   tcp:HOST:PORT   raw TCP both ways to a printer (one connection per open)
//   sim:MODEL       the in-process simulated printer
// Every byte accepted and every byte read back is tapped and filed under the
// host's current job, so the report tells what reached the printer.
#pragma once

#include "job_stream.h"
#include "sim_printer.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// How long a socket of the host may wait for its peer (connect, send, the
// simulated printer's sends) unless --write-timeout says otherwise.
constexpr double DefaultSocketTimeoutSeconds = 30;

// Why a port monitor call failed: the Win32 error the caller sees, and what
// the output itself said (a socket's or a file's error), for the report.
struct PortError {
    DWORD Code = 0;
    std::string Detail;
};

// A TCP connection to host:port made within `timeout` seconds; -1 with the
// reason otherwise.
int ConnectTcp(const std::string &host, const std::string &port, double timeout, PortError *error);

// One opened port of a port monitor.
class PortConnection {
  public:
    virtual ~PortConnection() = default;
    virtual bool StartDoc(const std::string &printer, DWORD jobId, const std::string &docName,
                          PortError *error) = 0;
    virtual bool Write(const char *data, DWORD count, DWORD *written, PortError *error) = 0;
    virtual bool Read(char *buffer, DWORD size, DWORD *read, PortError *error) = 0;
    virtual bool EndDoc(PortError *error) = 0;
    virtual void Close() = 0;
    // The IEEE 1284 device ID; FALSE when the port cannot tell.
    virtual bool DeviceId(std::string *deviceId) = 0;
    virtual void SetReadTimeout(DWORD ms) { (void)ms; }
};

// What the tap filed under one host job.
struct TappedJob {
    JobStream Stream;     // accepted bytes, split into start, data, end
    std::string ReadBack; // bytes the monitor read from the printer while this job was current
    std::string Answers;  // the read-back blocks that belong to this job (host.cpp sorts them)
};

// The calls of one kind that answered FALSE: how often, and the last one's error.
struct PortCallFailures {
    std::string Call; // "OpenPort", "WritePort", ...
    unsigned Count = 0;
    PortError Last;
};

class HostPortMonitor {
  public:
    // Parses "file:PATH", "tcp:HOST:PORT" or "sim:MODEL"; null with a
    // message for anything else. `sim` is the printer for "sim:" (the
    // caller's; may be null for the other kinds). `deviceId` answers the
    // device-ID request of a tcp: port ("" means the port cannot tell).
    static std::unique_ptr<HostPortMonitor> Create(const std::string &output,
                                                   std::shared_ptr<SimPrinter> sim,
                                                   const std::string &deviceId, std::string *error);
    virtual ~HostPortMonitor();

    // The table to give OpenPortEx. Its functions serve this object until
    // another HostPortMonitor is made (one at a time per process).
    LPMONITOR Table();
    // The same as a MONITOR2 (the Windows 2000 contract), whose instance
    // handle is Instance(): its pfnOpenPort fails, counted and said on
    // stderr, when it gets another.
    LPMONITOR2 Table2();
    HANDLE Instance() { return this; }
    const std::string &Output() const { return Output_; }
    std::shared_ptr<SimPrinter> Printer() const { return Sim_; }

    // The host's job the tap files bytes under (index into TappedJobs).
    void BeginJob(size_t index);
    // Ends the tap's streams (a job still open counts as ended by the port).
    void FinishTap();
    std::vector<TappedJob> TappedJobs() const;

    // Port handles opened and not yet closed, and call counts.
    long OpenHandles() const;
    unsigned Opens() const;
    unsigned Closes() const;
    // Every kind of call that failed, in the order of their first failure.
    std::vector<PortCallFailures> Failures() const;
    // How long a tcp: socket waits for its printer, in seconds.
    void SetSocketTimeout(double seconds) { SocketTimeout_ = seconds; }
    double SocketTimeout() const { return SocketTimeout_; }
    // Why the printer stopped the current job ("" while it did not): a
    // failure with ERROR_TIMEOUT since BeginJob.
    std::string Stalled() const;

    // -------- called by the table's functions
    virtual std::unique_ptr<PortConnection> Open(const std::string &port, PortError *error) = 0;
    // GetPrinterDataFromPort and SetPortTimeOuts slots are filled only when
    // the output has something to say.
    virtual bool KnowsDeviceId() const = 0;
    void Opened();
    void Closed();
    void Failed(const char *call, const PortError &error);
    void TapWrite(const char *data, DWORD count);
    void TapRead(const char *data, DWORD count);

  protected:
    HostPortMonitor(std::string output, std::shared_ptr<SimPrinter> sim);

  private:
    std::string Output_;
    std::shared_ptr<SimPrinter> Sim_;
    MONITOR Table_;
    MONITOR2 Table2_;
    mutable std::mutex Mutex_;
    std::vector<TappedJob> Tapped_;
    std::vector<PortCallFailures> Failures_;
    size_t Current_ = 0;
    std::string Stalled_;
    double SocketTimeout_ = DefaultSocketTimeoutSeconds;
    long OpenHandles_ = 0;
    unsigned Opens_ = 0, Closes_ = 0;
};
