// The status polling thread: one per port while a job-language printer owes
// answers. It takes the port's I/O turn between the spooler's writes, runs a
// read cycle, gives the turn back and sleeps for the polling interval. Once
// no job is active and polling is to stop (asked by StopStatusThread, nothing
// owed any more, the idle limit passed, or the port no longer talks the job
// language) it ends and closes what the last job left open.
//
// Hand-offs with the spooler's threads:
// * The thread decides to end, and does all its exit work, under MonitorLock
//   and only while JobActive is clear. Whoever sets JobActive under the lock
//   therefore either keeps the thread (and its events) alive for the whole
//   job or finds it gone with its events closed and their fields null.
// * The exit work ends and closes the port below only when it claims
//   PortStarted (atomic test-and-clear); EndDocPort claims the same bit, so
//   exactly one side ends, closes, calls AgentJobEnd and closes the printer.
// * Only the thread closes its events, under MonitorLock; StopStatusThread
//   signals WakeEvent under the lock too, so it never sets a closed event.
#include "quennet.h"

// Polling interval by level: [level - 1][INTERVAL_FLOWING] while a job is
// flowing (JobActive set, WriteFailed clear), [level - 1][INTERVAL_OTHERWISE]
// in every other case.
const DWORD PollingIntervals[5][2] = {
    {4000, 2000}, {7000, 3000}, {10000, 5000}, {15000, 7000}, {20000, 10000},
};

#define DEFAULT_POLLING_LEVEL 3
#define MAX_POLLING_LEVEL 5
#define IDLE_LIMIT_MS 300000u
#define IDLE_LIMIT_AFTER_FAILED_WRITE_MS 1800000u
#define SILENT_SLEEP_MS 1000
#define STOP_POLL_MS 500
#define STATUS_THREAD_STACK 0x4000

DWORD ReadPollingLevel() {
    // A value shorter than four bytes reads as a little-endian number with
    // the missing high bytes zero.
    BYTE data[4] = {0, 0, 0, 0};
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (ReadRegistryValue(HKEY_LOCAL_MACHINE, POLLING_KEY, WSTR("PollingLevel"), &type, data,
                          &size) != ERROR_SUCCESS)
        return DEFAULT_POLLING_LEVEL;
    DWORD level =
        (DWORD)data[0] | (DWORD)data[1] << 8 | (DWORD)data[2] << 16 | (DWORD)data[3] << 24;
    if (level == 0 || level > MAX_POLLING_LEVEL)
        return DEFAULT_POLLING_LEVEL;
    return level;
}

// Closes the three events and empties their fields. Each field is emptied
// before its handle is closed, WakeEvent last: StopStatusThread takes a null
// WakeEvent as the sign that the thread is gone.
static void CloseStatusEvents(PortEntry *e) {
    HANDLE readDone = LoadHandle(e->ReadDoneEvent);
    StoreHandle(e->ReadDoneEvent, nullptr);
    if (readDone != nullptr)
        CloseHandle(readDone);
    HANDLE portIo = LoadHandle(e->PortIoEvent);
    StoreHandle(e->PortIoEvent, nullptr);
    if (portIo != nullptr)
        CloseHandle(portIo);
    HANDLE wake = LoadHandle(e->WakeEvent);
    StoreHandle(e->WakeEvent, nullptr);
    if (wake != nullptr)
        CloseHandle(wake);
}

// One more reference to the library this code is in, taken the way NT 4.0
// allows: the region of one of its addresses names the module, whose file
// is loaded once more. Null when there is none to take (code linked into a
// program on a platform that does not describe it); the thread then simply
// returns.
static HMODULE ReferenceThisLibrary() {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(&PollingIntervals, &region, sizeof(region)) == 0 ||
        region.AllocationBase == nullptr)
        return nullptr;
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW((HMODULE)region.AllocationBase, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    return LoadLibraryW(path);
}

BOOL StartStatusThread(PortEntry *e) {
    SetFlags(e, KeepPolling);

    // The three events the thread and the spooler's threads share.
    StoreHandle(e->WakeEvent, CreateEventW(nullptr, FALSE, FALSE, nullptr));
    StoreHandle(e->ReadDoneEvent, CreateEventW(nullptr, TRUE, TRUE, nullptr));
    StoreHandle(e->PortIoEvent, CreateEventW(nullptr, FALSE, TRUE, nullptr));
    // Without all three the thread could neither be stopped nor share the port.
    if (LoadHandle(e->WakeEvent) == nullptr || LoadHandle(e->ReadDoneEvent) == nullptr ||
        LoadHandle(e->PortIoEvent) == nullptr) {
        TRACE(TRACE_DECISIONS, e, "status thread not started: no events (error %u)",
              GetLastError());
        CloseStatusEvents(e);
        return FALSE;
    }

    // The thread holds its own reference to this library and gives it up
    // as the last thing it does: a host may free the monitor as soon as
    // ClosePort has returned, while the thread is still leaving our code.
    HMODULE library = ReferenceThisLibrary();
    e->ThreadLibrary = library;

    SetFlags(e, ThreadRunning);
    HANDLE thread = CreateThread(nullptr, STATUS_THREAD_STACK, StatusThreadMain, e, 0, nullptr);
    if (thread == nullptr) {
        // The job goes on without status polling.
        TRACE(TRACE_DECISIONS, e, "status thread not started (error %u)", GetLastError());
        ClearFlags(e, ThreadRunning);
        CloseStatusEvents(e);
        e->ThreadLibrary = nullptr;
        if (library != nullptr)
            FreeLibrary(library);
        return FALSE;
    }
    // The thread is never joined.
    TRACE(TRACE_DECISIONS, e, "status thread started for job %u", e->JobId);
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    CloseHandle(thread);
    return TRUE;
}

