// The transport channel of a job: which ports may use it, the job channel
// number from the device ID, and opening the channel.
#include "brantic.h"

#include <stdio.h>
#include <string.h>

BOOL IsLocalLpt1(LPCWSTR portName) {
    if (portName == nullptr ||
        (lstrcmpW(portName, WSTR("LPT1:")) != 0 && lstrcmpW(portName, WSTR("LPT1")) != 0))
        return FALSE;
    // A port redirected to a network resource is not the local device; any
    // other answer (not connected, no network, ...) means it is.
    WCHAR remote[MAX_PATH];
    DWORD length = MAX_PATH;
    return WNetGetConnectionW(portName, remote, &length) != NO_ERROR;
}

BYTE QueryJobChannel(PortEntry *e) {
    // The device ID over the new socket; one byte of room stays for the terminator.
    alignas(WCHAR) char text[DEVICE_ID_BUFFER + 1] = {};
    DWORD returned = 0;
    if (!GetPrinterDataFromPort(e, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0, (LPWSTR)text,
                                DEVICE_ID_BUFFER, &returned) ||
        returned == 0)
        return DEFAULT_JOB_CHANNEL;
    if (returned > DEVICE_ID_BUFFER)
        returned = DEVICE_ID_BUFFER;
    text[returned] = 0;

    // "JOB=" after the first "MDL:", with its two leading characters and at
    // least two more after them.
    const char *model = strstr(text, "MDL:");
    if (model == nullptr)
        return DEFAULT_JOB_CHANNEL;
    const char *job = strstr(model, "JOB=");
    if (job == nullptr || strlen(job) < 8)
        return DEFAULT_JOB_CHANNEL;
    DWORD channel = ParseHexDigits(job + 6, 2);
    return channel != 0 ? (BYTE)channel : (BYTE)DEFAULT_JOB_CHANNEL;
}

BOOL OpenChannel(PortEntry *e, LPDWORD error) {
    // A refusal is a decision the first time; each retry of WritePort
    // (every 100 ms while the printer refuses) is a call.
    DWORD refusal = TestFlags(e, OpenDeferred) ? TRACE_CALLS : TRACE_DECISIONS;
    // A new socket for every open; a failed one is none.
    e->ChannelSocket = TransportCreateSocket();
    if ((e->ChannelSocket & TRANSPORT_SOCKET_FAILED) != 0) {
        *error = GetLastError();
        TRACE(refusal, e, "channel refused: no socket (error %u)", *error);
        e->ChannelSocket = NO_SOCKET;
        return FALSE;
    }

    // Bound to the device, so that its device ID can be asked.
    ChannelBindAddress bind;
    memset(&bind, 0, sizeof(bind));
    snprintf(bind.DeviceName, sizeof(bind.DeviceName), "%s", CHANNEL_DEVICE);
    if (TransportBind(e->ChannelSocket, &bind) != 0) {
        *error = GetLastError();
        TRACE(refusal, e, "channel refused: bind to %s failed (error %u)", CHANNEL_DEVICE, *error);
        return FALSE;
    }

    // Connected to the job channel that the device ID names.
    ChannelConnectAddress connect;
    memset(&connect, 0, sizeof(connect));
    connect.Channel = QueryJobChannel(e);
    int connected = TransportConnect(e->ChannelSocket, &connect);
    if (connected < 0 || connected > 2) {
        *error = GetLastError();
        TRACE(refusal, e, "channel %u refused: connect answered %d (error %u)", connect.Channel,
              connected, *error);
        return FALSE;
    }
    TRACE(TRACE_DECISIONS, e, "channel %u opened", connect.Channel);

    // The retry time-out from the profile, in milliseconds; the library's
    // own time-outs stay when it cannot tell them.
    DWORD first = 0, second = 0;
    if (TransportGetTimeout(e->ChannelSocket, &first, &second) != 0) {
        UINT seconds = GetProfileIntW(WSTR("windows"), WSTR("TransmissionRetryTimeout"),
                                      DEFAULT_RETRY_TIMEOUT);
        TransportSetTimeout(e->ChannelSocket, first, seconds * 1000);
    }
    return TRUE;
}
