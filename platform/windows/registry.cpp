// The registry on Windows is the real one (under Wine, the prefix's). There
// are no hive files: only the empty hive can be "opened", which removes what
// the product and the tests write, so a test starts from nothing; files
// cannot be read and the export is empty. Tests that need a hive file skip
// there (REQUIRE_OWN_LAYER).
//
// What the reset removes is a real machine's configuration (the product's
// settings, an LPT1 connection, the profile's retry time-out): test programs
// run only under Wine, whose prefix the test run made. Started on Windows
// itself, a program says so and exits before its main, so before any test.
#include "wintest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Only Wine's ntdll exports wine_get_version. WINPLAT_AS_WINDOWS=1 makes a
// run under Wine take itself for Windows, to show the refusal.
bool UnderWine() {
    const char *asWindows = getenv("WINPLAT_AS_WINDOWS");
    if (asWindows != nullptr && strcmp(asWindows, "1") == 0)
        return false;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

[[maybe_unused]] const bool RefusedOutsideWine = [] {
    if (UnderWine())
        return false;
    fputs("refused: this test program runs only under Wine; on Windows it would delete the "
          "machine's Morvane settings, LPT1 connection and retry time-out\n",
          stderr);
    fflush(stderr);
    ExitProcess(2);
    return true;
}();

const WCHAR LprMonitorKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR Port";

// Removes a tree; a missing one is no failure.
bool Remove(HKEY root, LPCWSTR key, std::string *error) {
    LONG result = RegDeleteTreeW(root, key);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND)
        return true;
    if (error != nullptr)
        *error = "cannot clear " + PlatNarrow(key) + ": error " + std::to_string(result);
    return false;
}

// A real LPR port monitor names its DLL; a key without it is a test's.
bool LprMonitorInstalled() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LprMonitorKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    bool installed =
        RegQueryValueExW(key, L"Driver", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return installed;
}

} // namespace

bool PlatRegistryOpen(const std::string &path, std::string *error) {
    if (!path.empty()) {
        if (error != nullptr)
            *error = path + ": registry files are not available on Windows";
        return false;
    }
    // Never a real machine's registry, even in a program that got past the
    // start-up refusal.
    if (!UnderWine()) {
        if (error != nullptr)
            *error = "the registry is reset only under Wine";
        return false;
    }
    // The product's own keys, the transport's, a test monitor's key and the
    // LPT1 connection the tests make; the LPR ports only when no real LPR
    // port monitor owns them.
    if (!Remove(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Morvane", error) ||
        !Remove(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Daruzuroz", error) ||
        !Remove(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Test",
                error) ||
        !Remove(HKEY_CURRENT_USER, L"Network\\LPT1", error) ||
        (!LprMonitorInstalled() && !Remove(HKEY_LOCAL_MACHINE, LprMonitorKey, error)))
        return false;
    // The profile value the channel's time-out comes from.
    RegDeleteKeyValueW(HKEY_CURRENT_USER,
                       L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows",
                       L"TransmissionRetryTimeout");
    return true;
}

std::string PlatRegistryPath() {
    return std::string();
}

std::string PlatRegistryExport() {
    return std::string();
}
