// Device identification: which device IDs make a printer TKL-capable, what
// becomes of the port's model, and the port monitor query behind it.
#include "quennet.h"
#include "wintest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the local port monitor answers for the device ID query, and what it saw.
struct DeviceIdScript {
    BOOL Result = TRUE;
    std::string Answer;
    DWORD Returned = 0xFFFFFFFF; // reported count; all of Answer when left alone
    int Calls = 0;
    HANDLE Handle = nullptr;
    DWORD ControlId = 0;
    LPWSTR ValueName = nullptr;
    LPWSTR InBuffer = nullptr;
    DWORD InSize = 0;
    DWORD OutSize = 0;
};
DeviceIdScript Script;

BOOL WINAPI FakeGetPrinterData(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                               DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned) {
    Script.Calls++;
    Script.Handle = port;
    Script.ControlId = controlId;
    Script.ValueName = valueName;
    Script.InBuffer = inBuffer;
    Script.InSize = inSize;
    Script.OutSize = outSize;
    size_t n = std::min<size_t>(Script.Answer.size(), outSize);
    memcpy(outBuffer, Script.Answer.data(), n);
    *returned = Script.Returned != 0xFFFFFFFF ? Script.Returned : (DWORD)n;
    return Script.Result;
}

class DeviceId : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InitializeMonitorLock(); }
    void SetUp() override {
        Script = DeviceIdScript();
        entry.PortHandle = (HANDLE)0x5150;
        entry.PortMonitorTable.pfnGetPrinterDataFromPort = FakeGetPrinterData;
    }
    void TearDown() override { SetModel(nullptr); }

    // Parses a copy of `id`, as the monitor parses its own buffer.
    BOOL Parse(const std::string &id) {
        std::vector<char> text(id.begin(), id.end());
        text.push_back(0);
        return ParseDeviceId(&entry, text.data());
    }
    std::string Model() const { return entry.Model ? entry.Model : "<none>"; }
    void SetModel(const char *model) {
        if (entry.Model != nullptr)
            GlobalFree(entry.Model);
        entry.Model = model ? DupNarrow(model) : nullptr;
    }

    PortEntry entry{};
};

TEST_F(DeviceId, CommandSetTokenMakesCapable) {
    // Several languages, TKL among them; the model is kept.
    EXPECT_TRUE(Parse("MFG:Morvane;CMD:PCL,PS,TKL,ESC;MDL:RVT-101;CLS:PRINTER;"));
    EXPECT_EQ(Model(), "RVT-101");
    EXPECT_TRUE(ModelContains(&entry, "RVT-101"));

    // Inside a longer word, under either key, with or without a closing ';'.
    EXPECT_TRUE(Parse("COMMAND SET:PCLXTKLEXT;"));
    EXPECT_TRUE(Parse("CMD:PCL;MDL:Other;CMD:ESC/TKL"));
    EXPECT_EQ(Model(), "Other");

    // No token: not capable.
    EXPECT_FALSE(Parse("CMD:PCL,PS;MDL:RVT-101;"));
}

TEST_F(DeviceId, TokenMustLieBeforeTheSemicolon) {
    EXPECT_FALSE(Parse("CMD:PCL,TK;L;"));
    EXPECT_FALSE(Parse("CMD:PCL,T;KL;"));
    EXPECT_FALSE(Parse("CMD:PCL,TK"));
    // TKL in another pair's value or key does not count.
    EXPECT_FALSE(Parse("DES:TKL printer;CMD:PCL;"));
    EXPECT_FALSE(Parse("TKL:yes;"));
}

TEST_F(DeviceId, KeysAreExactAndCaseSensitive) {
    EXPECT_FALSE(Parse("cmd:TKL;mdl:RVT-201;command set:TKL;model:RVT-202;"));
    EXPECT_EQ(Model(), "<none>");
    EXPECT_FALSE(Parse(" CMD:TKL;XMDL:RVT-201;MODEL :RVT-301;Cmd:TKL;"));
    EXPECT_EQ(Model(), "<none>");
    // A ';' before the ':' belongs to the key, so "X;CMD:" is not "CMD:".
    EXPECT_FALSE(Parse("X;CMD:TKL;"));
    EXPECT_FALSE(Parse("X;MDL:RVT-201;"));
    EXPECT_EQ(Model(), "<none>");
}

TEST_F(DeviceId, ListedModelsMakeCapable) {
    // The whole value is kept, words after the model included.
    EXPECT_TRUE(Parse("COMMAND SET:PCL,PS;MODEL:RVT-202 Office Plus;"));
    EXPECT_EQ(Model(), "RVT-202 Office Plus");
    EXPECT_TRUE(Parse("MDL:Morvane RVT-301;"));
    EXPECT_TRUE(Parse("MDL:RVT-201"));
    EXPECT_FALSE(Parse("MDL:RVT-20;"));
    EXPECT_FALSE(Parse("MDL:rvt-201;"));
}

TEST_F(DeviceId, ModelIsCutAfter80Characters) {
    std::string pad79(79, 'A');
    // A listed model beginning at 79 counts, although the stored copy is cut.
    EXPECT_TRUE(Parse("MDL:" + pad79 + "RVT-201;"));
    EXPECT_EQ(Model(), pad79 + "R");

    // At 80 it lies beyond the copied characters.
    std::string pad80(80, 'B');
    EXPECT_FALSE(Parse("MDL:" + pad80 + "RVT-201;CMD:PCL;"));
    EXPECT_EQ(Model(), pad80);

    // 81 characters are stored as their first 80.
    EXPECT_FALSE(Parse("MODEL:" + pad80 + "C;"));
    EXPECT_EQ(Model(), pad80);
}

