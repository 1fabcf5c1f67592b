// The status polling thread, driven through the monitor's own entry points:
// when it ends, who ends and closes the port below, what the agent is told,
// how long a silent printer is waited for (on the test clock), and the
// hand-offs with EndDocPort, ClosePort and a failed write.
#include "status_fixture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

const char *const TklDeviceId = "MFG:Morvane;CMD:TKL;MDL:RVT-201;";

class StatusThread : public StatusFixture {
  protected:
    void SetUp() override {
        StatusFixture::SetUp();
        portMonitor_.SetDeviceId(TklDeviceId);
    }

    void TearDown() override {
        portMonitor_.SetHook(nullptr);
        AgentDouble::SetHook(nullptr);
        // Every port is closed and its thread gone before the next test.
        if (port_ != nullptr) {
            ClosePort(port_);
            port_ = nullptr;
        }
        StatusFixture::TearDown();
        EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    }

    PortEntry *Open() {
        WString port = WSTR("LPT1:"), printer = WSTR("Printer");
        if (!OpenPortEx(port.data(), printer.data(), &port_, portMonitor_.Table()))
            return nullptr;
        return (PortEntry *)port_;
    }

    // Starts a job and writes some data: the job talks the job language and
    // has its thread.
    void StartJob(PortEntry *e, DWORD jobId) {
        WString printer = WSTR("Printer"), doc = WSTR("doc");
        DOC_INFO_1W info = {doc.data(), nullptr, nullptr};
        ASSERT_TRUE(StartDocPort(port_, printer.data(), jobId, 1, (LPBYTE)&info));
        ASSERT_TRUE(TestFlags(e, JobLanguageOn));
        ASSERT_TRUE(TestFlags(e, ThreadRunning));
        Write("page");
    }
    void Write(const char *data) {
        DWORD written = 0;
        ASSERT_TRUE(WritePort(port_, (LPBYTE)data, (DWORD)strlen(data), &written));
    }

    static bool ThreadGone(PortEntry *e) {
        return LoadHandle(e->WakeEvent) == nullptr && !TestFlags(e, ThreadRunning);
    }
    // The thread has ended and taken its events with it.
    static void ExpectNoThread(PortEntry *e) {
        EXPECT_FALSE(TestFlags(e, ThreadRunning));
        EXPECT_EQ(LoadHandle(e->WakeEvent), nullptr);
        EXPECT_EQ(LoadHandle(e->ReadDoneEvent), nullptr);
        EXPECT_EQ(LoadHandle(e->PortIoEvent), nullptr);
    }

    // Ends and closes of the port below so far.
    size_t Ends() const { return portMonitor_.CallCount(PortFn::EndDocPort); }
    size_t Closes() const { return portMonitor_.CallCount(PortFn::ClosePort); }
    size_t Writes() const { return portMonitor_.CallCount(PortFn::WritePort); }
    static size_t AgentCalls(const char *name) { return AgentDouble::Calls(name).size(); }
};

// ---------------------------------------------------------------- the thread's end

TEST_F(StatusThread, JobEndReportLetsTheThreadEndAndCloseThePort) {
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    StartJob(e, 7);

    // The printer still owes job 7: the port and the rest are the thread's.
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_FALSE(TestFlags(e, JobActive));
    EXPECT_EQ(Ends(), 0u);
    EXPECT_EQ(Closes(), 0u);
    EXPECT_EQ(AgentCalls("AgentJobEnd"), 0u);

    portMonitor_.QueueRead(JobDoneResponse(7));
    ASSERT_TRUE(WaitFor([&] { return ThreadGone(e); }));
    ExpectNoThread(e);
    EXPECT_EQ(Ends(), 1u);
    EXPECT_EQ(Closes(), 1u);
    EXPECT_EQ(portMonitor_.OpenHandles(), 0);
    EXPECT_EQ(AgentCalls("AgentJobEnd"), 1u);
    EXPECT_EQ(PlatSpoolerOpenHandles(), 0);
    EXPECT_FALSE(TestFlags(e, PortStarted));
    // Reported done, never dropped.
    bool done = false;
    for (const auto &[id, code] : StatusCalls()) {
        EXPECT_NE(code, 0x100u) << id;
        done = done || (id == 7 && code == 0x1000100u);
    }
    EXPECT_TRUE(done);
}

