// The scriptable transport: behaviour, record and script of the test double
// of "DARUZUROZ.DLL" (transport_double.cpp, built into
// ${QUENNET_DOUBLES_DIR}/transport, and without the exports GetChannelCapability,
// Send, SetTimeout and GetTimeout into ${QUENNET_DOUBLES_DIR}/transport_partial).
//
// The double is loaded and freed by the monitor under test; everything lives
// here, in a shared library that both the double and the test program link,
// so record, script and load counters survive every load of the double. The
// double's exports only count loads and forward here.
//
//   TransportDouble::Reset();
//   TransportDouble::SetDeviceId("MFG:X;MDL:M;JOB=0A1F;");
//   TransportDouble::SetConnectAnswer(3, ERROR_NOT_READY);
//   ... run the monitor ...
//   EXPECT_EQ(TransportDouble::CallNames(), (std::vector<std::string>{
//                 "CreateSocket", "Bind", "GetChannelCapability", "Connect", ...}));
//
// Default answers: CreateSocket a new id (1, 2, ...); Bind, Connect,
// CloseSocket 0; GetChannelCapability the device ID (0, cut to the output
// size) for IOCTL_PAR_QUERY_DEVICE_ID, -1 otherwise; Send every byte;
// GetTimeout 1 with 7000 and 60000; SetTimeout 1. All functions are thread-safe.
#pragma once

#include "transport_api.h"

#include <string>
#include <vector>

#ifdef _WIN32
#ifdef TRANSPORT_DOUBLE_STATE_BUILD
#define TRANSPORT_DOUBLE_API __declspec(dllexport)
#else
#define TRANSPORT_DOUBLE_API __declspec(dllimport)
#endif
#else
#define TRANSPORT_DOUBLE_API __attribute__((visibility("default")))
#endif

namespace TransportDouble {

// One call into the double, in the order they came.
struct Call {
    // "CreateSocket", "Bind", "GetSockedID", "Connect", "CloseSocket", "Recv",
    // "Send", "GetChannelCapability", "SetTimeout" or "GetTimeout".
    std::string Name;
    WORD Socket = 0;           // the socket passed (CreateSocket: the one answered)
    std::string Device;        // Bind: the device name up to its terminator
    std::vector<BYTE> Address; // Bind, Connect: the 44 address bytes
    DWORD Code = 0;            // GetChannelCapability
    DWORD InSize = 0, OutSize = 0;
    DWORD First = 0, Second = 0; // SetTimeout
    std::string Data;            // Send: the bytes offered
    int Answer = 0;
};

// ---------------------------------------------------------------- script
// Forgets calls, script, open sockets and load counters (call it while the
// double is not loaded).
TRANSPORT_DOUBLE_API void Reset();
// CreateSocket answers `answer` with last error `error` (0: new ids again).
TRANSPORT_DOUBLE_API void SetCreateSocketAnswer(WORD answer, DWORD error = 0);
// Bind / Connect answer `answer`; a non-zero one sets last error `error`.
TRANSPORT_DOUBLE_API void SetBindAnswer(int answer, DWORD error = 0);
TRANSPORT_DOUBLE_API void SetConnectAnswer(int answer, DWORD error = 0);
// The next sends answer these values in order (a value >= 0 takes that many
// bytes, cut to what was offered); then every send takes every byte.
TRANSPORT_DOUBLE_API void ScriptSends(std::vector<int> answers);
// The device ID that GetChannelCapability answers; SetCapabilityAnswer
// makes it answer `answer` (non-zero: nothing returned) instead.
TRANSPORT_DOUBLE_API void SetDeviceId(const std::string &deviceId);
TRANSPORT_DOUBLE_API void SetCapabilityAnswer(int answer);
// What GetTimeout answers and stores.
TRANSPORT_DOUBLE_API void SetTimeouts(int answer, DWORD first, DWORD second);

// ---------------------------------------------------------------- record
TRANSPORT_DOUBLE_API std::vector<Call> Calls();
TRANSPORT_DOUBLE_API std::vector<Call> Calls(const std::string &name);
TRANSPORT_DOUBLE_API std::vector<std::string> CallNames();
// Forgets the calls and the bytes sent.
TRANSPORT_DOUBLE_API void ClearCalls();
// Every byte taken by Send, in order.
TRANSPORT_DOUBLE_API std::string Sent();
// Sockets created and not yet closed.
TRANSPORT_DOUBLE_API std::vector<WORD> OpenSockets();
// Times a variant ("transport" or "transport_partial") was loaded / unloaded.
TRANSPORT_DOUBLE_API int Loads(const std::string &variant = "transport");
TRANSPORT_DOUBLE_API int Unloads(const std::string &variant = "transport");

// ---------------------------------------------------------------- used by the double
TRANSPORT_DOUBLE_API void NoteLoad(const char *variant);
TRANSPORT_DOUBLE_API void NoteUnload(const char *variant);
TRANSPORT_DOUBLE_API WORD CreateSocket();
TRANSPORT_DOUBLE_API int Bind(WORD socket, ChannelBindAddress *address);
TRANSPORT_DOUBLE_API int GetSockedID(WORD socket);
TRANSPORT_DOUBLE_API int Connect(WORD socket, ChannelConnectAddress *address);
TRANSPORT_DOUBLE_API int CloseSocket(WORD socket);
TRANSPORT_DOUBLE_API int Recv(WORD socket, LPBYTE buffer, DWORD count);
TRANSPORT_DOUBLE_API int Send(WORD socket, LPBYTE data, DWORD count);
TRANSPORT_DOUBLE_API int GetChannelCapability(WORD socket, DWORD code, LPVOID in, DWORD inSize,
                                              LPVOID out, DWORD outSize, LPDWORD returned);
TRANSPORT_DOUBLE_API int SetTimeout(WORD socket, DWORD first, DWORD second);
TRANSPORT_DOUBLE_API int GetTimeout(WORD socket, LPDWORD first, LPDWORD second);

} // namespace TransportDouble
