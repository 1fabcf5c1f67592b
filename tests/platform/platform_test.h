// Shared helpers of the platform tests.
#pragma once

#include "wintest.h"

#include <functional>
#include <gtest/gtest.h>

// Set before a call so that a test sees whether the call changed the last error.
constexpr DWORD Sentinel = 0xdeadbeef;

// Runs `body` on a platform thread; the handle is returned for waiting.
inline HANDLE StartThread(std::function<void()> body, SIZE_T stackSize = 0) {
    auto *task = new std::function<void()>(std::move(body));
    return CreateThread(
        nullptr, stackSize,
        [](LPVOID parameter) -> DWORD {
            auto *work = static_cast<std::function<void()> *>(parameter);
            (*work)();
            delete work;
            return 0;
        },
        task, 0, nullptr);
}

// Waits for a thread started by StartThread and closes its handle.
inline void Join(HANDLE thread) {
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(thread));
}

// Byte view of a wide string, terminator included, as the registry stores it.
inline std::vector<BYTE> WideBytes(const WString &text) {
    const BYTE *p = reinterpret_cast<const BYTE *>(text.c_str());
    return std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(WCHAR));
}
