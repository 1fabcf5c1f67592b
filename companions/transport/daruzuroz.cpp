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
// A time-out bounds a whole call: a device-ID answer, a send of all its
// bytes, a connect, one receive (a deadline, not a limit per socket call).
// The device-ID request: connect to Host:ControlPort, send the line
// "DEVICEID <device>\n"; the printer answers the device ID's bytes and
// closes the connection. See docs/transport.md.
#include "transport_api.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#ifdef _WIN32
// winsock.h comes with win32.h.
typedef SOCKET SocketHandle;
typedef int SocketLength;
#define NO_HANDLE INVALID_SOCKET
#define SEND_FLAGS 0
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int SocketHandle;
typedef socklen_t SocketLength;
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
constexpr DWORD WsaNoBuffers = 10055;

// ---------------------------------------------------------------- platform sockets

void CloseHandleOf(SocketHandle handle) {
#ifdef _WIN32
    closesocket(handle);
#else
    close(handle);
#endif
}

// A socket error number as a Windows Sockets code.
DWORD SocketErrorCode(int number) {
#ifdef _WIN32
    return (DWORD)number;
#else
    switch (number) {
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

int LastSocketError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

// The failing socket call's error as a Windows Sockets code.
DWORD SocketError() {
    return SocketErrorCode(LastSocketError());
}

// The failed call is to be made again: a signal came, or (on a socket
// that never blocks) it would have had to wait.
bool Interrupted() {
#ifdef _WIN32
    return WSAGetLastError() == WSAEINTR;
#else
    return errno == EINTR;
#endif
}
bool WouldBlock() {
#ifdef _WIN32
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
#endif
}

// Every socket of the library waits only in WaitReady, against a deadline.
void SetNonBlocking(SocketHandle handle) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(handle, FIONBIO, &on);
#else
    fcntl(handle, F_SETFL, fcntl(handle, F_GETFL, 0) | O_NONBLOCK);
#endif
}

using Clock = std::chrono::steady_clock;

// A time-out of the library (milliseconds) as the moment it ends.
Clock::time_point DeadlineAfter(DWORD ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

// Waits until the socket can be read (or written) or the deadline passes;
// a signal only shortens one wait. FALSE with the last error set when the
// deadline passed (WSAETIMEDOUT) or the wait failed.
bool WaitReady(SocketHandle handle, bool write, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            SetLastError(WsaTimedOut);
            return false;
        }
        int ms = left.count() > 1000 ? 1000 : (int)left.count();
#ifdef _WIN32
        // A failed connect shows in the exception set.
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_SET(handle, &ready);
        FD_ZERO(&failed);
        FD_SET(handle, &failed);
        timeval tv = {ms / 1000, (ms % 1000) * 1000};
        int result = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
#else
        pollfd poller = {handle, (short)(write ? POLLOUT : POLLIN), 0};
        int result = poll(&poller, 1, ms);
#endif
        if (result > 0)
            return true;
        if (result < 0 && !Interrupted()) {
            SetLastError(SocketError());
            return false;
        }
    }
}

// All of `count` bytes by the deadline, short sends continued; the bytes
// sent, with the last error set when that is fewer.
DWORD SendWithin(SocketHandle handle, const char *data, DWORD count, Clock::time_point deadline) {
    DWORD sent = 0;
    while (sent < count) {
        int chunk = (int)send(handle, data + sent, (int)(count - sent), SEND_FLAGS);
        if (chunk > 0) {
            sent += (DWORD)chunk;
            continue;
        }
        if (chunk < 0 && Interrupted())
            continue;
        if (chunk < 0 && WouldBlock()) {
            if (!WaitReady(handle, true, deadline))
                return sent;
            continue;
        }
        SetLastError(chunk == 0 ? WsaConnReset : SocketError());
        return sent;
    }
    return sent;
}

// One receive by the deadline: the bytes received, 0 at the end of the
// stream, -1 with the last error set.
int ReceiveWithin(SocketHandle handle, char *buffer, int size, Clock::time_point deadline) {
    for (;;) {
        int got = (int)recv(handle, buffer, size, 0);
        if (got >= 0)
            return got;
        if (Interrupted())
            continue;
        if (!WouldBlock()) {
            SetLastError(SocketError());
            return -1;
        }
        if (!WaitReady(handle, false, deadline))
            return -1;
    }
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

// A connected TCP handle to host:port, connected within `ms`.
SocketHandle ConnectTo(const std::string &host, DWORD port, DWORD ms) {
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
    SetNonBlocking(handle);
    // The connection is made in the background; its result is the socket's
    // error once it can be written.
    DWORD error = 0;
    if (connect(handle, (sockaddr *)&address, sizeof(address)) != 0) {
        if (WouldBlock() || Interrupted()) {
            if (WaitReady(handle, true, DeadlineAfter(ms))) {
                int problem = 0;
                SocketLength size = sizeof(problem);
                if (getsockopt(handle, SOL_SOCKET, SO_ERROR, (char *)&problem, &size) != 0)
                    error = SocketError();
                else if (problem != 0)
                    error = SocketErrorCode(problem);
            } else {
                error = GetLastError();
            }
        } else {
            error = SocketError();
        }
    }
    if (error != 0) {
        CloseHandleOf(handle);
        SetLastError(error);
        return NO_HANDLE;
    }
    return handle;
}

// Asks the printer's control endpoint for the device ID of `device`: the
// request within the send time-out, the whole answer within the receive
// time-out.
bool QueryDeviceId(Socket &s, std::string *answer) {
    SocketHandle handle = ConnectTo(s.Settings.Host, s.Settings.ControlPort, s.SendTimeout);
    if (handle == NO_HANDLE)
        return false;
    std::string request = "DEVICEID " + s.Device + "\n";
    bool ok = SendWithin(handle, request.c_str(), (DWORD)request.size(),
                         DeadlineAfter(s.SendTimeout)) == request.size();
    // The answer ends when the printer closes the connection.
    auto deadline = DeadlineAfter(s.ReceiveTimeout);
    char buffer[4096];
    while (ok && answer->size() < 65536) {
        int got = ReceiveWithin(handle, buffer, (int)sizeof(buffer), deadline);
        if (got == 0)
            break;
        if (got < 0)
            ok = false;
        else
            answer->append(buffer, (size_t)got);
    }
    DWORD error = ok ? 0 : GetLastError();
    CloseHandleOf(handle);
    if (!ok)
        SetLastError(error);
    return ok;
}

// An export's body, with its failure answer for anything it throws (no
// memory for a socket or a text): nothing leaves the library.
template <class Result, class Body> Result Guarded(Result failure, Body body) {
    try {
        return body();
    } catch (...) {
        SetLastError(WsaNoBuffers);
        return failure;
    }
}

} // namespace

