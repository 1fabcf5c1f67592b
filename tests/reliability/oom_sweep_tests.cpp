// Out-of-memory sweeps: each scenario runs again and again, the 1st, 2nd,
// ... allocation of the run failing in turn (events and threads count as
// allocations), until a run gets through without reaching the failing one.
// Every run must end without a crash, without a leak (the live blocks are
// back to where they were once everything is closed; LeakSanitizer checks
// the C++ heap in the asan build) and without a broken port table, and its
// outcome must be one that the failure tables allow.
//
// Quennet is linked in (its table and records can be looked at); Brantic is
// loaded from its library as the spooler loads it.
#include "status_fixture.h"

#include <algorithm>

namespace {

const char *const TklDeviceId = "MFG:Morvane;CMD:PCL,TKL;MDL:RVT-201;";
const char *const PlainDeviceId = "MFG:Other;CMD:PCL;MDL:Laser 5;";
const std::string JobData = "%!PS page one\n";
constexpr DWORD Job = 0x2A;

// Runs of one sweep stop here at the latest; every scenario needs far fewer.
constexpr unsigned long SweepLimit = 3000;

// The port table as a list of port names, in order.
std::vector<std::string> TableNames() {
    std::vector<std::string> names;
    EnterMonitorLock();
    for (PortHead *entry = PortTable; entry != nullptr; entry = entry->Next)
        names.push_back(PlatNarrow(entry->PortName));
    LeaveMonitorLock();
    return names;
}

// `text` is, in this order, the optional `prefix`, `data` and the optional
// `suffix`: a job that may have lost its commands but never its data.
bool IsJobText(const std::string &text, const std::string &prefix, const std::string &data,
               const std::string &suffix) {
    for (bool withPrefix : {false, true}) {
        for (bool withSuffix : {false, true}) {
            if (text == (withPrefix ? prefix : "") + data + (withSuffix ? suffix : ""))
                return true;
        }
    }
    return false;
}

// `codes` is `all`, or `all` with one item left out.
bool AllButAtMostOne(const std::vector<DWORD> &codes, const std::vector<DWORD> &all) {
    if (codes == all)
        return true;
    for (size_t skip = 0; skip < all.size(); skip++) {
        std::vector<DWORD> fewer = all;
        fewer.erase(fewer.begin() + (long)skip);
        if (codes == fewer)
            return true;
    }
    return false;
}

class OomSweep : public StatusFixture {
  protected:
    void SetUp() override {
        StatusFixture::SetUp();
        // Waits of 100 ms and idle limits of minutes cost (almost) nothing.
        PlatSetClockScale(10000.0);
        PlatSpoolerAddPrinter(WSTR("Printer"));
        ASSERT_EQ(PortCount, 0u);
        baseline_ = PlatLiveBlocks();
    }

    void TearDown() override {
        PlatFailAllocation(0);
        StatusFixture::TearDown();
        port_ = nullptr;
        // Nothing of any run is left over.
        EXPECT_EQ(PortCount, 0u);
        EXPECT_EQ(PortTable, nullptr);
        EXPECT_EQ(PlatModuleRefCount(WSTR("RAVODIR.DLL")), 0);
        EXPECT_EQ(PlatModuleRefCount(WSTR("VEROVIRI.DLL")), 0);
        EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
        EXPECT_EQ(PlatLiveBlocks(), baseline_);
    }