TEST_F(StatusThread, NextJobUsesThePortTheThreadKeptOpen) {
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    StartJob(e, 1);
    ASSERT_TRUE(EndDocPort(port_));
    ASSERT_TRUE(TestFlags(e, PortStarted));

    // Same thread, same port below: no second open, no second thread.
    StartJob(e, 2);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::OpenPort), 1u);
    ASSERT_TRUE(EndDocPort(port_));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{2, 1}));

    // The newer job's end releases both.
    portMonitor_.QueueRead(JobDoneResponse(2));
    ASSERT_TRUE(WaitFor([&] { return ThreadGone(e); }));
    EXPECT_EQ(Ends(), 1u);
    EXPECT_EQ(Closes(), 1u);
    EXPECT_EQ(AgentCalls("AgentJobEnd"), 1u);
    EXPECT_TRUE(PendingIds(e).empty());
}

TEST_F(StatusThread, PortEndedExactlyOnceWhateverSideEndsIt) {
    // The printer reports the job's end while the job still runs, so that
    // EndDocPort finds nothing owed and ends the port itself, racing with a
    // thread that is reading or deciding to end.
    PlatSetClockScale(1000.0);
    for (int round = 0; round < 50; round++) {
        portMonitor_.Reset();
        portMonitor_.SetDeviceId(TklDeviceId);
        AgentDouble::ClearCalls();
        PortEntry *e = Open();
        ASSERT_NE(e, nullptr);
        StartJob(e, 100 + round);
        portMonitor_.QueueRead(JobDoneResponse(100 + round));
        if (round % 2 == 0) {
            ASSERT_TRUE(WaitFor([&] { return PendingIds(e).empty(); }));
        }

        ASSERT_TRUE(EndDocPort(port_));
        ASSERT_TRUE(WaitFor([&] { return ThreadGone(e); })) << round;
        ExpectNoThread(e);
        EXPECT_EQ(Ends(), 1u) << round;
        EXPECT_EQ(Closes(), 1u) << round;
        EXPECT_EQ(AgentCalls("AgentJobEnd"), 1u) << round;
        EXPECT_EQ(PlatSpoolerOpenHandles(), 0) << round;
        ASSERT_TRUE(ClosePort(port_));
        port_ = nullptr;
    }
}

TEST_F(StatusThread, ClosePortDuringAReadCycleWaitsForTheThread) {
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    StartJob(e, 9);
    ASSERT_TRUE(EndDocPort(port_));

    // Hold the thread inside its next read.
    std::mutex lock;
    std::condition_variable changed;
    bool inRead = false, release = false;
    portMonitor_.SetHook([&](const PortMonitorCall &call) {
        if (call.Function != PortFn::ReadPort)
            return;
        std::unique_lock<std::mutex> guard(lock);
        inRead = true;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return inRead; }));
    }

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        ClosePort(port_);
        closed = true;
    });
    // The stop request is made; the thread cannot see it before its read ends.
    ASSERT_TRUE(WaitFor([&] { return !TestFlags(e, KeepPolling); }));
    EXPECT_FALSE(closed.load());
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
        changed.notify_all();
    }
    closer.join();
    port_ = nullptr;
    portMonitor_.SetHook(nullptr);

    // The thread ended the job's port and dropped the id it never heard of.
    EXPECT_EQ(Ends(), 1u);
    EXPECT_EQ(Closes(), 1u);
    EXPECT_EQ(AgentCalls("AgentJobEnd"), 1u);
    std::vector<std::pair<DWORD, DWORD>> statuses = StatusCalls();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), (std::pair<DWORD, DWORD>{9, 0x100u}));
}

TEST_F(StatusThread, StopWithoutAThreadReturnsAtOnce) {
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    StopStatusThread(e);
    ExpectNoThread(e);
}

// ---------------------------------------------------------------- a printer that never answers

