// The scriptable port monitor of fake_port_monitor.h.
#include "fake_port_monitor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <optional>
#include <set>

namespace {

std::atomic<FakePortMonitor *> CurrentMonitor{nullptr};

std::string Narrow(LPCWSTR s) {
    return s != nullptr ? PlatNarrow(WString(s)) : std::string();
}

struct FailRule {
    PortFn Function;
    unsigned First;
    unsigned Times; // 0: for ever
    DWORD Error;
};

} // namespace

const char *PortFnName(PortFn fn) {
    switch (fn) {
    case PortFn::OpenPort:
        return "OpenPort";
    case PortFn::StartDocPort:
        return "StartDocPort";
    case PortFn::WritePort:
        return "WritePort";
    case PortFn::ReadPort:
        return "ReadPort";
    case PortFn::EndDocPort:
        return "EndDocPort";
    case PortFn::ClosePort:
        return "ClosePort";
    case PortFn::GetPrinterDataFromPort:
        return "GetPrinterDataFromPort";
    case PortFn::SetPortTimeOuts:
        return "SetPortTimeOuts";
    }
    return "?";
}

struct FakePortMonitor::Impl {
    mutable std::mutex Lock;
    MONITOR TableStorage = {};
    std::set<PortFn> Removed;
    std::vector<PortMonitorCall> Record;
    std::map<PortFn, unsigned> Counts;
    std::vector<FailRule> Fails;
    DWORD WriteCap = 0;
    std::deque<DWORD> WriteScript;
    std::optional<std::string> DeviceId;
    std::map<DWORD, std::string> PrinterData;
    std::deque<std::string> Reads;
    std::function<void(const PortMonitorCall &)> Hook;
    std::map<HANDLE, std::string> Open; // live handles and their port names
    uintptr_t NextHandle = 0x5000;

    // The table as the slots stand (caller holds Lock, or no other thread
    // can see the object yet).
    void FillTable() {
        MONITOR &t = TableStorage;
        memset(&t, 0, sizeof(t));
        auto filled = [&](PortFn fn) { return Removed.count(fn) == 0; };
        if (filled(PortFn::OpenPort))
            t.pfnOpenPort = OpenPort;
        if (filled(PortFn::StartDocPort))
            t.pfnStartDocPort = StartDocPort;
        if (filled(PortFn::WritePort))
            t.pfnWritePort = WritePort;
        if (filled(PortFn::ReadPort))
            t.pfnReadPort = ReadPort;
        if (filled(PortFn::EndDocPort))
            t.pfnEndDocPort = EndDocPort;
        if (filled(PortFn::ClosePort))
            t.pfnClosePort = ClosePort;
        if (filled(PortFn::GetPrinterDataFromPort))
            t.pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
        if (filled(PortFn::SetPortTimeOuts))
            t.pfnSetPortTimeOuts = SetPortTimeOuts;
    }

    // Counts a call of `fn` (caller holds Lock): the scripted error, or 0.
    DWORD Count(PortFn fn) {
        unsigned n = ++Counts[fn];
        for (const FailRule &rule : Fails) {
            if (rule.Function != fn || n < rule.First)
                continue;
            if (rule.Times == 0 || n < rule.First + rule.Times)
                return rule.Error;
        }
        return 0;
    }

    // A call on a handle: its port name, or the error for a handle not open.
    DWORD CheckHandle(HANDLE handle, PortMonitorCall &call) {
        auto it = Open.find(handle);
        if (it == Open.end())
            return ERROR_INVALID_HANDLE;
        call.Port = it->second;
        return 0;
    }

    // Records the call, runs the hook without the lock, sets the last error.
    static BOOL Finish(FakePortMonitor *pm, std::unique_lock<std::mutex> &guard,
                       PortMonitorCall &call, DWORD error) {
        call.Result = error == 0 ? TRUE : FALSE;
        call.Error = error;
        call.ThreadId = GetCurrentThreadId();
        Impl &self = *pm->impl_;
        self.Record.push_back(call);
        std::function<void(const PortMonitorCall &)> hook = self.Hook;
        guard.unlock();
        if (hook)
            hook(call);
        if (error != 0)
            SetLastError(error);
        return call.Result;
    }

    static FakePortMonitor *Instance() {
        FakePortMonitor *pm = CurrentMonitor.load();
        if (pm == nullptr)
            SetLastError(ERROR_INVALID_HANDLE);
        return pm;
    }

    // ------------------------------------------------------------ the MONITOR functions

