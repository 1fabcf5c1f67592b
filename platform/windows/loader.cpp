// The loader on Windows, for test programs: the folders a DLL name is
// searched in before the system's search (as the POSIX loader does), every
// library loaded that way steered (steering.cpp), and the count of the
// references taken and given back through the steered calls, which Windows
// itself does not tell. Test programs and the POSIX layer name folders as
// POSIX paths; under Wine those are turned into the drive paths Wine maps
// them to.
#define STEERING_IMPLEMENTATION
#include "steer.h"

#include "../wintest.h"
#include "../common/common.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace winplat {
void SteerModule(HMODULE module);
}

namespace {

typedef LPWSTR(CDECL *PFN_wine_get_dos_file_name)(LPCSTR unixPath);

struct LoaderState {
    std::mutex Lock;
    std::vector<WString> Folders;
    std::map<HMODULE, long> References; // taken through the steered calls
};

// Never destroyed: threads still running at exit may free their libraries.
LoaderState &Loader() {
    static LoaderState *state = new LoaderState;
    return *state;
}

// The folders of the list: ':'-separated when it is a POSIX path list,
// ';'-separated otherwise (drive letters carry a colon).
std::vector<std::string> FoldersOf(const std::string &folders) {
    return winplat::SplitFolders(folders, !folders.empty() && folders[0] == '/' ? ':' : ';');
}

// A POSIX absolute path as Wine's drive path; other paths as they are.
WString NativePath(const std::string &folder) {
    if (folder.empty() || folder[0] != '/')
        return PlatWide(folder);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto toDos =
        kernel == nullptr
            ? nullptr
            : reinterpret_cast<PFN_wine_get_dos_file_name>(reinterpret_cast<void (*)(void)>(
                  GetProcAddress(kernel, "wine_get_dos_file_name")));
    if (toDos == nullptr)
        return PlatWide(folder);
    LPWSTR dos = toDos(folder.c_str());
    if (dos == nullptr)
        return PlatWide(folder);
    WString out(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return out;
}

// The folders of WINPLAT_LIBRARY_PATH, as the POSIX layer reads it at start-up.
[[maybe_unused]] const bool LibraryPathFromEnvironment = [] {
    const char *path = getenv("WINPLAT_LIBRARY_PATH");
    if (path != nullptr && *path != '\0')
        PlatSetLibraryPath(path);
    return true;
}();

bool IsBareName(LPCWSTR name) {
    for (LPCWSTR c = name; *c != 0; c++) {
        if (*c == L'\\' || *c == L'/' || *c == L':')
            return false;
    }
    return true;
}

// A bare name from the folders first, then as the system finds it.
HMODULE Load(LPCWSTR name) {
    HMODULE module = nullptr;
    if (name != nullptr && IsBareName(name)) {
        std::vector<WString> folders;
        {
            std::lock_guard<std::mutex> guard(Loader().Lock);
            folders = Loader().Folders;
        }
        for (const WString &folder : folders) {
            WString path = folder + L"\\" + name;
            if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                continue;
            module = LoadLibraryExW(path.c_str(), nullptr, 0);
            if (module != nullptr)
                break;
        }
    }
    if (module == nullptr)
        module = LoadLibraryW(name);
    if (module == nullptr)
        return nullptr;
    winplat::SteerModule(module);
    LoaderState &s = Loader();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.References[module]++;
    return module;
}

// One reference given back.
void Release(HMODULE module) {
    LoaderState &s = Loader();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.References.find(module);
    if (it != s.References.end() && --it->second <= 0)
        s.References.erase(it);
}

} // namespace

HMODULE WINAPI SteeredLoadLibraryW(LPCWSTR name) {
    return Load(name);
}

HMODULE WINAPI SteeredLoadLibraryA(LPCSTR name) {
    if (name == nullptr)
        return LoadLibraryA(name);
    return Load(PlatWide(name).c_str());
}

BOOL WINAPI SteeredFreeLibrary(HMODULE module) {
    BOOL freed = FreeLibrary(module);
    if (freed)
        Release(module);
    return freed;
}

VOID WINAPI SteeredFreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
    // Given back first: the real call does not return.
    Release(module);
    FreeLibraryAndExitThread(module, exitCode);
}

void PlatSetLibraryPath(const std::string &folders) {
    std::vector<WString> native;
    for (const std::string &folder : FoldersOf(folders))
        native.push_back(NativePath(folder));
    // The system's search gets the first folder too, for libraries not
    // loaded through the steered calls.
    SetDllDirectoryW(native.empty() ? nullptr : native[0].c_str());
    std::lock_guard<std::mutex> guard(Loader().Lock);
    Loader().Folders = native;
}

// The references taken through the steered calls, where the module is
// loaded; -1 when it is loaded but none of them was taken that way (the
// real count is not told), 0 when it is not loaded.
long PlatModuleRefCount(const WString &dllName) {
    HMODULE module = GetModuleHandleW(reinterpret_cast<LPCWSTR>(dllName.c_str()));
    if (module == nullptr)
        return 0;
    LoaderState &s = Loader();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.References.find(module);
    return it == s.References.end() ? -1 : it->second;
}