class SilentPrinter : public StatusThread {
  protected:
    // Runs a job that the printer never reports and answers how many test
    // clock milliseconds passed between the thread's last activity (the
    // job's last cycle) and the thread closing the port; both are read on
    // the thread, so a busy machine cannot shorten what is measured. `failLastWrite` makes the
    // job's last write fail; `tickAtEnd` sets the tick counter just before EndDocPort.
    DWORD JobToClose(bool failLastWrite, DWORD tickAtEnd) {
        PlatSetClockScale(5000.0);
        PortEntry *e = Open();
        EXPECT_NE(e, nullptr);
        std::atomic<DWORD> closedAt{0}, idleSince{0};
        portMonitor_.SetHook([&](const PortMonitorCall &call) {
            if (call.Function == PortFn::ClosePort) {
                closedAt = GetTickCount();
                idleSince = e->LastActivityTick;
            }
        });
        StartJob(e, 7);

        // An hour passes while the job is active: the thread keeps polling.
        PlatAdvanceTicks(3600000);
        size_t reads = portMonitor_.CallCount(PortFn::ReadPort);
        EXPECT_TRUE(WaitFor([&] { return portMonitor_.CallCount(PortFn::ReadPort) >= reads + 3; }));
        EXPECT_TRUE(TestFlags(e, ThreadRunning));
        EXPECT_EQ(Closes(), 0u);

        if (failLastWrite) {
            portMonitor_.FailCall(PortFn::WritePort, portMonitor_.CallCount(PortFn::WritePort) + 1,
                                  ERROR_WRITE_FAULT, 0);
            Write("more");
            EXPECT_TRUE(TestFlags(e, WriteFailed));
        }
        // The counter is set while the job still refreshes the thread's
        // activity, so only the idle time after the job is measured.
        PlatSetTickCount(tickAtEnd);
        reads = portMonitor_.CallCount(PortFn::ReadPort);
        EXPECT_TRUE(WaitFor([&] { return portMonitor_.CallCount(PortFn::ReadPort) >= reads + 2; }));
        EXPECT_TRUE(EndDocPort(port_));
        EXPECT_TRUE(WaitFor([&] { return ThreadGone(e); }, 60));
        portMonitor_.SetHook(nullptr);

        // Dropped with notification; the port closed once.
        EXPECT_EQ(Closes(), 1u);
        EXPECT_EQ(AgentCalls("AgentJobEnd"), 1u);
        std::vector<std::pair<DWORD, DWORD>> statuses = StatusCalls();
        EXPECT_FALSE(statuses.empty());
        if (!statuses.empty()) {
            EXPECT_EQ(statuses.back(), (std::pair<DWORD, DWORD>{7, 0x100u}));
        }
        EXPECT_TRUE(PendingIds(e).empty());
        return closedAt.load() - idleSince.load();
    }
};

TEST_F(SilentPrinter, IsGivenUpFiveMinutesAfterTheJob) {
    DWORD waited = JobToClose(false, 1000000);
    EXPECT_GE(waited, 300000u);
    EXPECT_LT(waited, 1800000u) << "the short limit applies";
}

TEST_F(SilentPrinter, IsGivenUpFiveMinutesAfterTheJobAcrossTheTickWrap) {
    DWORD waited = JobToClose(false, 0xFFFFFFFFu - 200000u);
    EXPECT_GE(waited, 300000u);
    EXPECT_LT(waited, 1800000u);
}

TEST_F(SilentPrinter, IsGivenThirtyMinutesAfterAFailedWrite) {
    DWORD waited = JobToClose(true, 0xFFFFFFFFu - 900000u);
    EXPECT_GE(waited, 1800000u);
    EXPECT_LT(waited, 0x80000000u) << "not endless";
}

// ---------------------------------------------------------------- failed writes

TEST_F(StatusThread, FailedWriteReturnsOnlyAfterTheThreadHasRead) {
    // Real time: the thread polls only every ten seconds on its own.
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    StartJob(e, 3);
    ASSERT_TRUE(WaitFor([&] { return portMonitor_.CallCount(PortFn::ReadPort) >= 1; }));

    // The next write fails.
    portMonitor_.FailCall(PortFn::WritePort,
                          (unsigned)portMonitor_.CallCount(PortFn::WritePort) + 1,
                          ERROR_WRITE_FAULT);
    portMonitor_.ClearCalls();

    SetLastError(1234);
    DWORD written = 99;
    EXPECT_TRUE(WritePort(port_, (LPBYTE) "data", 4, &written));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(TestFlags(e, WriteFailed));
    std::vector<std::string> names = portMonitor_.CallNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[0], "WritePort");
    EXPECT_EQ(names[1], "ReadPort") << "the thread read before WritePort returned";
}

