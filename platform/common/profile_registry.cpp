// The [windows] section of the Windows profile as NT maps it to the registry
// (HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\Windows),
// and the network connection of a device as its persistent entry under
// HKEY_CURRENT_USER\Network\<device> names it. The POSIX layer answers
// GetProfileIntW and WNetGetConnectionW with these; on Windows the steered
// calls of test programs do, since Wine keeps the profile in win.ini and has
// no network devices to connect.
#include "common.h"

#include <cstring>
#include <vector>

namespace {

// Reads a value of HKEY_CURRENT_USER\<key> into `data`; FALSE when missing.
bool ReadUserValue(LPCWSTR key, LPCWSTR name, DWORD *type, std::vector<BYTE> *data) {
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    LONG status = RegQueryValueExW(handle, name, nullptr, type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        data->resize(size);
        status = RegQueryValueExW(handle, name, nullptr, type, data->data(), &size);
        data->resize(size);
    }
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

// The UTF-16 text of a string value, up to its first terminator.
WString StringOf(const std::vector<BYTE> &data) {
    WString text(data.size() / 2, 0);
    memcpy(text.data(), data.data(), text.size() * 2);
    return text.substr(0, text.find((WCHAR)'\0'));
}

} // namespace

namespace winplat {

UINT ProfileInt(LPCWSTR section, LPCWSTR key, INT defaultValue) {
    if (section == nullptr || key == nullptr || lstrcmpiW(section, WSTR("windows")) != 0)
        return static_cast<UINT>(defaultValue);
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (!ReadUserValue(WSTR("Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows"), key, &type,
                       &data))
        return static_cast<UINT>(defaultValue);
    if (type == REG_DWORD && data.size() == 4) {
        DWORD number;
        memcpy(&number, data.data(), 4);
        return number;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return static_cast<UINT>(defaultValue);
    // Like Windows: an empty text gives the default; else the leading
    // decimal number after blanks and a sign, 0 when there is none.
    WString text = StringOf(data);
    if (text.empty())
        return static_cast<UINT>(defaultValue);
    size_t i = 0;
    while (i < text.size() && (text[i] == (WCHAR)' ' || text[i] == (WCHAR)'\t'))
        i++;
    bool negative = i < text.size() && text[i] == (WCHAR)'-';
    if (i < text.size() && (text[i] == (WCHAR)'-' || text[i] == (WCHAR)'+'))
        i++;
    UINT number = 0;
    for (; i < text.size() && text[i] >= (WCHAR)'0' && text[i] <= (WCHAR)'9'; i++)
        number = number * 10u + static_cast<UINT>(text[i] - (WCHAR)'0');
    return negative ? 0u - number : number;
}

DWORD NetworkConnection(LPCWSTR localName, LPWSTR remoteName, LPDWORD length) {
    if (localName == nullptr || length == nullptr || (remoteName == nullptr && *length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    // "LPT1:" and "LPT1" name the same device.
    WString device(localName);
    if (!device.empty() && device.back() == (WCHAR)':')
        device.pop_back();
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    WString key = WSTR("Network\\") + device;
    if (device.empty() || device.find((WCHAR)'\\') != WString::npos ||
        !ReadUserValue(key.c_str(), WSTR("RemotePath"), &type, &data) ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        SetLastError(ERROR_NOT_CONNECTED);
        return ERROR_NOT_CONNECTED;
    }
    // The length is in characters, the terminator included.
    WString remote = StringOf(data);
    DWORD needed = static_cast<DWORD>(remote.size() + 1);
    if (*length < needed) {
        *length = needed;
        SetLastError(ERROR_MORE_DATA);
        return ERROR_MORE_DATA;
    }
    memcpy(remoteName, remote.c_str(), needed * sizeof(WCHAR));
    return NO_ERROR;
}

} // namespace winplat