void StopStatusThread(PortEntry *e) {
    // Asked under the lock: the thread closes its events only under it, and
    // its "job still active, go on" decision cannot slip in after this.
    EnterMonitorLock();
    HANDLE wake = TestFlags(e, ThreadRunning) ? LoadHandle(e->WakeEvent) : nullptr;
    if (wake != nullptr) {
        ClearFlags(e, KeepPolling);
        SetEvent(wake);
    }
    LeaveMonitorLock();
    if (wake == nullptr)
        return;

    // The thread empties WakeEvent last on its way out.
    while (LoadHandle(e->WakeEvent) != nullptr)
        Sleep(STOP_POLL_MS);
}

// The polling interval for the port's current level and state.
static DWORD PollingInterval(PortEntry *e) {
    DWORD level = std::atomic_ref<DWORD>(e->PollingLevel).load();
    if (level == 0 || level > MAX_POLLING_LEVEL)
        level = DEFAULT_POLLING_LEVEL;
    BOOL flowing = TestFlags(e, JobActive) && !TestFlags(e, WriteFailed);
    return PollingIntervals[level - 1][flowing ? INTERVAL_FLOWING : INTERVAL_OTHERWISE];
}

DWORD WINAPI StatusThreadMain(LPVOID parameter) {
    PortEntry *e = (PortEntry *)parameter;
    // Kept here: the record may be gone by the time the thread returns.
    HMODULE library = e->ThreadLibrary;
    DWORD parsedLastCycle = 0; // bytes the last read cycle parsed

    e->StatusCode = 0;
    e->LastActivityTick = GetTickCount();

    for (;;) {
        // Asked to stop: end only when no job is active (decided under the
        // lock, which stays held through the exit work).
        if (!TestFlags(e, KeepPolling)) {
            EnterMonitorLock();
            if (!TestFlags(e, JobActive))
                break;
            SetFlags(e, KeepPolling);
            LeaveMonitorLock();
        }

        // A printer that does not speak the job language is not read. A
        // writer that asked for a read meanwhile is let go.
        if (!TestFlags(e, JobLanguageOn)) {
            ClearFlags(e, KeepPolling);
            SetEvent(LoadHandle(e->ReadDoneEvent));
            Sleep(SILENT_SLEEP_MS);
            continue;
        }

        // Take the port's I/O turn and read what the printer has said.
        WaitForSingleObject(LoadHandle(e->PortIoEvent), INFINITE);
        if (TestFlags(e, PortStarted))
            parsedLastCycle = ReadPrinterResponses(e);
        SetEvent(LoadHandle(e->ReadDoneEvent));
        SetEvent(LoadHandle(e->PortIoEvent));

        // Activity: a job in progress or a read that parsed something. Once
        // idle for too long, stop (the difference is unsigned, so the tick
        // counter's wrap neither ends the wait early nor makes it endless).
        DWORD now = GetTickCount();
        if (parsedLastCycle != 0 || TestFlags(e, JobActive)) {
            e->LastActivityTick = now;
        } else {
            DWORD limit =
                TestFlags(e, WriteFailed) ? IDLE_LIMIT_AFTER_FAILED_WRITE_MS : IDLE_LIMIT_MS;
            if (now - e->LastActivityTick > limit) {
                TRACE(TRACE_DECISIONS, e, "status thread idle for %u ms: stopping", limit);
                ClearFlags(e, KeepPolling);
                continue;
            }
        }

        // Stopped during the cycle: no interval to wait.
        if (!TestFlags(e, KeepPolling))
            continue;
        WaitForSingleObject(LoadHandle(e->WakeEvent), PollingInterval(e));
    }

    // Decided under the lock, which the list's changes take too.
    TRACE(TRACE_DECISIONS, e, "status thread stops: %s",
          e->JobIds == nullptr ? "no job end report owed" : "owed job end reports given up");
    EndStatusThread(e);
    LeaveMonitorLock();
    if (library != nullptr)
        FreeLibraryAndExitThread(library, 0);
    return 0;
}

void EndStatusThread(PortEntry *e) {
    // Nothing more will be read: the pending ids will never be reported.
    RemoveJobIds(e, ALL_JOB_IDS, TRUE);
    DropReadCarry(e);

    // What the last job left open for the thread, unless EndDocPort claimed it.
    if (ClaimFlag(e, PortStarted))
        ReleaseJobHold(e, PortBelow::Started);

    ClearFlags(e, ThreadRunning);
    CloseStatusEvents(e);
}
