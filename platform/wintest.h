// What only tests and the stand-in spooler host use of the platform layer:
// allocation fault injection, the test clock, the in-process spooler's
// record, the loader's folders and the registry hive. Monitor code never
// includes this header.
//
// On POSIX everything here is implemented by libwinplat.so. On Windows the
// test programs implement it (platform/windows): their own calls reach the
// hooks through steer.h, and the libraries they load are steered through
// their import tables, so the shipped DLLs run unchanged on the real API.
#pragma once

#include "win32.h"

#include <string>
#include <vector>

// A UTF-16 string in the platform's WCHAR.
typedef std::basic_string<WCHAR> WString;

#ifdef _WIN32
#define PLATAPI
#else
#define PLATAPI __attribute__((visibility("default")))
#endif

// True where the hooks below steer the platform: the POSIX layer and
// Windows test programs.
PLATAPI bool PlatHasTestHooks();
// True where the Win32 calls are our own POSIX layer's rather than the
// real API's.
PLATAPI bool PlatIsOwnLayer();

// First statement of a test (or of its fixture's SetUp) that needs fault
// injection, the test clock or the spooler record. Every build has the hooks
// today (the POSIX layer, Windows test programs), so it skips nowhere; a
// build without them would report the test as skipped with the reason
// instead of passing it. Test programs include GoogleTest before this header.
#define REQUIRE_TEST_HOOKS()                                                                       \
    do {                                                                                           \
        if (!PlatHasTestHooks())                                                                   \
            GTEST_SKIP() << "needs the platform's test hooks (fault injection, test clock, "       \
                            "spooler record)";                                                     \
    } while (0)

// First statement of a test that checks what only our own layer has or does
// (registry files, limits the real API sets otherwise): skipped on Windows
// with `why`.
#define REQUIRE_OWN_LAYER(why)                                                                     \
    do {                                                                                           \
        if (!PlatIsOwnLayer())                                                                     \
            GTEST_SKIP() << "only the POSIX layer: " << why;                                       \
    } while (0)

// ---------------------------------------------------------------- allocation faults
// Counts every GlobalAlloc, LocalAlloc and HeapAlloc of the process, and
// every CreateEventW and CreateThread (kernel objects take memory too: a
// sweep that fails each allocation in turn fails those as well).
// PlatFailAllocation(n) makes the n-th allocation from now on fail (n >= 1;
// 0 switches the injection off); the failing call sets ERROR_NOT_ENOUGH_MEMORY.
PLATAPI void PlatFailAllocation(unsigned long n);
// Allocations (and event and thread creations) made since the process
// started (failed ones included).
PLATAPI unsigned long PlatAllocationCount();
// Blocks of GlobalAlloc, LocalAlloc and HeapAlloc not yet freed (events and
// threads are handles, not blocks: they are not counted here).
PLATAPI long PlatLiveBlocks();

// ---------------------------------------------------------------- test clock
// GetTickCount() = offset + elapsed real milliseconds x scale; Sleep(ms) and
// timed waits last ms / scale real milliseconds. Real time (scale 1, offset
// continuing the real tick) is the default; WINPLAT_CLOCK_SCALE sets the scale.
PLATAPI void PlatSetClockScale(double scale);
PLATAPI double PlatClockScale();
// Moves the tick counter forward by `ms` (wraps at 2^32, as on Windows).
PLATAPI void PlatAdvanceTicks(DWORD ms);
// Sets the tick counter to `tick` now (for tests across the 32-bit wrap).
PLATAPI void PlatSetTickCount(DWORD tick);

// ---------------------------------------------------------------- pauses and waits
// What was slept and waited for, so tests count and measure pauses on the
// test clock instead of timing them. While the record is on, every Sleep and
// every WaitForSingleObject with a time-out other than INFINITE is noted in
// the order the calls begin: the calling thread and the length asked for.
struct PlatWait {
    DWORD ThreadId;     // GetCurrentThreadId() of the caller
    DWORD Milliseconds; // the length asked for (test clock)
    bool Slept;         // Sleep; false: a timed wait
};
// Switches the record on (emptied) or off (kept for reading).
PLATAPI void PlatRecordWaits(bool on);
// The record so far, in order.
PLATAPI std::vector<PlatWait> PlatRecordedWaits();

