#include "port_monitor.h"

#include "wintest.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace {

constexpr DWORD PortMagic = 0x504D4F48; // "HOMP"

// What a port handle of the table points to.
struct PortRecord {
    DWORD Magic;
    HostPortMonitor *Monitor;
    std::unique_ptr<PortConnection> Connection;
};

std::atomic<HostPortMonitor *> CurrentMonitor{nullptr};

// A failed call: the report counts it under its name, the caller gets the error.
BOOL Fail(HostPortMonitor *monitor, const char *call, const PortError &error) {
    if (monitor != nullptr)
        monitor->Failed(call, error);
    SetLastError(error.Code);
    return FALSE;
}

BOOL Fail(HostPortMonitor *monitor, const char *call, DWORD code) {
    return Fail(monitor, call, PortError{code, ""});
}

// The record behind a port handle; null (the call failed) for anything else.
PortRecord *RecordOf(HANDLE handle, const char *call) {
    auto *record = static_cast<PortRecord *>(handle);
    if (record == nullptr || record->Magic != PortMagic) {
        Fail(CurrentMonitor.load(), call, ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return record;
}

// ---------------------------------------------------------------- the MONITOR functions

BOOL WINAPI HostOpenPort(LPWSTR name, PHANDLE handle) {
    HostPortMonitor *monitor = CurrentMonitor.load();
    if (monitor == nullptr || handle == nullptr)
        return Fail(monitor, "OpenPort", ERROR_INVALID_PARAMETER);
    *handle = nullptr;
    PortError error;
    std::unique_ptr<PortConnection> connection =
        monitor->Open(name != nullptr ? PlatNarrow(name) : std::string(), &error);
    if (connection == nullptr) {
        if (error.Code == 0)
            error.Code = ERROR_GEN_FAILURE;
        return Fail(monitor, "OpenPort", error);
    }
    *handle = new PortRecord{PortMagic, monitor, std::move(connection)};
    monitor->Opened();
    return TRUE;
}

// The MONITOR2 shape: the instance handle is this port monitor's own; any
// other one is a monitor fault, said on stderr and counted.
BOOL WINAPI HostOpenPort2(HANDLE instance, LPWSTR name, PHANDLE handle) {
    HostPortMonitor *monitor = CurrentMonitor.load();
    if (instance != (HANDLE)monitor) {
        fprintf(stderr,
                "spoolhost: pfnOpenPort called with hMonitor %p, not the port monitor's %p\n",
                instance, (void *)monitor);
        return Fail(monitor, "OpenPort", PortError{ERROR_INVALID_HANDLE, "wrong hMonitor"});
    }
    return HostOpenPort(name, handle);
}

// No bidi schema of its own: every request is answered as not supported.
DWORD WINAPI HostSendRecvBidiDataFromPort(HANDLE port, DWORD, LPCWSTR, PBIDI_REQUEST_CONTAINER,
                                          PBIDI_RESPONSE_CONTAINER *) {
    return RecordOf(port, "SendRecvBidiDataFromPort") == nullptr ? (DWORD)ERROR_INVALID_HANDLE
                                                                 : (DWORD)ERROR_NOT_SUPPORTED;
}

BOOL WINAPI HostStartDocPort(HANDLE port, LPWSTR printer, DWORD jobId, DWORD level,
                             LPBYTE docInfo) {
    PortRecord *record = RecordOf(port, "StartDocPort");
    if (record == nullptr)
        return FALSE;
    std::string docName;
    if (level == 1 && docInfo != nullptr) {
        auto *info = reinterpret_cast<DOC_INFO_1W *>(docInfo);
        if (info->pDocName != nullptr)
            docName = PlatNarrow(info->pDocName);
    }
    PortError error;
    if (!record->Connection->StartDoc(printer != nullptr ? PlatNarrow(printer) : "", jobId, docName,
                                      &error))
        return Fail(record->Monitor, "StartDocPort", error);
    return TRUE;
}

BOOL WINAPI HostWritePort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written) {
    PortRecord *record = RecordOf(port, "WritePort");
    if (record == nullptr)
        return FALSE;
    if (written == nullptr)
        return Fail(record->Monitor, "WritePort", ERROR_INVALID_PARAMETER);
    *written = 0;
    PortError error;
    bool ok = record->Connection->Write((const char *)buffer, count, written, &error);
    record->Monitor->TapWrite((const char *)buffer, *written);
    return ok ? TRUE : Fail(record->Monitor, "WritePort", error);
}

BOOL WINAPI HostReadPort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD read) {
    PortRecord *record = RecordOf(port, "ReadPort");
    if (record == nullptr)
        return FALSE;
    if (read == nullptr)
        return Fail(record->Monitor, "ReadPort", ERROR_INVALID_PARAMETER);
    *read = 0;
    PortError error;
    bool ok = record->Connection->Read((char *)buffer, count, read, &error);
    record->Monitor->TapRead((const char *)buffer, *read);
    return ok ? TRUE : Fail(record->Monitor, "ReadPort", error);
}

