// The reference parser library: items to text and back, the text of the
// documented examples, its memory contract, and its refusal of bad text.
#include "veroviri.h"
#include "wintest.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// The exports, looked up by name as the monitor does (TklParser's suite loads them).
PFN_TklItemsToText ItemsToText = nullptr;
PFN_TklTextToItems TextToItems = nullptr;

// One value or item as plain data, for comparisons.
struct Value {
    WORD Type;
    LONG Number;
    std::string Text;
    bool operator==(const Value &o) const {
        return Type == o.Type && (Type == TKL_TYPE_STRING ? Text == o.Text : Number == o.Number);
    }
};
struct Item {
    DWORD Code;
    std::vector<Value> Values;
    bool operator==(const Item &o) const { return Code == o.Code && Values == o.Values; }
};
std::ostream &operator<<(std::ostream &out, const Item &item) {
    out << item.Code;
    for (const Value &v : item.Values) {
        out << " [" << v.Type << ":";
        if (v.Type == TKL_TYPE_STRING)
            out << '"' << v.Text << '"';
        else
            out << v.Number;
        out << "]";
    }
    return out;
}

Value Int(LONG n, WORD type = TKL_TYPE_INT1) {
    return Value{type, n, ""};
}
Value Str(const std::string &s) {
    return Value{TKL_TYPE_STRING, 0, s};
}

// A block of the contract: locked, movable, and found from its pointer.
bool IsMovableBlock(const void *p) {
    return p != nullptr && GlobalHandle(p) != nullptr;
}
void FreeBlock(void *p) {
    if (p == nullptr)
        return;
    HGLOBAL block = GlobalHandle(p);
    ASSERT_NE(block, nullptr);
    GlobalUnlock(block);
    GlobalFree(block);
}

// Releases and converts an array the parser handed out, checking each block
// and the size formula.
std::vector<Item> TakeItems(TklItem *items, DWORD count) {
    std::vector<Item> out;
    if (count == 0) {
        EXPECT_EQ(items, nullptr);
        return out;
    }
    EXPECT_TRUE(IsMovableBlock(items));
    for (DWORD i = 0; i < count; i++) {
        Item item{items[i].Code, {}};
        DWORD size = 16;
        if (items[i].ValueCount == 0)
            EXPECT_EQ(items[i].Values, nullptr);
        else
            EXPECT_TRUE(IsMovableBlock(items[i].Values));
        for (DWORD j = 0; j < items[i].ValueCount; j++) {
            const TklValue &v = items[i].Values[j];
            size += 8;
            if (v.Type == TKL_TYPE_STRING) {
                EXPECT_TRUE(IsMovableBlock(v.Data.Text));
                EXPECT_EQ(v.Length, strlen(v.Data.Text));
                size += v.Length + 1;
                item.Values.push_back(Str(v.Data.Text));
                FreeBlock(v.Data.Text);
            } else {
                EXPECT_EQ(v.Length, 4);
                item.Values.push_back(Int(v.Data.Number, v.Type));
            }
        }
        EXPECT_EQ(items[i].Size, size);
        FreeBlock(items[i].Values);
        out.push_back(item);
    }
    FreeBlock(items);
    return out;
}

// The text for items built from plain data ("" when the parser refuses).
DWORD ToText(const std::vector<Item> &items, std::string &text) {
    std::vector<TklItem> records(items.size());
    std::vector<std::vector<TklValue>> values(items.size());
    for (size_t i = 0; i < items.size(); i++) {
        for (const Value &v : items[i].Values) {
            TklValue value{};
            value.Type = v.Type;
            value.Length = v.Type == TKL_TYPE_STRING ? (WORD)v.Text.size() : 4;
            if (v.Type == TKL_TYPE_STRING)
                value.Data.Text = const_cast<LPSTR>(v.Text.c_str());
            else
                value.Data.Number = v.Number;
            values[i].push_back(value);
        }
        records[i] = TklItem{items[i].Code, 0, (DWORD)values[i].size(),
                             values[i].empty() ? nullptr : values[i].data()};
    }
    DWORD length = 99;
    LPSTR out = (LPSTR)&length;
    DWORD result = ItemsToText((DWORD)records.size(), records.data(), &length, &out, 0);
    text.clear();
    if (result != TKL_OK) {
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(length, 0u);
        return result;
    }
    EXPECT_TRUE(IsMovableBlock(out));
    text.assign(out, length);
    EXPECT_EQ(strlen(out), length);
    FreeBlock(out);
    return result;
}

