// Global, local and heap memory blocks, with a registry of the live ones so
// that GlobalHandle can find a block from its pointer and tests can count
// leaks, and a counter that lets tests make one chosen allocation fail.
//
// Every block of the monitors goes through here (records, strings, the
// parser's items, the reader's buffers), from the spooler's threads and every
// status thread at once. So the registry is split into shards by address,
// each with its own lock, and each shard is an open-addressing table of
// plain records: registering or finding a block allocates nothing and
// waits only for threads working on blocks of the same shard.
#include "internal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

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

// What an address is to the registry. A block is filed under its handle (a
// fixed block's handle is its data pointer); a movable block's data pointer
// is filed as well, naming its handle, so that GlobalHandle finds it and
// GlobalFree can refuse it. Every question about an address is then one
// lookup in one shard.
struct Entry {
    bool PointerOfMovable; // the key is a movable block's data pointer
    Block Record;          // when not: the block whose handle the key is
};

// A movable block's handle is the address of a cell of its own, so that it
// never equals any data pointer (as on Windows).
struct HandleCell {
    void *Data;
};

// Pointer -> value, open addressing with linear probing. Keys are never
// null; erased slots become tombstones until the next rebuild.
template <class Value> class PointerTable {
  public:
    Value *Find(const void *key) {
        if (slots_.empty())
            return nullptr;
        for (size_t i = Hash(key) & mask();; i = (i + 1) & mask()) {
            Slot &slot = slots_[i];
            if (slot.Key == key)
                return &slot.Item;
            if (slot.Key == nullptr)
                return nullptr;
        }
    }

    // `key` must not be in the table. Returns the stored value.
    Value *Insert(const void *key, const Value &value) {
        if ((used_ + 1) * 2 > slots_.size())
            Rebuild(live_ * 4 > slots_.size() ? slots_.size() * 2 : slots_.size());
        for (size_t i = Hash(key) & mask();; i = (i + 1) & mask()) {
            Slot &slot = slots_[i];
            if (slot.Key == nullptr || slot.Key == Tombstone()) {
                if (slot.Key == nullptr)
                    used_++;
                slot.Key = key;
                slot.Item = value;
                live_++;
                return &slot.Item;
            }
        }
    }

    bool Erase(const void *key) {
        if (slots_.empty())
            return false;
        for (size_t i = Hash(key) & mask();; i = (i + 1) & mask()) {
            Slot &slot = slots_[i];
            if (slot.Key == key) {
                slot.Key = Tombstone();
                live_--;
                return true;
            }
            if (slot.Key == nullptr)
                return false;
        }
    }

    size_t Size() const { return live_; }

  private:
    struct Slot {
        const void *Key = nullptr;
        Value Item{};
    };
    static const void *Tombstone() { return reinterpret_cast<const void *>(uintptr_t(1)); }
    static size_t Hash(const void *key) {
        uint64_t x = reinterpret_cast<uintptr_t>(key);
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<size_t>(x);
    }
    size_t mask() const { return slots_.size() - 1; }

    // At least 64 slots, a power of two; the tombstones are dropped.
    void Rebuild(size_t size) {
        if (size < 64)
            size = 64;
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(size, Slot{});
        used_ = 0;
        live_ = 0;
        for (Slot &slot : old) {
            if (slot.Key != nullptr && slot.Key != Tombstone())
                Insert(slot.Key, slot.Item);
        }
    }

    std::vector<Slot> slots_;
    size_t used_ = 0; // live and tombstones
    size_t live_ = 0;
};

constexpr size_t ShardCount = 16;

// The addresses of one shard, and how many of them are blocks.
struct Shard {
    std::mutex Lock;
    PointerTable<Entry> Addresses;
    size_t Blocks = 0;
};

struct MemoryState {
    Shard Shards[ShardCount];
    std::atomic<unsigned long> Count{0};
    std::atomic<unsigned long> FailAt{0}; // allocation number that fails; 0: none
};

// Never destroyed: threads still running at exit may free memory.
MemoryState &State() {
    static MemoryState *state = new MemoryState;
    return *state;
}

Shard &ShardOf(MemoryState &s, const void *key) {
    // Blocks are at least 16-byte aligned: the low bits say nothing.
    auto bits = reinterpret_cast<uintptr_t>(key);
    return s.Shards[(bits >> 4 ^ bits >> 12) % ShardCount];
}