BOOL WINAPI HostEndDocPort(HANDLE port) {
    PortRecord *record = RecordOf(port, "EndDocPort");
    if (record == nullptr)
        return FALSE;
    PortError error;
    return record->Connection->EndDoc(&error) ? TRUE : Fail(record->Monitor, "EndDocPort", error);
}

BOOL WINAPI HostClosePort(HANDLE port) {
    PortRecord *record = RecordOf(port, "ClosePort");
    if (record == nullptr)
        return FALSE;
    record->Connection->Close();
    HostPortMonitor *monitor = record->Monitor;
    record->Magic = 0;
    delete record;
    monitor->Closed();
    return TRUE;
}

BOOL WINAPI HostGetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName,
                                       LPWSTR inBuffer, DWORD inSize, LPWSTR outBuffer,
                                       DWORD outSize, LPDWORD returned) {
    const char call[] = "GetPrinterDataFromPort";
    PortRecord *record = RecordOf(port, call);
    if (record == nullptr)
        return FALSE;
    if (returned != nullptr)
        *returned = 0;
    std::string deviceId;
    if (controlId != IOCTL_PAR_QUERY_DEVICE_ID || !record->Connection->DeviceId(&deviceId))
        return Fail(record->Monitor, call, ERROR_NOT_SUPPORTED);
    if (outBuffer == nullptr || returned == nullptr)
        return Fail(record->Monitor, call, ERROR_INVALID_PARAMETER);
    // The device ID's bytes without terminator, cut to the buffer.
    DWORD bytes = (DWORD)deviceId.size() < outSize ? (DWORD)deviceId.size() : outSize;
    memcpy(outBuffer, deviceId.data(), bytes);
    *returned = bytes;
    return TRUE;
}

BOOL WINAPI HostSetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    PortRecord *record = RecordOf(port, "SetPortTimeOuts");
    if (record == nullptr)
        return FALSE;
    if (timeouts != nullptr)
        record->Connection->SetReadTimeout(timeouts->ReadTotalTimeoutConstant);
    return TRUE;
}

// What the system said, for the report: "Connection refused (errno 111)".
std::string SystemError(const std::string &what, int number) {
    return what + ": " + strerror(number) + " (errno " + std::to_string(number) + ")";
}

// ---------------------------------------------------------------- sim:

class SimConnection : public PortConnection {
  public:
    explicit SimConnection(std::shared_ptr<SimPrinter> printer) : Printer_(std::move(printer)) {
        Printer_->Connect();
    }
    bool StartDoc(const std::string &, DWORD, const std::string &, PortError *) override {
        return true;
    }
    bool Write(const char *data, DWORD count, DWORD *written, PortError *error) override {
        if (!Printer_->Write(data, count, written)) {
            *error = PortError{ERROR_WRITE_FAULT, "the simulated printer failed the write"};
            return false;
        }
        return true;
    }
    bool Read(char *buffer, DWORD size, DWORD *read, PortError *) override {
        *read = Printer_->Read(buffer, size);
        return true;
    }
    bool EndDoc(PortError *) override { return true; }
    void Close() override { Printer_->Disconnect(); }
    bool DeviceId(std::string *deviceId) override {
        *deviceId = Printer_->DeviceId();
        return true;
    }

  private:
    std::shared_ptr<SimPrinter> Printer_;
};

class SimPortMonitor : public HostPortMonitor {
  public:
    SimPortMonitor(std::string output, std::shared_ptr<SimPrinter> printer)
        : HostPortMonitor(std::move(output), std::move(printer)) {}
    std::unique_ptr<PortConnection> Open(const std::string &, PortError *) override {
        return std::make_unique<SimConnection>(Printer());
    }
    bool KnowsDeviceId() const override { return true; }
};

// ---------------------------------------------------------------- file:

class FilePortMonitor;