// Parses `text` from an exactly sized heap copy (its terminator included),
// so a read past the end is caught by the sanitizer builds.
struct Parsed {
    DWORD Result;
    DWORD Unconsumed;
    std::vector<Item> Items;
};
Parsed Parse(const std::string &text, DWORD length) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    Parsed p{};
    DWORD count = 55;
    TklItem *items = (TklItem *)&count;
    p.Result = TextToItems(length, copy.get(), &p.Unconsumed, &count, &items, 0);
    if (p.Result != TKL_OK) {
        EXPECT_EQ(items, nullptr);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(p.Unconsumed, length);
        return p;
    }
    p.Items = TakeItems(items, count);
    return p;
}
Parsed Parse(const std::string &text) {
    return Parse(text, (DWORD)text.size());
}

class TklParser : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string folder = TKL_PARSER_FOLDER;
        std::basic_string<WCHAR> wide(folder.begin(), folder.end());
        SetDllDirectoryW(wide.c_str());
        library = LoadLibraryW(WSTR("VEROVIRI.DLL"));
        ASSERT_NE(library, nullptr);
        ItemsToText = reinterpret_cast<PFN_TklItemsToText>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(library, TKL_ITEMS_TO_TEXT_EXPORT)));
        TextToItems = reinterpret_cast<PFN_TklTextToItems>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(library, TKL_TEXT_TO_ITEMS_EXPORT)));
        ASSERT_NE(ItemsToText, nullptr);
        ASSERT_NE(TextToItems, nullptr);
    }
    static void TearDownTestSuite() {
        FreeLibrary(library);
        SetDllDirectoryW(nullptr);
    }
    static HMODULE library;

    void SetUp() override {
        ASSERT_TRUE(ItemsToText != nullptr && TextToItems != nullptr) << "parser not loaded";
        baseline = PlatLiveBlocks();
    }
    void TearDown() override {
        // Every block handed out was released by the test.
        if (PlatHasTestHooks()) {
            PlatFailAllocation(0);
            EXPECT_EQ(PlatLiveBlocks(), baseline);
        }
    }
    long baseline = 0;
};

HMODULE TklParser::library = nullptr;

const std::string Tag = "+LPT" + std::string(26, ' ') + "0000002A";

// ---------------------------------------------------------------- text

TEST_F(TklParser, CommandTextIsOneLinePerItemAndAFormFeed) {
    std::string text;
    ASSERT_EQ(ToText({{200, {Str("ON")}},
                      {65539, {}},
                      {212, {Str("\"" + Tag + "\"")}},
                      {300, {Int(-3), Int(7, TKL_TYPE_INT0), Int(8, TKL_TYPE_INT2), Str("")}}},
                     text),
              TKL_OK);
    EXPECT_EQ(text, "@TKL 200 = \"ON\"\n"
                    "@TKL 65539\n"
                    "@TKL 212 = \"\\\"" +
                        Tag +
                        "\\\"\"\n"
                        "@TKL 300 = -3, i0:7, i2:8, \"\"\n"
                        "\f");
    ASSERT_EQ(ToText({}, text), TKL_OK);
    EXPECT_EQ(text, "\f");
}

TEST_F(TklParser, StringsEscapeQuotesBackslashesAndControlBytes) {
    std::string text;
    ASSERT_EQ(ToText({{1, {Str("a\"b\\c\fd\ne\x7F\xE9")}}}, text), TKL_OK);
    EXPECT_EQ(text, "@TKL 1 = \"a\\\"b\\\\c\\x0Cd\\x0Ae\\x7F\xE9\"\n\f");
}

