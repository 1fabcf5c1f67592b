// Helpers shared by the test hooks of both platforms (platform/posix on
// POSIX, platform/windows in Windows test programs); nothing here is
// exported.
#pragma once

#include "../wintest.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace winplat {

// ---------------------------------------------------------------- test clock (test_clock.cpp)

// The tick of the test clock now: offset + elapsed real milliseconds x scale.
DWORD TestTickCount();
// How long a wait of `ms` test-clock milliseconds lasts in real time.
std::chrono::steady_clock::duration RealDuration(DWORD ms);
// The same in whole real milliseconds, at least 1 for a wait of at least 1.
DWORD RealMilliseconds(DWORD ms);
// The real tick the test clock starts from (per platform).
uint64_t SystemUptimeMs();
// Notes a Sleep or a timed wait in the record of PlatRecordWaits.
void NoteWait(DWORD ms, bool slept);

// ---------------------------------------------------------------- spooler record
// (spooler_record.cpp)

BOOL RecordOpenPrinter(LPWSTR printerName, LPHANDLE printer);
BOOL RecordSetJob(HANDLE printer, DWORD jobId, DWORD command);
BOOL RecordClosePrinter(HANDLE printer);

// ---------------------------------------------------------------- profile and network
// (profile_registry.cpp)

// GetProfileIntW of the [windows] section, read from the registry as NT maps it.
UINT ProfileInt(LPCWSTR section, LPCWSTR key, INT defaultValue);
// WNetGetConnectionW of a device, from its persistent entry in the registry.
DWORD NetworkConnection(LPCWSTR localName, LPWSTR remoteName, LPDWORD length);

// ---------------------------------------------------------------- loader (folders.cpp)

// The folders of a list separated by `separator`, empty entries left out.
std::vector<std::string> SplitFolders(const std::string &folders, char separator);

} // namespace winplat
