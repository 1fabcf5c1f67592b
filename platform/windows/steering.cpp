// Steering on Windows: the test hooks reached through the real API. A test
// program's own calls come here through steer.h; a library it loads by name
// (the monitors, and the agent, parser and transport they load in turn) is
// steered by replacing entries of that library's own import table, so the
// shipped bytes run unchanged and only their calls are touched, never the
// program's runtime or the system's DLLs.
#define STEERING_IMPLEMENTATION
#include "steer.h"

#include "../common/common.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

// ---------------------------------------------------------------- allocation faults

struct MemoryState {
    std::atomic<unsigned long> Count{0};
    std::atomic<unsigned long> FailAt{0};
    std::mutex Lock;
    std::unordered_set<void *> Live; // Global, Local and Heap blocks not yet freed
};

// Never destroyed: threads still running at exit may free their blocks.
MemoryState &Memory() {
    static MemoryState *state = new MemoryState;
    return *state;
}

// Counts one allocation; FALSE, with ERROR_NOT_ENOUGH_MEMORY set, when this
// is the one chosen to fail.
bool CountAllocation() {
    MemoryState &s = Memory();
    unsigned long number = s.Count.fetch_add(1) + 1;
    unsigned long failAt = s.FailAt.load();
    if (failAt == 0 || number != failAt || !s.FailAt.compare_exchange_strong(failAt, 0))
        return true;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

void *Track(void *block) {
    if (block != nullptr) {
        MemoryState &s = Memory();
        std::lock_guard<std::mutex> guard(s.Lock);
        s.Live.insert(block);
    }
    return block;
}

// Forgets a block before it is freed (after, another thread could be given
// the same address and file it first); TRUE when it was known.
bool Untrack(void *block) {
    MemoryState &s = Memory();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Live.erase(block) != 0;
}

// Keeps a block filed when freeing it failed.
template <class Result> Result Refile(void *block, bool known, bool freed, Result result) {
    if (known && !freed)
        Track(block);
    return result;
}

// ---------------------------------------------------------------- import tables

struct Steer {
    const char *Name;
    void *Replacement;
};

#define STEER(name)                                                                                \
    { #name, reinterpret_cast < void *>(&Steered##name) }
const Steer SteeredImports[] = {
    STEER(GetTickCount),
    STEER(Sleep),
    STEER(WaitForSingleObject),
    STEER(GlobalAlloc),
    STEER(GlobalFree),
    STEER(LocalAlloc),
    STEER(LocalFree),
    STEER(HeapAlloc),
    STEER(HeapFree),
    STEER(CreateEventW),
    STEER(CreateThread),
    STEER(OpenPrinterW),
    STEER(SetJobW),
    STEER(ClosePrinter),
    STEER(LoadLibraryW),
    STEER(LoadLibraryA),
    STEER(FreeLibrary),
    STEER(FreeLibraryAndExitThread),
    STEER(GetProfileIntW),
    STEER(WNetGetConnectionW),
    STEER(OutputDebugStringW),
};
#undef STEER

void *ReplacementOf(const char *name) {
    for (const Steer &steer : SteeredImports) {
        if (strcmp(steer.Name, name) == 0)
            return steer.Replacement;
    }
    return nullptr;
}

// A module of the system's own (under the Windows folder) is never steered:
// only the libraries of this build and their calls are under test.
bool IsSystemModule(HMODULE module) {
    WCHAR path[MAX_PATH], windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (GetModuleFileNameW(module, path, MAX_PATH) == 0 || length == 0 || length >= MAX_PATH)
        return true;
    return _wcsnicmp(path, windows, length) == 0;
}

// Points every import of `module` that the hooks steer at its replacement.
// Entries are matched by name, so steering a module again changes nothing.
void SteerImports(HMODULE module) {
    // The program itself is steered through steer.h: its import table also
    // serves its runtime (threads, GoogleTest), which must stay as it is.
    if (module == nullptr || module == GetModuleHandleW(nullptr) || IsSystemModule(module))
        return;
    BYTE *base = reinterpret_cast<BYTE *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return;
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    auto *import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
    for (; import->Name != 0; import++) {
        // Without the name table the entries cannot be told apart.
        if (import->OriginalFirstThunk == 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            void *replacement = ReplacementOf(reinterpret_cast<const char *>(byName->Name));
            if (replacement == nullptr ||
                slots->u1.Function == reinterpret_cast<ULONG_PTR>(replacement))
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &protection))
                continue;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
        }
    }
}

} // namespace

namespace winplat {

uint64_t SystemUptimeMs() {
    return GetTickCount64();
}

// Steers a module the steered loader has just loaded (loader.cpp).
void SteerModule(HMODULE module) {
    SteerImports(module);
}

} // namespace winplat

bool PlatHasTestHooks() {
    return true;
}

bool PlatIsOwnLayer() {
    return false;
}

void PlatFailAllocation(unsigned long n) {
    MemoryState &s = Memory();
    s.FailAt.store(n == 0 ? 0 : s.Count.load() + n);
}

