// The [windows] section of the Windows profile and network drive connections
// (both read from the registry, platform/common/profile_registry.cpp), and
// the Windows Sockets start-up and name lookup.
#include "internal.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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
    return winplat::ProfileInt(section, key, defaultValue);
}

DWORD WINAPI WNetGetConnectionW(LPCWSTR localName, LPWSTR remoteName, LPDWORD length) {
    return winplat::NetworkConnection(localName, remoteName, length);
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
