// The reference job-language parser: TklItem arrays to TKL text and one
// form-feed-terminated printer response back to items.
//
// A TKL block is a run of lines, then a form feed:
//   @TKL <code>                       an item without value
//   @TKL <code> = <value>[, <value>]  an item with values
// where a value is a decimal integer (type 1), an integer tagged with its
// type ("i0:", "i1:", "i2:"), or a double-quoted string with the escapes
// \" \\ and \xHH. Blank lines are allowed; a carriage return counts as a blank.
#include "veroviri.h"

#include <stdint.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

namespace {

#define FORM_FEED '\f'
#define MAX_STRING_LENGTH 0xFFFF // a value's length is 16 bits

// ---------------------------------------------------------------- memory

// The one allocator of everything handed out: locked movable zeroed blocks.
LPVOID AllocLocked(SIZE_T bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (block == nullptr)
        return nullptr;
    LPVOID mem = GlobalLock(block);
    if (mem == nullptr)
        GlobalFree(block);
    return mem;
}

void FreeLocked(LPVOID mem) {
    if (mem == nullptr)
        return;
    HGLOBAL block = GlobalHandle(mem);
    if (block == nullptr)
        return;
    GlobalUnlock(block);
    GlobalFree(block);
}

// Releases an array this library built (also a partly built one).
void FreeItems(TklItem *items, DWORD count) {
    if (items == nullptr)
        return;
    for (DWORD i = 0; i < count; i++) {
        TklValue *values = items[i].Values;
        if (values == nullptr)
            continue;
        for (DWORD j = 0; j < items[i].ValueCount; j++) {
            if (values[j].Type == TKL_TYPE_STRING)
                FreeLocked(values[j].Data.Text);
        }
        FreeLocked(values);
    }
    FreeLocked(items);
}

// ---------------------------------------------------------------- items to text

// Appends one value; false for a value the text cannot carry.
bool WriteValue(std::string &out, const TklValue &value) {
    static const char hex[] = "0123456789ABCDEF";
    switch (value.Type) {
    case TKL_TYPE_INT0:
        out += "i0:" + std::to_string(value.Data.Number);
        return true;
    case TKL_TYPE_INT1:
        out += std::to_string(value.Data.Number);
        return true;
    case TKL_TYPE_INT2:
        out += "i2:" + std::to_string(value.Data.Number);
        return true;
    case TKL_TYPE_STRING:
        if (value.Data.Text == nullptr)
            return false;
        // Quotes, backslashes and control bytes (the form feed above all)
        // are escaped; every other byte stands for itself.
        out += '"';
        for (const unsigned char *p = (const unsigned char *)value.Data.Text; *p != 0; p++) {
            if (*p == '"' || *p == '\\') {
                out += '\\';
                out += (char)*p;
            } else if (*p < 0x20 || *p == 0x7F) {
                out += "\\x";
                out += hex[*p >> 4];
                out += hex[*p & 0xF];
            } else {
                out += (char)*p;
            }
        }
        out += '"';
        return true;
    default:
        return false;
    }
}

DWORD ItemsToText(DWORD count, const TklItem *items, std::string &out) {
    for (DWORD i = 0; i < count; i++) {
        const TklItem &item = items[i];
        if (item.ValueCount != 0 && item.Values == nullptr)
            return TKL_ERROR_ARGUMENT;
        out += "@TKL " + std::to_string(item.Code);
        for (DWORD j = 0; j < item.ValueCount; j++) {
            out += j == 0 ? " = " : ", ";
            if (!WriteValue(out, item.Values[j]))
                return TKL_ERROR_ARGUMENT;
        }
        out += '\n';
    }
    out += FORM_FEED;
    return TKL_OK;
}

// ---------------------------------------------------------------- text to items

struct ParsedValue {
    WORD Type;
    LONG Number;
    std::string Text;
};
struct ParsedItem {
    DWORD Code;
    std::vector<ParsedValue> Values;
};

// Reads the bytes [0, length) of a text; a zero byte is the text's end,
// whatever the length says.
struct Cursor {
    const unsigned char *text;
    size_t length;
    size_t at;

