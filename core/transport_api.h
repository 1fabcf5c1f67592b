// The transport library "DARUZUROZ.DLL": its ten exports and the two
// address records passed to them. Shared by Brantic and the reference
// transport in companions/transport (and the tests' stand-in).
#pragma once

#include "win32.h"

#define TRANSPORT_DLL WSTR("DARUZUROZ.DLL")

// Socket ids are 16-bit; bit 15 set in a ZLT_CreateSocket answer means failure.
#define TRANSPORT_SOCKET_FAILED 0x8000u
#define TRANSPORT_NO_SOCKET 0xFFFFu

#define CHANNEL_DEVICE_NAME_SIZE 42

// Passed to ZLT_Bind: the device the socket is to reach, as ANSI text.
typedef struct ChannelBindAddress {
    BYTE Reserved[2];                          // zero
    CHAR DeviceName[CHANNEL_DEVICE_NAME_SIZE]; // zero-terminated, "LPT1"
} ChannelBindAddress;

// Passed to ZLT_Connect: the device's job channel to open.
typedef struct ChannelConnectAddress {
    BYTE Channel;      // 1 to 255
    BYTE Reserved[43]; // zero
} ChannelConnectAddress;

static_assert(sizeof(ChannelBindAddress) == 44, "ChannelBindAddress is 44 bytes");
static_assert(sizeof(ChannelConnectAddress) == 44, "ChannelConnectAddress is 44 bytes");

// A new socket id, or a value with bit 15 set (last error set) on failure.
typedef WORD(WINAPI *PFN_ZLT_CreateSocket)(void);
// 0: bound to the named device; otherwise failure, last error set.
typedef int(WINAPI *PFN_ZLT_Bind)(WORD socket, ChannelBindAddress *address);
// The channel the socket is connected to, -1 when it is not connected.
typedef int(WINAPI *PFN_ZLT_GetSockedID)(WORD socket);
// 0, 1 or 2: connected; anything else: failure, last error set.
typedef int(WINAPI *PFN_ZLT_Connect)(WORD socket, ChannelConnectAddress *address);
// 0: closed; -1: no such socket.
typedef int(WINAPI *PFN_ZLT_CloseSocket)(WORD socket);
// Bytes received (0 at the end of the stream), -1 on failure.
typedef int(WINAPI *PFN_ZLT_Recv)(WORD socket, LPBYTE buffer, DWORD count);
// Bytes taken (0 or more), negative on failure.
typedef int(WINAPI *PFN_ZLT_Send)(WORD socket, LPBYTE data, DWORD count);
// 0: `out` holds the answer to `code` and `*returned` its size.
typedef int(WINAPI *PFN_ZLT_GetChannelCapability)(WORD socket, DWORD code, LPVOID in, DWORD inSize,
                                                  LPVOID out, DWORD outSize, LPDWORD returned);
// Non-zero: both time-outs (milliseconds) set.
typedef int(WINAPI *PFN_ZLT_SetTimeout)(WORD socket, DWORD first, DWORD second);
// Non-zero: both time-outs (milliseconds) stored.
typedef int(WINAPI *PFN_ZLT_GetTimeout)(WORD socket, LPDWORD first, LPDWORD second);
