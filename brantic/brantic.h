// Brantic, the channel monitor: its port record, flag bits and the
// operations its files share. One file per concern:
//   entry.cpp        InitializePrintMonitor(2), OpenPortEx, ClosePort, Shutdown, the record
//   job.cpp          StartDocPort, EndDocPort, the agent job-start step
//   output.cpp       OpenJobOutput, RetryJobOutput (both branches), the Port* calls
//   io.cpp           WritePort, ReadPort, GetPrinterDataFromPort, SendRecvBidiDataFromPort
//   devicemodel.cpp  ReadDeviceModel
//   transport.cpp    the transport library binding and its slot wrappers
//   channel.cpp      IsLocalLpt1, QueryJobChannel, the channel branch
//
// Every call into the port monitor goes through the Port* calls of
// output.cpp; each answers FALSE with ERROR_NOT_SUPPORTED for an empty slot,
// and its caller treats that its own way (a failed open, a short write,
// nothing to end).
#pragma once

#include "core.h"
#include "transport_api.h"

// ---------------------------------------------------------------- flag bits
constexpr DWORD JobActive = 0x1;
constexpr DWORD OpenDeferred = 0x4;
constexpr DWORD AgentStartDone = 0x10;
constexpr DWORD DataStarted = 0x20;
constexpr DWORD JobCancelled = 0x40;
constexpr DWORD AgentActive = 0x80;
constexpr DWORD LprPort = 0x100;

// ChannelSocket when the job has no transport socket.
constexpr WORD NO_SOCKET = TRANSPORT_NO_SOCKET;

// One opened port. The spooler's port handle is its address.
struct PortEntry : PortHead {
    // Signature, Next, PortName, PrinterName, Model, JobId, Flags: PortHead
    HANDLE PortHandle;    // the port monitor's handle; null when none is open
    HANDLE PrinterHandle; // spooler printer handle of the job; null when none
    WORD ChannelSocket;   // the job's transport socket; NO_SOCKET when none
    DocInfoCopy *DocInfo; // kept while the job's output open is deferred
    DWORD DocInfoLevel;
    MONITOR PortMonitorTable; // only the NT 4.0 slots are copied; the rest stay null
    // Under MonitorLock: the job's port monitor port is open and started;
    // cleared before EndDocPort ends and closes it.
    bool OutputOpen;
};

// Flag helpers on the monitor's own record.
inline void SetFlags(PortEntry *e, DWORD bits) {
    SetFlags(static_cast<PortHead *>(e), bits);
}
inline void ClearFlags(PortEntry *e, DWORD bits) {
    ClearFlags(static_cast<PortHead *>(e), bits);
}
inline bool TestFlags(PortEntry *e, DWORD bits) {
    return TestFlags(static_cast<PortHead *>(e), bits);
}
inline void AssignFlags(PortEntry *e, DWORD bits, bool on) {
    AssignFlags(static_cast<PortHead *>(e), bits, on);
}

// ---------------------------------------------------------------- exports
DLLEXPORT LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);
DLLEXPORT LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE instance);
DLLEXPORT BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved);

// ---------------------------------------------------------------- spooler entry points
BOOL WINAPI OpenPortEx(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor);
BOOL WINAPI ClosePort(HANDLE port);
// The Windows 2000 contract's own entry points.
BOOL WINAPI OpenPortEx(HANDLE monitor, HANDLE monitorPort, LPWSTR portName, LPWSTR printerName,
                       PHANDLE handle, LPMONITOR2 portMonitor);
VOID WINAPI Shutdown(HANDLE monitor);
DWORD WINAPI SendRecvBidiDataFromPort(HANDLE port, DWORD access, LPCWSTR action,
                                      PBIDI_REQUEST_CONTAINER request,
                                      PBIDI_RESPONSE_CONTAINER *response);
BOOL WINAPI StartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL WINAPI EndDocPort(HANDLE port);
BOOL WINAPI WritePort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written);
BOOL WINAPI ReadPort(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD read);
BOOL WINAPI GetPrinterDataFromPort(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                                   DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned);

