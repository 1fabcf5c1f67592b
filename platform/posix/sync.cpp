// Critical sections, events, the handle table and waiting on handles.
//
// Events sit on the write path of every job-language job (the I/O turn is
// taken and given back around each write), so their handles are found and
// their common cases served without any lock:
// * Event records are never freed. A closed event goes to a free list and a
//   later CreateEventW reuses it, so a handle can be checked (is it one of
//   the records, and is that record open) by reading memory that always
//   stays valid, and an event handle never needs the handle table.
// * The signalled state is an atomic word. Taking a signalled event and
//   setting an event that nobody waits on are one atomic operation each; a
//   waiter that has to block counts itself and sleeps on the record's
//   condition variable, and only then does SetEvent take its mutex.
// Threads (rarely looked up) keep their shared, reference-counted objects
// in the handle table.
#include "internal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

using winplat::KernelObject;

struct HandleTable {
    std::mutex Lock;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> Objects;
};

// Never destroyed: threads still running at exit may close their handles.
HandleTable &Table() {
    static HandleTable *table = new HandleTable;
    return *table;
}

// ---------------------------------------------------------------- event records

// A record fills whole cache lines: the writer and the status thread use
// different events of a port at once, and must not share a line for it.
struct alignas(64) Event {
    // While the handle is open: 1 for the handle, plus one per blocked
    // waiter. The record goes back to the free list when it drops to 0, so a
    // handle closed under a waiting thread never takes the record away.
    std::atomic<unsigned> References{0};
    std::atomic<bool> Open{false};
    std::atomic<bool> ManualReset{false};
    std::atomic<int> Signalled{0};
    std::atomic<int> Waiters{0}; // threads in the blocking part of Wait
    std::mutex Lock;
    std::condition_variable Changed;
    // Threads blocked on an auto-reset event, longest first (under Lock).
    struct Waiter *First = nullptr, *Last = nullptr;
};

// A thread blocked on an auto-reset event; a SetEvent releases the first.
struct Waiter {
    Waiter *Next = nullptr, *Previous = nullptr;
    bool Released = false;
};

// Caller holds the event's Lock.
void AddWaiter(Event *event, Waiter *waiter) {
    waiter->Previous = event->Last;
    (event->Last != nullptr ? event->Last->Next : event->First) = waiter;
    event->Last = waiter;
}

// Caller holds the event's Lock.
void RemoveWaiter(Event *event, Waiter *waiter) {
    (waiter->Previous != nullptr ? waiter->Previous->Next : event->First) = waiter->Next;
    (waiter->Next != nullptr ? waiter->Next->Previous : event->Last) = waiter->Previous;
    waiter->Next = waiter->Previous = nullptr;
}

// Caller holds the event's Lock: the signal goes to the longest-blocked thread.
void ReleaseFirstWaiter(Event *event) {
    Waiter *first = event->First;
    RemoveWaiter(event, first);
    first->Released = true;
    event->Changed.notify_all();
}

// Event records in chunks that double in size (64, 128, ...): a handle is
// an event exactly when it is the address of a record of some chunk.
constexpr int MaxChunks = 40;
constexpr size_t FirstChunkSize = 64;

// The published chunks: read by every event call without a lock, so they
// are plain atomics that need no construction (and are never destroyed).
constinit std::atomic<Event *> Chunks[MaxChunks] = {};
constinit size_t ChunkSizes[MaxChunks] = {}; // written before the chunk is published
constinit std::atomic<int> ChunkCount{0};
// Events created and not yet closed.
constinit std::atomic<long> OpenEvents{0};

// Creation and the free list.
struct EventPool {
    std::mutex Lock;
    std::vector<Event *> Free;
};

// Never destroyed: the records must outlive every thread.
EventPool &Pool() {
    static EventPool *pool = new EventPool;
    return *pool;
}

// The record at `handle`, open or not; null when it is no event record.
Event *EventRecord(HANDLE handle) {
    auto address = reinterpret_cast<uintptr_t>(handle);
    int chunks = ChunkCount.load(std::memory_order_acquire);
    for (int i = 0; i < chunks; i++) {
        auto first = reinterpret_cast<uintptr_t>(Chunks[i].load(std::memory_order_relaxed));
        size_t bytes = ChunkSizes[i] * sizeof(Event);
        if (address >= first && address < first + bytes) {
            if ((address - first) % sizeof(Event) != 0)
                return nullptr;
            return reinterpret_cast<Event *>(handle);
        }
    }
    return nullptr;
}

// The open event of `handle`, or null.
Event *OpenEvent(HANDLE handle) {
    Event *event = EventRecord(handle);
    if (event == nullptr || !event->Open.load(std::memory_order_acquire))
        return nullptr;
    return event;
}

// A reference for a thread that is about to block; FALSE when the record
// was closed and released meanwhile.
bool AddReference(Event *event) {
    unsigned count = event->References.load();
    do {
        if (count == 0)
            return false;
    } while (!event->References.compare_exchange_weak(count, count + 1));
    return true;
}

void DropReference(Event *event) {
    if (event->References.fetch_sub(1) != 1)
        return;
    EventPool &p = Pool();
    std::lock_guard<std::mutex> guard(p.Lock);
    p.Free.push_back(event);
}

