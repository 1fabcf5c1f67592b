// Allocation, string-copy and registry helpers every part of a monitor uses.
#include "core.h"

#include <string.h>

LPVOID AllocFixed(SIZE_T bytes) {
    // Records and string copies: fixed, zero-filled, released with GlobalFree.
    return GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes);
}

LPVOID AllocMovable(SIZE_T bytes) {
    // Everything exchanged with the parser library: movable, kept locked.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (block == nullptr)
        return nullptr;
    LPVOID mem = GlobalLock(block);
    if (mem == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    // Zero again through the locked pointer: the contract says zero-filled.
    memset(mem, 0, bytes);
    return mem;
}

BOOL FreeMovable(LPVOID mem) {
    if (mem == nullptr)
        return FALSE;
    // Find the block from its locked pointer; a pointer of no block is left alone.
    HGLOBAL block = GlobalHandle(mem);
    if (block == nullptr)
        return FALSE;
    GlobalUnlock(block);
    GlobalFree(block);
    return TRUE;
}

LPWSTR DupWide(LPCWSTR s) {
    if (s == nullptr)
        return nullptr;
    SIZE_T units = (SIZE_T)lstrlenW(s) + 1;
    LPWSTR copy = (LPWSTR)AllocFixed(units * sizeof(WCHAR));
    if (copy != nullptr)
        memcpy(copy, s, units * sizeof(WCHAR));
    return copy;
}

LPSTR DupNarrow(LPCSTR s) {
    if (s == nullptr)
        return nullptr;
    SIZE_T bytes = strlen(s) + 1;
    LPSTR copy = (LPSTR)AllocFixed(bytes);
    if (copy != nullptr)
        memcpy(copy, s, bytes);
    return copy;
}

LONG ReadRegistryValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPDWORD type, LPBYTE data,
                       LPDWORD dataSize) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(root, subKey, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegQueryValueExW(key, valueName, nullptr, type, data, dataSize);
    RegCloseKey(key);
    return result;
}