    // Runs `scenario` with the n-th allocation failing, n = 1, 2, ..., until
    // a run does not reach its n-th allocation and no run made n or more.
    // Each run is `prepare`d and
    // `cleanup`ed without failures; `check` looks at its outcome in between
    // (`failed`: the injected failure happened). Answers the number of runs
    // in which an allocation failed.
    template <class Prepare, class Scenario, class Check, class Cleanup>
    unsigned long Sweep(Prepare prepare, Scenario scenario, Check check, Cleanup cleanup) {
        unsigned long n = 1, most = 0;
        for (; n < SweepLimit; n++) {
            SCOPED_TRACE("allocation " + std::to_string(n));
            prepare();
            unsigned long before = PlatAllocationCount();
            PlatFailAllocation(n);
            scenario();
            PlatFailAllocation(0);
            unsigned long made = PlatAllocationCount() - before;
            bool failed = made >= n;
            most = std::max(most, made);
            check(failed);
            cleanup();
            // Whatever failed, everything is closed again and nothing stays.
            EXPECT_EQ(PortCount, 0u);
            EXPECT_EQ(PortTable, nullptr);
            EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
            EXPECT_EQ(portMonitor_.OpenHandles(), 0);
            EXPECT_EQ(PlatModuleRefCount(WSTR("RAVODIR.DLL")), 0);
            EXPECT_EQ(PlatLiveBlocks(), baseline_);
            // Done once no run so far has made as many allocations. (A
            // status thread polls on its own, so runs differ in how many
            // they make: one short run does not end the sweep.)
            if ((!failed && n > most) || HasFailure())
                break;
        }
        EXPECT_LT(n, SweepLimit) << "the scenario never ran through";
        printf("sweep: %lu runs, each with one allocation failing\n", n - 1);
        return n - 1;
    }
    template <class Scenario, class Check> unsigned long Sweep(Scenario scenario, Check check) {
        return Sweep([] {}, scenario, check, [] {});
    }

    static void ResetSpooler() {
        PlatSpoolerReset();
        PlatSpoolerAddPrinter(WSTR("Printer"));
    }

    // Opens the status fixture's record for a dispatcher run; closes it again.
    PortEntry *OpenForDispatch(const char *model = nullptr) {
        PortEntry *e = OpenEntry(model);
        if (e != nullptr)
            SetFlags(e, AgentActive);
        return e;
    }
    void CloseAfterDispatch() {
        if (port_ == nullptr)
            return;
        PortEntry *e = (PortEntry *)port_;
        e->PortMonitorTable.pfnClosePort(e->PortHandle);
        ClosePort(port_);
        port_ = nullptr;
    }

    // One job through Quennet's entry points, as the spooler runs it: open,
    // start, write until the data is taken (a bounded number of calls), end,
    // wait for the status thread to finish on its own, close.
    BOOL RunQuennetJob(BOOL *started = nullptr) {
        WString port = WSTR("LPT1:"), printer = WSTR("Printer"), doc = WSTR("doc");
        HANDLE handle = nullptr;
        if (!OpenPortEx(port.data(), printer.data(), &handle, portMonitor_.Table()))
            return FALSE;
        DOC_INFO_1W info = {doc.data(), nullptr, nullptr};
        BOOL ok = StartDocPort(handle, printer.data(), Job, 1, (LPBYTE)&info);
        if (started != nullptr)
            *started = ok;
        if (ok) {
            std::string data = JobData;
            for (int calls = 0; !data.empty() && calls < 20; calls++) {
                DWORD written = 0;
                if (!WritePort(handle, (LPBYTE)data.data(), (DWORD)data.size(), &written))
                    break;
                data.erase(0, written);
            }
            EndDocPort(handle);
            // A thread still waiting for the printer's report ends by itself.
            PortEntry *e = (PortEntry *)handle;
            EXPECT_TRUE(WaitFor([e] { return !TestFlags(e, ThreadRunning); }));
        }
        EXPECT_TRUE(ClosePort(handle));
        return TRUE;
    }

    // The bytes every write and command of one failure-free job leaves with
    // the printer, split into command prefix and suffix around the data.
    void LearnJobText(std::string *prefix, std::string *suffix) {
        portMonitor_.ClearCalls();
        ASSERT_TRUE(RunQuennetJob());
        std::string all = portMonitor_.Written();
        size_t at = all.find(JobData);
        ASSERT_NE(at, std::string::npos) << all;
        *prefix = all.substr(0, at);
        *suffix = all.substr(at + JobData.size());
    }

