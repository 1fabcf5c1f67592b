// The test hooks on Windows: what tests rely on when they point the loader
// at a folder, start from an empty product key or convert strings.
#include <gtest/gtest.h>

#include "wintest.h"

#include <string>

namespace {

const std::string Doubles = QUENNET_DOUBLES_FOLDER;

WString DllDirectory() {
    WCHAR folder[MAX_PATH] = {};
    DWORD length = GetDllDirectoryW(MAX_PATH, folder);
    return WString(folder, length < MAX_PATH ? length : 0);
}

// True when "RAVODIR.DLL" loads from the folder now set and has the agent's export.
bool AgentWithExportLoads(bool *loaded) {
    HMODULE module = LoadLibraryW(L"RAVODIR.DLL");
    *loaded = module != nullptr;
    bool exported = module != nullptr && GetProcAddress(module, "Vorl_LMGetEntryPoints") != nullptr;
    if (module != nullptr)
        FreeLibrary(module);
    return exported;
}

// First in the program: WINPLAT_LIBRARY_PATH (CTest sets the companions'
// POSIX folder) is applied at start, before any test sets a folder.
TEST(WindowsLoaderStart, LibraryPathFromTheEnvironmentIsInForceAtStart) {
    ASSERT_NE(getenv("WINPLAT_LIBRARY_PATH"), nullptr);
    EXPECT_FALSE(DllDirectory().empty());
    HMODULE parser = LoadLibraryW(L"VEROVIRI.DLL");
    EXPECT_NE(parser, nullptr) << "error " << GetLastError();
    if (parser != nullptr)
        FreeLibrary(parser);
}

TEST(WindowsLoader, PosixFoldersSelectWhichLibraryOfANameLoads) {
    bool loaded = false;
    PlatSetLibraryPath(Doubles + "/agent_noexport");
    EXPECT_FALSE(AgentWithExportLoads(&loaded));
    EXPECT_TRUE(loaded);

    // A list: the folders are searched in order, a missing one is passed over.
    PlatSetLibraryPath(Doubles + "/agent:" + Doubles + "/agent_noexport");
    EXPECT_TRUE(AgentWithExportLoads(&loaded));
    PlatSetLibraryPath(Doubles + "/nowhere:" + Doubles + "/agent");
    EXPECT_TRUE(AgentWithExportLoads(&loaded));
    PlatSetLibraryPath(Doubles + "/agent:" + Doubles + "/agent_noexport");
    WString agentFolder = DllDirectory();
    EXPECT_EQ(agentFolder.find(L'/'), WString::npos) << "a drive path, not a POSIX one";

    // No folder: the default search, which has no such library.
    PlatSetLibraryPath("");
    EXPECT_TRUE(DllDirectory().empty());
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"RAVODIR.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);

    // Windows paths are ';'-separated (drive letters carry a colon).
    PlatSetLibraryPath(PlatNarrow(agentFolder) + ";C:\\nowhere");
    EXPECT_EQ(DllDirectory(), agentFolder);
    EXPECT_TRUE(AgentWithExportLoads(&loaded));

    // The references taken and given back through the steered calls.
    EXPECT_EQ(PlatModuleRefCount(L"RAVODIR.DLL"), 0);
    HMODULE agent = LoadLibraryW(L"RAVODIR.DLL");
    ASSERT_NE(agent, nullptr);
    HMODULE again = LoadLibraryW(L"RAVODIR.DLL");
    EXPECT_EQ(again, agent);
    EXPECT_EQ(PlatModuleRefCount(L"RAVODIR.DLL"), 2);
    FreeLibrary(again);
    EXPECT_EQ(PlatModuleRefCount(L"RAVODIR.DLL"), 1);
    FreeLibrary(agent);
    EXPECT_EQ(PlatModuleRefCount(L"RAVODIR.DLL"), 0);
}

TEST(WindowsRegistry, EmptyHiveRemovesWhatTheProductAndTestsWriteOnly) {
    HKEY key = nullptr;
    DWORD port = 1234;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Morvane\\TallowII\\Ports\\LPT1", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuennetOtherVendor", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"JobNotifyPort", 0, REG_DWORD, (const BYTE *)&port, sizeof(port));
    RegCloseKey(key);

    std::string error;
    EXPECT_TRUE(PlatRegistryOpen("", &error)) << error;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Morvane", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuennetOtherVendor", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuennetOtherVendor");

    // Again with nothing to remove; a hive file cannot be read here.
    EXPECT_TRUE(PlatRegistryOpen("", nullptr));
    EXPECT_FALSE(PlatRegistryOpen("tests.hive", &error));
    EXPECT_NE(error.find("tests.hive"), std::string::npos) << error;
    EXPECT_EQ(PlatRegistryExport(), "");
}

TEST(WindowsStrings, Utf8AndUtf16ConvertBothWays) {
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F"
                             "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
    const WString utf16 = L"Gr\u00FC\u00DFe \u20AC \xD834\xDD1E";
    EXPECT_EQ(PlatWide(utf8), utf16);
    EXPECT_EQ(PlatNarrow(utf16), utf8);
    EXPECT_EQ(PlatWide(""), WString());
    EXPECT_EQ(PlatNarrow(WString()), "");
    // Embedded zeros are characters like any other.
    EXPECT_EQ(PlatWide(std::string("a\0b", 3)).size(), 3u);
}

} // namespace
