// Loading the built monitors and choosing the agent folder.
#include "monitor_loader.h"

#include <mutex>

std::string QuennetLibraryPath() {
    return QUENNET_LIBRARY_FILE;
}

LoadedMonitor LoadMonitorLibrary(const std::string &path) {
    LoadedMonitor loaded;
    WString wide = PlatWide(path);
    loaded.Module = LoadLibraryW(wide.c_str());
    if (loaded.Module == nullptr)
        return loaded;
    typedef LPMONITOREX(WINAPI * PFN_InitializePrintMonitor)(LPWSTR);
    FARPROC proc = GetProcAddress(loaded.Module, "InitializePrintMonitor");
    if (proc == nullptr) {
        FreeLibrary(loaded.Module);
        loaded.Module = nullptr;
        return loaded;
    }
    auto initialize =
        reinterpret_cast<PFN_InitializePrintMonitor>(reinterpret_cast<void (*)(void)>(proc));
    WString root = WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Test");
    loaded.MonitorEx = initialize(root.data());
    return loaded;
}

LoadedMonitor LoadQuennet() {
    static LoadedMonitor quennet = LoadMonitorLibrary(QuennetLibraryPath());
    return quennet;
}

std::string AgentFolderPath(AgentFolder which) {
    switch (which) {
    case AgentFolder::Double:
        return QUENNET_DOUBLES_FOLDER "/agent";
    case AgentFolder::NoExport:
        return QUENNET_DOUBLES_FOLDER "/agent_noexport";
    case AgentFolder::Missing:
        break;
    }
    return QUENNET_DOUBLES_FOLDER "/no_agent";
}

void UseAgent(AgentFolder which) {
    PlatSetLibraryPath(AgentFolderPath(which));
}

long AgentModuleRefs() {
    return PlatModuleRefCount(WSTR("RAVODIR.DLL"));
}
