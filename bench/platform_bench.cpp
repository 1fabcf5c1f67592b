// The platform layer's primitives on the monitors' paths, one thread:
//   platform/event_turn           WaitForSingleObject on a free auto-reset event, then
//                                 SetEvent: the I/O turn of every job-language write
//   platform/fixed_block          GlobalAlloc (fixed, zeroed) and GlobalFree: records, strings
//   platform/movable_block        AllocMovable and FreeMovable as the monitors do them
//                                 (GlobalAlloc, GlobalLock, GlobalHandle, GlobalUnlock, GlobalFree)
//   platform/last_error           SetLastError and GetLastError
//   platform/tick_count           GetTickCount
//   platform/critical_section     EnterCriticalSection and LeaveCriticalSection (MonitorLock)
//   platform/malloc_free          calloc and free, for comparison
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace bench;

namespace {

void EventTurn(benchmark::State &state) {
    HANDLE turn = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    for (auto _ : state) {
        WaitForSingleObject(turn, INFINITE);
        SetEvent(turn);
    }
    CloseHandle(turn);
}

void FixedBlock(benchmark::State &state) {
    for (auto _ : state) {
        HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 32);
        benchmark::DoNotOptimize(block);
        GlobalFree(block);
    }
}

void MovableBlock(benchmark::State &state) {
    for (auto _ : state) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 32);
        void *data = GlobalLock(block);
        benchmark::DoNotOptimize(data);
        HGLOBAL found = GlobalHandle(data);
        GlobalUnlock(found);
        GlobalFree(found);
    }
}

void LastError(benchmark::State &state) {
    for (auto _ : state) {
        SetLastError(0);
        benchmark::DoNotOptimize(GetLastError());
    }
}

void TickCount(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(GetTickCount());
}

void CriticalSection(benchmark::State &state) {
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    for (auto _ : state) {
        EnterCriticalSection(&lock);
        LeaveCriticalSection(&lock);
    }
    DeleteCriticalSection(&lock);
}

void MallocFree(benchmark::State &state) {
    for (auto _ : state) {
        void *block = calloc(32, 1);
        benchmark::DoNotOptimize(block);
        free(block);
    }
}

} // namespace

int main(int argc, char **argv) {
    InitializeEnvironment();
    benchmark::RegisterBenchmark("platform/event_turn", EventTurn);
    benchmark::RegisterBenchmark("platform/fixed_block", FixedBlock);
    benchmark::RegisterBenchmark("platform/movable_block", MovableBlock);
    benchmark::RegisterBenchmark("platform/last_error", LastError);
    benchmark::RegisterBenchmark("platform/tick_count", TickCount);
    benchmark::RegisterBenchmark("platform/critical_section", CriticalSection);
    benchmark::RegisterBenchmark("platform/malloc_free", MallocFree);
    return RunBenchmarks(argc, argv);
}
