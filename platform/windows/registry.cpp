// The registry on Windows is the real one (under Wine, the prefix's). There
// are no hive files: only the empty hive can be "opened", which removes the
// product's own key so a test starts from nothing; files cannot be read and
// the export is empty. Tests that need a hive file call REQUIRE_TEST_HOOKS().
#include "wintest.h"

bool PlatRegistryOpen(const std::string &path, std::string *error) {
    if (!path.empty()) {
        if (error != nullptr)
            *error = path + ": registry files are not available on Windows";
        return false;
    }
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Morvane");
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        if (error != nullptr)
            *error = "cannot clear HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane: error " +
                     std::to_string(result);
        return false;
    }
    return true;
}

std::string PlatRegistryPath() {
    return std::string();
}

std::string PlatRegistryExport() {
    return std::string();
}
