// Job-language items as the monitor and the parser library "VEROVIRI.DLL"
// exchange them, and as the status agent receives them.
#pragma once

#include "win32.h"

// Value types of a TklValue.
#define TKL_TYPE_INT0 0
#define TKL_TYPE_INT1 1
#define TKL_TYPE_INT2 2
#define TKL_TYPE_STRING 3

// One value: a 32-bit integer or a zero-terminated ANSI string. On a 64-bit
// build the pointer does not fit 32 bits, so the data is a union; clearing a
// value clears the whole union.
typedef struct TklValue {
    WORD Type;   // 0, 1, 2: integer; 3: string
    WORD Length; // 4 for an integer; for a string its bytes without the terminator
    union {
        LONG Number;
        LPSTR Text;
    } Data;
} TklValue;

// One item. `Size` keeps the wire formula (16, plus 8 per value, plus
// length + 1 per string) on every build: it is a number the parser library
// receives, never a count of bytes anybody allocates.
typedef struct TklItem {
    DWORD Code;
    DWORD Size;
    DWORD ValueCount;
    TklValue *Values; // ValueCount records, null when the count is 0
} TklItem;

// The parser library's two exports. Every block either side hands over is a
// locked movable global block (GMEM_MOVEABLE | GMEM_ZEROINIT), so the receiver
// frees it with GlobalHandle + GlobalUnlock + GlobalFree.
#define TKL_PARSER_DLL WSTR("VEROVIRI.DLL")
#define TKL_ITEMS_TO_TEXT_EXPORT "VEROviriGetTklDataFromMailData"
#define TKL_TEXT_TO_ITEMS_EXPORT "VEROviriGetMailDataFromTklData"

// Items to job-language text. Returns 0 on success, with *text a
// zero-terminated ANSI text and *textLength its length in bytes.
typedef DWORD(WINAPI *PFN_TklItemsToText)(DWORD itemCount, TklItem *items, DWORD *textLength,
                                          LPSTR *text, DWORD reserved);
// One form-feed-terminated response to items. Returns 0 on success, with
// *unconsumed the bytes at the end of the text it did not use.
typedef DWORD(WINAPI *PFN_TklTextToItems)(DWORD textLength, LPCSTR text, DWORD *unconsumed,
                                          DWORD *itemCount, TklItem **items, DWORD reserved);
