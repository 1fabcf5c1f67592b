// The many-port port monitor with simulated printers of printer_port_monitor.h.
#include "printer_port_monitor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace PrinterPortMonitor {

namespace {

struct Port {
    std::string Name;
    std::string Model;
    bool Language = false;
    bool Started = false;
    unsigned Writes = 0;
    std::string Line;              // written text after the last line feed
    std::deque<std::string> Reads; // the printer's answers, not yet read
};

struct State {
    std::mutex Lock;
    std::map<HANDLE, Port> Ports;
    std::map<std::string, unsigned> Opens; // opens per port name
    std::map<std::string, unsigned> Starts;
    uintptr_t NextHandle = 0x1000;
    long Misuse = 0;
    std::string FirstMisuse;
    long Reports = 0;
    long Reads = 0;
};

State &Shared() {
    static State *state = new State;
    return *state;
}

// The number at the end of a port name ("STRESS17:" gives 17).
unsigned PortNumber(const std::string &name) {
    size_t end = name.find_last_of("0123456789");
    if (end == std::string::npos)
        return 0;
    size_t start = name.find_last_not_of("0123456789", end);
    return (unsigned)strtoul(name.c_str() + (start == std::string::npos ? 0 : start + 1), nullptr,
                             10);
}

std::string Narrow(LPCWSTR s) {
    return s != nullptr ? PlatNarrow(WString(s)) : std::string();
}

// A call on a handle that is not open. Caller holds the lock.
Port *Find(State &s, HANDLE handle, const char *call) {
    auto it = s.Ports.find(handle);
    if (it != s.Ports.end())
        return &it->second;
    if (s.Misuse++ == 0)
        s.FirstMisuse = std::string(call) + " on a handle that is not open";
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

void NoteMisuse(State &s, const Port &port, const std::string &what) {
    if (s.Misuse++ == 0)
        s.FirstMisuse = what + " (" + port.Name + ")";
}

// What a job-language printer answers to one complete line of commands.
void Answer(State &s, Port &port, const std::string &line) {
    if (!port.Language)
        return;
    bool rvt101 = port.Model.find("RVT-101") != std::string::npos;
    if (line.rfind("@TKL 214 = ", 0) == 0 || line.rfind("@TKL 208 = ", 0) == 0) {
        // The job's end, reported with the tag the command carried.
        size_t tag = line.find("+LPT");
        if (tag == std::string::npos || line.size() < tag + 38)
            return;
        std::string id = line.substr(tag + 30, 8);
        char report[96];
        snprintf(report, sizeof report, "@TKL %d = \"+%-29s%s\"\n\f", rvt101 ? 208 : 216, "LPT",
                 id.c_str());
        port.Reads.push_back(report);
        s.Reports++;
    } else if (line == "@TKL 65539") {
        port.Reads.push_back("@TKL 65539 = 30010\n@TKL 65540 = 7\n@TKL 65600 = 3\n\f");
        port.Reads.push_back("@TKL 220 = -3\n\f");
    }
}

BOOL WINAPI OpenPort(LPWSTR name, PHANDLE handle) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::string portName = Narrow(name);
    if (++s.Opens[portName] % 9 == 4) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    HANDLE h = (HANDLE)(s.NextHandle += 0x10);
    Port port;
    port.Name = portName;
    std::string id = DeviceIdFor(portName);
    port.Language = id.find("TKL") != std::string::npos;
    port.Model = id.substr(id.find("MDL:") + 4);
    s.Ports[h] = port;
    *handle = h;
    return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE handle, LPWSTR printer, DWORD jobId, DWORD level, LPBYTE info) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    Port *port = Find(s, handle, "StartDocPort");
    if (port == nullptr)
        return FALSE;
    if (port->Started)
        NoteMisuse(s, *port, "a second StartDocPort");
    if (++s.Starts[port->Name] % 11 == 6) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    port->Started = true;
    return TRUE;
}

