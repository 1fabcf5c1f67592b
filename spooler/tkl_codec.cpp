#include "tkl_codec.h"

#include "tkl_types.h"

#include <stdio.h>

#include <mutex>

TklField TklField::Int(LONG number, WORD type) {
    TklField field;
    field.Type = type;
    field.Number = number;
    return field;
}

TklField TklField::Str(const std::string &text) {
    TklField field;
    field.Type = TKL_TYPE_STRING;
    field.Text = text;
    return field;
}

namespace tkl {

const char BlockMarker[] = "@TKL";

namespace {

std::mutex CodecMutex;
HMODULE Library = nullptr;
PFN_TklItemsToText ItemsToText = nullptr;
PFN_TklTextToItems TextToItems = nullptr;

template <class F> F ProcAs(FARPROC proc) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(proc));
}

// Blocks the parser hands out are locked movable global blocks.
void FreeBlock(void *block) {
    if (block == nullptr)
        return;
    HGLOBAL handle = GlobalHandle(block);
    if (handle == nullptr)
        return;
    GlobalUnlock(handle);
    GlobalFree(handle);
}

void FreeItems(TklItem *items, DWORD count) {
    if (items == nullptr)
        return;
    for (DWORD i = 0; i < count; i++) {
        if (items[i].Values == nullptr)
            continue;
        for (DWORD v = 0; v < items[i].ValueCount; v++) {
            if (items[i].Values[v].Type == TKL_TYPE_STRING)
                FreeBlock(items[i].Values[v].Data.Text);
        }
        FreeBlock(items[i].Values);
    }
    FreeBlock(items);
}

} // namespace

bool Load(std::string *error) {
    std::lock_guard<std::mutex> lock(CodecMutex);
    if (Library != nullptr)
        return true;
    HMODULE library = LoadLibraryW(TKL_PARSER_DLL);
    if (library == nullptr) {
        if (error != nullptr)
            *error = "the parser library VEROVIRI.DLL cannot be loaded (error " +
                     std::to_string(GetLastError()) + ")";
        return false;
    }
    auto toText = ProcAs<PFN_TklItemsToText>(GetProcAddress(library, TKL_ITEMS_TO_TEXT_EXPORT));
    auto toItems = ProcAs<PFN_TklTextToItems>(GetProcAddress(library, TKL_TEXT_TO_ITEMS_EXPORT));
    if (toText == nullptr || toItems == nullptr) {
        FreeLibrary(library);
        if (error != nullptr)
            *error = "VEROVIRI.DLL lacks its exports";
        return false;
    }
    Library = library;
    ItemsToText = toText;
    TextToItems = toItems;
    return true;
}

bool Loaded() {
    std::lock_guard<std::mutex> lock(CodecMutex);
    return Library != nullptr;
}

bool Parse(const std::string &block, std::vector<TklEntry> *items) {
    std::lock_guard<std::mutex> lock(CodecMutex);
    items->clear();
    if (TextToItems == nullptr)
        return false;
    DWORD unconsumed = 0, count = 0;
    TklItem *parsed = nullptr;
    DWORD result = TextToItems((DWORD)block.size(), block.c_str(), &unconsumed, &count, &parsed, 0);
    if (result != 0) {
        FreeItems(parsed, count);
        return false;
    }
    for (DWORD i = 0; i < count; i++) {
        TklEntry entry;
        entry.Code = parsed[i].Code;
        for (DWORD v = 0; parsed[i].Values != nullptr && v < parsed[i].ValueCount; v++) {
            const TklValue &value = parsed[i].Values[v];
            TklField field;
            field.Type = value.Type;
            if (value.Type == TKL_TYPE_STRING)
                field.Text = value.Data.Text != nullptr ? value.Data.Text : "";
            else
                field.Number = value.Data.Number;
            entry.Values.push_back(field);
        }
        items->push_back(entry);
    }
    FreeItems(parsed, count);
    return true;
}

bool Compose(const std::vector<TklEntry> &items, std::string *text) {
    std::lock_guard<std::mutex> lock(CodecMutex);
    text->clear();
    if (ItemsToText == nullptr || items.empty())
        return false;
    // The parser only reads the items, so they can live in ordinary memory.
    std::vector<TklItem> records(items.size());
    std::vector<std::vector<TklValue>> values(items.size());
    for (size_t i = 0; i < items.size(); i++) {
        records[i].Code = items[i].Code;
        records[i].Size = 16;
        for (const TklField &field : items[i].Values) {
            TklValue value = {};
            value.Type = field.Type;
            if (field.Type == TKL_TYPE_STRING) {
                value.Length = (WORD)field.Text.size();
                value.Data.Text = (LPSTR)field.Text.c_str();
                records[i].Size += 8 + (DWORD)field.Text.size() + 1;
            } else {
                value.Length = 4;
                value.Data.Number = field.Number;
                records[i].Size += 8;
            }
            values[i].push_back(value);
        }
        records[i].ValueCount = (DWORD)values[i].size();
        records[i].Values = values[i].empty() ? nullptr : values[i].data();
    }
    DWORD length = 0;
    LPSTR composed = nullptr;
    DWORD result = ItemsToText((DWORD)records.size(), records.data(), &length, &composed, 0);
    if (result != 0 || composed == nullptr) {
        FreeBlock(composed);
        return false;
    }
    text->assign(composed, length);
    FreeBlock(composed);
    if (text->empty() || text->back() != FormFeed)
        text->push_back(FormFeed);
    return true;
}

static bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

DWORD TagJobId(const std::string &text) {
    std::string tag = text;
    if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"')
        tag = tag.substr(1, tag.size() - 2);
    // The job id is the last 8 characters; the destination field may run
    // longer than 29 characters when the notification port needs more digits.
    if (tag.size() < 38 || tag[0] != '+')
        return 0;
    std::string digits = tag.substr(tag.size() - 8);
    DWORD id = 0;
    for (char c : digits) {
        if (!IsHex(c))
            return 0;
        id = id * 16 + (DWORD)(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return id;
}

std::string PortTag(DWORD jobId) {
    char tag[64];
    snprintf(tag, sizeof(tag), "+%-29s%08X", "LPT", (unsigned)jobId);
    return tag;
}

std::string Printable(const std::string &bytes, size_t limit) {
    std::string out;
    size_t shown = limit != 0 && bytes.size() > limit ? limit : bytes.size();
    for (size_t i = 0; i < shown; i++) {
        unsigned char c = (unsigned char)bytes[i];
        char escape[8];
        switch (c) {
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                snprintf(escape, sizeof(escape), "\\x%02X", c);
                out += escape;
            } else {
                out += (char)c;
            }
        }
    }
    if (shown < bytes.size())
        out += "... (" + std::to_string(bytes.size() - shown) + " more bytes)";
    return out;
}

} // namespace tkl
