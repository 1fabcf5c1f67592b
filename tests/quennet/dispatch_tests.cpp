// The response dispatcher: what a printer's parsed answers do to the port's
// pending jobs, what the status agent is told, and which printer values land
// in the registry.
#include "status_fixture.h"

#include <climits>
#include <cstring>

namespace {

class Dispatch : public StatusFixture {};

// ---------------------------------------------------------------- job-end reports

TEST_F(Dispatch, JobEndReportCompletesThatJobAndEveryOlderOne) {
    PortEntry *e = OpenEntry("RVT-201");
    ASSERT_NE(e, nullptr);
    Pending(e, {30, 42, 50});
    SetFlags(e, AgentActive | ThreadRunning | KeepPolling);

    Items items;
    items.String(216, JobTag(42));
    DispatchTklItems(e, items.Data(), items.Count());

    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{50}));
    // Each released id is reported done, the named one first.
    EXPECT_EQ(StatusCalls(),
              (std::vector<std::pair<DWORD, DWORD>>{{42, 0x1000100u}, {30, 0x1000100u}}));
    // A job is still owed: polling goes on.
    EXPECT_TRUE(TestFlags(e, KeepPolling));

    Items last;
    last.String(216, JobTag(50));
    DispatchTklItems(e, last.Data(), last.Count());
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_FALSE(TestFlags(e, KeepPolling)) << "nothing owed: the thread may end";
    ClearFlags(e, ThreadRunning);
}

TEST_F(Dispatch, EmptiedListStopsPollingOnlyWhenAThreadRuns) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    Pending(e, {7});
    SetFlags(e, KeepPolling);

    Items items;
    items.String(216, JobTag(7));
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_TRUE(TestFlags(e, KeepPolling));
    // Without AgentActive nobody is told.
    EXPECT_TRUE(StatusCalls().empty());
}

TEST_F(Dispatch, Report208CompletesJobsOfTheRvt101FamilyOnly) {
    PortEntry *e = OpenEntry("RVT-201");
    ASSERT_NE(e, nullptr);
    Pending(e, {9});
    SetFlags(e, AgentActive);

    Items items;
    items.String(208, JobTag(9));
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{9}));

    SetModel(e, "RVT-101");
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_TRUE(PendingIds(e).empty());
    EXPECT_EQ(StatusCalls(), (std::vector<std::pair<DWORD, DWORD>>{{9, 0x1000100u}}));
}

TEST_F(Dispatch, TagsThatDoNotNameAParallelPortJobAreIgnored) {
    PortEntry *e = OpenEntry("RVT-101");
    ASSERT_NE(e, nullptr);
    Pending(e, {0, 5});
    SetFlags(e, AgentActive | ThreadRunning | KeepPolling);

    std::string thirty = std::string("+LPT") + std::string(26, ' ');
    ASSERT_EQ(thirty.size(), 30u);
    Items items;
    items
        .String(216, JobTag(5, "UDP"))                 // another destination
        .String(216, thirty)                           // too short to carry an id
        .String(216, JobTag(0))                        // job id 0
        .String(208, JobTag(5, "LPX"))                 // not "LPT"
        .String(216, std::string("\0LPT", 4) + thirty) // empty text
        .Number(216, 5)                                // not a string
        .Add(216, {items.StringValue("+LPT", 40)})     // length claims more than the text has
        .NoValues(216)                                 // no value array at all
        .String(215, JobTag(0));                       // a tag for job 0
    DispatchTklItems(e, items.Data(), items.Count());

    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{5, 0}));
    EXPECT_TRUE(StatusCalls().empty());
    EXPECT_TRUE(TestFlags(e, KeepPolling));
    ClearFlags(e, ThreadRunning);
}

TEST_F(Dispatch, JobTagReportIsPassedToTheAgentForThatJob) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    Pending(e, {3});

    Items items;
    items.String(215, JobTag(0x1234ABCD));
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_TRUE(StatusCalls().empty()) << "the agent takes no part";

    SetFlags(e, AgentActive);
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_EQ(StatusCalls(), (std::vector<std::pair<DWORD, DWORD>>{{0x1234ABCD, 0x2800000u}}));
    // A tag alone completes nothing.
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{3}));
}