    static BOOL WINAPI OpenPort(LPWSTR name, PHANDLE handle) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::OpenPort;
        call.Port = Narrow(name);
        DWORD error = self.Count(PortFn::OpenPort);
        if (error == 0 && handle == nullptr)
            error = ERROR_INVALID_PARAMETER;
        if (error == 0) {
            HANDLE h = (HANDLE)self.NextHandle;
            self.NextHandle += 0x10;
            self.Open[h] = call.Port;
            *handle = h;
            call.Handle = h;
        }
        return Finish(pm, guard, call, error);
    }

    static BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printer, DWORD jobId, DWORD level,
                                    LPBYTE docInfo) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::StartDocPort;
        call.Handle = port;
        call.Printer = Narrow(printer);
        call.JobId = jobId;
        call.Level = level;
        if (docInfo != nullptr) {
            const DOC_INFO_1W *info = (const DOC_INFO_1W *)docInfo;
            call.HasDocInfo = true;
            call.HasDocName = info->pDocName != nullptr;
            call.HasOutputFile = info->pOutputFile != nullptr;
            call.HasDatatype = info->pDatatype != nullptr;
            call.DocName = Narrow(info->pDocName);
            call.OutputFile = Narrow(info->pOutputFile);
            call.Datatype = Narrow(info->pDatatype);
            // A port monitor reads the block as the level says.
            if (level == 2) {
                call.DocMode = ((const DOC_INFO_2W *)docInfo)->dwMode;
                call.DocJobId = ((const DOC_INFO_2W *)docInfo)->JobId;
            }
        }
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::StartDocPort);
        return Finish(pm, guard, call, error != 0 ? error : scripted);
    }

    static BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::WritePort;
        call.Handle = port;
        call.Count = count;
        if (buffer != nullptr && count > 0)
            call.Data.assign((const char *)buffer, count);
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::WritePort);
        if (error == 0)
            error = scripted;
        if (error == 0) {
            DWORD accepted = count;
            if (!self.WriteScript.empty()) {
                accepted = std::min(accepted, self.WriteScript.front());
                self.WriteScript.pop_front();
            } else if (self.WriteCap != 0) {
                accepted = std::min(accepted, self.WriteCap);
            }
            call.Transferred = accepted;
        }
        if (written != nullptr)
            *written = call.Transferred;
        return Finish(pm, guard, call, error);
    }

    static BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD read) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::ReadPort;
        call.Handle = port;
        call.Count = count;
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::ReadPort);
        if (error == 0)
            error = scripted;
        if (error == 0 && !self.Reads.empty() && buffer != nullptr) {
            std::string &front = self.Reads.front();
            size_t n = std::min<size_t>(front.size(), count);
            memcpy(buffer, front.data(), n);
            call.Data = front.substr(0, n);
            front.erase(0, n);
            if (front.empty())
                self.Reads.pop_front();
            call.Transferred = (DWORD)n;
        }
        if (read != nullptr)
            *read = call.Transferred;
        return Finish(pm, guard, call, error);
    }

    static BOOL WINAPI EndDocPort(HANDLE port) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::EndDocPort;
        call.Handle = port;
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::EndDocPort);
        return Finish(pm, guard, call, error != 0 ? error : scripted);
    }

    static BOOL WINAPI ClosePort(HANDLE port) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::ClosePort;
        call.Handle = port;
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::ClosePort);
        if (error == 0)
            error = scripted;
        // A port monitor's close that fails leaves the port open.
        if (error == 0)
            self.Open.erase(port);
        return Finish(pm, guard, call, error);
    }

    static BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName,
                                              LPWSTR inBuffer, DWORD inSize, LPWSTR outBuffer,
                                              DWORD outSize, LPDWORD returned) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::GetPrinterDataFromPort;
        call.Handle = port;
        call.ControlId = controlId;
        call.HasValueName = valueName != nullptr;
        call.ValueName = Narrow(valueName);
        call.InSize = inSize;
        call.Count = outSize;
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::GetPrinterDataFromPort);
        if (error == 0)
            error = scripted;
        if (error == 0) {
            const std::string *answer = nullptr;
            if (controlId == IOCTL_PAR_QUERY_DEVICE_ID && self.DeviceId)
                answer = &*self.DeviceId;
            auto it = self.PrinterData.find(controlId);
            if (answer == nullptr && it != self.PrinterData.end())
                answer = &it->second;
            if (answer == nullptr) {
                error = ERROR_NOT_SUPPORTED;
            } else {
                size_t n = outBuffer != nullptr ? std::min<size_t>(answer->size(), outSize) : 0;
                if (n > 0)
                    memcpy(outBuffer, answer->data(), n);
                call.Data = answer->substr(0, n);
                call.Transferred = (DWORD)n;
            }
        }
        if (returned != nullptr)
            *returned = call.Transferred;
        return Finish(pm, guard, call, error);
    }

    static BOOL WINAPI SetPortTimeOuts(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
        FakePortMonitor *pm = Instance();
        if (pm == nullptr)
            return FALSE;
        Impl &self = *pm->impl_;
        std::unique_lock<std::mutex> guard(self.Lock);
        PortMonitorCall call;
        call.Function = PortFn::SetPortTimeOuts;
        call.Handle = port;
        if (timeouts != nullptr) {
            call.Timeouts = *timeouts;
            call.HasTimeouts = true;
        }
        DWORD error = self.CheckHandle(port, call);
        DWORD scripted = self.Count(PortFn::SetPortTimeOuts);
        return Finish(pm, guard, call, error != 0 ? error : scripted);
    }
};