// ---------------------------------------------------------------- job
// The agent job-start step of StartDocPort.
void AnnounceJob(PortEntry *e);
// Opens the job's output over the channel or through the port monitor; a
// failure defers it to WritePort (OpenDeferred, DocInfo kept) and leaves the
// failing call's last error. Never fails the caller.
void OpenJobOutput(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
// The deferred open, with the kept document information. FALSE with the
// failing call's last error.
BOOL RetryJobOutput(PortEntry *e);
// Closes what the job's output opened: the channel socket, or the port
// monitor's document ended and its port closed (its handle forgotten); a
// deferred output has nothing open.
void CloseJobOutput(PortEntry *e);
// Releases what a job holds: the kept document information, its output
// (CloseJobOutput), AgentJobEnd when the agent takes part, the printer handle.
// `markSent`: the job is marked sent and ejected before the handle closes
// (EndDocPort); a port closed mid-job releases without ending it as printed.
void ReleaseJob(PortEntry *e, bool markSent);

// ---------------------------------------------------------------- port monitor below
// The one seam into the port monitor (output.cpp). PortOpen opens into
// `handle`; PortStartDoc, PortWrite, PortRead and PortGetPrinterData act on
// PortHandle, the others on the handle they are given.
BOOL PortOpen(PortEntry *e, PHANDLE handle);
BOOL PortStartDoc(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL PortWrite(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD written);
BOOL PortRead(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD read);
BOOL PortEndDoc(PortEntry *e, HANDLE handle);
BOOL PortClose(PortEntry *e, HANDLE handle);
BOOL PortGetPrinterData(PortEntry *e, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                        DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned);
DWORD PortBidi(PortEntry *e, HANDLE handle, DWORD access, LPCWSTR action,
               PBIDI_REQUEST_CONTAINER request, PBIDI_RESPONSE_CONTAINER *response);

// ---------------------------------------------------------------- device ID
#define MODEL_MAX 80
#define DEVICE_ID_BUFFER 1025
// Refreshes Model from the printer's device ID (over the channel when one is
// open, through the port monitor otherwise).
void ReadDeviceModel(PortEntry *e);

// ---------------------------------------------------------------- transport
// The library's exports in slot order; all null while it is not loaded.
struct TransportEntryPoints {
    PFN_ZLT_CreateSocket CreateSocket;
    PFN_ZLT_Bind Bind;
    PFN_ZLT_GetSockedID GetSockedID;
    PFN_ZLT_Connect Connect;
    PFN_ZLT_CloseSocket CloseSocket;
    PFN_ZLT_Recv Recv;
    PFN_ZLT_Send Send;
    PFN_ZLT_GetChannelCapability GetChannelCapability;
    PFN_ZLT_SetTimeout SetTimeout;
    PFN_ZLT_GetTimeout GetTimeout;
};

// One more / one less user (open port); the library is loaded with the first
// and freed after the last. Callers hold MonitorLock.
void LoadTransport();
void UnloadTransport();
BOOL TransportLoaded();
DWORD TransportUserCount();

// The slot wrappers: each answers as shown when its export is missing.
WORD TransportCreateSocket();                                      // 0xFFFF
int TransportBind(WORD socket, ChannelBindAddress *address);       // -1
int TransportGetSockedID(WORD socket);                             // -1
int TransportConnect(WORD socket, ChannelConnectAddress *address); // -1
int TransportCloseSocket(WORD socket);                             // -1
int TransportRecv(WORD socket, LPBYTE buffer, DWORD count);        // -1
int TransportSend(WORD socket, LPBYTE data, DWORD count);          // -1
int TransportGetChannelCapability(WORD socket, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                  DWORD outSize, LPDWORD returned);  // -1
int TransportSetTimeout(WORD socket, DWORD first, DWORD second);     // 0
int TransportGetTimeout(WORD socket, LPDWORD first, LPDWORD second); // 0

// ---------------------------------------------------------------- channel
#define CHANNEL_DEVICE "LPT1"
#define DEFAULT_JOB_CHANNEL 16
#define DEFAULT_RETRY_TIMEOUT 180 // seconds
// True for "LPT1" / "LPT1:" when the port is not redirected to the network.
BOOL IsLocalLpt1(LPCWSTR portName);
// The job channel number from the printer's device ID, 16 when it names none.
BYTE QueryJobChannel(PortEntry *e);
// Socket, bind, channel number, connect, time-out. FALSE with the failing
// call's last error in *error; a socket it created stays in ChannelSocket
// for the caller to close.
BOOL OpenChannel(PortEntry *e, LPDWORD error);
