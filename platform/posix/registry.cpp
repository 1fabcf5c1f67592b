// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER kept in memory and,
// when WINPLAT_REGISTRY names a hive file, in that file in the Windows
// registry export format. Every change is written to a copy of the hive
// first and takes effect only once the file has been replaced atomically;
// a hive that cannot be read is reported and never overwritten.
#include "hive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <unordered_set>

namespace {

using namespace winplat;

// What an HKEY from RegOpenKeyExW or RegCreateKeyExW names: a path, looked
// up anew at each use so a deleted key is noticed.
struct OpenKey {
    int Root;
    std::vector<WString> Path;
};

struct RegistryState {
    std::mutex Lock;
    bool Loaded = false;
    std::string Path; // hive file; empty: memory only
    DWORD Broken = 0; // error every call answers while the hive is unusable
    Hive Data;
    std::unordered_set<OpenKey *> Handles;
};

// Never destroyed: threads still running at exit may use the registry.
RegistryState &State() {
    static RegistryState *state = new RegistryState;
    return *state;
}

// ---------------------------------------------------------------- file

// Replaces the file by a complete new one: temporary file in the same
// folder, flushed to disk, renamed over the old one.
bool WriteAtomically(const std::string &path, const std::string &text) {
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    bool ok = written == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// Drops the hive and reads it from `path`. Caller holds the lock.
bool Load(RegistryState &s, const std::string &path, std::string *error) {
    s.Data = Hive{};
    s.Path = path;
    s.Broken = 0;
    s.Loaded = true;
    if (path.empty())
        return true;
    // A missing file is an empty hive, created by the first write.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    std::string text;
    char buffer[65536];
    ssize_t n = fd < 0 ? -1 : 0;
    while (fd >= 0 && ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        text.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0) {
        s.Broken = ERROR_CANTREAD;
        *error = path + ": cannot read the registry hive: " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    Hive hive;
    int line = 0;
    std::string reason;
    if (!ParseHive(text, hive, &line, &reason)) {
        s.Broken = ERROR_REGISTRY_CORRUPT;
        *error = path + ":" + std::to_string(line) + ": " + reason;
        return false;
    }
    s.Data = std::move(hive);
    return true;
}

// First use: the hive named by WINPLAT_REGISTRY. Caller holds the lock.
void EnsureLoaded(RegistryState &s) {
    if (s.Loaded)
        return;
    const char *path = getenv("WINPLAT_REGISTRY");
    std::string error;
    if (!Load(s, path != nullptr ? path : "", &error))
        fprintf(stderr,
                "winplat: registry hive %s (registry calls fail; the file is left as it is)\n",
                error.c_str());
}

// Makes `candidate` the hive once it is safely in the file. Caller holds the lock.
LONG Commit(RegistryState &s, Hive &candidate) {
    if (!s.Path.empty() && !WriteAtomically(s.Path, ExportHive(candidate)))
        return ERROR_CANTWRITE;
    s.Data = std::move(candidate);
    return ERROR_SUCCESS;
}

// The root and path an HKEY names, with the hive loaded. Caller holds the lock.
LONG Resolve(RegistryState &s, HKEY key, int *root, std::vector<WString> *path) {
    EnsureLoaded(s);
    if (s.Broken != 0)
        return static_cast<LONG>(s.Broken);
    path->clear();
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
        *root = key == HKEY_LOCAL_MACHINE ? LocalMachine : CurrentUser;
        return ERROR_SUCCESS;
    }
    auto it = s.Handles.find(reinterpret_cast<OpenKey *>(key));
    if (it == s.Handles.end())
        return ERROR_INVALID_HANDLE;
    *root = (*it)->Root;
    *path = (*it)->Path;
    return Walk(s.Data.Roots[*root], *path) != nullptr ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Resolves key + subKey into one path.
LONG ResolveSub(RegistryState &s, HKEY key, LPCWSTR subKey, int *root, std::vector<WString> *path) {
    LONG result = Resolve(s, key, root, path);
    std::vector<WString> parts;
    if (result == ERROR_SUCCESS)
        result = SplitSubKey(subKey, &parts);
    path->insert(path->end(), parts.begin(), parts.end());
    return result;
}

HKEY NewHandle(RegistryState &s, int root, const std::vector<WString> &path) {
    auto *open = new OpenKey{root, path};
    s.Handles.insert(open);
    return reinterpret_cast<HKEY>(open);
}

} // namespace

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    int root;
    std::vector<WString> path;
    LONG status = ResolveSub(s, key, subKey, &root, &path);
    if (status != ERROR_SUCCESS)
        return status;
    if (Walk(s.Data.Roots[root], path) == nullptr)
        return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(s, root, path);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES attributes,
                            PHKEY result, LPDWORD disposition) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    int root;
    std::vector<WString> path;
    LONG status = ResolveSub(s, key, subKey, &root, &path);
    if (status != ERROR_SUCCESS)
        return status;
    for (const WString &name : path) {
        if (!Storable(name))
            return ERROR_INVALID_PARAMETER;
    }
    // New keys reach the file before they exist.
    bool created = false;
    if (Walk(s.Data.Roots[root], path) == nullptr) {
        Hive candidate = s.Data;
        WalkCreating(candidate.Roots[root], path, &created);
        status = Commit(s, candidate);
        if (status != ERROR_SUCCESS)
            return status;
    }
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(s, root, path);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    int root;
    std::vector<WString> path;
    LONG status = Resolve(s, key, &root, &path);
    if (status != ERROR_SUCCESS)
        return status;
    Value *value = FindValue(*Walk(s.Data.Roots[root], path), winplat::WideOrEmpty(valueName));
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (type != nullptr)
        *type = value->Type;
    // Without a buffer only the size is asked for.
    DWORD size = static_cast<DWORD>(value->Data.size());
    if (data != nullptr && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    // An empty value has no bytes to copy (and no buffer to copy them from).
    if (data != nullptr && size != 0)
        memcpy(data, value->Data.data(), size);
    if (dataSize != nullptr)
        *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                           const BYTE *data, DWORD dataSize) {
    WString name = winplat::WideOrEmpty(valueName);
    if ((data == nullptr && dataSize != 0) || !Storable(name))
        return ERROR_INVALID_PARAMETER;
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    int root;
    std::vector<WString> path;
    LONG status = Resolve(s, key, &root, &path);
    if (status != ERROR_SUCCESS)
        return status;
    // Change a copy, and keep it once it is in the file.
    Hive candidate = s.Data;
    Key *target = Walk(candidate.Roots[root], path);
    Value value{name, type, std::vector<BYTE>(data, data + dataSize)};
    if (Value *existing = FindValue(*target, name)) {
        existing->Type = type;
        existing->Data = value.Data;
    } else {
        target->Values.push_back(value);
    }
    return Commit(s, candidate);
}

LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    int root;
    std::vector<WString> path;
    LONG status = Resolve(s, key, &root, &path);
    if (status != ERROR_SUCCESS)
        return status;
    Hive candidate = s.Data;
    Key *target = Walk(candidate.Roots[root], path);
    Value *value = FindValue(*target, winplat::WideOrEmpty(valueName));
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    target->Values.erase(target->Values.begin() + (value - target->Values.data()));
    return Commit(s, candidate);
}

LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    int root;
    std::vector<WString> path;
    LONG status = ResolveSub(s, key, subKey, &root, &path);
    if (status != ERROR_SUCCESS)
        return status;
    // The roots stay; a key with subkeys stays (as on Windows NT).
    if (path.empty())
        return ERROR_ACCESS_DENIED;
    Hive candidate = s.Data;
    std::vector<WString> parentPath(path.begin(), path.end() - 1);
    Key *parent = Walk(candidate.Roots[root], parentPath);
    Key *victim = parent != nullptr ? FindSubKey(*parent, path.back()) : nullptr;
    if (victim == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (!victim->SubKeys.empty())
        return ERROR_ACCESS_DENIED;
    parent->SubKeys.erase(parent->SubKeys.begin() + (victim - parent->SubKeys.data()));
    return Commit(s, candidate);
}

LONG WINAPI RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT ||
        key == HKEY_USERS)
        return ERROR_SUCCESS;
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.Handles.find(reinterpret_cast<OpenKey *>(key));
    if (it == s.Handles.end())
        return ERROR_INVALID_HANDLE;
    delete *it;
    s.Handles.erase(it);
    return ERROR_SUCCESS;
}

bool PlatRegistryOpen(const std::string &path, std::string *error) {
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::string message;
    bool ok = Load(s, path, &message);
    if (error != nullptr)
        *error = message;
    return ok;
}

std::string PlatRegistryPath() {
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    EnsureLoaded(s);
    return s.Path;
}

std::string PlatRegistryExport() {
    RegistryState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    EnsureLoaded(s);
    return ExportHive(s.Data);
}