// ---------------------------------------------------------------- a printer that misbehaves

TEST_F(StatusThread, ChatteringPrinterLetsTheWriterInAfterOneBoundedCycle) {
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    StartJob(e, 3);
    // The printer never pauses: 1000 reads of seven bytes of complete
    // responses (a cycle without a bound would hold the turn for all).
    std::string stream;
    while (stream.size() < 7000)
        stream += JobDoneResponse(3);
    for (size_t at = 0; at < 7000; at += 7)
        portMonitor_.QueueRead(stream.substr(at, 7));
    std::atomic<size_t> readsAtWrite{0};
    portMonitor_.SetHook([&](const PortMonitorCall &call) {
        if (call.Function == PortFn::WritePort)
            readsAtWrite = portMonitor_.CallCount(PortFn::ReadPort);
    });
    size_t before = portMonitor_.CallCount(PortFn::ReadPort);
    ASSERT_TRUE(WaitFor([&] { return portMonitor_.CallCount(PortFn::ReadPort) >= before + 2; }));

    // The writer waits for the turn at most the rest of this cycle.
    size_t reads = portMonitor_.CallCount(PortFn::ReadPort);
    Write("more");
    EXPECT_LE(readsAtWrite.load() - reads, 20u);
    EXPECT_GT(portMonitor_.PendingReadBytes(), 0u) << "the printer still talks";
    // What was complete in the cycle was dispatched: job 3 was reported done.
    std::vector<std::pair<DWORD, DWORD>> statuses = StatusCalls();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), std::pair<DWORD, DWORD>{3, 0x1000100u}),
              statuses.end());
}

// ---------------------------------------------------------------- polling interval

// The interval the thread waits between read cycles, for every level: the
// long one while a job flows, the short one after the job's end (reports
// still owed) and while writes fail. Counted from the test clock's record of
// the thread's timed waits.
TEST_F(StatusThread, PollingIntervalFollowsTheLevelAndTheJobsState) {
    const DWORD intervals[5][2] = {
        {4000, 2000}, {7000, 3000}, {10000, 5000}, {15000, 7000}, {20000, 10000}};
    // Fast, but the five-minute idle limit after the job stays far off.
    PlatSetClockScale(200.0);
    DWORD self = GetCurrentThreadId();
    // The last `n` timed waits of the status thread once it has made `n`
    // since the record was started.
    auto threadWaits = [&](size_t n) {
        std::vector<DWORD> waits;
        EXPECT_TRUE(WaitFor([&] {
            waits.clear();
            for (const PlatWait &w : PlatRecordedWaits())
                if (!w.Slept && w.ThreadId != self)
                    waits.push_back(w.Milliseconds);
            return waits.size() >= n;
        }));
        return std::vector<DWORD>(waits.end() - (long)std::min(n, waits.size()), waits.end());
    };
    for (DWORD level = 1; level <= 5; level++) {
        SCOPED_TRACE("level " + std::to_string(level));
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Morvane\\TallowII\\VorlAgnt"),
                                  0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, WSTR("PollingLevel"), 0, REG_DWORD, (LPBYTE)&level, sizeof level);
        RegCloseKey(key);
        PortEntry *e = Open();
        ASSERT_NE(e, nullptr);
        DWORD flowing = intervals[level - 1][0], otherwise = intervals[level - 1][1];

        PlatRecordWaits(true);
        StartJob(e, 10 * level);
        EXPECT_EQ(threadWaits(3), std::vector<DWORD>(3, flowing)) << "while the job flows";
        // After the job's end with its report still owed (the first wait may
        // have been chosen just before the end).
        ASSERT_TRUE(EndDocPort(port_));
        PlatRecordWaits(true);
        EXPECT_EQ(threadWaits(2).back(), otherwise) << "after the job";
        // A failed write: from the hand-over's read on, the short interval.
        StartJob(e, 10 * level + 1);
        portMonitor_.FailCall(PortFn::WritePort, (unsigned)Writes() + 1, ERROR_WRITE_FAULT);
        Write("more");
        PlatRecordWaits(true);
        EXPECT_EQ(threadWaits(2), std::vector<DWORD>(2, otherwise)) << "after a failed write";
        PlatRecordWaits(false);
        ASSERT_TRUE(ClosePort(port_));
        port_ = nullptr;
    }
}

