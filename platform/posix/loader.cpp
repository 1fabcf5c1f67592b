// LoadLibraryW over dlopen. A DLL name maps to a shared object name
// ("RAVODIR.DLL" -> "libravodir.so") searched in the SetDllDirectoryW folder,
// then the library path folders, then dlopen's own search. Modules are
// reference counted per loaded object, as on Windows.
#include "internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

struct Module {
    void *Library;        // dlopen's handle
    std::string FileName; // shared object file name, e.g. "libravodir.so"
    long References;
};

struct LoaderState {
    // Recursive: a library's constructors may load further libraries.
    std::recursive_mutex Lock;
    std::string DllDirectory;
    std::vector<std::string> Folders;
    std::vector<Module *> Modules; // HMODULE is the Module's address
};

std::vector<std::string> SplitFolders(const std::string &folders) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        if (end > start)
            out.push_back(folders.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Never destroyed: libraries may still be in use while the process exits.
LoaderState &State() {
    static LoaderState *state = [] {
        auto *s = new LoaderState;
        const char *path = getenv("WINPLAT_LIBRARY_PATH");
        if (path != nullptr)
            s->Folders = SplitFolders(path);
        return s;
    }();
    return *state;
}

bool EndsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

std::string BaseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A Windows DLL name as a shared object file name; a path or a ".so" name
// is kept as it is.
std::string MapDllName(const std::string &name) {
    if (name.find('/') != std::string::npos || EndsWith(name, ".so"))
        return name;
    std::string file = Lower(name);
    size_t backslash = file.rfind('\\');
    if (backslash != std::string::npos)
        file = file.substr(backslash + 1);
    if (EndsWith(file, ".dll"))
        file.resize(file.size() - 4);
    return "lib" + file + ".so";
}

// dlopen of the first place the file is found. Caller holds the lock.
void *OpenLibrary(LoaderState &s, const std::string &file, DWORD *error) {
    *error = ERROR_MOD_NOT_FOUND;
    std::vector<std::string> folders;
    if (file.find('/') == std::string::npos) {
        if (!s.DllDirectory.empty())
            folders.push_back(s.DllDirectory);
        folders.insert(folders.end(), s.Folders.begin(), s.Folders.end());
    }
    // A file that exists but does not load is reported, not skipped. The
    // common case, a file that is there and loads, costs one dlopen: only a
    // failed one asks whether the file is there at all.
    for (const std::string &folder : folders) {
        std::string path = folder + "/" + file;
        void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library != nullptr)
            return library;
        const char *reason = dlerror();
        if (access(path.c_str(), F_OK) != 0)
            continue;
        fprintf(stderr, "winplat: cannot load %s: %s\n", path.c_str(),
                reason != nullptr ? reason : "unknown error");
        *error = ERROR_BAD_EXE_FORMAT;
        return nullptr;
    }
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

Module *FindModule(LoaderState &s, HMODULE module) {
    auto it = std::find(s.Modules.begin(), s.Modules.end(), reinterpret_cast<Module *>(module));
    return it == s.Modules.end() ? nullptr : *it;
}

} // namespace

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
    if (name == nullptr || name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string file = MapDllName(winplat::Utf16ToUtf8(name));
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    DWORD error;
    void *library = OpenLibrary(s, file, &error);
    if (library == nullptr) {
        SetLastError(error);
        return nullptr;
    }
    // A library already loaded gains a reference; dlopen's own count stays at one.
    for (Module *module : s.Modules) {
        if (module->Library == library) {
            dlclose(library);
            module->References++;
            return reinterpret_cast<HMODULE>(module);
        }
    }
    s.Modules.push_back(new Module{library, BaseName(file), 1});
    return reinterpret_cast<HMODULE>(s.Modules.back());
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    Module *found = FindModule(s, module);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Ordinals (names below 64 Ki) do not exist here.
    void *symbol =
        reinterpret_cast<uintptr_t>(name) > 0xFFFF ? dlsym(found->Library, name) : nullptr;
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    Module *found = FindModule(s, module);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--found->References > 0)
        return TRUE;
    // The last reference unloads the library.
    s.Modules.erase(std::find(s.Modules.begin(), s.Modules.end(), found));
    dlclose(found->Library);
    delete found;
    return TRUE;
}

BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE *module) {
    const DWORD known = GET_MODULE_HANDLE_EX_FLAG_PIN |
                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (module != nullptr)
        *module = nullptr;
    if (module == nullptr || (flags & ~known) != 0 ||
        (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    Module *found = nullptr;
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
        // The object file holding the address, as the dynamic linker knows
        // it; asking dlopen for it without loading gives the handle to match.
        Dl_info info{};
        if (name != nullptr && dladdr(reinterpret_cast<const void *>(name), &info) != 0 &&
            info.dli_fname != nullptr) {
            void *library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
            if (library != nullptr) {
                for (Module *candidate : s.Modules) {
                    if (candidate->Library == library)
                        found = candidate;
                }
                dlclose(library);
            }
        }
    } else if (name != nullptr && name[0] != 0) {
        std::string file = BaseName(MapDllName(winplat::Utf16ToUtf8(name)));
        for (Module *candidate : s.Modules) {
            if (candidate->FileName == file)
                found = candidate;
        }
    }
    if (found == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0)
        found->References++;
    *module = reinterpret_cast<HMODULE>(found);
    return TRUE;
}

BOOL WINAPI SetDllDirectoryW(LPCWSTR folder) {
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    s.DllDirectory = folder == nullptr ? std::string() : winplat::Utf16ToUtf8(folder);
    return TRUE;
}

void PlatSetLibraryPath(const std::string &folders) {
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    s.Folders = SplitFolders(folders);
}

long PlatModuleRefCount(const WString &dllName) {
    std::string file = BaseName(MapDllName(winplat::Utf16ToUtf8(dllName)));
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    for (Module *module : s.Modules) {
        if (module->FileName == file)
            return module->References;
    }
    return 0;
}