Event *NewEvent(bool manualReset, bool signalled) {
    EventPool &p = Pool();
    Event *event = nullptr;
    {
        std::lock_guard<std::mutex> guard(p.Lock);
        if (p.Free.empty()) {
            // A new chunk, twice the last one; its records are never freed.
            int count = ChunkCount.load(std::memory_order_relaxed);
            if (count == MaxChunks)
                return nullptr;
            size_t size = FirstChunkSize << count;
            Event *chunk = new (std::nothrow) Event[size];
            if (chunk == nullptr)
                return nullptr;
            ChunkSizes[count] = size;
            Chunks[count].store(chunk, std::memory_order_relaxed);
            ChunkCount.store(count + 1, std::memory_order_release);
            for (size_t i = size; i > 0; i--)
                p.Free.push_back(&chunk[i - 1]);
        }
        event = p.Free.back();
        p.Free.pop_back();
    }
    event->ManualReset.store(manualReset);
    event->Signalled.store(signalled ? 1 : 0);
    event->Waiters.store(0);
    event->First = event->Last = nullptr;
    event->References.store(1);
    event->Open.store(true, std::memory_order_release);
    return event;
}

// Takes the signal: an auto-reset event lets exactly one waiter through per
// SetEvent, a manual-reset one every waiter while it stays set.
bool TakeSignal(Event *event) {
    if (event->ManualReset.load(std::memory_order_relaxed))
        return event->Signalled.load() != 0;
    int expected = 1;
    return event->Signalled.compare_exchange_strong(expected, 0);
}

DWORD WaitEvent(Event *event, DWORD ms) {
    if (TakeSignal(event))
        return WAIT_OBJECT_0;
    if (ms == 0)
        return WAIT_TIMEOUT;
    if (!AddReference(event)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    bool taken;
    {
        // Counted before the signal is looked at again: a SetEvent that does
        // not see this waiter has set the signal before the look.
        std::unique_lock<std::mutex> lock(event->Lock);
        event->Waiters.fetch_add(1);
        bool queued = !event->ManualReset.load(std::memory_order_relaxed);
        Waiter self;
        if (queued)
            AddWaiter(event, &self);
        auto ready = [event, &self] { return self.Released || TakeSignal(event); };
        if (ms == INFINITE) {
            event->Changed.wait(lock, ready);
            taken = true;
        } else {
            taken = event->Changed.wait_for(lock, winplat::RealDuration(ms), ready);
        }
        if (queued && !self.Released)
            RemoveWaiter(event, &self);
        event->Waiters.fetch_sub(1);
    }
    DropReference(event);
    return taken ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void SetEventSignal(Event *event) {
    // As on Windows, an auto-reset event set while threads are blocked on it
    // releases the longest-blocked one instead of staying set: the setter
    // cannot take it straight back (a writer waiting for the I/O turn gets it).
    if (!event->ManualReset.load(std::memory_order_relaxed)) {
        if (event->Waiters.load() == 0) {
            event->Signalled.store(1);
            if (event->Waiters.load() == 0)
                return;
            // A thread came to block meanwhile: the signal is its, unless
            // it took it already.
            std::lock_guard<std::mutex> guard(event->Lock);
            int one = 1;
            if (event->First != nullptr && event->Signalled.compare_exchange_strong(one, 0))
                ReleaseFirstWaiter(event);
            return;
        }
        std::lock_guard<std::mutex> guard(event->Lock);
        if (event->First != nullptr)
            ReleaseFirstWaiter(event);
        else
            event->Signalled.store(1);
        return;
    }
    event->Signalled.store(1);
    // Waiters count themselves under the lock before they look at the
    // signal; taking the lock here means none is between its look and its sleep.
    if (event->Waiters.load() == 0)
        return;
    std::lock_guard<std::mutex> guard(event->Lock);
    event->Changed.notify_all();
}

} // namespace

namespace winplat {

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
    HandleTable &t = Table();
    HANDLE handle = object.get();
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Objects[handle] = std::move(object);
    return handle;
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Objects.find(handle);
    return it == t.Objects.end() ? nullptr : it->second;
}

long OpenEventCount() {
    return OpenEvents.load();
}

long ThreadHandleCount() {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    return (long)t.Objects.size();
}

} // namespace winplat

// ---------------------------------------------------------------- critical sections

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->Mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    cs->Initialized = 1;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_lock(&cs->Mutex);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    return pthread_mutex_trylock(&cs->Mutex) == 0 ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(&cs->Mutex);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (cs->Initialized) {
        pthread_mutex_destroy(&cs->Mutex);
        cs->Initialized = 0;
    }
}

// ---------------------------------------------------------------- events and handles

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
    // Named events would be shared between processes; nothing here needs them.
    if (name != nullptr && name[0] != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    // An event is kernel memory: it fails like an allocation under fault injection.
    if (!winplat::CountResourceCreation())
        return nullptr;
    Event *event = NewEvent(manualReset != FALSE, initialState != FALSE);
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    OpenEvents++;
    return event;
}

BOOL WINAPI SetEvent(HANDLE event) {
    Event *record = OpenEvent(event);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetEventSignal(record);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    Event *record = OpenEvent(event);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    record->Signalled.store(0);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (milliseconds != INFINITE)
        winplat::NoteWait(milliseconds, false);
    if (Event *record = OpenEvent(handle))
        return WaitEvent(record, milliseconds);
    std::shared_ptr<KernelObject> object = winplat::FindHandle(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    // An event: exactly one CloseHandle closes it; its record is reused once
    // no waiter holds it any more.
    if (Event *record = EventRecord(handle)) {
        bool open = true;
        if (!record->Open.compare_exchange_strong(open, false)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        OpenEvents--;
        DropReference(record);
        return TRUE;
    }
    HandleTable &t = Table();
    std::shared_ptr<KernelObject> object; // released after the lock
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Objects.find(handle);
    if (it == t.Objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object = std::move(it->second);
    t.Objects.erase(it);
    return TRUE;
}