    long baseline_ = 0;
    BOOL opened_ = FALSE, started_ = FALSE;
    PortEntry *entry_ = nullptr;
};

// ---------------------------------------------------------------- opening ports

TEST_F(OomSweep, OpenPortExFailsWithNothingAllocatedAndTheTableIntact) {
    REQUIRE_LINKED_MONITOR("port table");
    // Two ports are open already; the third open fails at every allocation in turn.
    WString a = WSTR("LPT1:"), b = WSTR("LPT2:"), c = WSTR("FILE:"), printer = WSTR("Printer");
    HANDLE first = nullptr, second = nullptr;
    ASSERT_TRUE(OpenPortEx(a.data(), printer.data(), &first, portMonitor_.Table()));
    ASSERT_TRUE(OpenPortEx(b.data(), printer.data(), &second, portMonitor_.Table()));
    long opened = PlatLiveBlocks();

    unsigned long n = 1;
    for (; n < SweepLimit; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        unsigned long before = PlatAllocationCount();
        HANDLE third = nullptr;
        PlatFailAllocation(n);
        SetLastError(0);
        BOOL ok = OpenPortEx(c.data(), printer.data(), &third, portMonitor_.Table());
        DWORD error = GetLastError();
        PlatFailAllocation(0);
        bool failed = PlatAllocationCount() - before >= n;
        if (!ok) {
            EXPECT_TRUE(failed);
            EXPECT_EQ(error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
            EXPECT_EQ(third, nullptr);
            EXPECT_EQ(PlatLiveBlocks(), opened) << "nothing stays allocated";
        } else {
            ASSERT_TRUE(ClosePort(third));
        }
        EXPECT_EQ(PortCount, 2u);
        EXPECT_EQ(TableNames(), (std::vector<std::string>{"LPT1:", "LPT2:"}));
        EXPECT_EQ(PlatModuleRefCount(WSTR("RAVODIR.DLL")), 1);
        if (!failed || HasFailure())
            break;
    }
    EXPECT_GT(n, 1u) << "the open allocates";
    EXPECT_LT(n, SweepLimit);
    ASSERT_TRUE(ClosePort(first));
    ASSERT_TRUE(ClosePort(second));
}

TEST_F(OomSweep, FirstOpenPortExFailsWithoutLoadingTheAgentForGood) {
    Sweep(
        [this] {
            WString port = WSTR("LPT1:"), printer = WSTR("Printer");
            HANDLE handle = nullptr;
            if (OpenPortEx(port.data(), printer.data(), &handle, portMonitor_.Table()))
                ClosePort(handle);
        },
        [](bool) {});
}

// ---------------------------------------------------------------- jobs

TEST_F(OomSweep, PlainJobKeepsItsDataAndLosesAtMostItsCommands) {
    portMonitor_.SetDeviceId(PlainDeviceId);
    std::string prefix, suffix;
    LearnJobText(&prefix, &suffix);
    ASSERT_FALSE(prefix.empty()) << "the agent's notification address precedes the data";

    unsigned long failures = Sweep(
        [this] {
            portMonitor_.ClearCalls();
            AgentDouble::ClearCalls();
            ResetSpooler();
        },
        [this] {
            started_ = FALSE;
            RunQuennetJob(&started_);
        },
        [&](bool) {
            std::string written = portMonitor_.Written();
            if (!started_) {
                // No memory for the job's id: the job never started.
                EXPECT_EQ(written, "");
                return;
            }
            EXPECT_TRUE(IsJobText(written, prefix, JobData, suffix)) << written;
            EXPECT_EQ(PlatSpoolerJobCommands(WSTR("Printer"), Job),
                      (std::vector<DWORD>{JOB_CONTROL_LAST_PAGE_EJECTED}));
        },
        [] {});
    EXPECT_GT(failures, 5u);
}

TEST_F(OomSweep, JobLanguageJobWithAResponseKeepsItsDataAndReportsItsEndOnce) {
    portMonitor_.SetDeviceId(TklDeviceId);
    portMonitor_.QueueRead(JobDoneResponse(Job));
    std::string prefix, suffix;
    LearnJobText(&prefix, &suffix);
    ASSERT_NE(prefix.find("@TKL 212"), std::string::npos);
    ASSERT_NE(suffix.find("@TKL 213"), std::string::npos);

    Sweep(
        [this] {
            // What the printer says comes whether or not it was read last time.
            portMonitor_.Reset();
            portMonitor_.SetDeviceId(TklDeviceId);
            portMonitor_.QueueRead(JobDoneResponse(Job));
            AgentDouble::ClearCalls();
            ResetSpooler();
        },
        [this] {
            started_ = FALSE;
            RunQuennetJob(&started_);
        },
        [&](bool) {
            std::string written = portMonitor_.Written();
            if (!started_) {
                EXPECT_EQ(written, "");
                return;
            }
            EXPECT_TRUE(IsJobText(written, prefix, JobData, suffix)) << written;
            // Marked sent and ejected once, however the job went.
            std::vector<DWORD> commands = PlatSpoolerJobCommands(WSTR("Printer"), Job);
            EXPECT_EQ(
                std::count(commands.begin(), commands.end(), (DWORD)JOB_CONTROL_LAST_PAGE_EJECTED),
                1);
            // The job's end is told to the agent at most once: reported by
            // the printer, or dropped unreported.
            int ends = 0;
            for (auto [jobId, code] : StatusCalls()) {
                if (jobId == Job &&
                    (code == AGENT_STATUS_JOB_DONE || code == AGENT_STATUS_CANCELLED))
                    ends++;
            }
            EXPECT_LE(ends, 1);
        },
        [] {});
}

TEST_F(OomSweep, DeferredOpenStillWritesTheDataOnce) {
    portMonitor_.SetDeviceId(TklDeviceId);
    portMonitor_.FailCall(PortFn::OpenPort, 1, ERROR_BUSY);
    std::string prefix, suffix;
    LearnJobText(&prefix, &suffix);

    unsigned long failures = Sweep(
        [this] {
            portMonitor_.Reset();
            portMonitor_.SetDeviceId(TklDeviceId);
            // The first open fails: StartDocPort keeps the document
            // information, the first write opens and starts the port.
            portMonitor_.FailCall(PortFn::OpenPort, 1, ERROR_BUSY);
            AgentDouble::ClearCalls();
        },
        [this] {
            started_ = FALSE;
            RunQuennetJob(&started_);
        },
        [&](bool) {
            std::string written = portMonitor_.Written();
            if (!started_) {
                EXPECT_EQ(written, "");
                return;
            }
            EXPECT_TRUE(IsJobText(written, prefix, JobData, suffix)) << written;
            // The deferred start got the document information, or none when
            // its copy could not be made.
            for (const PortMonitorCall &call : portMonitor_.Calls(PortFn::StartDocPort)) {
                if (call.HasDocInfo) {
                    EXPECT_EQ(call.DocName, "doc");
                }
            }
        },
        [] {});
    EXPECT_GT(failures, 5u);
}

// ---------------------------------------------------------------- Brantic

TEST_F(OomSweep, BranticJobThroughThePortMonitor) {
    LoadedMonitor brantic = LoadMonitorLibrary(BRANTIC_LIBRARY_FILE);
    ASSERT_NE(brantic.MonitorEx, nullptr);
    LPMONITOR table = brantic.Table();
    // No transport library: the job goes through the port monitor.
    PlatSetLibraryPath(AgentFolderPath(AgentFolder::Double));
    portMonitor_.SetDeviceId(PlainDeviceId);
    long loaded = PlatLiveBlocks();
    baseline_ = loaded;

    unsigned long failures = Sweep(
        [&] {
            portMonitor_.ClearCalls();
            AgentDouble::ClearCalls();
            ResetSpooler();
        },
        [&] {
            opened_ = started_ = FALSE;
            WString port = WSTR("LPT2:"), printer = WSTR("Printer"), doc = WSTR("doc");
            HANDLE handle = nullptr;
            if (!table->pfnOpenPortEx(port.data(), printer.data(), &handle, portMonitor_.Table()))
                return;
            opened_ = TRUE;
            DOC_INFO_1W info = {doc.data(), nullptr, nullptr};
            started_ = table->pfnStartDocPort(handle, printer.data(), Job, 1, (LPBYTE)&info);
            if (started_) {
                std::string data = JobData;
                for (int calls = 0; !data.empty() && calls < 20; calls++) {
                    DWORD written = 0;
                    if (!table->pfnWritePort(handle, (LPBYTE)data.data(), (DWORD)data.size(),
                                             &written))
                        break;
                    data.erase(0, written);
                }
                table->pfnEndDocPort(handle);
            }
            EXPECT_TRUE(table->pfnClosePort(handle));
        },
        [&](bool) {
            if (!opened_) {
                EXPECT_EQ(portMonitor_.Calls().size(), 0u);
                return;
            }
            ASSERT_TRUE(started_) << "Brantic's StartDocPort fails only for bad arguments";
            EXPECT_EQ(portMonitor_.Written(), JobData);
            EXPECT_EQ(
                PlatSpoolerJobCommands(WSTR("Printer"), Job),
                (std::vector<DWORD>{JOB_CONTROL_SENT_TO_PRINTER, JOB_CONTROL_LAST_PAGE_EJECTED}));
            // The model goes with the job start, or "" when it could not be kept.
            for (const AgentDouble::Call &call : AgentDouble::Calls("AgentJobStart")) {
                EXPECT_TRUE(call.Model == "Laser 5" || call.Model == "") << call.Model;
            }
        },
        [] {});
    EXPECT_GT(failures, 3u);
    // The table still works: the port opens and closes again.
    WString port = WSTR("LPT2:"), printer = WSTR("Printer");
    HANDLE handle = nullptr;
    ASSERT_TRUE(table->pfnOpenPortEx(port.data(), printer.data(), &handle, portMonitor_.Table()));
    EXPECT_TRUE(table->pfnClosePort(handle));
}

// ---------------------------------------------------------------- the dispatcher

TEST_F(OomSweep, StatusReportLeavesAtMostOneItemOutOfTheCopyList) {
    REQUIRE_LINKED_MONITOR("dispatcher");
    const std::vector<DWORD> all = {0x10003, 0x10004, 0x10040};
    Sweep([&] { entry_ = OpenForDispatch(); },
          [&] {
              Items items;
              items.Number(0x10003, 30010).String(0x10004, "detail").Number(0x10040, 3);
              DispatchTklItems(entry_, items.Data(), items.Count());
          },
          [&](bool) {
              ASSERT_NE(entry_, nullptr);
              EXPECT_EQ(entry_->StatusCode, MapStatusCode(30010, 3));
              std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobItems");
              ASSERT_EQ(calls.size(), 1u) << "the report is handed over";
              EXPECT_TRUE(AllButAtMostOne(calls[0].ItemCodes, all));
              EXPECT_EQ(calls[0].ItemCount, calls[0].ItemCodes.size());
          },
          [&] { CloseAfterDispatch(); });
}

TEST_F(OomSweep, ReadCycleWithAStatusReportDropsItOrHandsItOver) {
    REQUIRE_LINKED_MONITOR("reader");
    const std::vector<DWORD> all = {0x10003, 0x10004, 0x10040};
    const std::string report = TklNumber(0x10003, 30010) + TklString(0x10004, "detail") +
                               TklNumber(0x10040, 3) + "\f" + TklNumber(220, -3) + "\f";
    Sweep(
        [&] {
            ASSERT_TRUE(PlatRegistryOpen("", nullptr));
            portMonitor_.Reset();
            portMonitor_.QueueRead(report);
            entry_ = OpenForDispatch("RVT-201");
        },
        [&] {
            if (entry_ == nullptr)
                return;
            ReadPrinterResponses(entry_);
            while (portMonitor_.PendingReadBytes() != 0)
                ReadPrinterResponses(entry_);
        },
        [&](bool failed) {
            ASSERT_NE(entry_, nullptr);
            std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobItems");
            ASSERT_LE(calls.size(), 1u);
            if (!failed) {
                ASSERT_EQ(calls.size(), 1u);
            }
            if (!calls.empty()) {
                EXPECT_TRUE(AllButAtMostOne(calls[0].ItemCodes, all));
            }
            std::string value = PortValue("LPT1:", "CALIBRATION:YELLOW");
            EXPECT_TRUE(value == "-3" || value == "<missing>") << value;
        },
        [&] { CloseAfterDispatch(); });
}

} // namespace