FakePortMonitor::FakePortMonitor() : impl_(std::make_unique<Impl>()) {
    impl_->FillTable();
    CurrentMonitor.store(this);
}

FakePortMonitor::~FakePortMonitor() {
    FakePortMonitor *self = this;
    CurrentMonitor.compare_exchange_strong(self, nullptr);
}

FakePortMonitor *FakePortMonitor::Current() {
    return CurrentMonitor.load();
}

LPMONITOR FakePortMonitor::Table() {
    // Filled when the slots change, never here: other threads may be calling
    // through the table while a test asks for it again.
    return &impl_->TableStorage;
}

void FakePortMonitor::RemoveSlot(PortFn fn) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->Removed.insert(fn);
    impl_->FillTable();
}

void FakePortMonitor::RestoreSlot(PortFn fn) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->Removed.erase(fn);
    impl_->FillTable();
}

void FakePortMonitor::FailCall(PortFn fn, unsigned nth, DWORD error, unsigned times) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->Fails.push_back(FailRule{fn, nth, times, error});
}

void FakePortMonitor::SetWriteCap(DWORD bytes) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->WriteCap = bytes;
}

void FakePortMonitor::ScriptWrites(std::vector<DWORD> counts) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->WriteScript.assign(counts.begin(), counts.end());
}

void FakePortMonitor::SetDeviceId(const std::string &deviceId) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->DeviceId = deviceId;
}

void FakePortMonitor::ClearDeviceId() {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->DeviceId.reset();
}

void FakePortMonitor::SetPrinterData(DWORD controlId, const std::string &bytes) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->PrinterData[controlId] = bytes;
}

void FakePortMonitor::QueueRead(const std::string &chunk) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    if (!chunk.empty())
        impl_->Reads.push_back(chunk);
}

void FakePortMonitor::SetHook(std::function<void(const PortMonitorCall &)> hook) {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->Hook = std::move(hook);
}

void FakePortMonitor::Reset() {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    Impl &s = *impl_;
    s.Removed.clear();
    s.Record.clear();
    s.Counts.clear();
    s.Fails.clear();
    s.WriteCap = 0;
    s.WriteScript.clear();
    s.DeviceId.reset();
    s.PrinterData.clear();
    s.Reads.clear();
    s.Hook = nullptr;
    s.Open.clear();
    s.FillTable();
}

std::vector<PortMonitorCall> FakePortMonitor::Calls() const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    return impl_->Record;
}

std::vector<PortMonitorCall> FakePortMonitor::Calls(PortFn fn) const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    std::vector<PortMonitorCall> calls;
    for (const PortMonitorCall &call : impl_->Record)
        if (call.Function == fn)
            calls.push_back(call);
    return calls;
}

std::vector<std::string> FakePortMonitor::CallNames() const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    std::vector<std::string> names;
    for (const PortMonitorCall &call : impl_->Record)
        names.push_back(PortFnName(call.Function));
    return names;
}

size_t FakePortMonitor::CallCount(PortFn fn) const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    return (size_t)std::count_if(impl_->Record.begin(), impl_->Record.end(),
                                 [fn](const PortMonitorCall &c) { return c.Function == fn; });
}

std::string FakePortMonitor::Written() const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    std::string bytes;
    for (const PortMonitorCall &call : impl_->Record)
        if (call.Function == PortFn::WritePort && call.Result)
            bytes += call.Data.substr(0, call.Transferred);
    return bytes;
}

size_t FakePortMonitor::PendingReadBytes() const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    size_t n = 0;
    for (const std::string &chunk : impl_->Reads)
        n += chunk.size();
    return n;
}

long FakePortMonitor::OpenHandles() const {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    return (long)impl_->Open.size();
}

void FakePortMonitor::ClearCalls() {
    std::lock_guard<std::mutex> guard(impl_->Lock);
    impl_->Record.clear();
}
