// Reference transport "DARUZUROZ.DLL": numbered job channels of a printer
// device over TCP. A socket is bound to a device name ("LPT1"), can then be
// asked for the device's IEEE 1284 device ID, and is connected to one job
// channel (1 to 255), which is the TCP endpoint Host:BasePort+channel; the
// job's bytes are sent over it and the job ends when the socket is closed.
//
// Configuration (read at every bind), HKLM\SOFTWARE\Daruzuroz\Transport,
// each value overridden by the same value under the subkey named by the
// device (e.g. ...\Transport\LPT1):
//   Host          REG_SZ    printer address            (default 127.0.0.1)
//   BasePort      REG_DWORD channel n is BasePort + n  (default 9400)
//   ControlPort   REG_DWORD device-ID requests         (default BasePort)
//   DeviceId      REG_SZ    when present, the device ID answered without
//                           asking the printer
//   ReceiveTimeout REG_DWORD first time-out, ms        (default 10000)
//   SendTimeout   REG_DWORD second time-out, ms        (default 180000)
// The device-ID request: connect to Host:ControlPort, send the line
// "DEVICEID <device>\n"; the printer answers the device ID's bytes and
// closes the connection. See docs/transport.md.
#include "transport_api.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#ifdef _WIN32
// winsock.h comes with win32.h.
typedef SOCKET SocketHandle;
#define NO_HANDLE INVALID_SOCKET
#define SEND_FLAGS 0
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
typedef int SocketHandle;
#define NO_HANDLE (-1)
#define SEND_FLAGS MSG_NOSIGNAL
#endif

namespace {

// Windows Sockets error codes, the last errors this library reports.
constexpr DWORD WsaTimedOut = 10060;
constexpr DWORD WsaConnRefused = 10061;
constexpr DWORD WsaConnReset = 10054;
constexpr DWORD WsaNotSocket = 10038;
constexpr DWORD WsaNotConnected = 10057;
constexpr DWORD WsaInvalid = 10022;
constexpr DWORD WsaTooManySockets = 10024;

// ---------------------------------------------------------------- platform sockets

void CloseHandleOf(SocketHandle handle) {
#ifdef _WIN32
    closesocket(handle);
#else
    close(handle);
#endif
}

// The failing socket call's error as a Windows Sockets code.
DWORD SocketError() {
#ifdef _WIN32
    return (DWORD)WSAGetLastError();
#else
    switch (errno) {
    case ECONNREFUSED:
        return WsaConnRefused;
    case ETIMEDOUT:
    case EAGAIN:
    case EINPROGRESS:
        return WsaTimedOut;
    case ECONNRESET:
    case EPIPE:
        return WsaConnReset;
    default:
        return WsaInvalid;
    }
#endif
}

void SetHandleTimeout(SocketHandle handle, int option, DWORD ms) {
#ifdef _WIN32
    setsockopt(handle, SOL_SOCKET, option, (const char *)&ms, sizeof(ms));
#else
    timeval tv;
    tv.tv_sec = (time_t)(ms / 1000);
    tv.tv_usec = (suseconds_t)(ms % 1000) * 1000;
    setsockopt(handle, SOL_SOCKET, option, &tv, sizeof(tv));
#endif
}

// ---------------------------------------------------------------- configuration

const WCHAR TransportKey[] = WSTR("SOFTWARE\\Daruzuroz\\Transport");

struct Config {
    std::string Host = "127.0.0.1";
    DWORD BasePort = 9400;
    DWORD ControlPort = 0; // 0: BasePort
    bool HasDeviceId = false;
    std::string DeviceId;
    DWORD ReceiveTimeout = 10000;
    DWORD SendTimeout = 180000;
};

void ReadDword(HKEY key, LPCWSTR name, DWORD *value) {
    DWORD type = 0, data = 0, size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)&data, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(data))
        *value = data;
}

// A string value in the ANSI code page; FALSE when it is missing.
bool ReadText(HKEY key, LPCWSTR name, std::string *value) {
    WCHAR wide[1040];
    DWORD type = 0, size = sizeof(wide) - sizeof(WCHAR);
    if (RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)wide, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    wide[size / sizeof(WCHAR)] = 0;
    char narrow[2 * 1040];
    int length =
        WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, (int)sizeof(narrow), nullptr, nullptr);
    if (length <= 0)
        return false;
    *value = narrow;
    return true;
}