class FileConnection : public PortConnection {
  public:
    explicit FileConnection(FILE *file) : File_(file) {}
    bool StartDoc(const std::string &, DWORD, const std::string &, PortError *) override {
        return true;
    }
    bool Write(const char *data, DWORD count, DWORD *written, PortError *error) override {
        std::lock_guard<std::mutex> lock(Mutex_);
        errno = 0;
        size_t done = File_ != nullptr ? fwrite(data, 1, count, File_) : 0;
        *written = (DWORD)done;
        if (done != count || fflush(File_) != 0) {
            *error = PortError{ERROR_WRITE_FAULT, SystemError("write", errno)};
            return false;
        }
        return true;
    }
    bool Read(char *, DWORD, DWORD *read, PortError *) override {
        *read = 0;
        return true;
    }
    bool EndDoc(PortError *) override { return true; }
    void Close() override {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (File_ != nullptr)
            fclose(File_);
        File_ = nullptr;
    }
    bool DeviceId(std::string *) override { return false; }

  private:
    std::mutex Mutex_;
    FILE *File_;
};

class FilePortMonitor : public HostPortMonitor {
  public:
    FilePortMonitor(std::string output, std::string path)
        : HostPortMonitor(std::move(output), nullptr), Path_(std::move(path)) {}
    std::unique_ptr<PortConnection> Open(const std::string &, PortError *error) override {
        // The first open of the run starts the file afresh; later jobs append.
        FILE *file = fopen(Path_.c_str(), Started_.exchange(true) ? "ab" : "wb");
        if (file == nullptr) {
            *error =
                PortError{(DWORD)(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED),
                          SystemError("open " + Path_, errno)};
            return nullptr;
        }
        return std::make_unique<FileConnection>(file);
    }
    bool KnowsDeviceId() const override { return false; }

  private:
    std::string Path_;
    std::atomic<bool> Started_{false};
};

// ---------------------------------------------------------------- tcp:

// The seconds of a time-out as the report says them ("30 s", "0.5 s").
std::string Seconds(double seconds) {
    char text[32];
    snprintf(text, sizeof(text), "%g s", seconds);
    return text;
}

// Milliseconds left until `deadline`, for poll (0 once it has passed).
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : (int)std::min<long long>(left.count(), 1000);
}

// Waits until the socket is ready for `events` or the deadline passes;
// a signal only shortens one wait. FALSE at the deadline.
bool WaitReady(int s, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        struct pollfd poller = {s, events, 0};
        int wait = MillisecondsLeft(deadline);
        int ready = poll(&poller, 1, wait);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true; // the call after it tells what is wrong
        if (wait == 0)
            return false;
    }
}

class TcpConnection : public PortConnection {
  public:
    TcpConnection(int socket, std::string deviceId, double timeout)
        : Socket_(socket), DeviceId_(std::move(deviceId)), Timeout_(timeout) {}
    ~TcpConnection() override { Close(); }
    bool StartDoc(const std::string &, DWORD, const std::string &, PortError *) override {
        return true;
    }
    // What the printer takes within the time-out; a printer that took
    // nothing for that long has stopped reading, and every later write of
    // the connection fails at once.
    bool Write(const char *data, DWORD count, DWORD *written, PortError *error) override {
        *written = 0;
        int s = Socket_.load();
        if (s < 0) {
            *error = PortError{ERROR_WRITE_FAULT, SystemError("send", EBADF)};
            return false;
        }
        if (Stalled_.load()) {
            *error = StallError();
            return false;
        }
        if (count == 0)
            return true;
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(Timeout_));
        for (;;) {
            if (!WaitReady(s, POLLOUT, deadline)) {
                Stalled_ = true;
                *error = StallError();
                return false;
            }
            ssize_t sent = send(s, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0) {
                *written = (DWORD)sent;
                return true;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                *error = PortError{ERROR_WRITE_FAULT, SystemError("send", errno)};
                return false;
            }
        }
    }
    bool Read(char *buffer, DWORD size, DWORD *read, PortError *error) override {
        *read = 0;
        int s = Socket_.load();
        if (s < 0 || size == 0)
            return true;
        // Wait at most the read time-out the monitor set (on the test clock).
        double scale = PlatClockScale();
        int wait = (int)(ReadTimeout_.load() / (scale > 0 ? scale : 1));
        struct pollfd poller = {s, POLLIN, 0};
        if (poll(&poller, 1, wait) <= 0)
            return true;
        ssize_t got = recv(s, buffer, size, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        if (got < 0) {
            *error = PortError{ERROR_READ_FAULT, SystemError("recv", errno)};
            return false;
        }
        *read = (DWORD)got;
        return true;
    }
    bool EndDoc(PortError *) override { return true; }
    void Close() override {
        int s = Socket_.exchange(-1);
        if (s >= 0)
            close(s);
    }
    bool DeviceId(std::string *deviceId) override {
        if (DeviceId_.empty())
            return false;
        *deviceId = DeviceId_;
        return true;
    }
    void SetReadTimeout(DWORD ms) override { ReadTimeout_ = ms; }

  private:
    PortError StallError() const {
        return PortError{ERROR_TIMEOUT, "printer stopped reading for " + Seconds(Timeout_)};
    }

    std::atomic<int> Socket_;
    std::string DeviceId_;
    double Timeout_;
    std::atomic<bool> Stalled_{false};
    std::atomic<DWORD> ReadTimeout_{50};
};

