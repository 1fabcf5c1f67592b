// The response reader: one read cycle over the fake port monitor's queued
// answers, parsed by the reference parser library and dispatched. What is
// checked is what reaches the dispatcher (jobs completed, in which order,
// after which read) and that nothing is lost, overrun or leaked.
#include "status_fixture.h"

#include <atomic>

namespace {

class Reader : public StatusFixture {
  protected:
    void SetUp() override {
        StatusFixture::SetUp();
        // The cycle's 100 ms pauses pass in a blink.
        PlatSetClockScale(1000.0);
    }

    // Opens the port with jobs pending and the agent taking part, so that
    // each completed job shows as an AgentJobStatus call.
    PortEntry *OpenWithJobs(std::initializer_list<DWORD> oldestFirst,
                            const char *model = "RVT-201") {
        PortEntry *e = OpenEntry(model);
        if (e == nullptr)
            return nullptr;
        Pending(e, oldestFirst);
        SetFlags(e, AgentActive);
        // The read a job completion was dispatched after.
        AgentDouble::SetHook([this](const AgentDouble::Call &call) {
            if (call.Name == "AgentJobStatus")
                readsAtDispatch_.push_back(portMonitor_.CallCount(PortFn::ReadPort));
        });
        return e;
    }

    void TearDown() override {
        AgentDouble::SetHook(nullptr);
        StatusFixture::TearDown();
    }

    static std::vector<DWORD> CompletedJobs() {
        std::vector<DWORD> ids;
        for (const auto &[id, code] : StatusCalls()) {
            if (code == 0x1000100u)
                ids.push_back(id);
        }
        return ids;
    }

    std::vector<size_t> readsAtDispatch_;
};

// ---------------------------------------------------------------- responses reach the dispatcher

TEST_F(Reader, TwoResponsesInOneReadAreDispatchedInOrder) {
    PortEntry *e = OpenWithJobs({1, 2});
    ASSERT_NE(e, nullptr);
    std::string text = JobDoneResponse(1) + JobDoneResponse(2);
    portMonitor_.QueueRead(text);

    EXPECT_EQ(ReadPrinterResponses(e), (DWORD)text.size());
    // Job 1 first (completing 2 first would take 1 along, reported second).
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1, 2}));
    // Parsed once the printer had nothing more: after the second, empty read.
    EXPECT_EQ(readsAtDispatch_, (std::vector<size_t>{2, 2}));
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ReadPort), 2u);
}

TEST_F(Reader, ResponseSplitOverReadsWaitsForThePrintersPause) {
    PortEntry *e = OpenWithJobs({5});
    ASSERT_NE(e, nullptr);
    std::string text = JobDoneResponse(5);
    portMonitor_.QueueRead(text.substr(0, 10));
    portMonitor_.QueueRead(text.substr(10, 20));
    portMonitor_.QueueRead(text.substr(30));

    EXPECT_EQ(ReadPrinterResponses(e), (DWORD)text.size());
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{5}));
    EXPECT_EQ(readsAtDispatch_, (std::vector<size_t>{4}));
}

TEST_F(Reader, Rvt102ResponsesAreParsedFromTheSecondReadOfABurst) {
    PortEntry *e = OpenWithJobs({5, 6}, "RVT-102");
    ASSERT_NE(e, nullptr);
    std::string first = JobDoneResponse(5), second = JobDoneResponse(6);
    portMonitor_.QueueRead(first.substr(0, 12));
    portMonitor_.QueueRead(first.substr(12));
    portMonitor_.QueueRead(second.substr(0, 20));
    portMonitor_.QueueRead(second.substr(20));

    // Parsed as soon as the second read of the burst brought its end; with
    // everything consumed the cycle is over.
    EXPECT_EQ(ReadPrinterResponses(e), (DWORD)first.size());
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{5}));
    EXPECT_EQ(readsAtDispatch_, (std::vector<size_t>{2}));
    // The next cycle starts a new burst.
    EXPECT_EQ(ReadPrinterResponses(e), (DWORD)second.size());
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{5, 6}));
    EXPECT_EQ(readsAtDispatch_, (std::vector<size_t>{2, 4}));
}

