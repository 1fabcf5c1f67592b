// Shared monitor mechanics, built into each monitor library on its own:
// the port table with its lock, the two allocators, string copies, the
// registry helper, the status agent binding with its reply handling, the
// write pause and the document-information copy. Each library gets its own
// copy of the state below (nothing is exported), so two monitors in one
// process share nothing.
#pragma once

#include "agent_api.h"
#include "win32.h"

#include <atomic>
#include <cstddef>
#include <type_traits>

// ---------------------------------------------------------------- records

#define PORT_SIGNATURE 0x4F4Au

// The fields both monitors' records begin with, in this order. Each monitor's
// own `PortEntry` derives from it and adds its fields after these.
struct PortHead {
    DWORD Signature; // PORT_SIGNATURE while the record lives
    PortHead *Next;  // next record in PortTable
    LPWSTR PortName;
    LPWSTR PrinterName;
    LPSTR Model; // null until a device ID named one
    DWORD JobId;
    DWORD Flags; // changed only through SetFlags / ClearFlags (atomic)
    // Set when the port came through the Windows 2000 contract: the instance
    // it was opened through, the port monitor's instance handle and its
    // MONITOR2 (only the bytes its cbSize covered; cbSize is what was copied).
    // Otherwise null and zeroed.
    struct MonitorInstance *Instance;
    HANDLE MonitorPort;
    MONITOR2 PortMonitor2;
};

// What differs between the two monitors' records, told to the shared code by
// the monitor that links it (one constant table per library).
struct MonitorRecordInfo {
    SIZE_T RecordSize;      // sizeof the monitor's PortEntry
    DWORD AgentActiveFlag;  // the record's AgentActive bit
    DWORD JobCancelledFlag; // the record's JobCancelled bit
    DWORD AgentOffFlags;    // bits a non-zero AgentJobStatus/AgentJobItems answer clears
    HANDLE *(*PrinterHandleOf)(PortHead *entry);     // where the record keeps its printer handle
    void (*FreeRecordExtras)(PortHead *entry);       // frees what the record owns beyond the head
    MONITOR *(*PortMonitorTableOf)(PortHead *entry); // the record's copy of the table below
    DWORD LprPortFlag;                               // the record's LprPort bit
    // Called under MonitorLock for a record just added to the table, before
    // any other thread can find it; null when the monitor has nothing to add.
    void (*RecordCreated)(PortHead *entry);
    LPCSTR TraceName; // the library's name at the head of its trace lines
};
// Defined by each monitor.
extern const MonitorRecordInfo RecordInfo;

// ---------------------------------------------------------------- flag word
// Different bits may be changed at once by a spooler thread and a status
// thread: atomic OR / AND never undo each other's change.
inline void SetFlags(PortHead *entry, DWORD bits) {
    std::atomic_ref<DWORD>(entry->Flags).fetch_or(bits);
}
inline void ClearFlags(PortHead *entry, DWORD bits) {
    std::atomic_ref<DWORD>(entry->Flags).fetch_and(~bits);
}
inline bool TestFlags(PortHead *entry, DWORD bits) {
    return (std::atomic_ref<DWORD>(entry->Flags).load() & bits) != 0;
}
inline DWORD LoadFlags(PortHead *entry) {
    return std::atomic_ref<DWORD>(entry->Flags).load();
}
// Sets `bits` when `on`, clears them otherwise.
inline void AssignFlags(PortHead *entry, DWORD bits, bool on) {
    if (on)
        SetFlags(entry, bits);
    else
        ClearFlags(entry, bits);
}

// True for a non-null handle whose record carries the signature. Inline:
// every call of the spooler starts with it, every write included.
inline BOOL IsValidPort(HANDLE handle) {
    return handle != nullptr && ((PortHead *)handle)->Signature == PORT_SIGNATURE;
}

// ---------------------------------------------------------------- port table
// All under MonitorLock unless said otherwise.
extern PortHead *PortTable;
extern DWORD PortCount;
extern CRITICAL_SECTION MonitorLock;

// Sets up MonitorLock the first time only; later calls wait until it is ready.
void InitializeMonitorLock();
void EnterMonitorLock();
void LeaveMonitorLock();

// Entry whose PortName equals `portName` ignoring case; null for a null or
// empty name. Caller holds MonitorLock.
PortHead *FindPort(LPCWSTR portName);
// A linked record of RecordInfo.RecordSize zeroed bytes with its names,
// signature and the agent library loaded when it is not. Caller holds the lock.
PortHead *CreatePortEntry(LPCWSTR portName, LPCWSTR printerName);
// The opening both monitors' OpenPortEx share: checks the arguments (87),
// refuses a port already open (ERROR_BUSY), creates the record under the
// lock, hands out the handle, copies the NT 4.0 slots of `monitor` and marks
// an LPR port. FALSE with the last error set on failure; nothing is left
// behind then.
BOOL OpenPortRecord(LPWSTR portName, LPWSTR printerName, PHANDLE handle, LPMONITOR monitor);
// The opening of the Windows 2000 contract: `instance` must be one that
// InitializePrintMonitor2 handed out (ERROR_INVALID_HANDLE), the arguments
// as above (87); a `monitor` whose cbSize does not cover, or that leaves
// empty, one of the open, start, write, read, end and close slots is refused
// with ERROR_INVALID_PRINT_MONITOR before anything is created. The record
// keeps `monitorPort` and the MONITOR2's bytes, and its MONITOR table gets
// the port-handle slots, which have the same shapes in both contracts.
BOOL OpenPortRecord2(HANDLE instance, HANDLE monitorPort, LPWSTR portName, LPWSTR printerName,
                     PHANDLE handle, LPMONITOR2 monitor);