// Connects within the time-out; -1 with errno set otherwise (ETIMEDOUT).
int ConnectWithin(const struct addrinfo *a, double timeout) {
    int s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s < 0)
        return -1;
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int result = connect(s, a->ai_addr, a->ai_addrlen);
    if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeout));
        int problem = ETIMEDOUT;
        socklen_t size = sizeof(problem);
        if (WaitReady(s, POLLOUT, deadline) &&
            getsockopt(s, SOL_SOCKET, SO_ERROR, &problem, &size) != 0)
            problem = errno;
        result = problem == 0 ? 0 : -1;
        errno = problem;
    }
    if (result != 0) {
        int problem = errno;
        close(s);
        errno = problem;
        return -1;
    }
    fcntl(s, F_SETFL, flags);
    return s;
}

class TcpPortMonitor : public HostPortMonitor {
  public:
    TcpPortMonitor(std::string output, std::string host, std::string port, std::string deviceId)
        : HostPortMonitor(std::move(output), nullptr), Host_(std::move(host)),
          Port_(std::move(port)), DeviceId_(std::move(deviceId)) {}
    std::unique_ptr<PortConnection> Open(const std::string &, PortError *error) override {
        int s = ConnectTcp(Host_, Port_, SocketTimeout(), error);
        if (s < 0)
            return nullptr;
        return std::make_unique<TcpConnection>(s, DeviceId_, SocketTimeout());
    }
    bool KnowsDeviceId() const override { return !DeviceId_.empty(); }

  private:
    std::string Host_, Port_, DeviceId_;
};

} // namespace

int ConnectTcp(const std::string &host, const std::string &port, double timeout, PortError *error) {
    struct addrinfo hints = {}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        *error = PortError{ERROR_BAD_PATHNAME,
                           "resolve " + host + ":" + port + ": " + gai_strerror(resolved)};
        return -1;
    }
    // The last address's socket error is the one reported.
    int s = -1, lastError = 0;
    for (struct addrinfo *a = found; a != nullptr && s < 0; a = a->ai_next) {
        s = ConnectWithin(a, timeout);
        if (s < 0)
            lastError = errno;
    }
    freeaddrinfo(found);
    if (s < 0) {
        *error = PortError{ERROR_NOT_CONNECTED,
                           SystemError("connect to " + host + ":" + port, lastError)};
        return -1;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return s;
}

// ---------------------------------------------------------------- HostPortMonitor

HostPortMonitor::HostPortMonitor(std::string output, std::shared_ptr<SimPrinter> sim)
    : Output_(std::move(output)), Sim_(std::move(sim)) {
    memset(&Table_, 0, sizeof(Table_));
    Tapped_.resize(1);
    CurrentMonitor.store(this);
}

HostPortMonitor::~HostPortMonitor() {
    HostPortMonitor *self = this;
    CurrentMonitor.compare_exchange_strong(self, nullptr);
}