void ReadKey(LPCWSTR path, Config *config) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    ReadText(key, WSTR("Host"), &config->Host);
    ReadDword(key, WSTR("BasePort"), &config->BasePort);
    ReadDword(key, WSTR("ControlPort"), &config->ControlPort);
    if (ReadText(key, WSTR("DeviceId"), &config->DeviceId))
        config->HasDeviceId = true;
    ReadDword(key, WSTR("ReceiveTimeout"), &config->ReceiveTimeout);
    ReadDword(key, WSTR("SendTimeout"), &config->SendTimeout);
    RegCloseKey(key);
}

// The transport's values, then the device's own over them.
Config ReadConfig(const char *device) {
    Config config;
    ReadKey(TransportKey, &config);
    WCHAR path[128];
    int prefix = lstrlenW(TransportKey);
    memcpy(path, TransportKey, (size_t)prefix * sizeof(WCHAR));
    path[prefix] = '\\';
    int length = MultiByteToWideChar(CP_ACP, 0, device, -1, path + prefix + 1,
                                     (int)(sizeof(path) / sizeof(WCHAR)) - prefix - 1);
    if (length > 1)
        ReadKey(path, &config);
    if (config.ControlPort == 0)
        config.ControlPort = config.BasePort;
    return config;
}

// ---------------------------------------------------------------- sockets of the library

struct Socket {
    std::mutex Lock; // one call at a time on a socket
    bool Bound = false;
    std::string Device;
    Config Settings;
    BYTE Channel = 0; // connected channel, 0 when not connected
    SocketHandle Handle = NO_HANDLE;
    DWORD ReceiveTimeout = 10000; // first time-out
    DWORD SendTimeout = 180000;   // second time-out

    Socket() = default;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    // A socket still open when the library goes releases its connection.
    ~Socket() {
        if (Handle != NO_HANDLE)
            CloseHandleOf(Handle);
    }
};

std::mutex TableLock;
std::map<WORD, std::shared_ptr<Socket>> Sockets;
WORD NextId = 1;
constexpr size_t SocketsMax = 1024;

std::shared_ptr<Socket> Find(WORD id) {
    std::lock_guard<std::mutex> guard(TableLock);
    auto found = Sockets.find(id);
    if (found == Sockets.end())
        return nullptr;
    return found->second;
}

// A connected TCP handle to host:port with both time-outs set.
SocketHandle ConnectTo(const std::string &host, DWORD port, DWORD receiveMs, DWORD sendMs) {
    if (port == 0 || port > 65535) {
        SetLastError(WsaInvalid);
        return NO_HANDLE;
    }
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = inet_addr(host.c_str());
    if (address.sin_addr.s_addr == INADDR_NONE) {
        hostent *entry = gethostbyname(host.c_str());
        if (entry == nullptr || entry->h_addr_list[0] == nullptr) {
            SetLastError(WsaInvalid);
            return NO_HANDLE;
        }
        memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof(address.sin_addr));
    }

    SocketHandle handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle == NO_HANDLE) {
        SetLastError(SocketError());
        return NO_HANDLE;
    }
    SetHandleTimeout(handle, SO_RCVTIMEO, receiveMs);
    SetHandleTimeout(handle, SO_SNDTIMEO, sendMs);
    if (connect(handle, (sockaddr *)&address, sizeof(address)) != 0) {
        DWORD error = SocketError();
        CloseHandleOf(handle);
        SetLastError(error);
        return NO_HANDLE;
    }
    return handle;
}

// Asks the printer's control endpoint for the device ID of `device`.
bool QueryDeviceId(Socket &s, std::string *answer) {
    SocketHandle handle =
        ConnectTo(s.Settings.Host, s.Settings.ControlPort, s.ReceiveTimeout, s.SendTimeout);
    if (handle == NO_HANDLE)
        return false;
    std::string request = "DEVICEID " + s.Device + "\n";
    bool ok = send(handle, request.c_str(), (int)request.size(), SEND_FLAGS) == (int)request.size();
    // The answer ends when the printer closes the connection.
    char buffer[4096];
    while (ok && answer->size() < 65536) {
        int got = (int)recv(handle, buffer, (int)sizeof(buffer), 0);
        if (got == 0)
            break;
        if (got < 0)
            ok = false;
        else
            answer->append(buffer, (size_t)got);
    }
    DWORD error = ok ? 0 : SocketError();
    CloseHandleOf(handle);
    if (!ok)
        SetLastError(error);
    return ok;
}

} // namespace