// Unlinks and frees; FALSE when the record is not in the table. Caller holds the lock.
BOOL DeletePortEntry(PortHead *entry);
// True when the LPR Port monitor has a key for this port.
BOOL IsLprPort(PortHead *entry);

// ---------------------------------------------------------------- the port monitor's open and bidi
// The one place where the two contracts call the port monitor differently:
// pfnOpenPort(name, &handle) of the NT 4.0 MONITOR, or
// pfnOpenPort(hMonitorPort, name, &handle) of the MONITOR2. FALSE with
// ERROR_NOT_SUPPORTED when the slot is empty.
bool CanOpenPortBelow(PortHead *entry);
BOOL OpenPortBelow(PortHead *entry, PHANDLE handle);
// The port monitor's pfnSendRecvBidiDataFromPort on `port`, its answer as it
// is; ERROR_NOT_SUPPORTED when its MONITOR2 has none (or did not cover it).
bool HasBidiBelow(PortHead *entry);
DWORD BidiBelow(PortHead *entry, HANDLE port, DWORD access, LPCWSTR action,
                PBIDI_REQUEST_CONTAINER request, PBIDI_RESPONSE_CONTAINER *response);

// ---------------------------------------------------------------- the Windows 2000 contract
// What a spooler since Windows 2000 gets: InitializePrintMonitor2 answers a
// MONITOR2 and one of these records as its instance handle. It lives until
// Shutdown, which closes the ports still opened through it.
#define INSTANCE_SIGNATURE 0x4D32u
struct MonitorInstance {
    DWORD Signature; // INSTANCE_SIGNATURE while the record lives
};
// The size our MONITOR2 announces: through pfnSendRecvBidiDataFromPort.
constexpr DWORD MONITOR2_BIDI_SIZE =
    (DWORD)(offsetof(MONITOR2, pfnSendRecvBidiDataFromPort) + sizeof(void *));
inline bool IsValidInstance(HANDLE handle) {
    return handle != nullptr && ((MonitorInstance *)handle)->Signature == INSTANCE_SIGNATURE;
}
// The checks of the MONITORINIT (null, shorter than its first five fields:
// ERROR_INVALID_PARAMETER; not local: ERROR_NOT_SUPPORTED), the lock, the
// trace through the spooler's registry functions and a new instance record
// in *instance. FALSE with the last error.
BOOL CreateMonitorInstance(PMONITORINIT init, PHANDLE instance);
// Shutdown's part after the monitor closed the instance's ports: the trace
// forgets the spooler's functions, the record is freed.
void FreeMonitorInstance(MonitorInstance *instance);
// The first port still opened through `instance`, or null (takes the lock).
PortHead *FindInstancePort(MonitorInstance *instance);

// ---------------------------------------------------------------- memory and strings
LPVOID AllocFixed(SIZE_T bytes);   // GMEM_FIXED, zero-filled; GlobalFree
LPVOID AllocMovable(SIZE_T bytes); // movable, zeroed, kept locked; FreeMovable
BOOL FreeMovable(LPVOID mem);      // FALSE for null or a pointer of no block
LPWSTR DupWide(LPCWSTR s);         // AllocFixed copy, null for null
LPSTR DupNarrow(LPCSTR s);

// Opens `subKey` with KEY_READ, queries `valueName`, closes; the Windows
// error of the open, else of the query.
LONG ReadRegistryValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPDWORD type, LPBYTE data,
                       LPDWORD dataSize);

// A looked-up export as the function type it is.
template <class F> inline F ProcAs(FARPROC proc) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(proc));
}

// ---------------------------------------------------------------- status agent
// Loaded with the first record, freed after the last (CreatePortEntry,
// DeletePortEntry). Without the library or a slot: 0 from the job calls,
// -1 from AgentQuery. A non-zero AgentJobStatus / AgentJobItems answer clears
// RecordInfo.AgentOffFlags on the entry.
BOOL AgentLoaded();
void LoadAgentLibrary();   // caller holds MonitorLock
void UnloadAgentLibrary(); // caller holds MonitorLock
LONG AgentQuery();
LONG AgentJobStart(PortHead *entry, LPCSTR model);
LONG AgentJobEnd(PortHead *entry);
LONG AgentJobStatus(PortHead *entry, DWORD jobId, DWORD code);
LONG AgentJobItems(PortHead *entry, DWORD statusWord, DWORD itemCount, TklItem *items);
// Bit 0x10000 of an agent's job-start answer: mark the job cancelled, cancel
// it in the spooler and, when that worked, report 0x100.
void HandleAgentReply(PortHead *entry, LONG reply);