std::unique_ptr<HostPortMonitor> HostPortMonitor::Create(const std::string &output,
                                                         std::shared_ptr<SimPrinter> sim,
                                                         const std::string &deviceId,
                                                         std::string *error) {
    std::unique_ptr<HostPortMonitor> monitor;
    if (output.rfind("file:", 0) == 0 && output.size() > 5) {
        monitor = std::make_unique<FilePortMonitor>(output, output.substr(5));
    } else if (output.rfind("sim:", 0) == 0 && output.size() > 4 && sim != nullptr) {
        monitor = std::make_unique<SimPortMonitor>(output, sim);
    } else if (output.rfind("tcp:", 0) == 0) {
        std::string rest = output.substr(4);
        size_t colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) {
            *error = "port monitor \"" + output + "\": expected tcp:HOST:PORT";
            return nullptr;
        }
        std::string host = rest.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        monitor = std::make_unique<TcpPortMonitor>(output, host, rest.substr(colon + 1), deviceId);
    } else {
        *error = "port monitor \"" + output + "\": expected file:PATH, tcp:HOST:PORT or sim:MODEL";
        return nullptr;
    }
    return monitor;
}

LPMONITOR HostPortMonitor::Table() {
    memset(&Table_, 0, sizeof(Table_));
    Table_.pfnOpenPort = HostOpenPort;
    Table_.pfnStartDocPort = HostStartDocPort;
    Table_.pfnWritePort = HostWritePort;
    Table_.pfnReadPort = HostReadPort;
    Table_.pfnEndDocPort = HostEndDocPort;
    Table_.pfnClosePort = HostClosePort;
    if (KnowsDeviceId()) {
        Table_.pfnGetPrinterDataFromPort = HostGetPrinterDataFromPort;
        Table_.pfnSetPortTimeOuts = HostSetPortTimeOuts;
    }
    return &Table_;
}

LPMONITOR2 HostPortMonitor::Table2() {
    // The same functions; only the open takes the instance handle.
    Table();
    memset(&Table2_, 0, sizeof(Table2_));
    Table2_.cbSize = sizeof(Table2_);
    Table2_.pfnOpenPort = HostOpenPort2;
    Table2_.pfnStartDocPort = Table_.pfnStartDocPort;
    Table2_.pfnWritePort = Table_.pfnWritePort;
    Table2_.pfnReadPort = Table_.pfnReadPort;
    Table2_.pfnEndDocPort = Table_.pfnEndDocPort;
    Table2_.pfnClosePort = Table_.pfnClosePort;
    Table2_.pfnGetPrinterDataFromPort = Table_.pfnGetPrinterDataFromPort;
    Table2_.pfnSetPortTimeOuts = Table_.pfnSetPortTimeOuts;
    Table2_.pfnSendRecvBidiDataFromPort = HostSendRecvBidiDataFromPort;
    return &Table2_;
}

void HostPortMonitor::BeginJob(size_t index) {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Tapped_.size() <= index)
        Tapped_.resize(index + 1);
    Current_ = index;
    Stalled_.clear();
}

std::string HostPortMonitor::Stalled() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Stalled_;
}

void HostPortMonitor::FinishTap() {
    std::lock_guard<std::mutex> lock(Mutex_);
    for (TappedJob &job : Tapped_) {
        std::vector<JobStream::Event> events;
        job.Stream.Close(&events);
    }
}

std::vector<PortCallFailures> HostPortMonitor::Failures() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Failures_;
}

void HostPortMonitor::Failed(const char *call, const PortError &error) {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (error.Code == ERROR_TIMEOUT && Stalled_.empty())
        Stalled_ = error.Detail;
    for (PortCallFailures &failures : Failures_) {
        if (failures.Call == call) {
            failures.Count++;
            failures.Last = error;
            return;
        }
    }
    Failures_.push_back(PortCallFailures{call, 1, error});
}

std::vector<TappedJob> HostPortMonitor::TappedJobs() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Tapped_;
}

long HostPortMonitor::OpenHandles() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return OpenHandles_;
}

unsigned HostPortMonitor::Opens() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Opens_;
}

unsigned HostPortMonitor::Closes() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Closes_;
}

void HostPortMonitor::Opened() {
    std::lock_guard<std::mutex> lock(Mutex_);
    OpenHandles_++;
    Opens_++;
}

void HostPortMonitor::Closed() {
    std::lock_guard<std::mutex> lock(Mutex_);
    OpenHandles_--;
    Closes_++;
}

void HostPortMonitor::TapWrite(const char *data, DWORD count) {
    if (count == 0)
        return;
    std::lock_guard<std::mutex> lock(Mutex_);
    std::vector<JobStream::Event> events;
    Tapped_[Current_].Stream.Feed(data, count, &events);
}

void HostPortMonitor::TapRead(const char *data, DWORD count) {
    if (count == 0)
        return;
    std::lock_guard<std::mutex> lock(Mutex_);
    Tapped_[Current_].ReadBack.append(data, count);
}
