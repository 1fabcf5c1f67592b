// Quennet, the job-language monitor: its port record, flag bits and the
// operations its files share. One file per concern:
//   entry.cpp     InitializePrintMonitor(2), OpenPortEx, ClosePort, Shutdown, the record
//   job.cpp       StartDocPort, EndDocPort and the job helpers
//   io.cpp        WritePort, ReadPort, GetPrinterDataFromPort
//   deviceid.cpp  device identification
//   command.cpp   job-language command builder and sender
//   reader.cpp    response reader
//   thread.cpp    status polling thread
//   dispatch.cpp  response dispatcher
#pragma once

#include "core.h"
#include "tkl_types.h"

// ---------------------------------------------------------------- flag bits
constexpr DWORD JobActive = 0x1;
constexpr DWORD KeepPolling = 0x2;
constexpr DWORD ThreadRunning = 0x4;
constexpr DWORD StartSent = 0x8;
constexpr DWORD PrefixPending = 0x10;
constexpr DWORD JobLanguageOn = 0x20;
constexpr DWORD PortStarted = 0x40;
constexpr DWORD StartPending = 0x100;
constexpr DWORD OpenPending = 0x200;
constexpr DWORD AgentStartDone = 0x400;
constexpr DWORD DataStarted = 0x800;
constexpr DWORD WriteFailed = 0x2000;
constexpr DWORD LprPort = 0x4000;
constexpr DWORD JobCancelled = 0x8000;
constexpr DWORD AgentActive = 0x10000;

// A job id whose end the printer has still to report; newest first.
struct JobIdNode {
    JobIdNode *Next; // next older node
    DWORD JobId;
};

// Value of RemoveJobIds meaning every pending id.
constexpr DWORD ALL_JOB_IDS = 0xFFFFFFFF;