// ---------------------------------------------------------------- kernel objects
// What the process holds, for runs that must stay flat over a long life.
struct PlatObjectCounts {
    long Events;        // events created and not yet closed
    long ThreadHandles; // thread handles not yet closed
    long Threads;       // threads of CreateThread still running
    long Modules;       // libraries loaded through LoadLibraryW and not freed
};
// -1 in every field where the platform cannot tell (Windows).
PLATAPI PlatObjectCounts PlatOpenObjects();

// ---------------------------------------------------------------- spooler
struct PlatJobControl {
    WString Printer;
    DWORD JobId;
    DWORD Command;
    bool Succeeded;
};
// Forgets printers, records and handles.
PLATAPI void PlatSpoolerReset();
// Makes `printer` known to OpenPrinterW (unknown ones fail with 1801).
PLATAPI void PlatSpoolerAddPrinter(const WString &printer);
// From now on SetJobW answers `succeed` (TRUE by default).
PLATAPI void PlatSpoolerSetJobResult(bool succeed);
// Forgets the record of SetJobW calls; printers and handles stay (long runs).
PLATAPI void PlatSpoolerClearRecord();
// Every SetJobW call in order (also the failed ones).
PLATAPI std::vector<PlatJobControl> PlatSpoolerJobControls();
// The commands of one printer's job, in order.
PLATAPI std::vector<DWORD> PlatSpoolerJobCommands(const WString &printer, DWORD jobId);
// Printer handles opened and not yet closed.
PLATAPI long PlatSpoolerOpenHandles();
// OpenPrinterW calls so far.
PLATAPI long PlatSpoolerOpenCount();

// ---------------------------------------------------------------- loader
// Folders searched, in order, for a DLL name mapped to a shared object
// ("RAVODIR.DLL" -> "libravodir.so"), before the normal dlopen search.
// Separated by ':'; replaces WINPLAT_LIBRARY_PATH's value. On Windows the
// steered LoadLibraryW searches the folders the same way (';'-separated
// there, unless the list is of POSIX paths, which Wine maps to its drive
// paths), and the system's search gets the first (SetDllDirectoryW).
PLATAPI void PlatSetLibraryPath(const std::string &folders);
// How often a DLL name is currently loaded (0 when not loaded). Windows
// does not tell its count: there it is the references taken through the
// steered calls, or -1 when the module is loaded but not that way, and tests
// leave out a check of the count when it is negative.
PLATAPI long PlatModuleRefCount(const WString &dllName);

// ---------------------------------------------------------------- registry
// Drops every key and value and reads the hive anew from `path` (empty:
// an empty in-memory hive that is never written). FALSE with a message
// naming file and line when the file does not parse (the hive is left empty).
// On Windows the registry is the real one: "" removes what the product and
// the tests write (platform/windows/registry.cpp), only under Wine (a test
// program started on Windows itself refuses to run), a file path fails, the
// export is empty.
PLATAPI bool PlatRegistryOpen(const std::string &path, std::string *error);
// Current hive file ("" when in memory only).
PLATAPI std::string PlatRegistryPath();
// The whole hive in the export format.
PLATAPI std::string PlatRegistryExport();

// ---------------------------------------------------------------- debug output
// Where OutputDebugStringW writes from now on: appended to the file `path`
// ("": back to WINPLAT_DEBUG_OUTPUT, else standard error). FALSE when the
// file cannot be opened. On Windows the steered calls write there; "" gives
// the lines back to the system's debug output.
PLATAPI bool PlatSetDebugOutput(const std::string &path);

// ---------------------------------------------------------------- strings
// Convenience for tests and the host: UTF-8 <-> UTF-16.
PLATAPI WString PlatWide(const std::string &utf8);
PLATAPI std::string PlatNarrow(const WString &utf16);
