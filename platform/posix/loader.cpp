// LoadLibraryW over dlopen. A DLL name maps to a shared object name
// ("RAVODIR.DLL" -> "libravodir.so") searched in the SetDllDirectoryW folder,
// then the library path folders, then dlopen's own search. Modules are
// reference counted per loaded object, as on Windows.
#include "internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

struct Module {
    void *Library;        // dlopen's handle
    std::string FileName; // shared object file name, e.g. "libravodir.so"
    std::string Path;     // where it was loaded from
    long References;
};

struct LoaderState {
    // Recursive: a library's constructors may load further libraries.
    std::recursive_mutex Lock;
    std::string DllDirectory;
    std::vector<std::string> Folders;
    std::vector<Module *> Modules; // HMODULE is the Module's address
};

// Never destroyed: libraries may still be in use while the process exits.
LoaderState &State() {
    static LoaderState *state = [] {
        auto *s = new LoaderState;
        const char *path = getenv("WINPLAT_LIBRARY_PATH");
        if (path != nullptr)
            s->Folders = winplat::SplitFolders(path, ':');
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

// The file the dynamic linker loaded, as it names it; the name asked for
// when it does not tell.
std::string LoadedPath(void *library, const std::string &file) {
    struct link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        map->l_name[0] != 0)
        return map->l_name;
    return file;
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
    // A DLL name already loaded is answered with that module, whatever
    // folders are set, as on Windows: one more reference, nothing searched.
    if (file.find('/') == std::string::npos) {
        for (Module *module : s.Modules) {
            if (module->FileName == file) {
                module->References++;
                return reinterpret_cast<HMODULE>(module);
            }
        }
    }
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
    s.Modules.push_back(new Module{library, BaseName(file), LoadedPath(library, file), 1});
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

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::string path;
    if (module == nullptr) {
        // The program itself.
        char buffer[4096];
        ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        if (length <= 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return 0;
        }
        path.assign(buffer, (size_t)length);
    } else {
        LoaderState &s = State();
        std::lock_guard<std::recursive_mutex> guard(s.Lock);
        Module *found = FindModule(s, module);
        if (found == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = found->Path;
    }
    // Cut to the buffer, always terminated, as Windows XP and later do.
    WString wide = winplat::Utf8ToUtf16(path);
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (wide.size() >= size) {
        memcpy(fileName, wide.data(), (size - 1) * sizeof(WCHAR));
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(fileName, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return (DWORD)wide.size();
}

SIZE_T WINAPI VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer, SIZE_T length) {
    if (buffer == nullptr || length < sizeof(MEMORY_BASIC_INFORMATION)) {
        SetLastError(ERROR_BAD_LENGTH);
        return 0;
    }
    // The object file holding the address, as the dynamic linker knows it;
    // asking dlopen for it without loading gives the handle to match.
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    Dl_info info{};
    Module *found = nullptr;
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr) {
        void *library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (library != nullptr) {
            for (Module *candidate : s.Modules) {
                if (candidate->Library == library)
                    found = candidate;
            }
            dlclose(library);
        }
    }
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return 0;
    }
    memset(buffer, 0, sizeof(*buffer));
    buffer->BaseAddress = info.dli_fbase;
    buffer->AllocationBase = reinterpret_cast<PVOID>(found);
    buffer->AllocationProtect = PAGE_EXECUTE_READ;
    buffer->State = MEM_COMMIT;
    buffer->Protect = PAGE_EXECUTE_READ;
    buffer->Type = MEM_IMAGE;
    return sizeof(MEMORY_BASIC_INFORMATION);
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
    s.Folders = winplat::SplitFolders(folders, ':');
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

long winplat::LoadedModuleCount() {
    LoaderState &s = State();
    std::lock_guard<std::recursive_mutex> guard(s.Lock);
    return (long)s.Modules.size();
}
