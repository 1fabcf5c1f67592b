// What the Windows-only tests share: reading back a file a library under
// test wrote, a path in the temporary folder, and setting a machine value.
#pragma once

#include <gtest/gtest.h>

#include "wintest.h"

#include <string>

// The whole file, empty when it cannot be opened (shared, as its writer may
// still hold it).
inline std::string ReadFileBytes(const std::wstring &path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

// `name` in the system's temporary folder.
inline std::wstring TempFolderPath(const WCHAR *name) {
    WCHAR folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

// Creates HKLM\`subKey` when needed and sets one value; a failure fails the test.
inline void SetMachineValue(const WCHAR *subKey, const WCHAR *name, DWORD type, const void *data,
                            DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, (const BYTE *)data, size), ERROR_SUCCESS);
    RegCloseKey(key);
}
inline void SetMachineDword(const WCHAR *subKey, const WCHAR *name, DWORD value) {
    SetMachineValue(subKey, name, REG_DWORD, &value, sizeof(value));
}
inline void SetMachineString(const WCHAR *subKey, const WCHAR *name, const std::wstring &value) {
    SetMachineValue(subKey, name, REG_SZ, value.c_str(),
                    (DWORD)((value.size() + 1) * sizeof(WCHAR)));
}