// ---------------------------------------------------------------- exports

DLLEXPORT WORD WINAPI ZLT_CreateSocket(void) {
    return Guarded<WORD>(TRANSPORT_NO_SOCKET, []() -> WORD {
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
        std::shared_ptr<Socket> s = std::make_shared<Socket>();
        // Sockets need the Windows Sockets library while they live.
        WSADATA data;
        if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
            SetLastError(WsaInvalid);
            return TRANSPORT_NO_SOCKET;
        }
        try {
            Sockets[id] = s;
        } catch (...) {
            WSACleanup();
            throw;
        }
        return id;
    });
}

DLLEXPORT int WINAPI ZLT_Bind(WORD id, ChannelBindAddress *address) {
    return Guarded(-1, [&] {
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
    });
}

DLLEXPORT int WINAPI ZLT_GetSockedID(WORD id) {
    return Guarded(-1, [&] {
        std::shared_ptr<Socket> s = Find(id);
        if (s == nullptr)
            return -1;
        std::lock_guard<std::mutex> guard(s->Lock);
        return s->Handle != NO_HANDLE ? (int)s->Channel : -1;
    });
}

DLLEXPORT int WINAPI ZLT_Connect(WORD id, ChannelConnectAddress *address) {
    return Guarded(-1, [&] {
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
        // The connect is bounded by the send time-out.
        SocketHandle handle =
            ConnectTo(s->Settings.Host, s->Settings.BasePort + address->Channel, s->SendTimeout);
        if (handle == NO_HANDLE)
            return -1;
        s->Handle = handle;
        s->Channel = address->Channel;
        return 0;
    });
}

DLLEXPORT int WINAPI ZLT_CloseSocket(WORD id) {
    return Guarded(-1, [&] {
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
    });
}

DLLEXPORT int WINAPI ZLT_Recv(WORD id, LPBYTE buffer, DWORD count) {
    return Guarded(-1, [&] {
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
        // One receive, within the receive time-out.
        return ReceiveWithin(s->Handle, (char *)buffer, (int)(count > INT_MAX ? INT_MAX : count),
                             DeadlineAfter(s->ReceiveTimeout));
    });
}

DLLEXPORT int WINAPI ZLT_Send(WORD id, LPBYTE data, DWORD count) {
    return Guarded(-1, [&] {
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
        // All of it within the send time-out, unless the peer stops it; what
        // went before a failure still counts as sent.
        DWORD total = count > INT_MAX ? INT_MAX : count;
        DWORD sent =
            SendWithin(s->Handle, (const char *)data, total, DeadlineAfter(s->SendTimeout));
        return sent > 0 || total == 0 ? (int)sent : -1;
    });
}

DLLEXPORT int WINAPI ZLT_GetChannelCapability(WORD id, DWORD code, LPVOID in, DWORD inSize,
                                              LPVOID out, DWORD outSize, LPDWORD returned) {
    return Guarded(-1, [&] {
        std::shared_ptr<Socket> s = Find(id);
        if (s == nullptr) {
            SetLastError(WsaNotSocket);
            return -1;
        }
        std::lock_guard<std::mutex> guard(s->Lock);
        // Only the device ID is known, and only once the device is named.
        if (code != IOCTL_PAR_QUERY_DEVICE_ID || out == nullptr || returned == nullptr ||
            !s->Bound) {
            SetLastError(code != IOCTL_PAR_QUERY_DEVICE_ID ? (DWORD)ERROR_NOT_SUPPORTED
                                                           : WsaInvalid);
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
    });
}

DLLEXPORT int WINAPI ZLT_SetTimeout(WORD id, DWORD first, DWORD second) {
    return Guarded(0, [&] {
        std::shared_ptr<Socket> s = Find(id);
        if (s == nullptr) {
            SetLastError(WsaNotSocket);
            return 0;
        }
        // Used from the next wait on.
        std::lock_guard<std::mutex> guard(s->Lock);
        s->ReceiveTimeout = first;
        s->SendTimeout = second;
        return 1;
    });
}

DLLEXPORT int WINAPI ZLT_GetTimeout(WORD id, LPDWORD first, LPDWORD second) {
    return Guarded(0, [&] {
        std::shared_ptr<Socket> s = Find(id);
        if (s == nullptr || first == nullptr || second == nullptr) {
            SetLastError(s == nullptr ? WsaNotSocket : WsaInvalid);
            return 0;
        }
        std::lock_guard<std::mutex> guard(s->Lock);
        *first = s->ReceiveTimeout;
        *second = s->SendTimeout;
        return 1;
    });
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
