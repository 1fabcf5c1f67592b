// The reference parser library's text parser (VEROviriGetMailDataFromTklData)
// on arbitrary text that is neither terminated nor well-formed: it must never
// read beyond the length it is given, and what it accepts must survive a
// round trip (items to text with VEROviriGetTklDataFromMailData and back give
// the same items). Every block it hands out is released by its pointer, as
// the monitor does.
#include "fuzz_input.h"
#include "veroviri.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void FreeLocked(LPVOID mem) {
    if (mem == nullptr)
        return;
    HGLOBAL block = GlobalHandle(mem);
    if (block == nullptr)
        abort(); // not a block of the memory contract
    GlobalUnlock(block);
    GlobalFree(block);
}

void FreeItems(TklItem *items, DWORD count) {
    for (DWORD i = 0; items != nullptr && i < count; i++) {
        for (DWORD v = 0; items[i].Values != nullptr && v < items[i].ValueCount; v++) {
            if (items[i].Values[v].Type == TKL_TYPE_STRING)
                FreeLocked(items[i].Values[v].Data.Text);
        }
        FreeLocked(items[i].Values);
    }
    FreeLocked(items);
}

// What the contract says of every item handed out.
void CheckItems(const TklItem *items, DWORD count) {
    if ((count == 0) != (items == nullptr))
        abort();
    for (DWORD i = 0; i < count; i++) {
        DWORD size = 16 + 8 * items[i].ValueCount;
        if ((items[i].ValueCount == 0) != (items[i].Values == nullptr))
            abort();
        for (DWORD v = 0; v < items[i].ValueCount; v++) {
            const TklValue &value = items[i].Values[v];
            if (value.Type > TKL_TYPE_STRING)
                abort();
            if (value.Type == TKL_TYPE_STRING) {
                if (value.Data.Text == nullptr || strlen(value.Data.Text) != value.Length)
                    abort();
                size += value.Length + 1u;
            } else if (value.Length != 4) {
                abort();
            }
        }
        if (items[i].Size != size)
            abort();
    }
}

bool SameItems(const TklItem *a, DWORD countA, const TklItem *b, DWORD countB) {
    if (countA != countB)
        return false;
    for (DWORD i = 0; i < countA; i++) {
        if (a[i].Code != b[i].Code || a[i].ValueCount != b[i].ValueCount)
            return false;
        for (DWORD v = 0; v < a[i].ValueCount; v++) {
            const TklValue &x = a[i].Values[v], &y = b[i].Values[v];
            if (x.Type != y.Type || x.Length != y.Length)
                return false;
            if (x.Type == TKL_TYPE_STRING ? strcmp(x.Data.Text, y.Data.Text) != 0
                                          : x.Data.Number != y.Data.Number)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The text in a block of exactly its size: no terminator unless the
    // input holds one.
    std::vector<char> text(data, data + size);
    DWORD unconsumed = 0, count = 0;
    TklItem *items = nullptr;
    DWORD result =
        VEROviriGetMailDataFromTklData((DWORD)size, text.data(), &unconsumed, &count, &items, 0);
    if (result != TKL_OK) {
        if (items != nullptr || count != 0 || unconsumed != size)
            abort();
        return 0;
    }
    if (unconsumed >= size || text[size - unconsumed - 1] != '\f')
        abort(); // the response ends with the form feed it consumed
    CheckItems(items, count);

    // Round trip.
    DWORD length = 0;
    LPSTR written = nullptr;
    if (VEROviriGetTklDataFromMailData(count, items, &length, &written, 0) != TKL_OK)
        abort();
    DWORD left = 0, again = 0;
    TklItem *reread = nullptr;
    if (VEROviriGetMailDataFromTklData(length, written, &left, &again, &reread, 0) != TKL_OK ||
        left != 0 || !SameItems(items, count, reread, again))
        abort();

    FreeItems(reread, again);
    FreeLocked(written);
    FreeItems(items, count);
    return 0;
}