// ---------------------------------------------------------------- write pause
// A WritePort that can pass no data now waits this long, then reports 0 bytes
// written: the spooler calls again at once with the same data, so the wait is
// what paces it.
#define WRITE_PAUSE_MS 100

// The pausing answer of WritePort: waits WRITE_PAUSE_MS, sets *written (when
// given) to 0 and returns TRUE.
inline BOOL PauseWrite(LPDWORD written) {
    Sleep(WRITE_PAUSE_MS);
    if (written != nullptr)
        *written = 0;
    return TRUE;
}

// ---------------------------------------------------------------- job helpers
// A private copy of the document information the spooler passed with a
// level, laid out as DOC_INFO_2W, whose head is DOC_INFO_1W: it stands in for
// the spooler's block at a level of its own (DocInfoCopyLevel).
struct DocInfoCopy {
    LPWSTR DocName;
    LPWSTR OutputFile;
    LPWSTR Datatype;
    DWORD Mode;  // DOC_INFO_2's dwMode; 0 in a copy of level 1
    DWORD JobId; // DOC_INFO_2's JobId; 0 in a copy of level 1
};
// The level a copy of `level` describes: 2 for 2, 1 for any other (only
// DOC_INFO_1's fields are known to be there).
DWORD DocInfoCopyLevel(DWORD level);
// The fields of DocInfoCopyLevel(level); null for null or no memory.
DocInfoCopy *CopyDocInfo(const BYTE *docInfo, DWORD level);
BOOL FreeDocInfo(DocInfoCopy *copy); // FALSE for null

// Value of at most `n` leading hexadecimal digits of `text`.
DWORD ParseHexDigits(LPCSTR text, DWORD n);

// ---------------------------------------------------------------- trace
// An opt-in trace for administrators: the REG_DWORD "TraceLevel" under the
// monitor's own key (the registry root the spooler hands to
// InitializePrintMonitor, below HKEY_LOCAL_MACHINE), 0 off (the default),
// 1 decisions, 2 every call as well. It is read at start-up and at every job
// start, so switching it needs no spooler restart. Each event is one line
// through OutputDebugStringW. Tracing never changes what the monitor does,
// the last error included; when off it costs one flag test per call site.
constexpr DWORD TRACE_DECISIONS = 1;
constexpr DWORD TRACE_CALLS = 2;
extern std::atomic<DWORD> ActiveTraceLevel; // the level last read from "TraceLevel"

inline bool TraceOn(DWORD level) {
    return ActiveTraceLevel.load(std::memory_order_relaxed) >= level;
}
// Keeps the monitor's registry root (null: none, the trace stays off) and
// reads the level under it.
void SetTraceRoot(LPCWSTR registryRoot);
// Reads the level anew; at every job start.
void ReadTraceLevel();
// The Windows 2000 contract's trace source: the spooler's own registry
// functions on the monitor's key while they answer (they are used from then
// on); otherwise the key read once now through the Win32 registry, and the
// level stays as read until the next initialisation. Null: none.
void SetTraceRegistry(PMONITORINIT init);

// One value of a trace line: a number or a string of either width.
struct TraceArg {
    enum Kind { None, Unsigned, Signed, Narrow, Wide } ArgKind = None;
    unsigned long long Number = 0;
    const void *Text = nullptr;
    TraceArg() = default;
    template <class T>
    requires std::is_integral_v<T> TraceArg(T value)
        : ArgKind(std::is_signed_v<T> ? Signed : Unsigned), Number((unsigned long long)value) {}
    TraceArg(LPCSTR text) : ArgKind(Narrow), Text(text) {}
    TraceArg(LPCWSTR text) : ArgKind(Wide), Text(text) {}
};
// Writes one line: "Quennet [LPT1:] " (the library's name and the entry's
// port) or, without an entry, "Quennet: ", then `format` with %u %d %x (0x...) %s replaced by
// `args` in turn. Formats into a fixed buffer: nothing is allocated.
void TraceLine(PortHead *entry, LPCSTR format, const TraceArg *args, DWORD count);
// Out of line and cold: the call sites keep only the flag test inline.
template <class... A>
[[gnu::noinline, gnu::cold]] void TraceEvent(PortHead *entry, LPCSTR format, const A &...args) {
    const TraceArg list[] = {TraceArg(args)..., TraceArg()};
    TraceLine(entry, format, list, (DWORD)sizeof...(A));
}
// The call site of every trace line: the arguments are evaluated only when
// the level is on.
#define TRACE(level, entry, ...)                                                                   \
    do {                                                                                           \
        if (TraceOn(level)) [[unlikely]]                                                           \
            TraceEvent((entry), __VA_ARGS__);                                                      \
    } while (0)
