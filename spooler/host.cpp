#include "host.h"

#include "cli.h"
#include "sim_server.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

typedef LPMONITOREX(WINAPI *PFN_InitializePrintMonitor)(LPWSTR registryRoot);
typedef LPMONITOR2(WINAPI *PFN_InitializePrintMonitor2)(PMONITORINIT init, PHANDLE instance);

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F> F ProcAs(FARPROC proc) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(proc));
}

// ---------------------------------------------------------------- registry

bool SetValue(const std::string &key, const std::string &name, DWORD type, const BYTE *data,
              DWORD size) {
    HKEY handle = nullptr;
    WString path = PlatWide(key), value = PlatWide(name);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(handle, value.c_str(), 0, type, data, size) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return ok;
}

bool SetString(const std::string &key, const std::string &name, const std::string &text) {
    WString wide = PlatWide(text);
    return SetValue(key, name, REG_SZ, (const BYTE *)wide.c_str(),
                    (DWORD)((wide.size() + 1) * sizeof(WCHAR)));
}

bool SetDword(const std::string &key, const std::string &name, DWORD number) {
    return SetValue(key, name, REG_DWORD, (const BYTE *)&number, sizeof(number));
}

bool CreateKey(const std::string &key) {
    HKEY handle = nullptr;
    WString path = PlatWide(key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

// ---------------------------------------------------------------- files

bool ReadFile(const std::string &path, std::string *content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    *content = out.str();
    return !in.bad();
}

std::string MakeTempFolder() {
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/spoolhost-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

std::string BaseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Asks a printer's control endpoint for its device ID (the reference
// transport's wire format: "DEVICEID <device>\n", answer until close), all
// of it within two seconds.
bool AskDeviceId(const std::string &host, unsigned port, const std::string &device,
                 std::string *answer) {
    const double timeout = 2;
    PortError error;
    int s = ConnectTcp(host, std::to_string(port), timeout, &error);
    if (s < 0)
        return false;
    auto deadline = Clock::now() + std::chrono::seconds((int)timeout);
    std::string request = "DEVICEID " + device + "\n";
    bool ok = send(s, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
              (ssize_t)request.size();
    while (ok && Clock::now() < deadline && answer->size() < 4096) {
        pollfd poller = {s, POLLIN, 0};
        if (poll(&poller, 1, 50) <= 0)
            continue;
        char buffer[1024];
        ssize_t got = recv(s, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            break;
        answer->append(buffer, (size_t)got);
    }
    close(s);
    return ok && !answer->empty();
}

bool ReadPrinterRecord(const std::string &path, std::vector<StreamJob> *jobs) {
    std::ifstream in(path);
    if (!in)
        return false;
    jobs->clear();
    std::string line;
    while (std::getline(in, line)) {
        StreamJob job;
        if (!line.empty() && ParseRecordLine(line, &job))
            jobs->push_back(job);
    }
    return true;
}

// ---------------------------------------------------------------- the spooler's registry functions

// What the host's MONITORREG functions take as the spooler handle; another
// one is a monitor fault, said on stderr.
char SpoolerHandleTarget;
HANDLE const HostSpooler = &SpoolerHandleTarget;

bool CheckSpooler(HANDLE spooler, const char *function) {
    if (spooler == HostSpooler)
        return true;
    fprintf(stderr, "spoolhost: %s called with hSpooler %p, not the host's %p\n", function, spooler,
            HostSpooler);
    return false;
}

// The monitor's own key through the platform registry, as the spooler's
// functions reach it through its own.
LONG WINAPI HostOpenKey(HANDLE key, LPCWSTR subKey, REGSAM access, PHANDLE result, HANDLE spooler) {
    if (!CheckSpooler(spooler, "fpOpenKey"))
        return ERROR_INVALID_HANDLE;
    return RegOpenKeyExW((HKEY)key, subKey, 0, access, (PHKEY)result);
}
LONG WINAPI HostCloseKey(HANDLE key, HANDLE spooler) {
    if (!CheckSpooler(spooler, "fpCloseKey"))
        return ERROR_INVALID_HANDLE;
    return RegCloseKey((HKEY)key);
}
LONG WINAPI HostQueryValue(HANDLE key, LPCWSTR name, PDWORD type, PBYTE data, PDWORD size,
                           HANDLE spooler) {
    if (!CheckSpooler(spooler, "fpQueryValue"))
        return ERROR_INVALID_HANDLE;
    return RegQueryValueExW((HKEY)key, name, nullptr, type, data, size);
}

MONITORREG HostMonitorReg() {
    MONITORREG reg = {};
    reg.cbSize = sizeof(reg);
    reg.fpOpenKey = HostOpenKey;
    reg.fpCloseKey = HostCloseKey;
    reg.fpQueryValue = HostQueryValue;
    return reg;
}

// ---------------------------------------------------------------- the run

class Run {
  public:
    Run(const HostOptions &options, HostResult &result) : Options_(options), Result_(result) {}
    void Execute();

  private:
    bool PrepareEnvironment();
    bool PreparePortMonitor();
    bool LoadMonitor();
    bool InitializeMonitor2(const std::string &path);
    void PrintJob(size_t index);
    bool Settled() const;
    void WaitForMonitor();
    void Collect();
    void SortAnswers();

    const HostOptions &Options_;
    HostResult &Result_;
    WString Printer_;
    std::shared_ptr<SimPrinter> Sim_;
    std::unique_ptr<HostPortMonitor> PortMonitor_;
    HMODULE Library_ = nullptr;
    LPMONITOREX Monitor_ = nullptr;
    // The Windows 2000 contract: what InitializePrintMonitor2 answered, and
    // its port-handle calls in Monitor_'s shape (View_) for the job steps.
    LPMONITOR2 Monitor2_ = nullptr;
    HANDLE Instance_ = nullptr;
    MONITOREX View_ = {};
    MONITORREG Reg_ = HostMonitorReg();
    HKEY Root_ = nullptr;
    HANDLE Port_ = nullptr;
};

bool Run::PrepareEnvironment() {
    // A folder for the hive and the journal.
    Result_.TempFolder = Options_.TempFolder.empty() ? MakeTempFolder() : Options_.TempFolder;
    if (Result_.TempFolder.empty()) {
        Result_.Setup = "cannot create a temporary folder";
        return false;
    }

    // The loader finds the companion libraries in the companions folder.
    std::string library = Options_.LibraryPath;
    if (library.empty())
        library = ProgramFolder() + "/companions";
    PlatSetLibraryPath(library);
    // The host reads the job-language text it taps with the same parser.
    std::string problem;
    if (!tkl::Load(&problem))
        Result_.Warnings.push_back(problem + ": job-language text is shown as data");

    // A registry hive of the run's own.
    Result_.RegistryPath =
        Options_.Registry.empty() ? Result_.TempFolder + "/hive.reg" : Options_.Registry;
    std::string error;
    if (!PlatRegistryOpen(Result_.RegistryPath, &error)) {
        Result_.Setup = "registry hive: " + error;
        return false;
    }

    // The test clock (RunHost puts it back), the spooler's printer and its record.
    PlatSetClockScale(Options_.ClockScale);
    PlatSpoolerReset();
    Printer_ =
        PlatWide(Options_.Printer.empty() ? std::string("Simulated printer") : Options_.Printer);
    PlatSpoolerAddPrinter(Printer_);

    // The reference status agent's journal and policy.
    bool ok = true;
    if (Options_.Agent.Configure) {
        const std::string agentKey = "SOFTWARE\\Ravodir\\Agent";
        Result_.JournalPath = Options_.Agent.Journal.empty()
                                  ? Result_.TempFolder + "/agent-journal.jsonl"
                                  : Options_.Agent.Journal;
        std::filesystem::remove(Result_.JournalPath);
        ok = SetString(agentKey, "Journal", Result_.JournalPath) &&
             SetDword(agentKey, "HoldCount", Options_.Agent.HoldCount) &&
             SetDword(agentKey, "CancelJobs", Options_.Agent.CancelJobs) &&
             SetDword(agentKey, "StatusAnswer", Options_.Agent.StatusAnswer) &&
             SetDword(agentKey, "Query", Options_.Agent.Query);
    }
    // The monitors' own settings, when asked for.
    const std::string tallow = "SOFTWARE\\Morvane\\TallowII";
    if (ok && Options_.PollingLevel >= 0)
        ok = SetDword(tallow + "\\VorlAgnt", "PollingLevel", (DWORD)Options_.PollingLevel);
    if (ok && Options_.NotifyPort >= 0)
        ok = SetDword(tallow, "JobNotifyPort", (DWORD)Options_.NotifyPort);
    // The trace, switched on under the monitor's own key, written to a file.
    if (ok && Options_.TraceLevel != 0) {
        ok = SetDword(HostMonitorKey, "TraceLevel", Options_.TraceLevel) &&
             PlatSetDebugOutput(Result_.TempFolder + "/trace.txt");
    }
    if (ok && Options_.LprPort)
        ok = CreateKey("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR Port\\Ports\\" +
                       Options_.Port);
    // The transport library's printer.
    if (ok && !Options_.Transport.empty()) {
        size_t colon = Options_.Transport.rfind(':');
        const std::string transportKey = "SOFTWARE\\Daruzuroz\\Transport";
        ok = SetString(transportKey, "Host", Options_.Transport.substr(0, colon)) &&
             SetDword(transportKey, "BasePort",
                      (DWORD)strtoul(Options_.Transport.substr(colon + 1).c_str(), nullptr, 10));
    }
    if (!ok) {
        Result_.Setup =
            "cannot write the configuration into the registry hive " + Result_.RegistryPath;
        return false;
    }
    return true;
}

bool Run::PreparePortMonitor() {
    const std::string &output = Options_.PortMonitor;
    std::string deviceId = Options_.DeviceId;
    if (output.rfind("sim:", 0) == 0) {
        SimPrinterConfig config = Options_.Sim;
        config.Model = output.substr(4);
        Sim_ = std::make_shared<SimPrinter>(config);
        if (!Sim_->CodecProblem().empty())
            Result_.Warnings.push_back("simulated printer: " + Sim_->CodecProblem());
        Result_.DeviceId = Sim_->DeviceId();
    } else if (output.rfind("tcp:", 0) == 0 && Options_.DeviceIdPort != 0 && deviceId.empty()) {
        std::string host = output.substr(4, output.rfind(':') - 4);
        std::string device = Options_.Port;
        if (!device.empty() && device.back() == ':')
            device.pop_back();
        if (!AskDeviceId(host, Options_.DeviceIdPort, device, &deviceId))
            Result_.Warnings.push_back("no device ID from " + host + ":" +
                                       std::to_string(Options_.DeviceIdPort));
    }
    if (output.rfind("tcp:", 0) == 0)
        Result_.DeviceId = deviceId;
    std::string error;
    PortMonitor_ = HostPortMonitor::Create(output, Sim_, deviceId, &error);
    if (PortMonitor_ == nullptr) {
        Result_.Setup = error;
        return false;
    }
    PortMonitor_->SetSocketTimeout(Options_.WriteTimeoutSeconds);
    return true;
}

bool Run::LoadMonitor() {
    std::string path = Options_.Monitor;
    if (path == "quennet" || path == "brantic")
        path = ProgramFolder() + "/lib" + path + ".so";
    Result_.MonitorPath = path;
    WString wide = PlatWide(path);
    Library_ = LoadLibraryW(wide.c_str());
    if (Library_ == nullptr) {
        Result_.Setup =
            "cannot load the monitor " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }

    if (Options_.Contract == "2000")
        return InitializeMonitor2(path);

    // The spooler initialises a monitor once and never unloads it while it
    // runs: a status thread may still be on its way out of the library after
    // ClosePort. A later run in the same process reuses the loaded monitor.
    static std::mutex loadedMutex;
    static std::map<HMODULE, LPMONITOREX> loaded;
    std::lock_guard<std::mutex> lock(loadedMutex);
    auto known = loaded.find(Library_);
    if (known != loaded.end()) {
        FreeLibrary(Library_); // the first load stays
        Monitor_ = known->second;
    } else {
        auto initialize =
            ProcAs<PFN_InitializePrintMonitor>(GetProcAddress(Library_, "InitializePrintMonitor"));
        if (initialize == nullptr) {
            Result_.Setup = path + " has no export InitializePrintMonitor";
            return false;
        }
        WString root = PlatWide(HostMonitorKey);
        Monitor_ = initialize(root.data());
        if (Monitor_ == nullptr) {
            Result_.Setup = "InitializePrintMonitor of " + path + " answered null";
            return false;
        }
        loaded[Library_] = Monitor_;
    }
    Result_.MonitorSize = Monitor_->dwMonitorSize;
    const MONITOR &m = Monitor_->Monitor;
    if (m.pfnOpenPortEx == nullptr || m.pfnStartDocPort == nullptr || m.pfnWritePort == nullptr ||
        m.pfnEndDocPort == nullptr || m.pfnClosePort == nullptr) {
        Result_.Setup = path + ": the MONITOREX lacks OpenPortEx, StartDocPort, WritePort, "
                               "EndDocPort or ClosePort";
        return false;
    }
    return true;
}

// A spooler since Windows 2000 initialises the monitor for each instance and
// shuts it down after (Execute); the library stays loaded, as above.
bool Run::InitializeMonitor2(const std::string &path) {
    static std::mutex loadedMutex;
    static std::map<HMODULE, bool> loaded;
    std::lock_guard<std::mutex> lock(loadedMutex);
    if (!loaded.emplace(Library_, true).second)
        FreeLibrary(Library_); // the first load stays
    auto initialize =
        ProcAs<PFN_InitializePrintMonitor2>(GetProcAddress(Library_, "InitializePrintMonitor2"));
    if (initialize == nullptr) {
        Result_.Setup = path + " has no export InitializePrintMonitor2";
        return false;
    }
    // A local spooler with registry functions of its own on the monitor's key.
    WString root = PlatWide(HostMonitorKey);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &Root_, nullptr) != ERROR_SUCCESS) {
        Result_.Setup = "cannot create the monitor's key " + std::string(HostMonitorKey);
        return false;
    }
    MONITORINIT init = {sizeof(MONITORINIT), HostSpooler, Root_, &Reg_, TRUE, nullptr};
    SetLastError(0);
    Monitor2_ = initialize(&init, &Instance_);
    if (Monitor2_ == nullptr || Instance_ == nullptr) {
        Result_.Setup = "InitializePrintMonitor2 of " + path + " answered null (error " +
                        std::to_string(GetLastError()) + ")";
        return false;
    }
    Result_.MonitorSize = Monitor2_->cbSize;
    const MONITOR2 &m = *Monitor2_;
    if (m.pfnOpenPortEx == nullptr || m.pfnStartDocPort == nullptr || m.pfnWritePort == nullptr ||
        m.pfnEndDocPort == nullptr || m.pfnClosePort == nullptr || m.pfnShutdown == nullptr) {
        Result_.Setup = path + ": the MONITOR2 lacks OpenPortEx, StartDocPort, WritePort, "
                               "EndDocPort, ClosePort or Shutdown";
        return false;
    }
    View_.dwMonitorSize = (DWORD)NT4_MONITOR_SIZE;
    View_.Monitor.pfnStartDocPort = m.pfnStartDocPort;
    View_.Monitor.pfnWritePort = m.pfnWritePort;
    View_.Monitor.pfnReadPort = m.pfnReadPort;
    View_.Monitor.pfnEndDocPort = m.pfnEndDocPort;
    View_.Monitor.pfnClosePort = m.pfnClosePort;
    View_.Monitor.pfnGetPrinterDataFromPort = m.pfnGetPrinterDataFromPort;
    Monitor_ = &View_;
    return true;
}

void Run::PrintJob(size_t index) {
    JobResult &job = Result_.Jobs[index];
    const MONITOR &m = Monitor_->Monitor;
    PortMonitor_->BeginJob(index);
    auto start = Clock::now();

    // StartDocPort with the DOC_INFO_1 the spooler passes for a raw job.
    WString docName = PlatWide(BaseName(job.File));
    WCHAR datatype[] = WSTR("RAW");
    DOC_INFO_1W info = {docName.data(), nullptr, datatype};
    SetLastError(0);
    job.Started = m.pfnStartDocPort(Port_, Printer_.data(), job.JobId, 1, (LPBYTE)&info) != FALSE;
    if (!job.Started) {
        job.StartError = GetLastError();
        job.Outcome = "StartDocPort failed with error " + std::to_string(job.StartError);
        job.Seconds = SecondsSince(start);
        return;
    }

    // WritePort in buffers; a call that took nothing is repeated with the
    // same data, as the spooler does, until the job is cancelled or makes
    // no progress for too long.
    const std::string &data = job.Content;
    auto progress = start, shown = start;
    unsigned failuresInRow = 0;
    while (job.Written < data.size()) {
        std::vector<DWORD> commands = PlatSpoolerJobCommands(Printer_, job.JobId);
        bool cancelled = false;
        for (DWORD command : commands)
            cancelled = cancelled || command == JOB_CONTROL_CANCEL;
        if (cancelled) {
            job.Cancelled = true;
            job.Outcome = "cancelled in the spooler";
            break;
        }
        if (SecondsSince(progress) > Options_.WriteTimeoutSeconds) {
            job.Outcome = "given up: no byte accepted for " +
                          std::to_string((int)Options_.WriteTimeoutSeconds) + " s";
            break;
        }
        // A printer that stopped reading ends the job (the monitor may
        // still report the write as done).
        std::string stalled = PortMonitor_->Stalled();
        if (!stalled.empty()) {
            job.Outcome = stalled;
            break;
        }
        DWORD count = (DWORD)std::min<uint64_t>(Options_.Buffer, data.size() - job.Written);
        DWORD written = 0;
        SetLastError(0);
        BOOL ok = m.pfnWritePort(Port_, (LPBYTE)data.data() + job.Written, count, &written);
        job.WriteCalls++;
        if (!ok) {
            job.FailedWrites++;
            job.LastWriteError = GetLastError();
            if (++failuresInRow >= 3) {
                job.Outcome = "WritePort failed 3 times in a row (error " +
                              std::to_string(job.LastWriteError) + ")";
                break;
            }
            continue;
        }
        failuresInRow = 0;
        if (written > count)
            written = count;
        if (written == 0) {
            job.ZeroWrites++;
            continue;
        }
        job.Written += written;
        progress = Clock::now();

        // A progress line now and then on long jobs.
        if (Options_.Progress && SecondsSince(start) > 1 && SecondsSince(shown) > 1) {
            shown = Clock::now();
            fprintf(stderr, "spoolhost: job %u (%s): %llu of %zu bytes written\n",
                    (unsigned)job.JobId, BaseName(job.File).c_str(),
                    (unsigned long long)job.Written, data.size());
        }
    }
    job.Completed = job.Written == data.size();
    if (job.Completed)
        job.Outcome = "completed";

    SetLastError(0);
    job.Ended = m.pfnEndDocPort(Port_) != FALSE;
    if (!job.Ended)
        job.EndError = GetLastError();
    job.Seconds = SecondsSince(start);
}

// Once the port monitor's port is closed nothing of the monitor can still
// read the printer or write to it: ClosePort loses nothing.
bool Run::Settled() const {
    return PortMonitor_->OpenHandles() == 0;
}

void Run::WaitForMonitor() {
    // The monitor is done with the port once the port monitor's port is
    // closed (a status thread closes it when the printer has reported the
    // ends, or when its idle limit passes).
    auto start = Clock::now();
    while (!Settled() && SecondsSince(start) < Options_.WaitSeconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Result_.MonitorFinished = Settled();
    Result_.FinishSeconds = SecondsSince(start);
    if (Sim_ != nullptr)
        Result_.UnreadAnswerBytes = Sim_->PendingAnswerBytes();
    if (!Result_.MonitorFinished)
        Result_.Warnings.push_back("the monitor still held the port after " +
                                   std::to_string((int)Options_.WaitSeconds) + " s (--wait)");
}

void Run::Collect() {
    PortMonitor_->FinishTap();
    Result_.Tapped = PortMonitor_->TappedJobs();
    Result_.Tapped.resize(Result_.Jobs.size());
    SortAnswers();
    Result_.PortOpens = PortMonitor_->Opens();
    Result_.PortCloses = PortMonitor_->Closes();
    Result_.PortFailures = PortMonitor_->Failures();
    Result_.PrinterHandlesLeft = PlatSpoolerOpenHandles();

    // The printer's own view: the record of a printer process when one is
    // named, else the in-process printer.
    if (Options_.PrinterRecord.empty() && Sim_ != nullptr) {
        Result_.HavePrinterJobs = true;
        Result_.PrinterSource = "simulated printer " + Sim_->Config().Model;
        Result_.PrinterJobs = Sim_->Jobs();
    } else if (!Options_.PrinterRecord.empty()) {
        // The printer process writes its record when a connection ends:
        // give it a moment to catch up with the last job.
        auto start = Clock::now();
        size_t expected = 0;
        for (const JobResult &job : Result_.Jobs)
            expected += job.Written > 0 ? 1 : 0;
        for (;;) {
            bool read = ReadPrinterRecord(Options_.PrinterRecord, &Result_.PrinterJobs);
            size_t ended = 0;
            for (const StreamJob &job : Result_.PrinterJobs)
                ended += job.Ended ? 1 : 0;
            if ((read && ended >= expected) || SecondsSince(start) > 3) {
                Result_.HavePrinterJobs = read;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Result_.PrinterSource = Options_.PrinterRecord;
        if (!Result_.HavePrinterJobs)
            Result_.Warnings.push_back("cannot read the printer record " + Options_.PrinterRecord);
    }

    // Job controls, the agent's journal and the values the monitor wrote.
    std::vector<PlatJobControl> controls = PlatSpoolerJobControls();
    for (JobResult &job : Result_.Jobs) {
        for (const PlatJobControl &control : controls) {
            if (control.JobId == job.JobId)
                job.Controls.push_back(control);
        }
    }
    if (!Result_.JournalPath.empty())
        ReadFile(Result_.JournalPath, &Result_.Journal);
    if (Options_.TraceLevel != 0) {
        PlatSetDebugOutput("");
        ReadFile(Result_.TempFolder + "/trace.txt", &Result_.Trace);
    }
    Result_.RegistryPorts = ExportSections(
        PlatRegistryExport(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\Ports");
}

// A printer answers a job's end after the spooler may have moved on to the
// next job: each block read back goes to the job its notification tag names,
// a block without tag to the job during which it was read.
void Run::SortAnswers() {
    for (size_t i = 0; i < Result_.Tapped.size(); i++) {
        const std::string &read = Result_.Tapped[i].ReadBack;
        size_t start = 0;
        while (start < read.size()) {
            size_t formFeed = read.find(tkl::FormFeed, start);
            size_t end = formFeed == std::string::npos ? read.size() : formFeed + 1;
            std::string block = read.substr(start, end - start);
            start = end;
            size_t owner = i;
            std::vector<TklEntry> items;
            if (tkl::Parse(block, &items)) {
                for (const TklEntry &item : items) {
                    if ((item.Code != 216 && item.Code != 208 && item.Code != 215) ||
                        item.Values.empty() || item.Values[0].Type != 3)
                        continue;
                    DWORD id = tkl::TagJobId(item.Values[0].Text);
                    for (size_t j = 0; j < Result_.Jobs.size() && id != 0; j++) {
                        if (Result_.Jobs[j].JobId == id)
                            owner = j;
                    }
                }
            }
            Result_.Tapped[owner].Answers += block;
        }
    }
}

void Run::Execute() {
    // Every file is read before the monitor sees anything.
    DWORD jobId = Options_.FirstJobId;
    for (const std::string &file : Options_.Files) {
        JobResult job;
        job.File = file;
        job.JobId = jobId++;
        if (!ReadFile(file, &job.Content)) {
            Result_.Setup = "cannot read " + file;
            return;
        }
        Result_.Jobs.push_back(std::move(job));
    }
    if (!PrepareEnvironment() || !PreparePortMonitor() || !LoadMonitor())
        return;

    // The port, with the port monitor's table.
    WString port = PlatWide(Options_.Port);
    SetLastError(0);
    BOOL opened = Monitor2_ != nullptr
                      ? Monitor2_->pfnOpenPortEx(Instance_, PortMonitor_->Instance(), port.data(),
                                                 Printer_.data(), &Port_, PortMonitor_->Table2())
                      : Monitor_->Monitor.pfnOpenPortEx(port.data(), Printer_.data(), &Port_,
                                                        PortMonitor_->Table());
    if (!opened) {
        Result_.Setup =
            "OpenPortEx(" + Options_.Port + ") failed with error " + std::to_string(GetLastError());
        return;
    }

    for (size_t i = 0; i < Result_.Jobs.size(); i++)
        PrintJob(i);
    WaitForMonitor();
    Result_.PortClosed = Monitor_->Monitor.pfnClosePort(Port_) != FALSE;
    // The spooler is done with the instance; the library stays.
    if (Monitor2_ != nullptr) {
        Monitor2_->pfnShutdown(Instance_);
        RegCloseKey(Root_);
    }
    Collect();

    if (!Result_.MonitorFinished) {
        // A status thread may still use the port monitor and the printer:
        // they stay alive, as the library does.
        static std::mutex keptMutex;
        static std::vector<std::shared_ptr<void>> kept;
        std::lock_guard<std::mutex> lock(keptMutex);
        kept.push_back(std::shared_ptr<HostPortMonitor>(std::move(PortMonitor_)));
        kept.push_back(Sim_);
    }
}

} // namespace

const char HostMonitorKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Host";

namespace {

// What a run changes in the process, put back on every way out of RunHost:
// the test clock, the debug output and the temporary folder it made.
class ProcessRestore {
  public:
    ProcessRestore(const HostOptions &options, const HostResult &result)
        : Options_(options), Result_(result), Scale_(PlatClockScale()) {}
    ~ProcessRestore() {
        PlatSetClockScale(Scale_);
        if (Options_.TraceLevel != 0)
            PlatSetDebugOutput("");
        if (!Options_.Keep && Options_.TempFolder.empty() && !Result_.TempFolder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(Result_.TempFolder, ignored);
        }
    }
    ProcessRestore(const ProcessRestore &) = delete;
    ProcessRestore &operator=(const ProcessRestore &) = delete;

  private:
    const HostOptions &Options_;
    const HostResult &Result_;
    double Scale_;
};

} // namespace

HostResult RunHost(const HostOptions &options) {
    HostResult result;
    result.Options = options;
    {
        ProcessRestore restore(options, result);
        Run(options, result).Execute();
    }
    return result;
}

bool EndedAsAsked(const HostOptions &options, const JobResult &job) {
    // The agent cancels only when it takes part (AgentQuery answers 0).
    const AgentPolicy &agent = options.Agent;
    if (agent.Configure && agent.CancelJobs == 1 && agent.Query == 0)
        return job.Cancelled && job.Ended;
    return job.Completed && job.Ended;
}

unsigned JobsNotAsAsked(const HostResult &result) {
    unsigned count = 0;
    for (const JobResult &job : result.Jobs)
        count += EndedAsAsked(result.Options, job) ? 0 : 1;
    return count;
}

std::string ExportSections(const std::string &exported, const std::string &prefix) {
    std::istringstream in(exported);
    std::string line, out;
    bool keep = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            std::string key = line.substr(1, line.size() >= 2 ? line.size() - 2 : 0);
            keep = key.size() >= prefix.size() &&
                   strncasecmp(key.c_str(), prefix.c_str(), prefix.size()) == 0 &&
                   (key.size() == prefix.size() || key[prefix.size()] == '\\');
        }
        if (keep && !line.empty())
            out += line + "\n";
    }
    return out;
}
