// Critical sections, events, the handle table and waiting on handles.
#include "internal.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>

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

struct Event : KernelObject {
    Event(bool manualReset, bool signalled)
        : KernelObject(Kind::Event), ManualReset(manualReset), Signalled(signalled) {}

    DWORD Wait(DWORD ms) override {
        std::unique_lock<std::mutex> lock(Lock);
        auto ready = [this] { return Signalled; };
        if (ms == INFINITE)
            Changed.wait(lock, ready);
        else if (!Changed.wait_for(lock, winplat::RealDuration(ms), ready))
            return WAIT_TIMEOUT;
        // An auto-reset event lets exactly one waiter through per SetEvent.
        if (!ManualReset)
            Signalled = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard<std::mutex> guard(Lock);
        Signalled = true;
        if (ManualReset)
            Changed.notify_all();
        else
            Changed.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(Lock);
        Signalled = false;
    }

    const bool ManualReset;
    std::mutex Lock;
    std::condition_variable Changed;
    bool Signalled;
};

std::shared_ptr<Event> FindEvent(HANDLE handle) {
    std::shared_ptr<KernelObject> object = winplat::FindHandle(handle);
    if (object == nullptr || object->ObjectKind != KernelObject::Kind::Event)
        return nullptr;
    return std::static_pointer_cast<Event>(object);
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
    return winplat::AddHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE event) {
    std::shared_ptr<Event> object = FindEvent(event);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    std::shared_ptr<Event> object = FindEvent(event);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<KernelObject> object = winplat::FindHandle(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
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
