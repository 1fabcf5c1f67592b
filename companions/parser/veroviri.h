// The reference job-language parser "VEROVIRI.DLL": its two exports and the
// answers they give. The text they write and read is described in docs/tkl.md.
#pragma once

#include "tkl_types.h"

// Answers of both exports.
#define TKL_OK 0
#define TKL_ERROR_ARGUMENT 1   // a null pointer, or an item the text cannot carry
#define TKL_ERROR_MEMORY 2     // a block could not be allocated
#define TKL_ERROR_SYNTAX 3     // the response is not well-formed TKL text
#define TKL_ERROR_INCOMPLETE 4 // no form feed within the given length

// Items to text: one "@TKL" line per item, then a form feed. The text and
// every block the parser hands out are locked GMEM_MOVEABLE | GMEM_ZEROINIT
// blocks; the caller's items are only read.
DLLEXPORT DWORD WINAPI VEROviriGetTklDataFromMailData(DWORD itemCount, TklItem *items,
                                                      DWORD *textLength, LPSTR *text,
                                                      DWORD reserved);

// One response (up to and including its form feed) to items. `unconsumed`
// receives the bytes after the form feed. Never reads beyond `textLength`
// bytes or the text's terminating zero.
DLLEXPORT DWORD WINAPI VEROviriGetMailDataFromTklData(DWORD textLength, LPCSTR text,
                                                      DWORD *unconsumed, DWORD *itemCount,
                                                      TklItem **items, DWORD reserved);
