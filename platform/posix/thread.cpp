// Threads: detached POSIX threads behind a waitable, closable handle, with
// small Windows-like thread ids and a recorded priority.
#include "internal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

using winplat::KernelObject;

// Windows reserves the program's default stack (1 MiB) however little a
// thread asks for, and monitor code may rely on that. glibc takes the
// thread's static TLS out of the same size (large under sanitizers), so
// that comes on top.
constexpr size_t MinimumStack = 1024 * 1024;
constexpr size_t TlsAllowance = 256 * 1024;

// Thread ids as Windows hands them out: small non-zero multiples of 4.
DWORD NewThreadId() {
    static std::atomic<DWORD> next{4};
    return next.fetch_add(4);
}

// Threads of CreateThread that have not yet ended.
std::atomic<long> Running{0};

thread_local DWORD currentThreadId = 0;
// Set on threads of CreateThread, whose body catches ThreadExit.
thread_local bool platformThread = false;

// Thrown by FreeLibraryAndExitThread: unwinds the thread's frames, which
// may lie in the library to be freed, before the library goes.
struct ThreadExit {
    HMODULE Module;
    DWORD Code;
};

struct Thread : KernelObject {
    Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
        : KernelObject(Kind::Thread), Start(start), Parameter(parameter), Id(NewThreadId()) {}

    DWORD Wait(DWORD ms) override {
        std::unique_lock<std::mutex> lock(Lock);
        auto ended = [this] { return Ended; };
        if (ms == INFINITE)
            Changed.wait(lock, ended);
        else if (!Changed.wait_for(lock, winplat::RealDuration(ms), ended))
            return WAIT_TIMEOUT;
        return WAIT_OBJECT_0;
    }

    const LPTHREAD_START_ROUTINE Start;
    const LPVOID Parameter;
    const DWORD Id;
    std::atomic<int> Priority{THREAD_PRIORITY_NORMAL};
    std::mutex Lock;
    std::condition_variable Changed;
    bool Ended = false;
    DWORD ExitCode = 0;
};

// The thread's body; the thread owns one reference to its object so the
// handle may be closed while it runs.
void *RunThread(void *argument) {
    auto *self = static_cast<std::shared_ptr<Thread> *>(argument);
    std::shared_ptr<Thread> thread = std::move(*self);
    delete self;
    currentThreadId = thread->Id;
    platformThread = true;
    DWORD code;
    try {
        code = thread->Start(thread->Parameter);
    } catch (const ThreadExit &exit) {
        // Out of the library's code now: its last reference may go.
        FreeLibrary(exit.Module);
        code = exit.Code;
    }
    // Tell the waiters that the thread has ended.
    std::lock_guard<std::mutex> guard(thread->Lock);
    thread->ExitCode = code;
    thread->Ended = true;
    thread->Changed.notify_all();
    Running--;
    return nullptr;
}

std::shared_ptr<Thread> FindThread(HANDLE handle) {
    std::shared_ptr<KernelObject> object = winplat::FindHandle(handle);
    if (object == nullptr || object->ObjectKind != KernelObject::Kind::Thread)
        return nullptr;
    return std::static_pointer_cast<Thread>(object);
}

} // namespace

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                           LPDWORD threadId) {
    // A suspended thread could never be resumed here.
    if (start == nullptr || (creationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A thread's stack and object are memory: it fails like an allocation
    // under fault injection.
    if (!winplat::CountResourceCreation())
        return nullptr;
    auto thread = std::make_shared<Thread>(start, parameter);
    HANDLE handle = thread.get();

    // A detached thread with at least the minimum usable stack.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr,
                              (stackSize > MinimumStack ? stackSize : MinimumStack) + TlsAllowance);

    // The handle exists before the thread runs, so it may close it itself.
    winplat::AddHandle(thread);
    auto *reference = new std::shared_ptr<Thread>(thread);
    pthread_t id;
    Running++;
    int failed = pthread_create(&id, &attr, RunThread, reference);
    pthread_attr_destroy(&attr);
    if (failed) {
        Running--;
        delete reference;
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = thread->Id;
    return handle;
}

void WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
    if (platformThread)
        throw ThreadExit{module, exitCode};
    // A thread the program started itself has no body here to return to.
    FreeLibrary(module);
    pthread_exit(nullptr);
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    std::shared_ptr<Thread> object = FindThread(thread);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Recorded only: unprivileged POSIX threads cannot be reprioritised both ways.
    object->Priority = priority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE thread) {
    std::shared_ptr<Thread> object = FindThread(thread);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return object->Priority;
}

DWORD WINAPI GetCurrentThreadId(void) {
    if (currentThreadId == 0)
        currentThreadId = NewThreadId();
    return currentThreadId;
}

long winplat::RunningThreads() {
    return Running.load();
}

PlatObjectCounts PlatOpenObjects() {
    return {winplat::OpenEventCount(), winplat::ThreadHandleCount(), winplat::RunningThreads(),
            winplat::LoadedModuleCount()};
}