TEST_F(Reader, TextWithoutAFormFeedIsDroppedAfterThreeEmptyReads) {
    PortEntry *e = OpenWithJobs({5});
    ASSERT_NE(e, nullptr);
    portMonitor_.QueueRead(TklString(216, JobTag(5)));

    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    EXPECT_TRUE(CompletedJobs().empty());
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ReadPort), 4u);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5}));
}

TEST_F(Reader, SilentPrinterEndsTheCycleAtOnce) {
    PortEntry *e = OpenWithJobs({5});
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ReadPort), 1u);

    // A failing read counts as an empty one.
    portMonitor_.FailCall(PortFn::ReadPort, 2, ERROR_READ_FAULT);
    portMonitor_.QueueRead(JobDoneResponse(5));
    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5}));
}

TEST_F(Reader, ZeroBytesInAReadLoseNothingAfterThem) {
    PortEntry *e = OpenWithJobs({3, 4});
    ASSERT_NE(e, nullptr);
    std::string first = JobDoneResponse(3), second = JobDoneResponse(4);
    std::string chunk =
        first.substr(0, 7) + std::string(3, '\0') + first.substr(7) + std::string(1, '\0') + second;
    portMonitor_.QueueRead(chunk);

    EXPECT_EQ(ReadPrinterResponses(e), (DWORD)(first.size() + second.size()));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{3, 4}));
}

TEST_F(Reader, EveryReadAsksForAtMost4095Bytes) {
    PortEntry *e = OpenWithJobs({1});
    ASSERT_NE(e, nullptr);
    portMonitor_.QueueRead(std::string(5000, ' ') + JobDoneResponse(1));
    ReadPrinterResponses(e);
    for (const PortMonitorCall &call : portMonitor_.Calls(PortFn::ReadPort))
        EXPECT_EQ(call.Count, 4095u);
    EXPECT_EQ(portMonitor_.Calls(PortFn::ReadPort)[0].Data.size(), 4095u);
}

// ---------------------------------------------------------------- text that cannot be used

TEST_F(Reader, OverlongResponseIsSkippedAndTheNextOneStillCounts) {
    PortEntry *e = OpenWithJobs({8, 9});
    ASSERT_NE(e, nullptr);
    // 20000 characters before the form feed: more than the segment buffer.
    std::string overlong = TklString(216, JobTag(8) + std::string(20000, 'x')) + "\f";
    std::string text = overlong + JobDoneResponse(9);
    for (size_t at = 0; at < text.size(); at += 4000)
        portMonitor_.QueueRead(text.substr(at, 4000));

    EXPECT_EQ(ReadPrinterResponses(e), (DWORD)text.size());
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{9, 8}));
}

TEST_F(Reader, FullBufferThatCannotBeParsedEndsTheCycle) {
    PortEntry *e = OpenWithJobs({1});
    ASSERT_NE(e, nullptr);
    // 20 full reads without a form feed: more than the buffer holds.
    for (int i = 0; i < 20; i++)
        portMonitor_.QueueRead(std::string(4095, 'y'));

    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    EXPECT_GT(portMonitor_.PendingReadBytes(), 0u) << "the cycle stopped reading";
    EXPECT_TRUE(CompletedJobs().empty());
}

TEST_F(Reader, NearlyFullBufferReadsOnlyWhatStillFits) {
    PortEntry *e = OpenWithJobs({1});
    ASSERT_NE(e, nullptr);
    // A response at the start of text that fills the buffer: parsing it
    // leaves too little room for a full read, but some.
    std::string response = JobDoneResponse(1);
    portMonitor_.QueueRead(response + std::string(4095 - response.size(), 'z'));
    for (int i = 0; i < 19; i++)
        portMonitor_.QueueRead(std::string(4095, 'z'));

    EXPECT_EQ(ReadPrinterResponses(e), 0u) << "the last parse consumed nothing";
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1}));
    std::vector<PortMonitorCall> reads = portMonitor_.Calls(PortFn::ReadPort);
    ASSERT_EQ(reads.size(), 17u);
    for (size_t i = 0; i < 16; i++)
        EXPECT_EQ(reads[i].Count, 4095u) << i;
    // 16 full reads held 65520 bytes; the response left, the rest fits.
    EXPECT_EQ(reads[16].Count, 65535u - (65520u - response.size()));
    EXPECT_GT(portMonitor_.PendingReadBytes(), 0u);
}