// ---------------------------------------------------------------- exports

DLLEXPORT WORD WINAPI ZLT_CreateSocket(void) {
    std::lock_guard<std::mutex> guard(TableLock);
    if (Sockets.size() >= SocketsMax) {
        SetLastError(WsaTooManySockets);
        return TRANSPORT_NO_SOCKET;
    }
    // Ids run through 1..0x7FFF so that a stale id rarely names a new socket.
    while (Sockets.count(NextId) != 0 || NextId == 0 || NextId >= TRANSPORT_SOCKET_FAILED)
        NextId = (WORD)(NextId >= TRANSPORT_SOCKET_FAILED - 1 ? 1 : NextId + 1);
    WORD id = NextId;
    NextId = (WORD)(NextId >= TRANSPORT_SOCKET_FAILED - 1 ? 1 : NextId + 1);
    // Sockets need the Windows Sockets library while they live.
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        SetLastError(WsaInvalid);
        return TRANSPORT_NO_SOCKET;
    }
    Sockets[id] = std::make_shared<Socket>();
    return id;
}

DLLEXPORT int WINAPI ZLT_Bind(WORD id, ChannelBindAddress *address) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr) {
        SetLastError(WsaNotSocket);
        return -1;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    // A device name, terminated inside its field.
    if (address == nullptr || address->DeviceName[0] == 0 ||
        memchr(address->DeviceName, 0, sizeof(address->DeviceName)) == nullptr ||
        s->Handle != NO_HANDLE) {
        SetLastError(WsaInvalid);
        return -1;
    }
    s->Device = address->DeviceName;
    s->Settings = ReadConfig(s->Device.c_str());
    s->ReceiveTimeout = s->Settings.ReceiveTimeout;
    s->SendTimeout = s->Settings.SendTimeout;
    s->Bound = true;
    return 0;
}

DLLEXPORT int WINAPI ZLT_GetSockedID(WORD id) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr)
        return -1;
    std::lock_guard<std::mutex> guard(s->Lock);
    return s->Handle != NO_HANDLE ? (int)s->Channel : -1;
}

DLLEXPORT int WINAPI ZLT_Connect(WORD id, ChannelConnectAddress *address) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr) {
        SetLastError(WsaNotSocket);
        return -1;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    if (address == nullptr || address->Channel == 0 || !s->Bound || s->Handle != NO_HANDLE) {
        SetLastError(WsaInvalid);
        return -1;
    }
    SocketHandle handle = ConnectTo(s->Settings.Host, s->Settings.BasePort + address->Channel,
                                    s->ReceiveTimeout, s->SendTimeout);
    if (handle == NO_HANDLE)
        return -1;
    s->Handle = handle;
    s->Channel = address->Channel;
    return 0;
}

DLLEXPORT int WINAPI ZLT_CloseSocket(WORD id) {
    std::shared_ptr<Socket> s;
    {
        std::lock_guard<std::mutex> guard(TableLock);
        auto found = Sockets.find(id);
        if (found == Sockets.end()) {
            SetLastError(WsaNotSocket);
            return -1;
        }
        s = found->second;
        Sockets.erase(found);
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    if (s->Handle != NO_HANDLE)
        CloseHandleOf(s->Handle);
    s->Handle = NO_HANDLE;
    WSACleanup();
    return 0;
}

DLLEXPORT int WINAPI ZLT_Recv(WORD id, LPBYTE buffer, DWORD count) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr) {
        SetLastError(WsaNotSocket);
        return -1;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    if (s->Handle == NO_HANDLE) {
        SetLastError(WsaNotConnected);
        return -1;
    }
    int got = (int)recv(s->Handle, (char *)buffer, (int)(count > INT_MAX ? INT_MAX : count), 0);
    if (got < 0)
        SetLastError(SocketError());
    return got < 0 ? -1 : got;
}

