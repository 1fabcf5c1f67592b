// The job-language command builder and sender: command lists by kind and
// family, notification strings, the parser round, memory on every failure
// path, and how the text reaches the port monitor.
#include "quennet.h"
#include "wintest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string Spaces26(26, ' ');
const std::string PortForm = "+LPT" + Spaces26 + "0000002A"; // job 42
const std::string QuotedPortForm = "\"" + PortForm + "\"";

// ---------------------------------------------------------------- local port monitor

// WritePort answers from a script: per call at most `Cap` bytes (0: none at
// all, -1: everything), optionally claiming more, advancing the test clock.
struct WriteScript {
    long Cap = -1;
    DWORD Extra = 0;            // added to the reported count
    DWORD AdvanceMs = 0;        // test clock step per call
    DWORD Error = 0;            // last error each call leaves
    HANDLE TurnEvent = nullptr; // checked unsignalled during each call
    std::vector<std::string> Calls;
    std::vector<bool> TurnHeld;
    std::string Accepted;
};
WriteScript Writes;

BOOL WINAPI FakeWritePort(HANDLE, LPBYTE buffer, DWORD count, LPDWORD written) {
    Writes.Calls.emplace_back((const char *)buffer, count);
    if (Writes.TurnEvent != nullptr) {
        bool held = WaitForSingleObject(Writes.TurnEvent, 0) == WAIT_TIMEOUT;
        Writes.TurnHeld.push_back(held);
        if (!held)
            SetEvent(Writes.TurnEvent);
    }
    DWORD take = Writes.Cap < 0 ? count : std::min<DWORD>(count, (DWORD)Writes.Cap);
    Writes.Accepted.append((const char *)buffer, take);
    *written = take + Writes.Extra;
    if (Writes.AdvanceMs != 0)
        PlatAdvanceTicks(Writes.AdvanceMs);
    SetLastError(Writes.Error);
    return take == count;
}

// ---------------------------------------------------------------- fixture

class Command : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InitializeMonitorLock(); }
    void SetUp() override {
        if (!PlatHasTestHooks())
            GTEST_SKIP() << "needs the platform's registry, loader and allocation hooks";
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        PlatSetLibraryPath(QUENNET_COMPANION_FOLDER);
        Writes = WriteScript();
        entry.JobId = 42;
        entry.PortMonitorTable.pfnWritePort = FakeWritePort;
        SetFlags(&entry, JobLanguageOn);
        baseline = PlatLiveBlocks();
    }
    void TearDown() override {
        SetModel(nullptr);
        PlatFailAllocation(0);
        PlatSetClockScale(1.0);
    }

    void SetModel(const char *model) {
        if (entry.Model != nullptr)
            GlobalFree(entry.Model);
        entry.Model = model ? DupNarrow(model) : nullptr;
        baseline = PlatLiveBlocks();
    }
    void SetNotifyPort(DWORD type, const std::vector<BYTE> &bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TALLOW_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExW(key, WSTR("JobNotifyPort"), 0, type, bytes.data(), (DWORD)bytes.size()),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // One item as the tests compare it: code, size and the value, if any.
    struct Expect {
        DWORD Code;
        DWORD Size;
        int Type; // -1: no value
        std::string Text;
    };
    void ExpectItems(DWORD kind, const std::vector<Expect> &expected) {
        TklItem *items = nullptr;
        DWORD count = 0;
        ASSERT_TRUE(BuildCommandItems(&entry, kind, &items, &count));
        ASSERT_EQ(count, expected.size());
        for (DWORD i = 0; i < count; i++) {
            SCOPED_TRACE("item " + std::to_string(i));
            EXPECT_EQ(items[i].Code, expected[i].Code);
            EXPECT_EQ(items[i].Size, expected[i].Size);
            if (expected[i].Type < 0) {
                EXPECT_EQ(items[i].ValueCount, 0u);
                EXPECT_EQ(items[i].Values, nullptr);
                continue;
            }
            ASSERT_EQ(items[i].ValueCount, 1u);
            ASSERT_NE(items[i].Values, nullptr);
            EXPECT_EQ(items[i].Values[0].Type, expected[i].Type);
            EXPECT_EQ(items[i].Values[0].Length, expected[i].Text.size());
            EXPECT_EQ(std::string(items[i].Values[0].Data.Text), expected[i].Text);
        }
        FreeTklItems(items, count);
        EXPECT_EQ(PlatLiveBlocks(), baseline);
    }
    // The notification string of a kind's list.
    std::string NotificationOf(DWORD kind) {
        TklItem *items = nullptr;
        DWORD count = 0;
        if (!BuildCommandItems(&entry, kind, &items, &count))
            return "<failed>";
        std::string text = "<none>";
        for (DWORD i = 0; i < count; i++) {
            if (items[i].Code == 208 || items[i].Code == 212 || items[i].Code == 214)
                text = items[i].Values[0].Data.Text;
        }
        FreeTklItems(items, count);
        return text;
    }

    PortEntry entry{};
    long baseline = 0;
};

