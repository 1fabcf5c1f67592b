// Global, local and heap memory blocks, with a registry of the live ones so
// that GlobalHandle can find a block from its pointer and tests can count
// leaks, and a counter that lets tests make one chosen allocation fail.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

enum class Family { Global, Heap };

struct Block {
    void *Data;
    SIZE_T Size;
    Family Kind;
    bool Movable;
    unsigned LockCount;
    HGLOBAL Handle; // the data pointer itself for a fixed block
};

// A movable block's handle is the address of a cell of its own, so that it
// never equals any data pointer (as on Windows).
struct HandleCell {
    void *Data;
};

struct MemoryState {
    std::mutex Lock;
    // Live blocks by data pointer, and movable blocks by handle.
    std::unordered_map<const void *, Block> ByData;
    std::unordered_map<HGLOBAL, void *> MovableByHandle;
    unsigned long Count = 0;
    unsigned long FailAt = 0; // allocation number that fails; 0: none
};

// Never destroyed: threads still running at exit may free memory.
MemoryState &State() {
    static MemoryState *state = new MemoryState;
    return *state;
}

// Counts one allocation; FALSE when this is the one chosen to fail.
bool CountAllocation(MemoryState &s) {
    s.Count++;
    if (s.FailAt != 0 && s.Count == s.FailAt) {
        s.FailAt = 0;
        return false;
    }
    return true;
}

} // namespace

namespace winplat {

bool CountResourceCreation() {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (!CountAllocation(s)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

} // namespace winplat

namespace {

void *NewBlock(Family kind, bool movable, bool zero, SIZE_T bytes) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    // Decide whether this allocation fails before touching the C heap.
    if (!CountAllocation(s)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *data = zero ? calloc(bytes ? bytes : 1, 1) : malloc(bytes ? bytes : 1);
    HandleCell *cell = movable ? static_cast<HandleCell *>(malloc(sizeof(HandleCell))) : nullptr;
    if (data == nullptr || (movable && cell == nullptr)) {
        free(data);
        free(cell);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Register the block; a movable one also under its handle.
    HGLOBAL handle = data;
    if (movable) {
        cell->Data = data;
        handle = cell;
        s.MovableByHandle[handle] = data;
    }
    s.ByData[data] = Block{data, bytes, kind, movable, 0, handle};
    return handle;
}

// The block that `mem` names as a handle (a fixed block's pointer or a
// movable block's handle); null when it names none. Caller holds the lock.
Block *FindByHandle(MemoryState &s, const void *mem, Family kind) {
    auto movable = s.MovableByHandle.find(const_cast<void *>(mem));
    const void *data = movable != s.MovableByHandle.end() ? movable->second : mem;
    auto it = s.ByData.find(data);
    if (it == s.ByData.end() || it->second.Kind != kind || it->second.Handle != mem)
        return nullptr;
    return &it->second;
}

// Releases a block by handle; FALSE when `mem` names no block of `kind`.
bool ReleaseBlock(const void *mem, Family kind) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Block *block = FindByHandle(s, mem, kind);
    if (block == nullptr)
        return false;
    void *data = block->Data;
    if (block->Movable) {
        s.MovableByHandle.erase(block->Handle);
        free(block->Handle);
    }
    s.ByData.erase(data);
    free(data);
    return true;
}

} // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    return NewBlock(Family::Global, (flags & GMEM_MOVEABLE) != 0, (flags & GMEM_ZEROINIT) != 0,
                    bytes);
}

LPVOID WINAPI GlobalLock(HGLOBAL mem) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Block *block = FindByHandle(s, mem, Family::Global);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (block->Movable)
        block->LockCount++;
    return block->Data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL mem) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Block *block = FindByHandle(s, mem, Family::Global);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A fixed block is never locked; Windows answers TRUE for it.
    if (!block->Movable)
        return TRUE;
    if (block->LockCount == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    block->LockCount--;
    if (block->LockCount == 0) {
        SetLastError(NO_ERROR);
        return FALSE;
    }
    return TRUE;
}

HGLOBAL WINAPI GlobalHandle(LPCVOID mem) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    // A movable block's handle names itself.
    auto movable = s.MovableByHandle.find(const_cast<void *>(mem));
    if (movable != s.MovableByHandle.end())
        return movable->first;
    auto it = s.ByData.find(mem);
    if (it == s.ByData.end() || it->second.Kind != Family::Global) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.Handle;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
    // Freeing nothing succeeds; a locked block is freed as well (as on Windows).
    if (mem == nullptr)
        return nullptr;
    if (!ReleaseBlock(mem, Family::Global)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return mem;
    }
    return nullptr;
}

SIZE_T WINAPI GlobalSize(HGLOBAL mem) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Block *block = FindByHandle(s, mem, Family::Global);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return block->Size;
}

// Local blocks are global blocks, as in Win32.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    return GlobalAlloc(flags, bytes);
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    return GlobalFree(mem);
}

HANDLE WINAPI GetProcessHeap(void) {
    static int heap;
    return &heap;
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != GetProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return NewBlock(Family::Heap, false, (flags & HEAP_ZERO_MEMORY) != 0, bytes);
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem) {
    if (mem == nullptr)
        return TRUE;
    if (heap != GetProcessHeap() || !ReleaseBlock(mem, Family::Heap)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

void PlatFailAllocation(unsigned long n) {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.FailAt = n == 0 ? 0 : s.Count + n;
}

unsigned long PlatAllocationCount() {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Count;
}

long PlatLiveBlocks() {
    MemoryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return static_cast<long>(s.ByData.size());
}