DLLEXPORT int WINAPI ZLT_Send(WORD id, LPBYTE data, DWORD count) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr) {
        SetLastError(WsaNotSocket);
        return -1;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    if (s->Handle == NO_HANDLE) {
        SetLastError(WsaNotConnected);
        return -1;
    }
    // All of it, unless the time-out or the peer stops it; what went before a
    // failure still counts as sent.
    DWORD total = count > INT_MAX ? INT_MAX : count;
    DWORD sent = 0;
    while (sent < total) {
        int chunk =
            (int)send(s->Handle, (const char *)data + sent, (int)(total - sent), SEND_FLAGS);
        if (chunk <= 0) {
            SetLastError(SocketError());
            return sent > 0 ? (int)sent : -1;
        }
        sent += (DWORD)chunk;
    }
    return (int)sent;
}

DLLEXPORT int WINAPI ZLT_GetChannelCapability(WORD id, DWORD code, LPVOID in, DWORD inSize,
                                              LPVOID out, DWORD outSize, LPDWORD returned) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr) {
        SetLastError(WsaNotSocket);
        return -1;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    // Only the device ID is known, and only once the device is named.
    if (code != IOCTL_PAR_QUERY_DEVICE_ID || out == nullptr || returned == nullptr || !s->Bound) {
        SetLastError(code != IOCTL_PAR_QUERY_DEVICE_ID ? (DWORD)ERROR_NOT_SUPPORTED : WsaInvalid);
        return -1;
    }
    std::string deviceId;
    if (s->Settings.HasDeviceId)
        deviceId = s->Settings.DeviceId;
    else if (!QueryDeviceId(*s, &deviceId))
        return -1;
    // As the parallel port answers: the text without terminator, cut to the buffer.
    DWORD length = deviceId.size() > outSize ? outSize : (DWORD)deviceId.size();
    memcpy(out, deviceId.data(), length);
    *returned = length;
    return 0;
}

DLLEXPORT int WINAPI ZLT_SetTimeout(WORD id, DWORD first, DWORD second) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr) {
        SetLastError(WsaNotSocket);
        return 0;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    s->ReceiveTimeout = first;
    s->SendTimeout = second;
    if (s->Handle != NO_HANDLE) {
        SetHandleTimeout(s->Handle, SO_RCVTIMEO, first);
        SetHandleTimeout(s->Handle, SO_SNDTIMEO, second);
    }
    return 1;
}

DLLEXPORT int WINAPI ZLT_GetTimeout(WORD id, LPDWORD first, LPDWORD second) {
    std::shared_ptr<Socket> s = Find(id);
    if (s == nullptr || first == nullptr || second == nullptr) {
        SetLastError(s == nullptr ? WsaNotSocket : WsaInvalid);
        return 0;
    }
    std::lock_guard<std::mutex> guard(s->Lock);
    *first = s->ReceiveTimeout;
    *second = s->SendTimeout;
    return 1;
}

// The exports have exactly the types the monitor calls them through.
static_assert(std::is_same_v<decltype(&ZLT_CreateSocket), PFN_ZLT_CreateSocket>);
static_assert(std::is_same_v<decltype(&ZLT_Bind), PFN_ZLT_Bind>);
static_assert(std::is_same_v<decltype(&ZLT_GetSockedID), PFN_ZLT_GetSockedID>);
static_assert(std::is_same_v<decltype(&ZLT_Connect), PFN_ZLT_Connect>);
static_assert(std::is_same_v<decltype(&ZLT_CloseSocket), PFN_ZLT_CloseSocket>);
static_assert(std::is_same_v<decltype(&ZLT_Recv), PFN_ZLT_Recv>);
static_assert(std::is_same_v<decltype(&ZLT_Send), PFN_ZLT_Send>);
static_assert(std::is_same_v<decltype(&ZLT_GetChannelCapability), PFN_ZLT_GetChannelCapability>);
static_assert(std::is_same_v<decltype(&ZLT_SetTimeout), PFN_ZLT_SetTimeout>);
static_assert(std::is_same_v<decltype(&ZLT_GetTimeout), PFN_ZLT_GetTimeout>);