// ---------------------------------------------------------------- lists

TEST_F(Command, StandardFamilyLists) {
    ExpectItems(COMMAND_JOB_START, {{200, 27, 3, "ON"},
                                    {201, 27, 3, "ON"},
                                    {203, 27, 3, "30"},
                                    {204, 27, 3, "ON"},
                                    {0x10003, 16, -1, ""},
                                    {267, 16, -1, ""},
                                    {212, 65, 3, QuotedPortForm}});
    ExpectItems(COMMAND_JOB_END, {{214, 65, 3, QuotedPortForm}, {213, 16, -1, ""}});
}

TEST_F(Command, Rvt101FamilyLists) {
    SetModel("Morvane RVT-101");
    ExpectItems(COMMAND_JOB_START, {{200, 27, 3, "ON"}, {203, 27, 3, "30"}, {0x10003, 16, -1, ""}});
    // The job-end report address is the unquoted port form, job language or not.
    ExpectItems(COMMAND_JOB_END, {{208, 63, 3, PortForm}});
    ClearFlags(&entry, JobLanguageOn);
    ExpectItems(COMMAND_JOB_END, {{208, 63, 3, PortForm}});
}

TEST_F(Command, NotificationFormFollowsTheJobLanguage) {
    // Kind 3 is shared; without the job language every notification is a datagram.
    ClearFlags(&entry, JobLanguageOn);
    for (const char *model : {"", "RVT-101"}) {
        SetModel(model);
        std::string text = NotificationOf(COMMAND_NOTIFY_ONLY);
        ASSERT_EQ(text.size(), 40u) << text;
        EXPECT_EQ(text.substr(0, 5), "\"+UDP");
        for (int i : {8, 12, 16})
            EXPECT_EQ(text[i], '.') << text;
        EXPECT_EQ(text.substr(20), "11D7       0000002A\"");
    }
    SetModel(nullptr);
    EXPECT_EQ(NotificationOf(COMMAND_JOB_END).substr(0, 5), "\"+UDP");
    // With the job language on, kinds 2 and 3 report over the port.
    SetFlags(&entry, JobLanguageOn);
    EXPECT_EQ(NotificationOf(COMMAND_NOTIFY_ONLY), QuotedPortForm);
    entry.JobId = 0xABCDEF01;
    EXPECT_EQ(NotificationOf(COMMAND_JOB_START), "\"+LPT" + Spaces26 + "ABCDEF01\"");
}

// ---------------------------------------------------------------- notification strings

TEST_F(Command, NotificationStringsByteExact) {
    char buffer[NOTIFICATION_BUFFER];
    const BYTE host[4] = {192, 168, 1, 10};
    EXPECT_EQ(FormatDatagramNotification(buffer, sizeof buffer, host, 4567, 42), 40);
    EXPECT_STREQ(buffer, "\"+UDP192.168.001.01011D7       0000002A\"");
    EXPECT_EQ(FormatPortNotification(buffer, sizeof buffer, 42, FALSE), 38);
    EXPECT_EQ(std::string(buffer), PortForm);
    EXPECT_EQ(FormatPortNotification(buffer, sizeof buffer, 42, TRUE), 40);
    EXPECT_EQ(std::string(buffer), QuotedPortForm);

    // A port of 0x10000 takes five digits and pushes the job id right.
    EXPECT_EQ(FormatDatagramNotification(buffer, sizeof buffer, host, 0x10000, 42), 41);
    EXPECT_STREQ(buffer, "\"+UDP192.168.001.01010000       0000002A\"");
    // The widest text still fits; a short buffer is cut, never overrun.
    const BYTE wide[4] = {255, 255, 255, 255};
    EXPECT_EQ(FormatDatagramNotification(buffer, sizeof buffer, wide, 0xFFFFFFFF, 0xFFFFFFFF), 44);
    char small[8];
    EXPECT_EQ(FormatDatagramNotification(small, sizeof small, host, 4567, 42), 7);
    EXPECT_STREQ(small, "\"+UDP19");
}