TEST_F(DeviceId, ModelIsReplacedOnlyByAModelKey) {
    EXPECT_FALSE(Parse("MDL:First;MODEL:Second;MDL:Third;"));
    EXPECT_EQ(Model(), "Third");

    // Without a model key the old model stays.
    long blocks = PlatLiveBlocks();
    EXPECT_TRUE(Parse("MFG:Morvane;CMD:TKL;"));
    EXPECT_EQ(Model(), "Third");
    EXPECT_EQ(PlatLiveBlocks(), blocks);

    // A replacement frees the old block; an empty value is an empty model.
    EXPECT_FALSE(Parse("MDL:;"));
    EXPECT_EQ(Model(), "");
    EXPECT_EQ(PlatLiveBlocks(), blocks);
}

TEST_F(DeviceId, FailedModelCopyLeavesNoModel) {
    if (!PlatHasTestHooks())
        GTEST_SKIP() << "needs the platform's allocation fault injection";
    SetModel("Old");
    long blocks = PlatLiveBlocks();
    PlatFailAllocation(1);
    EXPECT_TRUE(Parse("CMD:TKL;MDL:New;"));
    PlatFailAllocation(0);
    EXPECT_EQ(entry.Model, nullptr);
    EXPECT_EQ(PlatLiveBlocks(), blocks - 1);
}

TEST_F(DeviceId, PairsEndAtTheirSemicolonInPlace) {
    char text[] = "MFG:M;CMD:TKL;MDL:X";
    EXPECT_TRUE(ParseDeviceId(&entry, text));
    EXPECT_EQ(text[5], 0);
    EXPECT_EQ(text[13], 0);
    EXPECT_STREQ(text + 14, "MDL:X");
    // Text without any pair, and an empty text.
    EXPECT_FALSE(Parse("no pairs here"));
    EXPECT_FALSE(Parse(""));
}

TEST_F(DeviceId, QueryAsksThePortMonitor) {
    Script.Answer = "MFG:Morvane;CMD:TKL;MDL:RVT-101;";
    EXPECT_TRUE(QueryDeviceId(&entry));
    EXPECT_EQ(Model(), "RVT-101");
    EXPECT_EQ(Script.Calls, 1);
    EXPECT_EQ(Script.Handle, (HANDLE)0x5150);
    EXPECT_EQ(Script.ControlId, 0x16000Cu);
    EXPECT_EQ(Script.ValueName, nullptr);
    EXPECT_EQ(Script.InBuffer, nullptr);
    EXPECT_EQ(Script.InSize, 0u);
    EXPECT_EQ(Script.OutSize, 1025u);
}

TEST_F(DeviceId, QueryWithoutAnAnswerKeepsTheModel) {
    SetModel("RVT-102");
    // No slot.
    entry.PortMonitorTable.pfnGetPrinterDataFromPort = nullptr;
    EXPECT_FALSE(QueryDeviceId(&entry));
    entry.PortMonitorTable.pfnGetPrinterDataFromPort = FakeGetPrinterData;

    // 0 bytes.
    Script.Answer = "CMD:TKL;MDL:RVT-201;";
    Script.Returned = 0;
    EXPECT_FALSE(QueryDeviceId(&entry));

    // A failed call, whatever it wrote.
    Script.Returned = 0xFFFFFFFF;
    Script.Result = FALSE;
    EXPECT_FALSE(QueryDeviceId(&entry));
    EXPECT_EQ(Model(), "RVT-102");
}

TEST_F(DeviceId, QueryOfAFullBufferStaysInside) {
    // 1025 bytes without a terminator, and a count that claims more.
    Script.Answer = "CMD:TKL;MDL:" + std::string(1025 - 12, 'Z');
    EXPECT_TRUE(QueryDeviceId(&entry));
    EXPECT_EQ(Model(), std::string(80, 'Z'));
    Script.Returned = 5000;
    EXPECT_TRUE(QueryDeviceId(&entry));
}

TEST_F(DeviceId, ModelContainsLooksWithinTheFirst80) {
    EXPECT_FALSE(ModelContains(&entry, "RVT-101"));
    SetModel("Morvane RVT-101 PS");
    EXPECT_TRUE(ModelContains(&entry, "RVT-101"));
    EXPECT_FALSE(ModelContains(&entry, "RVT-102"));
    EXPECT_FALSE(ModelContains(&entry, "rvt-101"));

    // A longer text set by hand: a match may begin at 79, not at 80.
    SetModel((std::string(79, '-') + "RVT-101").c_str());
    EXPECT_TRUE(ModelContains(&entry, "RVT-101"));
    SetModel((std::string(80, '-') + "RVT-101").c_str());
    EXPECT_FALSE(ModelContains(&entry, "RVT-101"));
    SetModel("RVT-10");
    EXPECT_FALSE(ModelContains(&entry, "RVT-101"));
}

TEST_F(DeviceId, ModelTestsWhileAnotherThreadReplacesTheModel) {
    // The sanitizer builds catch a test that reads a freed model.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load())
            ModelContains(&entry, "RVT-101");
    });
    for (int i = 0; i < 2000; i++)
        Parse(i % 2 ? "MDL:RVT-101;" : "MDL:Morvane RVT-102 with a longer name;");
    done = true;
    reader.join();
    EXPECT_EQ(Model(), "RVT-101");
}

} // namespace
