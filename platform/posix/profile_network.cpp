// The [windows] section of the Windows profile (mapped to the registry as on
// NT), network drive connections and the Windows Sockets start-up and
// name lookup.
#include "internal.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (!text.empty())
        memcpy(text.data(), data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

struct SocketsState {
    std::mutex Lock;
    long Starts = 0; // WSAStartup calls not yet matched by WSACleanup
};

SocketsState &Sockets() {
    static SocketsState *state = new SocketsState;
    return *state;
}

// Where WinGethostbyname's answer lives: one per thread, as on Windows.
struct HostStorage {
    hostent Host;
    char Name[256];
    char *Aliases[1];
    in_addr Address;
    char *Addresses[2];
};
thread_local HostStorage hostStorage;

} // namespace

UINT WINAPI GetProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue) {
    if (section == nullptr || key == nullptr || lstrcmpiW(section, u"windows") != 0)
        return static_cast<UINT>(defaultValue);
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (!ReadUserValue(u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", key, &type,
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
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        i++;
    bool negative = i < text.size() && text[i] == u'-';
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        i++;
    UINT number = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; i++)
        number = number * 10u + static_cast<UINT>(text[i] - u'0');
    return negative ? 0u - number : number;
}

DWORD WINAPI WNetGetConnectionW(LPCWSTR localName, LPWSTR remoteName, LPDWORD length) {
    if (localName == nullptr || length == nullptr || (remoteName == nullptr && *length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    // "LPT1:" and "LPT1" name the same device.
    WString device(localName);
    if (!device.empty() && device.back() == u':')
        device.pop_back();
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    WString key = u"Network\\" + device;
    if (device.empty() || device.find(u'\\') != WString::npos ||
        !ReadUserValue(key.c_str(), u"RemotePath", &type, &data) ||
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

int WINAPI WSAStartup(WORD version, LPWSADATA data) {
    if (data == nullptr)
        return WSAEFAULT;
    // Windows Sockets 1.1 is the oldest version served, 2.2 the newest.
    unsigned major = version & 0xFF, minor = version >> 8;
    memset(data, 0, sizeof *data);
    data->wHighVersion = MAKEWORD(2, 2);
    if (major < 1 || (major == 1 && minor < 1)) {
        data->wVersion = MAKEWORD(1, 1);
        return WSAVERNOTSUPPORTED;
    }
    data->wVersion = major > 2 || (major == 2 && minor > 2) ? MAKEWORD(2, 2) : version;
    strcpy(data->szDescription, "WinSock 2.0");
    strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    SocketsState &s = Sockets();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Starts++;
    return 0;
}

int WINAPI WSACleanup(void) {
    SocketsState &s = Sockets();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Starts == 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    s.Starts--;
    return 0;
}

struct hostent *WINAPI WinGethostbyname(const char *name) {
    // As on Windows, only between WSAStartup and WSACleanup.
    {
        SocketsState &s = Sockets();
        std::lock_guard<std::mutex> guard(s.Lock);
        if (s.Starts == 0) {
            SetLastError(WSANOTINITIALISED);
            return nullptr;
        }
    }
    // A null name stands for this host.
    HostStorage &h = hostStorage;
    char local[256] = "";
    if (name == nullptr) {
        gethostname(local, sizeof local - 1);
        name = local;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *found = nullptr;
    int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        SetLastError(status == EAI_AGAIN ? WSATRY_AGAIN : WSAHOST_NOT_FOUND);
        return nullptr;
    }
    // Fill the thread's answer with the first address.
    const char *canonical = found->ai_canonname != nullptr ? found->ai_canonname : name;
    snprintf(h.Name, sizeof h.Name, "%s", canonical);
    h.Address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    h.Aliases[0] = nullptr;
    h.Addresses[0] = reinterpret_cast<char *>(&h.Address);
    h.Addresses[1] = nullptr;
    h.Host.h_name = h.Name;
    h.Host.h_aliases = h.Aliases;
    h.Host.h_addrtype = AF_INET;
    h.Host.h_length = sizeof(in_addr);
    h.Host.h_addr_list = h.Addresses;
    return &h.Host;
}