TEST_F(Command, JobNotifyPortFromTheRegistry) {
    EXPECT_EQ(GetJobNotifyPort(), 4567u);
    SetNotifyPort(REG_DWORD, {0x34, 0x12, 0, 0});
    EXPECT_EQ(GetJobNotifyPort(), 0x1234u);
    // Shorter values are zero-extended, little-endian, whatever their type.
    SetNotifyPort(REG_BINARY, {0xD8, 0x11});
    EXPECT_EQ(GetJobNotifyPort(), 0x11D8u);
    SetNotifyPort(REG_BINARY, {0x50});
    EXPECT_EQ(GetJobNotifyPort(), 0x50u);
    // Empty or longer than 4 bytes: the default.
    SetNotifyPort(REG_BINARY, {});
    EXPECT_EQ(GetJobNotifyPort(), 4567u);
    SetNotifyPort(REG_BINARY, {1, 2, 3, 4, 5});
    EXPECT_EQ(GetJobNotifyPort(), 4567u);

    // Read afresh for every item: 0x10000 pushes the job id right.
    ClearFlags(&entry, JobLanguageOn);
    SetNotifyPort(REG_DWORD, {0, 0, 1, 0});
    std::string text = NotificationOf(COMMAND_NOTIFY_ONLY);
    EXPECT_EQ(text.size(), 41u);
    EXPECT_EQ(text.substr(20), "10000       0000002A\"");
}

// ---------------------------------------------------------------- refusals and memory

TEST_F(Command, RefusalsAllocateNothing) {
    LPSTR text = nullptr;
    DWORD length = 0;
    TklItem *items = nullptr;
    DWORD count = 0;
    unsigned long before = PlatAllocationCount();
    EXPECT_FALSE(BuildCommandItems(&entry, 0, &items, &count));
    EXPECT_FALSE(BuildCommandItems(&entry, 4, &items, &count));
    EXPECT_FALSE(BuildCommandItems(&entry, 1, nullptr, &count));
    EXPECT_FALSE(BuildCommandItems(&entry, 1, &items, nullptr));
    EXPECT_FALSE(PrepareCommand(&entry, 0, &text, &length));
    EXPECT_FALSE(PrepareCommand(&entry, 4, nullptr, nullptr));
    EXPECT_FALSE(PrepareCommand(&entry, 1, &text, nullptr));
    EXPECT_FALSE(PrepareCommand(&entry, 1, nullptr, &length));
    EXPECT_EQ(PlatAllocationCount(), before);
    EXPECT_EQ(Writes.Calls.size(), 0u);

    EXPECT_FALSE(ComposeCommandText(nullptr, 1, &text, &length));
    EXPECT_FALSE(ComposeCommandText((TklItem *)&entry, 0, &text, &length));
    FreeTklItems(nullptr, 3);
    FreeTklItems((TklItem *)&entry, 0);
    EXPECT_FALSE(GetLocalIPv4Address(nullptr));
}

TEST_F(Command, EveryAllocationFailureReleasesEverything) {
    for (bool jobLanguage : {true, false}) {
        AssignFlags(&entry, JobLanguageOn, jobLanguage);
        for (DWORD kind = 1; kind <= 3; kind++) {
            bool built = false;
            for (unsigned long n = 1; !built && n < 100; n++) {
                SCOPED_TRACE("kind " + std::to_string(kind) + " failing allocation " +
                             std::to_string(n));
                TklItem *items = (TklItem *)&entry; // must stay untouched on failure
                DWORD count = 77;
                PlatFailAllocation(n);
                built = BuildCommandItems(&entry, kind, &items, &count);
                PlatFailAllocation(0);
                if (built) {
                    FreeTklItems(items, count);
                } else {
                    EXPECT_EQ(items, (TklItem *)&entry);
                    EXPECT_EQ(count, 77u);
                }
                EXPECT_EQ(PlatLiveBlocks(), baseline);
            }
            EXPECT_TRUE(built);
        }
    }
}

TEST_F(Command, PrepareFailuresReleaseEverything) {
    // The parser's own blocks fail too; nothing may stay behind.
    bool prepared = false;
    for (unsigned long n = 1; !prepared && n < 100; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        LPSTR text = nullptr;
        DWORD length = 0;
        PlatFailAllocation(n);
        prepared = PrepareCommand(&entry, COMMAND_JOB_START, &text, &length);
        PlatFailAllocation(0);
        if (prepared)
            FreeMovable(text);
        EXPECT_EQ(PlatLiveBlocks(), baseline);
    }
    EXPECT_TRUE(prepared);
}

TEST_F(Command, WithoutTheParserNothingIsPrepared) {
    std::filesystem::create_directories(EMPTY_LIBRARY_FOLDER);
    PlatSetLibraryPath(EMPTY_LIBRARY_FOLDER);

    LPSTR text = (LPSTR)&entry;
    DWORD length = 1234;
    EXPECT_FALSE(PrepareCommand(&entry, COMMAND_JOB_START, &text, &length));
    EXPECT_EQ(text, (LPSTR)&entry);
    EXPECT_EQ(length, 1234u);
    EXPECT_FALSE(BuildAndSendCommand(&entry, COMMAND_JOB_END));
    EXPECT_EQ(Writes.Calls.size(), 0u);
    EXPECT_EQ(PlatLiveBlocks(), baseline);
}

