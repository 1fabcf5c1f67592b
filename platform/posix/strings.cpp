// String functions and code-page conversion: CP_ACP is Windows-1252 here,
// whatever the POSIX locale, so that monitors behave as on a Western system.
#include "internal.h"

#include <cstring>

namespace {

// Windows-1252 bytes 0x80-0x9F; the five unassigned bytes map to the C1
// control of the same value, as Windows maps them.
const char16_t Cp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t AnsiToUnicode(unsigned char c) {
    return c >= 0x80 && c <= 0x9F ? Cp1252High[c - 0x80] : c;
}

// The Windows-1252 byte of `c`; -1 when it has none.
int UnicodeToAnsi(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (int i = 0; i < 32; i++) {
        if (Cp1252High[i] == c)
            return 0x80 + i;
    }
    return -1;
}

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Copies a whole conversion result out the Windows way: size only when
// dstLength is 0, otherwise all or ERROR_INSUFFICIENT_BUFFER.
template <typename Char>
int CopyOut(const std::basic_string<Char> &result, Char *dst, int dstLength) {
    int needed = static_cast<int>(result.size());
    if (dstLength == 0)
        return needed;
    if (dstLength < needed) {
        memcpy(dst, result.data(), static_cast<size_t>(dstLength) * sizeof(Char));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(dst, result.data(), static_cast<size_t>(needed) * sizeof(Char));
    return needed;
}

template <typename Char> size_t Length(const Char *s) {
    size_t n = 0;
    while (s[n] != 0)
        n++;
    return n;
}

// lstrcmp's rule for null pointers: null sorts before everything else.
template <typename Char, typename Fold> int Compare(const Char *a, const Char *b, Fold fold) {
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    for (;; a++, b++) {
        auto x = fold(*a), y = fold(*b);
        if (x != y)
            return x < y ? -1 : 1;
        if (*a == 0)
            return 0;
    }
}

} // namespace

namespace winplat {

WCHAR FoldCase(WCHAR c) {
    // ASCII and Latin-1 (not the multiplication and division signs).
    if (c >= u'a' && c <= u'z')
        return static_cast<WCHAR>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    // Latin Extended-A: pairs of upper (even or odd) and lower case.
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return static_cast<WCHAR>(c & ~1u);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1u) ? c : static_cast<WCHAR>(c - 1);
    // Basic Greek and Cyrillic.
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
        return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<WCHAR>(c - 0x50);
    return c;
}

int CompareIgnoringCase(const WString &a, const WString &b) {
    return Compare(a.c_str(), b.c_str(), FoldCase);
}

WString Utf8ToUtf16(const std::string &utf8) {
    static const char32_t minimum[4] = {0, 0x80, 0x800, 0x10000};
    WString out;
    size_t i = 0, n = utf8.size();
    while (i < n) {
        // The lead byte gives the sequence length.
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        int extra = lead < 0x80   ? 0
                    : lead < 0xC2 ? -1
                    : lead < 0xE0 ? 1
                    : lead < 0xF0 ? 2
                    : lead < 0xF5 ? 3
                                  : -1;
        char32_t code = extra <= 0 ? lead : lead & (0x3F >> extra);
        size_t used = 1;
        bool ok = extra >= 0;
        // Continuation bytes; a short or broken sequence ends at the first bad byte.
        for (int k = 1; ok && k <= extra; k++) {
            if (i + used >= n || (static_cast<unsigned char>(utf8[i + used]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + used]) & 0x3F);
            used++;
        }
        if (ok && extra > 0 &&
            (code < minimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
            ok = false;
        i += used;
        if (!ok) {
            out.push_back(0xFFFD);
        } else if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (code >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(code));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const WString &utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); i++) {
        char32_t code = utf16[i];
        // Pair surrogates; a lone one becomes U+FFFD.
        if (IsHighSurrogate(code) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            i++;
        } else if (IsHighSurrogate(code) || IsLowSurrogate(code)) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

WString WideOrEmpty(LPCWSTR s) {
    return s == nullptr ? WString() : WString(s);
}

} // namespace winplat

// ---------------------------------------------------------------- lstr functions

int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
    return Compare(a, b, [](WCHAR c) { return c; });
}

int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    return Compare(a, b, winplat::FoldCase);
}

int WINAPI lstrlenW(LPCWSTR s) {
    return s == nullptr ? 0 : static_cast<int>(Length(s));
}

LPWSTR WINAPI lstrcpyW(LPWSTR dst, LPCWSTR src) {
    if (dst == nullptr || src == nullptr)
        return nullptr;
    memmove(dst, src, (Length(src) + 1) * sizeof(WCHAR));
    return dst;
}

LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
    if (dst == nullptr || src == nullptr)
        return nullptr;
    if (max <= 0)
        return dst;
    // At most max - 1 characters, always terminated.
    int i = 0;
    for (; i < max - 1 && src[i] != 0; i++)
        dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

LPWSTR WINAPI lstrcatW(LPWSTR dst, LPCWSTR src) {
    if (dst == nullptr || src == nullptr)
        return nullptr;
    lstrcpyW(dst + Length(dst), src);
    return dst;
}

int WINAPI lstrlenA(LPCSTR s) {
    return s == nullptr ? 0 : static_cast<int>(strlen(s));
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
    return Compare(a, b, [](char c) { return static_cast<unsigned char>(c); });
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
    return Compare(a, b, [](char c) {
        return winplat::FoldCase(AnsiToUnicode(static_cast<unsigned char>(c)));
    });
}

// ---------------------------------------------------------------- code pages

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLength, LPWSTR dst,
                               int dstLength) {
    if (src == nullptr || srcLength == 0 || srcLength < -1 || dstLength < 0 ||
        (dstLength > 0 && dst == nullptr) || (codePage != CP_ACP && codePage != CP_UTF8)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // -1: the whole string and its terminator.
    size_t count = srcLength == -1 ? strlen(src) + 1 : static_cast<size_t>(srcLength);
    std::string bytes(src, count);
    WString result;
    if (codePage == CP_UTF8) {
        result = winplat::Utf8ToUtf16(bytes);
    } else {
        for (char c : bytes)
            result.push_back(AnsiToUnicode(static_cast<unsigned char>(c)));
    }
    return CopyOut(result, dst, dstLength);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLength, LPSTR dst,
                               int dstLength, LPCSTR defaultChar, LPBOOL usedDefault) {
    bool badDefault = codePage == CP_UTF8 && (defaultChar != nullptr || usedDefault != nullptr);
    if (src == nullptr || srcLength == 0 || srcLength < -1 || dstLength < 0 ||
        (dstLength > 0 && dst == nullptr) || (codePage != CP_ACP && codePage != CP_UTF8) ||
        badDefault) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = srcLength == -1 ? Length(src) + 1 : static_cast<size_t>(srcLength);
    WString text(src, count);
    std::string result;
    if (codePage == CP_UTF8) {
        result = winplat::Utf16ToUtf8(text);
    } else {
        // What has no Windows-1252 byte becomes the default character.
        char fallback = defaultChar != nullptr ? *defaultChar : '?';
        bool used = false;
        for (size_t i = 0; i < text.size(); i++) {
            int ansi = UnicodeToAnsi(text[i]);
            used = used || ansi < 0;
            result.push_back(ansi < 0 ? fallback : static_cast<char>(ansi));
            // A surrogate pair is one character.
            if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
                i++;
        }
        if (usedDefault != nullptr)
            *usedDefault = used ? TRUE : FALSE;
    }
    return CopyOut(result, dst, dstLength);
}

// ---------------------------------------------------------------- test helpers

WString PlatWide(const std::string &utf8) {
    return winplat::Utf8ToUtf16(utf8);
}

std::string PlatNarrow(const WString &utf16) {
    return winplat::Utf16ToUtf8(utf16);
}