// ---------------------------------------------------------------- status reports

TEST_F(Dispatch, StatusCodesMapToTheAgentsStatusWords) {
    EXPECT_EQ(MapStatusCode(10030, 3), 0x8000u);
    EXPECT_EQ(MapStatusCode(10030, 4), 0x8080u);
    EXPECT_EQ(MapStatusCode(10030, 1), 0x8080u);
    EXPECT_EQ(MapStatusCode(15002, 1), 0x80020000u) << "the narrower row comes first";
    EXPECT_EQ(MapStatusCode(15500, 1), 0x80000000u);
    EXPECT_EQ(MapStatusCode(12000, 1), 0u) << "no row";
    EXPECT_EQ(MapStatusCode(12000, 4), 0u) << "no row: the kind changes nothing";
    EXPECT_EQ(MapStatusCode(0, 4), 0u);
    EXPECT_EQ(MapStatusCode(10700, 4), 0x80u) << "a row of value 0 still takes the kind";
    EXPECT_EQ(MapStatusCode(10039, 1), 0x2000u) << "row 6 before row 7";
    EXPECT_EQ(MapStatusCode(40100, 1), 0x100082u) << "row 29 before row 31";
    EXPECT_EQ(MapStatusCode(40100, 3), 0x100002u);
    EXPECT_EQ(MapStatusCode(30315, 1), 0x82u);
    EXPECT_EQ(MapStatusCode(99999, 1), 0x82u);
    EXPECT_EQ(MapStatusCode(100000, 1), 0u);

    // 45 rows, then the row that ends the table.
    int rows = 0;
    while (StatusRangeTable[rows].Low != 0)
        rows++;
    EXPECT_EQ(rows, 45);
    EXPECT_EQ(StatusRangeTable[45].High, 0u);
    EXPECT_EQ(StatusRangeTable[45].Value, 0u);
    EXPECT_EQ(StatusRangeTable[44].Low, 20000u);
    EXPECT_EQ(StatusRangeTable[44].Value, 0x82u);
}

TEST_F(Dispatch, CompleteStatusReportReachesTheAgentWithCopiesOfItsItems) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);

    struct Case {
        LONG Code;
        LONG Kind;
        DWORD Word;
    };
    for (const Case &c : {Case{10030, 3, 0x8000u}, Case{10030, 4, 0x8080u}, Case{10030, 1, 0x8080u},
                          Case{15002, 1, 0x80020000u}}) {
        AgentDouble::ClearCalls();
        Items items;
        items.Number(0x10003, c.Code)
            .Number(0x10004, 77)
            .String(5000, "other")
            .Number(0x10040, c.Kind);
        long before = PlatLiveBlocks();
        DispatchTklItems(e, items.Data(), items.Count());
        EXPECT_EQ(PlatLiveBlocks(), before) << "the copies are released";

        std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobItems");
        ASSERT_EQ(calls.size(), 1u) << c.Code;
        EXPECT_EQ(calls[0].Code, c.Word) << c.Code << " kind " << c.Kind;
        EXPECT_EQ(calls[0].ItemCodes, (std::vector<DWORD>{0x10003, 0x10004, 0x10040}));
        EXPECT_EQ(e->StatusCode, c.Word);
        // The parser's item is cleared, its copy too.
        EXPECT_EQ(items[1].Values[0].Data.Number, 0);
        SetFlags(e, AgentActive); // a drop notification may have answered
    }
}