// ---------------------------------------------------------------- starting the thread

TEST_F(StatusThread, ThreadThatCannotBeCreatedLeavesNothingBehind) {
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    SetFlags(e, JobActive);
    // Fail each creation in turn (events, thread) until one start succeeds.
    int failures = 0;
    for (unsigned n = 1; n <= 8; n++) {
        PlatFailAllocation(n);
        BOOL started = StartStatusThread(e);
        PlatFailAllocation(0);
        if (started) {
            ClearFlags(e, JobActive);
            StopStatusThread(e);
            break;
        }
        failures++;
        ExpectNoThread(e);
    }
    ExpectNoThread(e);
    if (failures == 0)
        GTEST_SKIP() << "the platform does not fail thread or event creation";
}

TEST_F(StatusThread, StartedThreadWithoutTheJobLanguageReadsNothing) {
    PlatSetClockScale(100.0);
    PortEntry *e = Open();
    ASSERT_NE(e, nullptr);
    SetFlags(e, JobActive | PortStarted);
    e->StatusCode = 5;
    ASSERT_TRUE(StartStatusThread(e));
    EXPECT_TRUE(TestFlags(e, ThreadRunning));
    EXPECT_NE(LoadHandle(e->WakeEvent), nullptr);
    EXPECT_NE(LoadHandle(e->ReadDoneEvent), nullptr);
    EXPECT_NE(LoadHandle(e->PortIoEvent), nullptr);

    // The job does not talk the job language: nothing is read.
    ClearFlags(e, JobActive);
    StopStatusThread(e);
    ExpectNoThread(e);
    EXPECT_EQ(e->StatusCode, 0u) << "cleared when the thread started";
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ReadPort), 0u);
    // The port was left started for the thread: the thread ended it.
    EXPECT_EQ(Ends(), 1u);
    EXPECT_EQ(Closes(), 1u);
}

// ---------------------------------------------------------------- polling level

class PollingLevel : public StatusFixture {
  protected:
    static void SetLevel(const std::vector<BYTE> &bytes, DWORD type = REG_DWORD) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Morvane\\TallowII\\VorlAgnt"),
                                  0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExW(key, WSTR("PollingLevel"), 0, type, bytes.data(), (DWORD)bytes.size()),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }
};

TEST_F(PollingLevel, ComesFromTheRegistryWithinOneToFive) {
    EXPECT_EQ(ReadPollingLevel(), 3u) << "no value";
    SetLevel({0, 0, 0, 0});
    EXPECT_EQ(ReadPollingLevel(), 3u);
    SetLevel({6, 0, 0, 0});
    EXPECT_EQ(ReadPollingLevel(), 3u);
    SetLevel({1, 0, 0, 1});
    EXPECT_EQ(ReadPollingLevel(), 3u) << "0x01000001 is out of range";
    SetLevel({1, 0, 0, 0});
    EXPECT_EQ(ReadPollingLevel(), 1u);
    SetLevel({5, 0, 0, 0});
    EXPECT_EQ(ReadPollingLevel(), 5u);
    // Shorter values are little-endian numbers; longer ones do not fit.
    SetLevel({2}, REG_BINARY);
    EXPECT_EQ(ReadPollingLevel(), 2u);
    SetLevel({4, 0}, REG_BINARY);
    EXPECT_EQ(ReadPollingLevel(), 4u);
    SetLevel({0, 1}, REG_BINARY);
    EXPECT_EQ(ReadPollingLevel(), 3u);
    SetLevel({}, REG_BINARY);
    EXPECT_EQ(ReadPollingLevel(), 3u);
    SetLevel({2, 0, 0, 0, 0, 0, 0, 0}, REG_BINARY);
    EXPECT_EQ(ReadPollingLevel(), 3u);
}

} // namespace