// Counts one allocation; FALSE when this is the one chosen to fail.
bool CountAllocation(MemoryState &s) {
    unsigned long number = s.Count.fetch_add(1) + 1;
    unsigned long failAt = s.FailAt.load();
    return failAt == 0 || number != failAt || !s.FailAt.compare_exchange_strong(failAt, 0);
}

} // namespace

namespace winplat {

bool CountResourceCreation() {
    if (!CountAllocation(State())) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

} // namespace winplat

namespace {

void *NewBlock(Family kind, bool movable, bool zero, SIZE_T bytes) {
    MemoryState &s = State();
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
    }
    {
        Shard &shard = ShardOf(s, handle);
        std::lock_guard<std::mutex> guard(shard.Lock);
        shard.Addresses.Insert(handle, Entry{false, Block{data, bytes, kind, movable, 0, handle}});
        shard.Blocks++;
    }
    if (movable) {
        Shard &shard = ShardOf(s, data);
        std::lock_guard<std::mutex> guard(shard.Lock);
        shard.Addresses.Insert(data, Entry{true, Block{data, 0, kind, true, 0, handle}});
    }
    return handle;
}

// Runs `use` on the block whose handle `mem` is (a fixed block's pointer or
// a movable block's handle), with its shard locked, and answers whether
// there was such a block of `kind`. `use` answers whether to drop the block
// from the registry; it gets the shard for that.
template <class Use> bool WithBlock(const void *mem, Family kind, Use use) {
    Shard &shard = ShardOf(State(), mem);
    std::lock_guard<std::mutex> guard(shard.Lock);
    Entry *entry = shard.Addresses.Find(mem);
    // A movable block's pointer is no handle.
    if (entry == nullptr || entry->PointerOfMovable || entry->Record.Kind != kind)
        return false;
    if (use(entry->Record)) {
        shard.Addresses.Erase(mem);
        shard.Blocks--;
    }
    return true;
}

// Releases a block by handle; FALSE when `mem` names no block of `kind`.
bool ReleaseBlock(const void *mem, Family kind) {
    void *data = nullptr;
    bool movable = false;
    if (!WithBlock(mem, kind, [&](Block &block) {
            data = block.Data;
            movable = block.Movable;
            return true;
        }))
        return false;
    if (movable) {
        Shard &shard = ShardOf(State(), data);
        std::lock_guard<std::mutex> guard(shard.Lock);
        shard.Addresses.Erase(data);
        free(const_cast<void *>(mem));
    }
    free(data);
    return true;
}

} // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    return NewBlock(Family::Global, (flags & GMEM_MOVEABLE) != 0, (flags & GMEM_ZEROINIT) != 0,
                    bytes);
}

LPVOID WINAPI GlobalLock(HGLOBAL mem) {
    void *data = nullptr;
    bool found = WithBlock(mem, Family::Global, [&](Block &block) {
        if (block.Movable)
            block.LockCount++;
        data = block.Data;
        return false;
    });
    if (!found)
        SetLastError(ERROR_INVALID_HANDLE);
    return data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL mem) {
    BOOL result = FALSE;
    DWORD error = NO_ERROR;
    bool found = WithBlock(mem, Family::Global, [&](Block &block) {
        // A fixed block is never locked; Windows answers TRUE for it.
        if (!block.Movable) {
            result = TRUE;
            return false;
        }
        if (block.LockCount == 0) {
            error = ERROR_NOT_LOCKED;
            return false;
        }
        block.LockCount--;
        result = block.LockCount != 0;
        return false;
    });
    if (!found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The last unlock answers FALSE with NO_ERROR.
    if (!result)
        SetLastError(error);
    return result;
}

HGLOBAL WINAPI GlobalHandle(LPCVOID mem) {
    // A handle names itself, a movable block's pointer names its handle.
    Shard &shard = ShardOf(State(), mem);
    std::lock_guard<std::mutex> guard(shard.Lock);
    Entry *entry = shard.Addresses.Find(mem);
    if (entry == nullptr || entry->Record.Kind != Family::Global) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry->Record.Handle;
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
    SIZE_T size = 0;
    if (!WithBlock(mem, Family::Global, [&](Block &block) {
            size = block.Size;
            return false;
        })) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return size;
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
    s.FailAt.store(n == 0 ? 0 : s.Count.load() + n);
}

unsigned long PlatAllocationCount() {
    return State().Count.load();
}

long PlatLiveBlocks() {
    MemoryState &s = State();
    size_t live = 0;
    for (Shard &shard : s.Shards) {
        std::lock_guard<std::mutex> guard(shard.Lock);
        live += shard.Blocks;
    }
    return static_cast<long>(live);
}