TEST_F(Dispatch, IncompleteStatusReportsAreNotHandedOver) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);

    Items noCode, zeroCode, zeroKind, unmapped, twoReports;
    noCode.Number(0x10004, 1).Number(0x10040, 3);
    zeroCode.Number(0x10003, 0).Number(0x10040, 3);
    zeroKind.Number(0x10003, 10030).Number(0x10040, 0);
    unmapped.Number(0x10003, 12000).Number(0x10040, 1);
    for (Items *items : {&noCode, &zeroCode, &zeroKind}) {
        long before = PlatLiveBlocks();
        DispatchTklItems(e, items->Data(), items->Count());
        EXPECT_EQ(PlatLiveBlocks(), before) << "collected copies are released at the end";
    }
    EXPECT_TRUE(AgentDouble::Calls("AgentJobItems").empty());

    // A code without a row still completes a report: its word is 0.
    DispatchTklItems(e, unmapped.Data(), unmapped.Count());
    std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobItems");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Code, 0u);

    // Two reports in one response: each goes over with its own items.
    AgentDouble::ClearCalls();
    twoReports.Number(0x10003, 15002).Number(0x10040, 1).Number(0x10003, 10030).Number(0x10040, 3);
    DispatchTklItems(e, twoReports.Data(), twoReports.Count());
    calls = AgentDouble::Calls("AgentJobItems");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Code, 0x80020000u);
    EXPECT_EQ(calls[0].ItemCount, 2u);
    EXPECT_EQ(calls[1].Code, 0x8000u);
    EXPECT_EQ(calls[1].ItemCount, 2u);

    // A kind (or code) of a type the table does not name still counts by its
    // number; a string's carries none.
    AgentDouble::ClearCalls();
    Items otherType, stringKind;
    otherType.Number(0x10003, 10030, 7).Number(0x10040, 4, 9);
    DispatchTklItems(e, otherType.Data(), otherType.Count());
    calls = AgentDouble::Calls("AgentJobItems");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Code, 0x8080u);
    stringKind.Number(0x10003, 10030).String(0x10040, "4");
    DispatchTklItems(e, stringKind.Data(), stringKind.Count());
    EXPECT_EQ(AgentDouble::Calls("AgentJobItems").size(), 1u);
}

TEST_F(Dispatch, StatusReportWithoutTheAgentIsStoredAndReleased) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    Items items;
    items.Number(0x10003, 15002).String(0x10004, "cleared").Number(0x10040, 1);
    long before = PlatLiveBlocks();
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_EQ(PlatLiveBlocks(), before);
    EXPECT_EQ(e->StatusCode, 0x80020000u);
    EXPECT_TRUE(AgentDouble::Calls("AgentJobItems").empty());
}

TEST_F(Dispatch, PrinterThatDroppedItsJobsReleasesEveryPendingId) {
    for (LONG code : {10002, 10030, 10031}) {
        PortEntry *e = OpenEntry();
        ASSERT_NE(e, nullptr);
        Pending(e, {1, 2, 3});
        SetFlags(e, AgentActive | ThreadRunning | KeepPolling);

        // Even before the item that completes the report.
        Items items;
        items.Number(0x10003, code);
        DispatchTklItems(e, items.Data(), items.Count());
        EXPECT_TRUE(PendingIds(e).empty()) << code;
        EXPECT_EQ(StatusCalls(),
                  (std::vector<std::pair<DWORD, DWORD>>{{3, 0x100u}, {2, 0x100u}, {1, 0x100u}}))
            << code;
        EXPECT_FALSE(TestFlags(e, KeepPolling)) << code;
        ClearFlags(e, ThreadRunning);
        ASSERT_TRUE(ClosePort(port_));
        port_ = nullptr;
    }

    // Any other code keeps them.
    PortEntry *e = OpenEntry();
    Pending(e, {1});
    Items other;
    other.Number(0x10003, 10020);
    DispatchTklItems(e, other.Data(), other.Count());
    EXPECT_EQ(PendingIds(e), (std::vector<DWORD>{1}));
}

TEST_F(Dispatch, ClearedItemWithAStringKeepsTheParsersText) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);
    Items items;
    items.Number(0x10003, 15002).String(0x10004, "counter").Number(0x10040, 1);
    LPSTR original = items[1].Values[0].Data.Text;

    long before = PlatLiveBlocks();
    DispatchTklItems(e, items.Data(), items.Count());
    EXPECT_EQ(PlatLiveBlocks(), before) << "the copy's own text is released with it";

    // The parser's block is still where FreeTklItems will look for it.
    EXPECT_EQ(items[1].Values[0].Data.Text, original);
    EXPECT_STREQ(items[1].Values[0].Data.Text, "counter");
    std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobItems");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ItemCodes, (std::vector<DWORD>{0x10003, 0x10004, 0x10040}));
}

// ---------------------------------------------------------------- item copies

