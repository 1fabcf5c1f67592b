// Library loading by DLL name, reference counts and missing libraries and exports.
#include "platform_test.h"

namespace {

typedef int(WINAPI *IntFunction)(void);

struct Loader : testing::Test {
    void SetUp() override { PlatSetLibraryPath(PROBE_FOLDER); }
    void TearDown() override {
        SetDllDirectoryW(nullptr);
        const char *path = getenv("WINPLAT_LIBRARY_PATH");
        PlatSetLibraryPath(path != nullptr ? path : "");
    }
};

int Call(HMODULE module, const char *name) {
    FARPROC proc = GetProcAddress(module, name);
    return proc != nullptr ? reinterpret_cast<IntFunction>(reinterpret_cast<void *>(proc))() : -1;
}

TEST_F(Loader, DllNamesMapToSharedObjects) {
    SetLastError(Sentinel);
    HMODULE module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_EQ(Call(module, "ProbeAnswer"), 42);

    // The same file under other spellings is the same module.
    EXPECT_EQ(LoadLibraryW(u"platprobe.dll"), module);
    EXPECT_EQ(LoadLibraryW(u"PlatProbe"), module);
    WString path = PlatWide(std::string(PROBE_FOLDER) + "/libplatprobe.so");
    EXPECT_EQ(LoadLibraryW(path.c_str()), module);
    EXPECT_EQ(PlatModuleRefCount(u"PLATPROBE.DLL"), 4);
    for (int i = 3; i >= 0; i--) {
        EXPECT_TRUE(FreeLibrary(module));
        EXPECT_EQ(PlatModuleRefCount(u"PLATPROBE.DLL"), i);
    }
    SetLastError(Sentinel);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Loader, MissingLibraryAndExport) {
    SetLastError(Sentinel);
    EXPECT_EQ(LoadLibraryW(u"NOSUCHLIBRARY.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    HMODULE module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);
    SetLastError(Sentinel);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(Loader, LastFreeUnloads) {
    // The probe formats numbers with the standard library, as the companion
    // libraries do: that must not keep it loaded after its last FreeLibrary
    // (nor findable by name once its folder is off the path: SearchFolders).
    HMODULE module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Call(module, "ProbeDigits"), 4);
    EXPECT_EQ(Call(module, "ProbeCount"), 1);
    EXPECT_EQ(Call(module, "ProbeCount"), 2);
    EXPECT_TRUE(FreeLibrary(module));
    module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Call(module, "ProbeCount"), 1);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(Loader, SearchFolders) {
    // Folders are searched in order; missing ones are skipped.
    PlatSetLibraryPath(std::string("/nonexistent-folder:") + PROBE_FOLDER);
    HMODULE module = LoadLibraryW(u"PLATPROBE.DLL");
    EXPECT_NE(module, nullptr);
    // While loaded, the name is answered with the module whatever the folders.
    PlatSetLibraryPath("");
    EXPECT_EQ(LoadLibraryW(u"platprobe.dll"), module);
    EXPECT_TRUE(FreeLibrary(module));
    FreeLibrary(module);

    // Without the library path, only the DLL directory finds it.
    PlatSetLibraryPath("");
    SetLastError(Sentinel);
    EXPECT_EQ(LoadLibraryW(u"PLATPROBE.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_TRUE(SetDllDirectoryW(PlatWide(PROBE_FOLDER).c_str()));
    module = LoadLibraryW(u"PLATPROBE.DLL");
    EXPECT_NE(module, nullptr);
    FreeLibrary(module);
}

TEST_F(Loader, AnAddressNamesItsLibraryAndTheLibraryItsFile) {
    HMODULE module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);

    // An address inside the library: the region's allocation base is the
    // module handle.
    FARPROC inside = GetProcAddress(module, "ProbeAnswer");
    ASSERT_NE(inside, nullptr);
    MEMORY_BASIC_INFORMATION region{};
    SetLastError(Sentinel);
    EXPECT_EQ(VirtualQuery(reinterpret_cast<LPCVOID>(inside), &region, sizeof(region)),
              sizeof(region));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_EQ(region.AllocationBase, reinterpret_cast<PVOID>(module));
    EXPECT_EQ(region.Type, (DWORD)MEM_IMAGE);

    // Its file, by full path; loading that path is one more reference.
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(PlatNarrow(WString(path, length)), std::string(PROBE_FOLDER) + "/libplatprobe.so");
    EXPECT_EQ(LoadLibraryW(path), module);
    EXPECT_EQ(PlatModuleRefCount(u"PLATPROBE.DLL"), 2);

    // A buffer too small: cut and terminated.
    WCHAR small[8];
    SetLastError(Sentinel);
    EXPECT_EQ(GetModuleFileNameW(module, small, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small[7], 0);
    EXPECT_EQ(WString(small), WString(path, 7));

    // The program itself is no library loaded by name; nor is a freed one.
    static int local = 0;
    SetLastError(Sentinel);
    EXPECT_EQ(VirtualQuery(&local, &region, sizeof(region)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    SetLastError(Sentinel);
    EXPECT_EQ(VirtualQuery(reinterpret_cast<LPCVOID>(inside), &region, 4), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
    EXPECT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(PlatModuleRefCount(u"PLATPROBE.DLL"), 0);
    SetLastError(Sentinel);
    EXPECT_EQ(GetModuleFileNameW(module, path, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Loader, AThreadMayGiveUpTheLastReferenceToTheLibraryItRuns) {
    HMODULE module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Call(module, "ProbeCount"), 1);
    FARPROC body = GetProcAddress(module, "ProbeThreadMain");
    ASSERT_NE(body, nullptr);

    // The thread runs the library's code and frees the only reference on
    // its way out: the library is unloaded under it, and nothing crashes.
    HANDLE thread = CreateThread(
        nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void *>(body)),
        module, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(PlatModuleRefCount(u"PLATPROBE.DLL"), 0);

    // Really unloaded: its counter starts again.
    module = LoadLibraryW(u"PLATPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Call(module, "ProbeCount"), 1);
    EXPECT_TRUE(FreeLibrary(module));
}

} // namespace