// One opened port. The spooler's port handle is its address.
struct PortEntry : PortHead {
    // Signature, Next, PortName, PrinterName, Model, JobId, Flags: PortHead
    DWORD StatusCode; // status word of the last status report; 0 from the thread's start
    JobIdNode *JobIds;
    HANDLE PortHandle;
    HANDLE PrinterHandle;
    HANDLE WakeEvent;     // auto-reset; wakes the status thread or asks it to stop
    HANDLE ReadDoneEvent; // manual-reset; set when the thread's read is done
    HANDLE PortIoEvent;   // auto-reset; the printer connection's turn
    DWORD LastActivityTick;
    LPSTR PendingCommand; // AllocMovable text written ahead of the job's data
    DWORD PendingLength;
    DWORD PendingOffset;
    DocInfoCopy *DocInfo; // the DocInfoCopy kept while the open or start is deferred
    DWORD DocInfoLevel;
    DWORD PollingLevel;
    HMODULE ThreadLibrary; // the status thread's reference to this library, or null
    LPSTR ReadCarry;       // a response still arriving when a read cycle reached its end
    DWORD ReadCarryLength;
    MONITOR PortMonitorTable; // only the NT 4.0 slots are copied; the rest stay null
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
// Clears `bit` atomically and answers whether it was set: of several threads
// claiming the same bit, exactly one wins (PortStarted: who ends and closes
// the port below).
inline bool ClaimFlag(PortEntry *e, DWORD bit) {
    return (std::atomic_ref<DWORD>(e->Flags).fetch_and(~bit) & bit) != 0;
}

// Event handle fields are polled by other threads (StopStatusThread waits for
// WakeEvent to become null): read and write them atomically.
inline HANDLE LoadHandle(HANDLE &field) {
    return std::atomic_ref<HANDLE>(field).load();
}
inline void StoreHandle(HANDLE &field, HANDLE value) {
    std::atomic_ref<HANDLE>(field).store(value);
}

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

// ---------------------------------------------------------------- job start and end
BOOL OpenAndStartPort(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
// ChooseJobMode's "RVT-101" shortcut (a thread still running from an earlier
// job means the job language): StartDocPort takes it; the deferred start has
// no thread of an earlier job to go by.
enum ModelShortcut { WITHOUT_MODEL_SHORTCUT, WITH_MODEL_SHORTCUT };
void ChooseJobMode(PortEntry *e, ModelShortcut shortcut);
void SetReadTimeouts(PortEntry *e);
void ReleaseJobBuffers(PortEntry *e);
// How far the port below came for a job: what a release of it undoes.
enum class PortBelow { NotOpened, Opened, Started };
// Releases what a job holds without ending it as printed (no job-end command,
// no spooler marks, no 0x80 to the agent): the port monitor's document ended
// when it was started and its port closed when it was opened, AgentJobEnd
// when the agent takes part, the printer handle closed. For the status
// thread's exit (a port left started for it) and a port closed mid-job.
void ReleaseJobHold(PortEntry *e, PortBelow below);
// ClosePort's part for a job the spooler never ended, called once JobActive
// is cleared and the status thread is stopped: what the job still holds, as
// far as the thread's exit has not released it, and its buffers.
void ReleaseUnfinishedJob(PortEntry *e);
// The job's end for EndDocPort: the job-end command when the job-start one
// was sent, the newest job id dropped when the printer will not report it,
// and a job-language job marked sent and ejected. True when it marked the job
// (the status thread may turn JobLanguageOn off meanwhile: EndDocPort goes by
// what was done, so the job is marked ejected exactly once).
bool FinishJob(PortEntry *e);
BOOL PushJobId(PortEntry *e, DWORD jobId);
JobIdNode *FindJobId(PortEntry *e, DWORD jobId, JobIdNode **predecessor);
void RemoveJobIds(PortEntry *e, DWORD jobId, BOOL notify);
// Removes the oldest node of `jobId` and every older one. Unlike RemoveJobIds
// it takes 0xFFFFFFFF as a job id like any other: for one job's id.
void RemoveJobIdAndOlder(PortEntry *e, DWORD jobId, BOOL notify);
// How a job id left the list, for NotifyJobRemoved: the printer reported the
// end of that job or a later one (the agent is told 0x1000100), or the id was
// dropped unreported (0x100).
constexpr DWORD JOB_END_REPORTED = 1;
constexpr DWORD JOB_DROPPED = 0;
void NotifyJobRemoved(PortEntry *e, JobIdNode *node, DWORD kind);
// AgentJobStart with the model when the printer was identified for this job
// (PortStarted and JobLanguageOn), else "".
LONG CallAgentJobStart(PortEntry *e);

// ---------------------------------------------------------------- port monitor below
// Every call into the port monitor's table goes through these: a slot the
// port monitor left empty fails with ERROR_NOT_SUPPORTED (a write or read
// then reports 0 bytes) instead of being called. Callers that treat an empty
// slot their own way also look at it themselves: QueryDeviceId (not capable),
// ForwardPrinterData (ERROR_INVALID_PARAMETER), SetReadTimeouts (nothing to
// set) and SendCommandText (no retries).
BOOL PortOpen(PortEntry *e); // pfnOpenPort([hMonitorPort,] PortName, &PortHandle)
BOOL PortStartDoc(PortEntry *e, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL PortWrite(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD written);
BOOL PortRead(PortEntry *e, LPBYTE buffer, DWORD count, LPDWORD read);
BOOL PortEndDoc(PortEntry *e);
BOOL PortClose(PortEntry *e);
BOOL PortGetPrinterData(PortEntry *e, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                        DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned);
BOOL PortSetTimeOuts(PortEntry *e, LPCOMMTIMEOUTS timeouts); // reserved argument 0
DWORD PortBidi(PortEntry *e, DWORD access, LPCWSTR action, PBIDI_REQUEST_CONTAINER request,
               PBIDI_RESPONSE_CONTAINER *response); // on PortHandle; ERROR_NOT_SUPPORTED

// ---------------------------------------------------------------- write path
BOOL DeferredOpenAndStart(PortEntry *e);
BOOL ForwardPrinterData(PortEntry *e, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                        DWORD inSize, LPWSTR outBuffer, DWORD outSize, LPDWORD returned);

// ---------------------------------------------------------------- device identification
#define MODEL_MAX 80
#define DEVICE_ID_BUFFER 1025
BOOL QueryDeviceId(PortEntry *e);
BOOL ParseDeviceId(PortEntry *e, LPSTR text);
BOOL ModelContains(PortEntry *e, LPCSTR model);

// ---------------------------------------------------------------- command builder
#define COMMAND_JOB_START 1
#define COMMAND_JOB_END 2
#define COMMAND_NOTIFY_ONLY 3

struct CommandTemplate {
    DWORD Code;
    DWORD ValueType; // 0, 1, 2: integer 1, 2, 3 of the row; 3: String; 99: no value
    LONG Integer1;
    LONG Integer2;
    LONG Integer3;
    LPCSTR String;
};
#define VALUE_NONE 99

// The command of `kind` as text: with both outputs the caller gets the text
// (FreeMovable); with neither it is sent now and released. FALSE when one
// output is given without the other, or on any failure.
BOOL PrepareCommand(PortEntry *e, DWORD kind, LPSTR *text, LPDWORD length);
// PrepareCommand without outputs: the command is built and sent to the
// printer now; the result is the send's.
BOOL BuildAndSendCommand(PortEntry *e, DWORD kind);
BOOL BuildCommandItems(PortEntry *e, DWORD kind, TklItem **items, LPDWORD count);
BOOL ComposeCommandText(TklItem *items, DWORD count, LPSTR *text, LPDWORD length);
void FreeTklItems(TklItem *items, DWORD count);
BOOL SendCommandText(PortEntry *e, LPCSTR text);
DWORD GetJobNotifyPort();
BOOL GetLocalIPv4Address(BYTE address[4]);

// The command lists of the two families, indexed by kind - 1; each list
// ends with a row whose code is 0. The kind-3 list is shared.
extern const CommandTemplate *const StandardCommandLists[3];
extern const CommandTemplate *const Rvt101CommandLists[3];

// Notification strings: "+", a 29-character destination, the job id in
// 8 hexadecimal digits; the quoted forms add a '"' at each end. Each writes
// at most `size` bytes (terminator included) and answers the text's length.
#define NOTIFICATION_BUFFER 128
int FormatPortNotification(LPSTR buffer, size_t size, DWORD jobId, BOOL quoted);
int FormatDatagramNotification(LPSTR buffer, size_t size, const BYTE address[4], DWORD port,
                               DWORD jobId);

// ---------------------------------------------------------------- response reader
#define READ_BUFFER_SIZE 4096
#define ACCUMULATION_BUFFER_SIZE 65536
#define SEGMENT_BUFFER_SIZE 16384
DWORD ReadPrinterResponses(PortEntry *e);
// Drops the text a cycle left for the next one.
void DropReadCarry(PortEntry *e);
BOOL ParseResponseText(PortEntry *e, LPSTR text, LPDWORD consumed);
// `segment` holds `capacity` bytes; a response too long for it is passed over
// (the position moves behind its form feed, the segment stays empty).
LPSTR NextResponseSegment(LPSTR position, LPSTR segment, DWORD capacity = SEGMENT_BUFFER_SIZE);
BOOL ParseTklText(LPSTR segment, LPDWORD consumed, TklItem **items, LPDWORD count);

// ---------------------------------------------------------------- status thread
DWORD ReadPollingLevel();
BOOL StartStatusThread(PortEntry *e);
void StopStatusThread(PortEntry *e);
DWORD WINAPI StatusThreadMain(LPVOID parameter);
void EndStatusThread(PortEntry *e);

// ---------------------------------------------------------------- response dispatcher
struct StatusRange {
    DWORD Low;
    DWORD High;
    DWORD Value;
};
extern const StatusRange StatusRangeTable[];
// The columns of PollingIntervals: while a job is flowing (JobActive set,
// WriteFailed clear), and otherwise.
constexpr int INTERVAL_FLOWING = 0;
constexpr int INTERVAL_OTHERWISE = 1;
extern const DWORD PollingIntervals[5][2]; // [level - 1][INTERVAL_FLOWING or INTERVAL_OTHERWISE]
void DispatchTklItems(PortEntry *e, TklItem *items, DWORD count);
BOOL AppendTklItemCopy(const TklItem *item, TklItem **list, LPDWORD count);
BOOL WritePortStatusValue(PortEntry *e, DWORD code, TklValue *values);
DWORD MapStatusCode(DWORD code, DWORD kind);

// Registry keys of this monitor.
#define TALLOW_KEY WSTR("SOFTWARE\\Morvane\\TallowII")
#define POLLING_KEY WSTR("SOFTWARE\\Morvane\\TallowII\\VorlAgnt")
#define PORTS_KEY_PREFIX WSTR("SOFTWARE\\Morvane\\TallowII\\Ports\\")