TEST_F(Dispatch, CopiesOwnTheirValuesAndStrings) {
    Items items;
    items.Add(1, {items.NumberValue(-5, TKL_TYPE_INT0), items.StringValue("hello"),
                  items.StringValue("abcdef", 3), items.StringValue("ab", 9)});
    items.Add(2, {});
    TklValue odd{};
    odd.Type = 7;
    odd.Data.Number = 99;
    items.Add(3, {odd});
    items[0].Size = 123;

    TklItem *list = nullptr;
    DWORD count = 55; // ignored for an empty list
    for (DWORD i = 0; i < items.Count(); i++)
        ASSERT_TRUE(AppendTklItemCopy(&items[i], &list, &count));
    ASSERT_EQ(count, 3u);

    EXPECT_EQ(list[0].Code, 1u);
    EXPECT_EQ(list[0].Size, 123u);
    ASSERT_EQ(list[0].ValueCount, 4u);
    EXPECT_NE(list[0].Values, items[0].Values);
    EXPECT_EQ(list[0].Values[0].Type, TKL_TYPE_INT0);
    EXPECT_EQ(list[0].Values[0].Data.Number, -5);
    EXPECT_STREQ(list[0].Values[1].Data.Text, "hello");
    EXPECT_NE(list[0].Values[1].Data.Text, items[0].Values[1].Data.Text);
    EXPECT_STREQ(list[0].Values[2].Data.Text, "abc") << "at most its length";
    EXPECT_STREQ(list[0].Values[3].Data.Text, "ab") << "never past the text's end";
    EXPECT_EQ(list[1].Values, nullptr);
    EXPECT_EQ(list[1].ValueCount, 0u);
    EXPECT_EQ(list[2].Values[0].Type, 7);
    EXPECT_EQ(list[2].Values[0].Data.Text, nullptr) << "an unknown type carries no data";
    FreeTklItems(list, count);

    EXPECT_FALSE(AppendTklItemCopy(nullptr, &list, &count));
    EXPECT_FALSE(AppendTklItemCopy(&items[0], nullptr, &count));
    EXPECT_FALSE(AppendTklItemCopy(&items[0], &list, nullptr));
}

TEST_F(Dispatch, CopyThatRunsOutOfMemoryLeavesTheListAsItWas) {
    Items items;
    items.Add(1, {items.StringValue("one"), items.StringValue("two")});

    // Allocations of one copy: the grown array, the value array, two strings.
    for (unsigned failAt = 1; failAt <= 4; failAt++) {
        // Into an empty list.
        TklItem *list = nullptr;
        DWORD count = 0;
        long before = PlatLiveBlocks();
        PlatFailAllocation(failAt);
        EXPECT_FALSE(AppendTklItemCopy(&items[0], &list, &count)) << failAt;
        PlatFailAllocation(0);
        EXPECT_EQ(list, nullptr) << failAt;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(PlatLiveBlocks(), before) << failAt;

        // Onto a list with one item: it keeps that item.
        ASSERT_TRUE(AppendTklItemCopy(&items[0], &list, &count));
        before = PlatLiveBlocks();
        PlatFailAllocation(failAt);
        EXPECT_FALSE(AppendTklItemCopy(&items[0], &list, &count)) << failAt;
        PlatFailAllocation(0);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(count, 1u);
        EXPECT_STREQ(list[0].Values[1].Data.Text, "two");
        EXPECT_EQ(PlatLiveBlocks(), before) << "the grown array replaced the old one";
        FreeTklItems(list, count);
    }
}

TEST_F(Dispatch, ReportGoesOnWhenAnItemCannotBeCopied) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    SetFlags(e, AgentActive);
    Items items;
    items.Number(0x10003, 10030).Number(0x10004, 1).Number(0x10040, 3);
    long before = PlatLiveBlocks();
    // The second copy (0x10004) cannot grow the list.
    PlatFailAllocation(3);
    DispatchTklItems(e, items.Data(), items.Count());
    PlatFailAllocation(0);
    EXPECT_EQ(PlatLiveBlocks(), before);
    std::vector<AgentDouble::Call> calls = AgentDouble::Calls("AgentJobItems");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ItemCodes, (std::vector<DWORD>{0x10003, 0x10040}));
}