// ---------------------------------------------------------------- composing and sending

TEST_F(Command, PreparedTextIsTheParsersAndTheLibraryIsFreed) {
    LPSTR text = nullptr;
    DWORD length = 0;
    ASSERT_TRUE(PrepareCommand(&entry, COMMAND_JOB_START, &text, &length));
    std::string expected = "@TKL 200 = \"ON\"\n@TKL 201 = \"ON\"\n@TKL 203 = \"30\"\n"
                           "@TKL 204 = \"ON\"\n@TKL 65539\n@TKL 267\n"
                           "@TKL 212 = \"\\\"+LPT" +
                           Spaces26 + "0000002A\\\"\"\n\f";
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(PlatModuleRefCount(WSTR("VEROVIRI.DLL")), 0);
    EXPECT_TRUE(FreeMovable(text));
    EXPECT_EQ(PlatLiveBlocks(), baseline);
}

TEST_F(Command, JobEndIsSentAtOnce) {
    SetModel("RVT-101");
    EXPECT_TRUE(BuildAndSendCommand(&entry, COMMAND_JOB_END));
    EXPECT_EQ(Writes.Accepted, "@TKL 208 = \"" + PortForm + "\"\n\f");
    EXPECT_EQ(Writes.Calls.size(), 1u);
    EXPECT_EQ(PlatLiveBlocks(), baseline);
}

TEST_F(Command, PartialWriteOnAnyOtherPrinterIsOneFailedCall) {
    for (const char *model : {(const char *)nullptr, "RVT-102", "RVT-201"}) {
        SetModel(model);
        Writes = WriteScript();
        Writes.Cap = 5;
        Writes.Error = ERROR_WRITE_FAULT;
        EXPECT_FALSE(SendCommandText(&entry, "@TKL 213\n\f"));
        EXPECT_EQ(Writes.Calls.size(), 1u);
        EXPECT_TRUE(TestFlags(&entry, WriteFailed));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_WRITE_FAULT);
    }
    // A whole write clears the flag again and keeps its last error.
    Writes = WriteScript();
    Writes.Error = 1234;
    EXPECT_TRUE(SendCommandText(&entry, "@TKL 213\n\f"));
    EXPECT_FALSE(TestFlags(&entry, WriteFailed));
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(Command, Rvt101WritesTheRestUntilDone) {
    SetModel("RVT-101");
    Writes.Cap = 4;
    const std::string text = "@TKL 208 = \"" + PortForm + "\"\n\f"; // 53 bytes
    EXPECT_TRUE(SendCommandText(&entry, text.c_str()));
    ASSERT_EQ(Writes.Calls.size(), 14u);
    EXPECT_EQ(Writes.Calls[1], text.substr(4));
    EXPECT_EQ(Writes.Calls.back(), text.substr(52));
    EXPECT_EQ(Writes.Accepted, text);
    EXPECT_FALSE(TestFlags(&entry, WriteFailed));
}

TEST_F(Command, Rvt101GivesUpAfter30Seconds) {
    // A frozen real clock; each write takes 1000 ms of test time.
    SetModel("RVT-101");
    PlatSetClockScale(1e-9);
    for (DWORD start : {1000000u, 0xFFFFF000u}) { // the second run crosses the wrap
        PlatSetTickCount(start);
        Writes = WriteScript();
        Writes.Cap = 0;
        Writes.AdvanceMs = 1000;
        Writes.Error = ERROR_TIMEOUT;
        EXPECT_FALSE(SendCommandText(&entry, "@TKL 213\n\f"));
        EXPECT_EQ(Writes.Calls.size(), 30u);
        EXPECT_TRUE(TestFlags(&entry, WriteFailed));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    }
}

TEST_F(Command, SendHoldsThePortTurn) {
    HANDLE turn = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(turn, nullptr);
    entry.PortIoEvent = turn;
    SetModel("RVT-101");
    Writes.Cap = 20;
    Writes.TurnEvent = turn;
    EXPECT_TRUE(SendCommandText(&entry, "@TKL 200 = \"ON\"\n@TKL 213\n\f"));
    EXPECT_EQ(Writes.TurnHeld, std::vector<bool>({true, true}));
    // Given back afterwards.
    EXPECT_EQ(WaitForSingleObject(turn, 0), WAIT_OBJECT_0);
    entry.PortIoEvent = nullptr;
    CloseHandle(turn);
}

TEST_F(Command, OverstatedWriteCountEndsTheText) {
    Writes.Cap = 3;
    Writes.Extra = 100;
    EXPECT_TRUE(SendCommandText(&entry, "@TKL 213\n\f"));
    EXPECT_EQ(Writes.Calls.size(), 1u);
    EXPECT_FALSE(SendCommandText(&entry, nullptr));
}

} // namespace
