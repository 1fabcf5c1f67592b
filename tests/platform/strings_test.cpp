// String functions and code-page conversion.
#include "platform_test.h"

#include <cstring>

namespace {

WString FromAnsi(const std::string &bytes) {
    WCHAR out[64] = {};
    int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out, 64);
    return WString(out, static_cast<size_t>(n));
}

TEST(CodePages, AnsiIsWindows1252) {
    EXPECT_EQ(FromAnsi("\x80"), WString(u"\u20AC"));
    EXPECT_EQ(FromAnsi("\x8A\x9F\x85\x99"), WString(u"\u0160\u0178\u2026\u2122"));
    // Unassigned bytes map to the C1 control of the same value.
    EXPECT_EQ(FromAnsi("\x81\x8D"), WString(u"\u0081\u008D"));
    EXPECT_EQ(FromAnsi("A\xE9\xFF"), WString(u"A\u00E9\u00FF"));

    // Every byte survives the round trip.
    char bytes[256];
    for (int i = 0; i < 256; i++)
        bytes[i] = static_cast<char>(i);
    WCHAR wide[256];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes, 256, wide, 256), 256);
    char back[256];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 256, back, 256, nullptr, &usedDefault), 256);
    EXPECT_EQ(memcmp(bytes, back, 256), 0);
    EXPECT_FALSE(usedDefault);

    // What Windows-1252 lacks becomes '?' or the caller's default.
    char out[8] = {};
    EXPECT_EQ(
        WideCharToMultiByte(CP_ACP, 0, u"a\u4E2D\U0001D11E", -1, out, 8, nullptr, &usedDefault), 4);
    EXPECT_STREQ(out, "a??");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u4E2D", 1, out, 8, "#", nullptr), 1);
    EXPECT_EQ(out[0], '#');
}

TEST(CodePages, LengthConventions) {
    // -1 includes the terminator; 0 asks for the size.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 0), 3);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", -1, nullptr, 0, nullptr, nullptr), 4);

    WCHAR small[2];
    SetLastError(Sentinel);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, small, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    char tiny[3];
    SetLastError(Sentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", -1, tiny, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Bad arguments: empty source, default character with UTF-8, unknown code page.
    SetLastError(Sentinel);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, small, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    BOOL used;
    SetLastError(Sentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -1, tiny, 3, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(Sentinel);
    EXPECT_EQ(MultiByteToWideChar(437, 0, "a", -1, small, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, Utf8BothWays) {
    const char *text = "Gr\xC3\xB6\xC3\x9F"
                       "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
    WCHAR wide[16];
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 16);
    ASSERT_EQ(n, 11);
    EXPECT_EQ(WString(wide), WString(u"Gr\u00F6\u00DFe \u20AC \U0001D11E"));
    char back[32];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 32, nullptr, nullptr),
              static_cast<int>(strlen(text) + 1));
    EXPECT_STREQ(back, text);

    // Malformed input: one replacement character per bad sequence.
    EXPECT_EQ(PlatWide("a\xFF"
                       "b\xE2\x82"
                       "c\xC0\xAF"),
              WString(u"a\uFFFDb\uFFFDc\uFFFD\uFFFD"));
    EXPECT_EQ(PlatNarrow(WString(u"x") + WCHAR(0xD800) + u"y"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(PlatNarrow(PlatWide("\xF0\x9D\x84\x9E")), "\xF0\x9D\x84\x9E");
}

TEST(Strings, CompareCopyAndLength) {
    EXPECT_EQ(lstrcmpiW(u"LPT1:", u"lpt1:"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u00C4RGER \u00DE", u"\u00E4rger \u00FE"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u0160koda", u"\u0161KODA"), 0);
    EXPECT_LT(lstrcmpiW(u"apple", u"BANANA"), 0);
    EXPECT_GT(lstrcmpiW(u"abc", u"AB"), 0);
    // Not folded: multiplication and division signs differ.
    EXPECT_NE(lstrcmpiW(u"\u00D7", u"\u00F7"), 0);
    EXPECT_NE(lstrcmpW(u"abc", u"ABC"), 0);
    EXPECT_EQ(lstrcmpW(u"abc", u"abc"), 0);
    EXPECT_LT(lstrcmpW(nullptr, u""), 0);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
    EXPECT_EQ(lstrcmpiA("Gr\xD6\xDF"
                        "E",
                        "gr\xF6\xDF"
                        "e"),
              0);
    EXPECT_LT(lstrcmpA("a", "b"), 0);
    EXPECT_EQ(lstrlenA("four"), 4);
    EXPECT_EQ(lstrlenW(u"four"), 4);
    EXPECT_EQ(lstrlenW(nullptr), 0);

    WCHAR buffer[8];
    EXPECT_EQ(lstrcpyW(buffer, u"ab"), buffer);
    EXPECT_EQ(lstrcatW(buffer, u"cd"), buffer);
    EXPECT_EQ(WString(buffer), WString(u"abcd"));
    // lstrcpyn copies at most max - 1 characters and always terminates.
    WCHAR small[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(lstrcpynW(small, u"abcdef", 4), small);
    EXPECT_EQ(WString(small), WString(u"abc"));
}

} // namespace