    bool AtEnd() const { return at >= length || text[at] == 0; }
    int Peek() const { return AtEnd() ? -1 : text[at]; }
    void Skip() { at++; }
    bool Take(char c) {
        if (Peek() != (unsigned char)c)
            return false;
        at++;
        return true;
    }
    bool TakeWord(const char *word) {
        size_t start = at;
        for (; *word != 0; word++) {
            if (!Take(*word)) {
                at = start;
                return false;
            }
        }
        return true;
    }
    // Blanks within a line: space, tab, carriage return.
    void SkipBlanks() {
        while (Peek() == ' ' || Peek() == '\t' || Peek() == '\r')
            at++;
    }
};

int HexDigit(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Decimal digits up to `limit`; false without a digit or beyond the limit.
bool ReadDecimal(Cursor &in, uint64_t limit, uint64_t &value) {
    value = 0;
    if (!(in.Peek() >= '0' && in.Peek() <= '9'))
        return false;
    while (in.Peek() >= '0' && in.Peek() <= '9') {
        value = value * 10 + (uint64_t)(in.Peek() - '0');
        in.Skip();
        if (value > limit)
            return false;
    }
    return true;
}

bool ReadString(Cursor &in, std::string &text) {
    if (!in.Take('"'))
        return false;
    for (;;) {
        int c = in.Peek();
        // The text ends before the closing quote: unterminated.
        if (c < 0 || c == '\n' || c == FORM_FEED)
            return false;
        in.Skip();
        if (c == '"')
            return true;
        if (c == '\\') {
            int e = in.Peek();
            if (e == '"' || e == '\\') {
                in.Skip();
                c = e;
            } else if (e == 'x') {
                in.Skip();
                int high = HexDigit(in.Peek());
                if (high < 0)
                    return false;
                in.Skip();
                int low = HexDigit(in.Peek());
                if (low < 0)
                    return false;
                in.Skip();
                c = high * 16 + low;
                // A zero would cut the string short of its length.
                if (c == 0)
                    return false;
            } else {
                return false;
            }
        }
        if (text.size() >= MAX_STRING_LENGTH)
            return false;
        text += (char)c;
    }
}

bool ReadValue(Cursor &in, ParsedValue &value) {
    if (in.Peek() == '"') {
        value.Type = TKL_TYPE_STRING;
        return ReadString(in, value.Text);
    }
    // An integer, type 1 unless tagged.
    value.Type = TKL_TYPE_INT1;
    if (in.TakeWord("i0:"))
        value.Type = TKL_TYPE_INT0;
    else if (in.TakeWord("i1:"))
        value.Type = TKL_TYPE_INT1;
    else if (in.TakeWord("i2:"))
        value.Type = TKL_TYPE_INT2;
    bool negative = in.Take('-');
    uint64_t magnitude = 0;
    // 32 bits either way: down to -2^31, up to 2^32 - 1 (kept as its bit pattern).
    if (!ReadDecimal(in, negative ? 0x80000000ull : 0xFFFFFFFFull, magnitude))
        return false;
    uint32_t bits = (uint32_t)magnitude;
    if (negative)
        bits = 0u - bits;
    value.Number = (LONG)bits;
    return true;
}

// One "@TKL" line up to (not including) its newline or form feed.
bool ReadItemLine(Cursor &in, ParsedItem &item) {
    if (!in.TakeWord("@TKL"))
        return false;
    if (in.Peek() != ' ' && in.Peek() != '\t')
        return false;
    in.SkipBlanks();
    uint64_t code = 0;
    if (!ReadDecimal(in, 0xFFFFFFFFull, code))
        return false;
    item.Code = (DWORD)code;
    in.SkipBlanks();
    if (in.Take('=')) {
        do {
            in.SkipBlanks();
            ParsedValue value{};
            if (!ReadValue(in, value))
                return false;
            item.Values.push_back(std::move(value));
            in.SkipBlanks();
        } while (in.Take(','));
    }
    return in.Peek() == '\n' || in.Peek() == FORM_FEED;
}

// Parses up to and including the form feed; `consumed` is the bytes used.
DWORD ParseResponse(Cursor in, std::vector<ParsedItem> &items, DWORD &consumed) {
    size_t start = in.at;
    for (;;) {
        in.SkipBlanks();
        int c = in.Peek();
        if (c < 0)
            return TKL_ERROR_INCOMPLETE;
        if (c == FORM_FEED) {
            in.Skip();
            consumed = (DWORD)(in.at - start);
            return TKL_OK;
        }
        if (c == '\n') {
            in.Skip();
            continue;
        }
        ParsedItem item{};
        if (!ReadItemLine(in, item)) {
            // A line cut off by the end of the text is incomplete, not wrong.
            return in.AtEnd() ? TKL_ERROR_INCOMPLETE : TKL_ERROR_SYNTAX;
        }
        items.push_back(std::move(item));
        in.Take('\n');
    }
}

// Copies the parsed items into blocks of the memory contract.
DWORD BuildItems(const std::vector<ParsedItem> &parsed, TklItem **out) {
    *out = nullptr;
    if (parsed.empty())
        return TKL_OK;
    DWORD count = (DWORD)parsed.size();
    TklItem *items = (TklItem *)AllocLocked(count * sizeof(TklItem));
    if (items == nullptr)
        return TKL_ERROR_MEMORY;
    for (DWORD i = 0; i < count; i++) {
        const ParsedItem &source = parsed[i];
        TklItem &item = items[i];
        item.Code = source.Code;
        item.Size = 16;
        if (source.Values.empty())
            continue;
        DWORD valueCount = (DWORD)source.Values.size();
        item.Values = (TklValue *)AllocLocked(valueCount * sizeof(TklValue));
        if (item.Values == nullptr) {
            FreeItems(items, count);
            return TKL_ERROR_MEMORY;
        }
        item.ValueCount = valueCount;
        for (DWORD j = 0; j < valueCount; j++) {
            const ParsedValue &from = source.Values[j];
            TklValue &value = item.Values[j];
            value.Type = from.Type;
            item.Size += 8;
            if (from.Type != TKL_TYPE_STRING) {
                value.Length = 4;
                value.Data.Number = from.Number;
                continue;
            }
            LPSTR copy = (LPSTR)AllocLocked(from.Text.size() + 1);
            if (copy == nullptr) {
                FreeItems(items, count);
                return TKL_ERROR_MEMORY;
            }
            memcpy(copy, from.Text.data(), from.Text.size());
            value.Data.Text = copy;
            value.Length = (WORD)from.Text.size();
            item.Size += (DWORD)from.Text.size() + 1;
        }
    }
    *out = items;
    return TKL_OK;
}

} // namespace

DLLEXPORT DWORD WINAPI VEROviriGetTklDataFromMailData(DWORD itemCount, TklItem *items,
                                                      DWORD *textLength, LPSTR *text,
                                                      DWORD reserved) {
    if (textLength == nullptr || text == nullptr || (items == nullptr && itemCount != 0))
        return TKL_ERROR_ARGUMENT;
    *textLength = 0;
    *text = nullptr;
    try {
        std::string out;
        DWORD result = ItemsToText(itemCount, items, out);
        if (result != TKL_OK)
            return result;
        LPSTR block = (LPSTR)AllocLocked(out.size() + 1);
        if (block == nullptr)
            return TKL_ERROR_MEMORY;
        memcpy(block, out.data(), out.size());
        *text = block;
        *textLength = (DWORD)out.size();
        return TKL_OK;
    } catch (...) {
        // Only the containers throw (no memory, or a text too long for one):
        // nothing leaves the library.
        return TKL_ERROR_MEMORY;
    }
}

DLLEXPORT DWORD WINAPI VEROviriGetMailDataFromTklData(DWORD textLength, LPCSTR text,
                                                      DWORD *unconsumed, DWORD *itemCount,
                                                      TklItem **items, DWORD reserved) {
    if (text == nullptr || unconsumed == nullptr || itemCount == nullptr || items == nullptr)
        return TKL_ERROR_ARGUMENT;
    // Nothing is used until a whole response has been read.
    *unconsumed = textLength;
    *itemCount = 0;
    *items = nullptr;
    try {
        std::vector<ParsedItem> parsed;
        DWORD consumed = 0;
        Cursor in{(const unsigned char *)text, textLength, 0};
        DWORD result = ParseResponse(in, parsed, consumed);
        if (result != TKL_OK)
            return result;
        result = BuildItems(parsed, items);
        if (result != TKL_OK)
            return result;
        *itemCount = (DWORD)parsed.size();
        *unconsumed = textLength - consumed;
        return TKL_OK;
    } catch (...) {
        // Only the containers throw (no memory, or a text too long for one):
        // nothing leaves the library.
        return TKL_ERROR_MEMORY;
    }
}
