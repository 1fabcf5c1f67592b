// Test double of the transport "DARUZUROZ.DLL": each export forwards to the
// scriptable state library (transport_double_state.h), which outlives this
// library's loads. Built complete, (TRANSPORT_DOUBLE_PARTIAL) without
// GetChannelCapability, Send, SetTimeout and GetTimeout, and
// (TRANSPORT_DOUBLE_WITHOUT_<name>) without one of CreateSocket, Bind, Connect.
#include "transport_double_state.h"

#ifdef TRANSPORT_DOUBLE_VARIANT
#define VARIANT TRANSPORT_DOUBLE_VARIANT
#elif defined(TRANSPORT_DOUBLE_PARTIAL)
#define VARIANT "transport_partial"
#else
#define VARIANT "transport"
#endif

namespace {

// Counts this library's loads and unloads in the state library.
struct LoadCounter {
    LoadCounter() { TransportDouble::NoteLoad(VARIANT); }
    ~LoadCounter() { TransportDouble::NoteUnload(VARIANT); }
} Counter;

} // namespace

#ifndef TRANSPORT_DOUBLE_WITHOUT_CreateSocket
DLLEXPORT WORD WINAPI ZLT_CreateSocket(void) {
    return TransportDouble::CreateSocket();
}
#endif

#ifndef TRANSPORT_DOUBLE_WITHOUT_Bind
DLLEXPORT int WINAPI ZLT_Bind(WORD socket, ChannelBindAddress *address) {
    return TransportDouble::Bind(socket, address);
}
#endif

DLLEXPORT int WINAPI ZLT_GetSockedID(WORD socket) {
    return TransportDouble::GetSockedID(socket);
}

#ifndef TRANSPORT_DOUBLE_WITHOUT_Connect
DLLEXPORT int WINAPI ZLT_Connect(WORD socket, ChannelConnectAddress *address) {
    return TransportDouble::Connect(socket, address);
}
#endif

DLLEXPORT int WINAPI ZLT_CloseSocket(WORD socket) {
    return TransportDouble::CloseSocket(socket);
}

DLLEXPORT int WINAPI ZLT_Recv(WORD socket, LPBYTE buffer, DWORD count) {
    return TransportDouble::Recv(socket, buffer, count);
}

#ifndef TRANSPORT_DOUBLE_PARTIAL
DLLEXPORT int WINAPI ZLT_Send(WORD socket, LPBYTE data, DWORD count) {
    return TransportDouble::Send(socket, data, count);
}

DLLEXPORT int WINAPI ZLT_GetChannelCapability(WORD socket, DWORD code, LPVOID in, DWORD inSize,
                                              LPVOID out, DWORD outSize, LPDWORD returned) {
    return TransportDouble::GetChannelCapability(socket, code, in, inSize, out, outSize, returned);
}

DLLEXPORT int WINAPI ZLT_SetTimeout(WORD socket, DWORD first, DWORD second) {
    return TransportDouble::SetTimeout(socket, first, second);
}

DLLEXPORT int WINAPI ZLT_GetTimeout(WORD socket, LPDWORD first, LPDWORD second) {
    return TransportDouble::GetTimeout(socket, first, second);
}
#endif