BOOL WINAPI WritePort(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD written) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    *written = 0;
    Port *port = Find(s, handle, "WritePort");
    if (port == nullptr)
        return FALSE;
    if (!port->Started)
        NoteMisuse(s, *port, "a WritePort outside a document");
    // Every 13th write fails, every 7th takes only half of what it is offered.
    unsigned n = ++port->Writes;
    if (n % 13 == 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    DWORD taken = n % 7 == 0 && count > 1 ? count / 2 : count;
    // The printer reads the text line by line.
    for (DWORD i = 0; i < taken; i++) {
        char c = (char)buffer[i];
        if (c == '\n' || c == '\f') {
            Answer(s, *port, port->Line);
            port->Line.clear();
        } else if (port->Line.size() < 256) {
            port->Line.push_back(c);
        }
    }
    *written = taken;
    return TRUE;
}

BOOL WINAPI ReadPort(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD read) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    *read = 0;
    Port *port = Find(s, handle, "ReadPort");
    if (port == nullptr)
        return FALSE;
    s.Reads++;
    if (port->Reads.empty())
        return TRUE;
    std::string &chunk = port->Reads.front();
    DWORD n = chunk.size() < count ? (DWORD)chunk.size() : count;
    memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty())
        port->Reads.pop_front();
    *read = n;
    return TRUE;
}

BOOL WINAPI EndDocPort(HANDLE handle) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    Port *port = Find(s, handle, "EndDocPort");
    if (port == nullptr)
        return FALSE;
    if (!port->Started)
        NoteMisuse(s, *port, "an EndDocPort without a document");
    port->Started = false;
    return TRUE;
}

BOOL WINAPI ClosePort(HANDLE handle) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (Find(s, handle, "ClosePort") == nullptr)
        return FALSE;
    s.Ports.erase(handle);
    return TRUE;
}

BOOL WINAPI GetPrinterData(HANDLE handle, DWORD control, LPWSTR valueName, LPWSTR in, DWORD inSize,
                           LPWSTR out, DWORD outSize, LPDWORD returned) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    Port *port = Find(s, handle, "GetPrinterDataFromPort");
    if (port == nullptr)
        return FALSE;
    if (control != IOCTL_PAR_QUERY_DEVICE_ID || out == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::string id = DeviceIdFor(port->Name);
    DWORD n = id.size() < outSize ? (DWORD)id.size() : outSize;
    memcpy(out, id.data(), n);
    *returned = n;
    return TRUE;
}

BOOL WINAPI SetPortTimeOuts(HANDLE handle, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    return Find(s, handle, "SetPortTimeOuts") != nullptr;
}

} // namespace

LPMONITOR Table() {
    static MONITOR table = [] {
        MONITOR t = {};
        t.pfnOpenPort = OpenPort;
        t.pfnStartDocPort = StartDocPort;
        t.pfnWritePort = WritePort;
        t.pfnReadPort = ReadPort;
        t.pfnEndDocPort = EndDocPort;
        t.pfnClosePort = ClosePort;
        t.pfnGetPrinterDataFromPort = GetPrinterData;
        t.pfnSetPortTimeOuts = SetPortTimeOuts;
        return t;
    }();
    return &table;
}

void Reset() {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Ports.clear();
    s.Opens.clear();
    s.Starts.clear();
    s.Misuse = 0;
    s.FirstMisuse.clear();
    s.Reports = 0;
    s.Reads = 0;
}

long OpenHandles() {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    return (long)s.Ports.size();
}

long Misuse(std::string *first) {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (first != nullptr)
        *first = s.FirstMisuse;
    return s.Misuse;
}

long Reports() {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Reports;
}

long Reads() {
    State &s = Shared();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Reads;
}

std::string DeviceIdFor(const std::string &portName) {
    switch (PortNumber(portName) % 4) {
    case 0:
        return "MFG:Morvane;CMD:PCL,TKL;MDL:RVT-201";
    case 1:
        return "MFG:Morvane;CMD:TKL;MDL:RVT-101";
    case 2:
        return "MFG:Other;CMD:PCL,PS;MDL:Laser 5";
    default:
        return "MFG:Morvane;CMD:TKL;MDL:RVT-102 Office";
    }
}

} // namespace PrinterPortMonitor