unsigned long PlatAllocationCount() {
    return Memory().Count.load();
}

long PlatLiveBlocks() {
    MemoryState &s = Memory();
    std::lock_guard<std::mutex> guard(s.Lock);
    return static_cast<long>(s.Live.size());
}

// ---------------------------------------------------------------- test clock

DWORD WINAPI SteeredGetTickCount(void) {
    return winplat::TestTickCount();
}

VOID WINAPI SteeredSleep(DWORD milliseconds) {
    winplat::NoteWait(milliseconds, true);
    Sleep(milliseconds == INFINITE ? INFINITE : winplat::RealMilliseconds(milliseconds));
}

DWORD WINAPI SteeredWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (milliseconds != INFINITE)
        winplat::NoteWait(milliseconds, false);
    return WaitForSingleObject(
        handle, milliseconds == INFINITE ? INFINITE : winplat::RealMilliseconds(milliseconds));
}

// ---------------------------------------------------------------- memory and kernel objects

HGLOBAL WINAPI SteeredGlobalAlloc(UINT flags, SIZE_T bytes) {
    return CountAllocation() ? Track(GlobalAlloc(flags, bytes)) : nullptr;
}

HGLOBAL WINAPI SteeredGlobalFree(HGLOBAL mem) {
    bool known = mem != nullptr && Untrack(mem);
    HGLOBAL result = GlobalFree(mem);
    return Refile(mem, known, result == nullptr, result);
}

HLOCAL WINAPI SteeredLocalAlloc(UINT flags, SIZE_T bytes) {
    return CountAllocation() ? Track(LocalAlloc(flags, bytes)) : nullptr;
}

HLOCAL WINAPI SteeredLocalFree(HLOCAL mem) {
    bool known = mem != nullptr && Untrack(mem);
    HLOCAL result = LocalFree(mem);
    return Refile(mem, known, result == nullptr, result);
}

LPVOID WINAPI SteeredHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    return CountAllocation() ? Track(HeapAlloc(heap, flags, bytes)) : nullptr;
}

BOOL WINAPI SteeredHeapFree(HANDLE heap, DWORD flags, LPVOID mem) {
    bool known = mem != nullptr && Untrack(mem);
    BOOL result = HeapFree(heap, flags, mem);
    return Refile(mem, known, result != FALSE, result);
}

HANDLE WINAPI SteeredCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                  BOOL initialState, LPCWSTR name) {
    if (!CountAllocation())
        return nullptr;
    return CreateEventW(attributes, manualReset, initialState, name);
}

HANDLE WINAPI SteeredCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD threadId) {
    if (!CountAllocation())
        return nullptr;
    return CreateThread(attributes, stackSize, start, parameter, flags, threadId);
}

// ---------------------------------------------------------------- spooler

BOOL WINAPI SteeredOpenPrinterW(LPWSTR printerName, LPHANDLE printer,
                                LPPRINTER_DEFAULTSW defaults) {
    return winplat::RecordOpenPrinter(printerName, printer);
}

BOOL WINAPI SteeredSetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command) {
    return winplat::RecordSetJob(printer, jobId, command);
}

BOOL WINAPI SteeredClosePrinter(HANDLE printer) {
    return winplat::RecordClosePrinter(printer);
}

// ---------------------------------------------------------------- profile and network

UINT WINAPI SteeredGetProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue) {
    return winplat::ProfileInt(section, key, defaultValue);
}

DWORD WINAPI SteeredWNetGetConnectionW(LPCWSTR localName, LPWSTR remoteName, LPDWORD length) {
    return winplat::NetworkConnection(localName, remoteName, length);
}

// ---------------------------------------------------------------- open objects
// Not counted on Windows (the soak run is POSIX only).
PlatObjectCounts PlatOpenObjects() {
    return {-1, -1, -1, -1};
}

// ---------------------------------------------------------------- debug output

namespace {

// PlatSetDebugOutput's file; without one the lines go to the system's debug
// output as usual.
struct DebugOutput {
    std::mutex Lock;
    FILE *File = nullptr;
};

DebugOutput &Debug() {
    static DebugOutput *state = new DebugOutput;
    return *state;
}

} // namespace

VOID WINAPI SteeredOutputDebugStringW(LPCWSTR text) {
    if (text == nullptr)
        return;
    DWORD error = GetLastError();
    DebugOutput &d = Debug();
    {
        std::lock_guard<std::mutex> guard(d.Lock);
        if (d.File == nullptr) {
            OutputDebugStringW(text);
        } else {
            // One write per line, so that lines of different threads never mix.
            std::string line = PlatNarrow(text);
            fwrite(line.data(), 1, line.size(), d.File);
            fflush(d.File);
        }
    }
    SetLastError(error);
}

bool PlatSetDebugOutput(const std::string &path) {
    DebugOutput &d = Debug();
    std::lock_guard<std::mutex> guard(d.Lock);
    if (d.File != nullptr)
        fclose(d.File);
    d.File = nullptr;
    if (path.empty())
        return true;
    d.File = fopen(path.c_str(), "ab");
    return d.File != nullptr;
}