TEST_F(TklParser, ItemsTheTextCannotCarryAreRefused) {
    std::string text;
    EXPECT_EQ(ToText({{1, {Value{4, 0, ""}}}}, text), TKL_ERROR_ARGUMENT);
    TklValue nullString{TKL_TYPE_STRING, 0, {}};
    TklItem item{1, 0, 1, &nullString};
    DWORD length = 5;
    LPSTR out = nullptr;
    EXPECT_EQ(ItemsToText(1, &item, &length, &out, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(out, nullptr);
    item.Values = nullptr;
    EXPECT_EQ(ItemsToText(1, &item, &length, &out, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(ItemsToText(1, nullptr, &length, &out, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(ItemsToText(0, nullptr, nullptr, &out, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(ItemsToText(0, nullptr, &length, nullptr, 0), TKL_ERROR_ARGUMENT);
}

// ---------------------------------------------------------------- round trip

TEST_F(TklParser, ItemsSurviveTheRoundTrip) {
    std::string all;
    for (int c = 1; c < 256; c++)
        all += (char)c;
    const std::vector<Item> items = {
        {0, {}},
        {208, {Str(Tag)}},
        {65539, {Int(10030)}},
        {65600, {Int(4)}},
        {220, {Int(-3)}},
        {221, {Str("A")}},
        {222, {Str("")}},
        {223, {Int(INT_MIN, TKL_TYPE_INT0), Int(INT_MAX, TKL_TYPE_INT2), Int(-1, TKL_TYPE_INT2)}},
        {0xFFFFFFFF, {Str(all), Str(std::string(16000, 'x')), Int(0)}},
    };
    std::string text;
    ASSERT_EQ(ToText(items, text), TKL_OK);
    Parsed back = Parse(text);
    ASSERT_EQ(back.Result, TKL_OK);
    EXPECT_EQ(back.Unconsumed, 0u);
    EXPECT_EQ(back.Items, items);
}

// ---------------------------------------------------------------- responses

TEST_F(TklParser, PrinterResponsesAsDocumented) {
    // Job end, with the next response's start left unconsumed.
    Parsed p = Parse("@TKL 216 = \"" + Tag + "\"\n\f@TKL 21");
    ASSERT_EQ(p.Result, TKL_OK);
    EXPECT_EQ(p.Unconsumed, 7u);
    EXPECT_EQ(p.Items, (std::vector<Item>{{216, {Str(Tag)}}}));

    // A status report, written with CR LF line ends, blanks and blank lines.
    p = Parse("\r\n@TKL 65539 = 10030\r\n\t@TKL\t65540 =  0 \r\n\r\n@TKL 65600=4\r\n\f");
    ASSERT_EQ(p.Result, TKL_OK);
    EXPECT_EQ(p.Unconsumed, 0u);
    EXPECT_EQ(p.Items,
              (std::vector<Item>{{65539, {Int(10030)}}, {65540, {Int(0)}}, {65600, {Int(4)}}}));

    // Calibration, the form feed right after the last value; 2^32 - 1 wraps.
    p = Parse("@TKL 220 = -3\n@TKL 221 = \"A\"\n@TKL 222 = i1:4294967295\f");
    ASSERT_EQ(p.Result, TKL_OK);
    EXPECT_EQ(p.Items, (std::vector<Item>{{220, {Int(-3)}}, {221, {Str("A")}}, {222, {Int(-1)}}}));

    // An empty response is no items.
    p = Parse("\f\f");
    ASSERT_EQ(p.Result, TKL_OK);
    EXPECT_EQ(p.Unconsumed, 1u);
    EXPECT_TRUE(p.Items.empty());
}

TEST_F(TklParser, MalformedTextIsRefused) {
    const struct {
        const char *Text;
        DWORD Result;
    } cases[] = {
        {"", TKL_ERROR_INCOMPLETE},
        {"@TKL 216 = 1\n", TKL_ERROR_INCOMPLETE},
        {"@TKL 21", TKL_ERROR_INCOMPLETE},
        {"@TKL 216 = \"+LPT", TKL_ERROR_INCOMPLETE},
        {"@TKL 216 = \"+LPT\f", TKL_ERROR_SYNTAX},
        {"@TKL 216 = \"+LPT\n\f", TKL_ERROR_SYNTAX},
        {"@tkl 216\f", TKL_ERROR_SYNTAX},
        {"@TKL216\f", TKL_ERROR_SYNTAX},
        {"@TKL\f", TKL_ERROR_SYNTAX},
        {"@TKL x\f", TKL_ERROR_SYNTAX},
        {"@TKL 4294967296\f", TKL_ERROR_SYNTAX},
        {"@TKL 99999999999999999999999999\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = 4294967296\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = -2147483649\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = -\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = \f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = 1,\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = 1 2\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = i3:1\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = \"a\\q\"\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = \"a\\x0\"\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = \"a\\x00\"\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = \"a\" \"b\"\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 = ON\f", TKL_ERROR_SYNTAX},
        {"READY\n\f", TKL_ERROR_SYNTAX},
        {"@TKL 1 x\f", TKL_ERROR_SYNTAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(Parse(c.Text).Result, c.Result);
    }
    // A string beyond 65535 bytes does not fit a value's length.
    EXPECT_EQ(Parse("@TKL 1 = \"" + std::string(65536, 'x') + "\"\f").Result, TKL_ERROR_SYNTAX);
    EXPECT_EQ(Parse("@TKL 1 = \"" + std::string(65535, 'x') + "\"\f").Result, TKL_OK);

    std::string text = "@TKL 1\f";
    DWORD count = 0, unconsumed = 0;
    TklItem *items = nullptr;
    EXPECT_EQ(TextToItems(7, nullptr, &unconsumed, &count, &items, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(TextToItems(7, text.c_str(), nullptr, &count, &items, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(TextToItems(7, text.c_str(), &unconsumed, nullptr, &items, 0), TKL_ERROR_ARGUMENT);
    EXPECT_EQ(TextToItems(7, text.c_str(), &unconsumed, &count, nullptr, 0), TKL_ERROR_ARGUMENT);
}

TEST_F(TklParser, TheLengthAndTheTerminatorBoundTheText) {
    // The form feed lies beyond the given length.
    EXPECT_EQ(Parse("@TKL 1\f", 6).Result, TKL_ERROR_INCOMPLETE);
    EXPECT_EQ(Parse("@TKL 1\f", 7).Result, TKL_OK);
    // A length beyond the terminator: the terminator ends the text.
    EXPECT_EQ(Parse("@TKL 1", 100000).Result, TKL_ERROR_INCOMPLETE);
    EXPECT_EQ(Parse("@TKL 1 = \"abc", 0xFFFFFFFF).Result, TKL_ERROR_INCOMPLETE);
    // A zero byte inside the length ends the text there.
    EXPECT_EQ(Parse(std::string("@TKL 1\0\f", 8)).Result, TKL_ERROR_INCOMPLETE);
}

// ---------------------------------------------------------------- memory

TEST_F(TklParser, AllocationFailuresLeaveNothingBehind) {
    if (!PlatHasTestHooks())
        GTEST_SKIP() << "needs the platform's allocation fault injection";
    const std::string text = "@TKL 1 = \"a\", 2\n@TKL 2\n@TKL 3 = \"bc\"\n\f";
    bool parsed = false;
    for (unsigned long n = 1; !parsed && n < 20; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        PlatFailAllocation(n);
        DWORD count = 0, unconsumed = 0;
        TklItem *items = nullptr;
        DWORD result =
            TextToItems((DWORD)text.size(), text.c_str(), &unconsumed, &count, &items, 0);
        PlatFailAllocation(0);
        parsed = result == TKL_OK;
        if (parsed)
            EXPECT_EQ(TakeItems(items, count).size(), 3u);
        else
            EXPECT_EQ(result, TKL_ERROR_MEMORY);
        EXPECT_EQ(PlatLiveBlocks(), baseline);
    }
    EXPECT_TRUE(parsed);

    TklItem item{5, 0, 0, nullptr};
    DWORD length = 0;
    LPSTR out = nullptr;
    PlatFailAllocation(1);
    EXPECT_EQ(ItemsToText(1, &item, &length, &out, 0), TKL_ERROR_MEMORY);
    EXPECT_EQ(out, nullptr);
}

TEST_F(TklParser, CallersArraysAreOnlyRead) {
    TklValue value{TKL_TYPE_STRING, 2, {}};
    char on[] = "ON";
    value.Data.Text = on;
    TklItem item{200, 27, 1, &value};
    std::string before((const char *)&item, sizeof item);
    DWORD length = 0;
    LPSTR out = nullptr;
    ASSERT_EQ(ItemsToText(1, &item, &length, &out, 0), TKL_OK);
    EXPECT_EQ(std::string((const char *)&item, sizeof item), before);
    EXPECT_STREQ(on, "ON");
    FreeBlock(out);
}

// ---------------------------------------------------------------- fuzz

// Random text from fragments of the language and random bytes: every answer
// is a clean refusal or items that survive their own round trip.
TEST_F(TklParser, RandomTextNeverBreaksTheParser) {
    static const char *const pieces[] = {
        "@TKL ",       "@TKL",   " = ",   "=",          ", ",         ",",
        "\"",          "\\",     "\\x",   "\\\"",       "\n",         "\r\n",
        "\f",          "i0:",    "i1:",   "i2:",        "-",          "0",
        "7",           "42",     "65539", "4294967295", "4294967296", "99999999999999999999",
        "-2147483648", "\"+LPT", " ",     "\t",         "A",          "0C",
    };
    std::mt19937 random(20240611);
    int accepted = 0;
    for (int round = 0; round < 4000; round++) {
        std::string text;
        int parts = (int)(random() % 24);
        for (int i = 0; i < parts; i++) {
            if (random() % 5 == 0)
                text += (char)(random() % 256);
            else
                text += pieces[random() % (sizeof pieces / sizeof *pieces)];
        }
        // Some rounds claim a length other than the text's.
        DWORD length = (DWORD)text.size();
        if (round % 7 == 0)
            length = (DWORD)(random() % (text.size() + 3));
        Parsed p = Parse(text, length);
        if (p.Result != TKL_OK)
            continue;
        accepted++;
        ASSERT_LE(p.Unconsumed, length);
        std::string again;
        ASSERT_EQ(ToText(p.Items, again), TKL_OK);
        Parsed back = Parse(again);
        ASSERT_EQ(back.Result, TKL_OK) << again;
        EXPECT_EQ(back.Items, p.Items);
    }
    // The generator must reach the accepting paths too.
    EXPECT_GT(accepted, 20);
}

} // namespace