// ---------------------------------------------------------------- printer values

TEST_F(Dispatch, CalibrationValuesLandInThePortsRegistryKey) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    std::string secondIsQuestion = "A?B";
    Items items;
    items.Number(220, -3).String(221, "A").String(222, "").String(223, secondIsQuestion);
    DispatchTklItems(e, items.Data(), items.Count());

    DWORD type = 0;
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:YELLOW", &type), "-3");
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:MAGENTA"), "A");
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:CYAN"), "");
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:BLACK"), "?");

    // Other kinds of value.
    Items more;
    more.Number(220, 17, TKL_TYPE_INT0).Number(221, INT_MIN, TKL_TYPE_INT2);
    TklValue unknown{};
    unknown.Type = 9;
    more.Add(222, {unknown});
    DispatchTklItems(e, more.Data(), more.Count());
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:YELLOW"), "?");
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:MAGENTA"), "-2147483648");
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:CYAN"), "?");

    // Other printer values are not written by the dispatcher.
    Items memory;
    memory.Number(268, 64);
    DispatchTklItems(e, memory.Data(), memory.Count());
    EXPECT_EQ(PortValue("LPT1:", "CONFIG:MEMORY"), "<missing>");
}

TEST_F(Dispatch, PrinterValueWriterKnowsTenNamesAndCutsLongTexts) {
    PortEntry *e = OpenEntry();
    ASSERT_NE(e, nullptr);
    Items items;
    items.Number(1, 8);

    // A code outside the table writes nothing at all, not even the key.
    EXPECT_FALSE(WritePortStatusValue(e, 224, items[0].Values));
    EXPECT_FALSE(WritePortStatusValue(e, 0, items[0].Values));
    EXPECT_EQ(PlatRegistryExport().find("Ports"), std::string::npos);

    struct Name {
        DWORD Code;
        const char *Text;
    };
    for (const Name &n :
         {Name{220, "CALIBRATION:YELLOW"}, Name{221, "CALIBRATION:MAGENTA"},
          Name{222, "CALIBRATION:CYAN"}, Name{223, "CALIBRATION:BLACK"}, Name{268, "CONFIG:MEMORY"},
          Name{0x40026, "COMMON:SPOOL-RAM"}, Name{0x40037, "COMMON:TRAY-NAME"},
          Name{0x40038, "COMMON:CASSETTE1-NAME"}, Name{0x40039, "COMMON:CASSETTE2-NAME"},
          Name{0x4003A, "COMMON:CASSETTE3-NAME"}}) {
        EXPECT_TRUE(WritePortStatusValue(e, n.Code, items[0].Values)) << n.Text;
        EXPECT_EQ(PortValue("LPT1:", n.Text), "8") << n.Text;
    }

    // No value array: "?".
    EXPECT_TRUE(WritePortStatusValue(e, 268, nullptr));
    EXPECT_EQ(PortValue("LPT1:", "CONFIG:MEMORY"), "?");

    // A text longer than the value buffer is cut to 259 characters.
    std::string longText(400, 'x');
    longText[0] = 'S';
    Items text;
    text.String(223, longText);
    EXPECT_TRUE(WritePortStatusValue(e, 223, text[0].Values));
    EXPECT_EQ(PortValue("LPT1:", "CALIBRATION:BLACK"), longText.substr(0, 259));
}

// ---------------------------------------------------------------- job ids from hex

TEST(JobTagDigits, LeadingHexDigitsUpToTheLimit) {
    EXPECT_EQ(ParseHexDigits("1A2b", 8), 0x1A2Bu);
    EXPECT_EQ(ParseHexDigits("12G4", 8), 0x12u);
    EXPECT_EQ(ParseHexDigits("", 8), 0u);
    EXPECT_EQ(ParseHexDigits("123456789", 8), 0x12345678u);
    EXPECT_EQ(ParseHexDigits("fFfFfFfF", 8), 0xFFFFFFFFu);
    EXPECT_EQ(ParseHexDigits("0000002A", 8), 42u);
    EXPECT_EQ(ParseHexDigits(" 2A", 8), 0u);
    EXPECT_EQ(ParseHexDigits("2A", 0), 0u);
}

} // namespace