TEST_F(Reader, ParserFailureKeepsWhatWasDispatchedAndDropsTheRest) {
    PortEntry *e = OpenWithJobs({1, 2});
    ASSERT_NE(e, nullptr);
    portMonitor_.QueueRead(JobDoneResponse(1) + "this is no TKL\f" + JobDoneResponse(2));

    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1}));
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{2}));
}

TEST_F(Reader, MissingParserLibraryParsesNothing) {
    PortEntry *e = OpenWithJobs({1});
    ASSERT_NE(e, nullptr);
    PlatSetLibraryPath(AgentFolderPath(AgentFolder::Double));
    portMonitor_.QueueRead(JobDoneResponse(1));
    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{1}));
    EXPECT_EQ(PlatModuleRefCount(WSTR("VEROVIRI.DLL")), 0);
}

TEST_F(Reader, CycleReleasesItsBuffersAndTheParser) {
    PortEntry *e = OpenWithJobs({1});
    ASSERT_NE(e, nullptr);
    portMonitor_.QueueRead(JobDoneResponse(1) + "partial");
    long before = PlatLiveBlocks();
    ReadPrinterResponses(e);
    // The completed job's node is gone; nothing else stays allocated.
    EXPECT_EQ(PlatLiveBlocks(), before - 1);
    EXPECT_EQ(PlatModuleRefCount(WSTR("VEROVIRI.DLL")), 0);

    // No memory for the accumulation buffer: nothing is read.
    portMonitor_.QueueRead(JobDoneResponse(1));
    portMonitor_.ClearCalls();
    PlatFailAllocation(1);
    EXPECT_EQ(ReadPrinterResponses(e), 0u);
    PlatFailAllocation(0);
    EXPECT_EQ(portMonitor_.CallCount(PortFn::ReadPort), 0u);
}

TEST_F(Reader, CycleMarksTheReadNotDoneWhileItRuns) {
    PortEntry *e = OpenWithJobs({1});
    ASSERT_NE(e, nullptr);
    HANDLE readDone = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    StoreHandle(e->ReadDoneEvent, readDone);
    std::atomic<DWORD> during{WAIT_FAILED};
    portMonitor_.SetHook([&](const PortMonitorCall &call) {
        if (call.Function == PortFn::ReadPort)
            during = WaitForSingleObject(readDone, 0);
    });
    ReadPrinterResponses(e);
    portMonitor_.SetHook(nullptr);
    EXPECT_EQ(during.load(), (DWORD)WAIT_TIMEOUT);
    StoreHandle(e->ReadDoneEvent, nullptr);
    CloseHandle(readDone);
}

// ---------------------------------------------------------------- cutting at form feeds

TEST(ResponseSegments, CutAfterEachFormFeed) {
    char text[] = "ab\fcd\fef";
    char segment[SEGMENT_BUFFER_SIZE];
    LPSTR next = NextResponseSegment(text, segment);
    EXPECT_STREQ(segment, "ab\f");
    EXPECT_EQ(next, text + 3);
    next = NextResponseSegment(next, segment);
    EXPECT_STREQ(segment, "cd\f");
    // An incomplete response stays in the text.
    LPSTR rest = next;
    next = NextResponseSegment(rest, segment);
    EXPECT_STREQ(segment, "");
    EXPECT_EQ(next, rest + 2);
    EXPECT_EQ(*next, 0);
}

TEST(ResponseSegments, ResponseTooLongForTheBufferIsPassedOver) {
    char segment[8];
    memset(segment, '#', sizeof segment);
    char fits[] = "123456\f";
    EXPECT_EQ(NextResponseSegment(fits, segment, 8), fits + 7);
    EXPECT_STREQ(segment, "123456\f");

    char tooLong[] = "1234567\fnext";
    memset(segment, '#', sizeof segment);
    LPSTR next = NextResponseSegment(tooLong, segment, 8);
    EXPECT_EQ(next, tooLong + 8);
    EXPECT_STREQ(segment, "");
}

} // namespace
