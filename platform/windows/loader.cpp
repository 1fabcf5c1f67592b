// The loader's folder on Windows: SetDllDirectoryW, which puts one folder
// after the program's own in the DLL search. Test programs and the POSIX
// layer name folders as POSIX paths; under Wine those are turned into the
// drive paths Wine maps them to.
#include "wintest.h"

#include <cstdlib>

namespace {

typedef LPWSTR(CDECL *PFN_wine_get_dos_file_name)(LPCSTR unixPath);

// The first folder of the list: ':'-separated when it is a POSIX path list,
// ';'-separated otherwise (drive letters carry a colon).
std::string FirstFolder(const std::string &folders) {
    char separator = !folders.empty() && folders[0] == '/' ? ':' : ';';
    return folders.substr(0, folders.find(separator));
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

// The folder of WINPLAT_LIBRARY_PATH, as the POSIX layer reads it at start-up.
[[maybe_unused]] const bool LibraryPathFromEnvironment = [] {
    const char *path = getenv("WINPLAT_LIBRARY_PATH");
    if (path != nullptr && *path != '\0')
        PlatSetLibraryPath(path);
    return true;
}();

} // namespace

void PlatSetLibraryPath(const std::string &folders) {
    std::string folder = FirstFolder(folders);
    if (folder.empty()) {
        SetDllDirectoryW(nullptr);
        return;
    }
    SetDllDirectoryW(NativePath(folder).c_str());
}

// Windows keeps no reference count a program may read; it does tell
// whether a module of that name is loaded at all.
long PlatModuleRefCount(const WString &dllName) {
    return GetModuleHandleW(reinterpret_cast<LPCWSTR>(dllName.c_str())) == nullptr ? 0 : -1;
}
