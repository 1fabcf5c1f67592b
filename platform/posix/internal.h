// Helpers shared between the files of libwinplat.so; nothing here is exported.
#pragma once

#include "../common/common.h"
#include "../wintest.h"

#include <chrono>
#include <memory>
#include <string>

namespace winplat {

// ---------------------------------------------------------------- strings (strings.cpp)

// Upper-case fold of one UTF-16 unit for case-insensitive comparison
// (ASCII, Latin-1, Latin Extended-A, basic Greek and Cyrillic).
WCHAR FoldCase(WCHAR c);
// Three-way comparison ignoring case, as lstrcmpiW answers it (-1, 0, 1).
int CompareIgnoringCase(const WString &a, const WString &b);
// UTF-8 <-> UTF-16; malformed input becomes U+FFFD.
WString Utf8ToUtf16(const std::string &utf8);
std::string Utf16ToUtf8(const WString &utf16);
// A null pointer reads as the empty string.
WString WideOrEmpty(LPCWSTR s);

// ---------------------------------------------------------------- memory (memory.cpp)

// Counts the creation of a kernel object (event, thread) as one allocation
// of the fault injection; FALSE, with ERROR_NOT_ENOUGH_MEMORY set, when it is
// the one chosen to fail.
bool CountResourceCreation();

// The test clock (RealDuration) and the spooler record are in ../common/common.h.

// ---------------------------------------------------------------- kernel objects (sync.cpp)

// What a HANDLE of CreateThread names (events keep records of their own,
// sync.cpp). The handle table holds one reference; a waiter holds its own
// while it waits, so closing a handle never pulls the object from under a
// waiting thread.
struct KernelObject {
    enum class Kind { Thread };
    explicit KernelObject(Kind kind) : ObjectKind(kind) {}
    virtual ~KernelObject() = default;
    // WAIT_OBJECT_0 when signalled within `ms` (test clock), else WAIT_TIMEOUT.
    virtual DWORD Wait(DWORD ms) = 0;
    const Kind ObjectKind;
};

// Enters an object in the handle table and answers its handle.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
// The object of a live handle, or null.
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);

} // namespace winplat
