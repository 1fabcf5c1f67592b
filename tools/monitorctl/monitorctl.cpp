// monitorctl: installs, removes and lists print monitors on Windows.
//
// The spooler loads the DLL when it is added and refuses it when its
// InitializePrintMonitor fails; monitorctl refuses first what the spooler
// would refuse with a less helpful error: a DLL missing from the system
// folder or of the other width. Exit code 0 on success, 1 on a refusal, 2
// for a wrong command line; every error is one line on stderr with the
// system's text for it.
#include "quennet_version.h"

#include <windows.h>

#include <shellapi.h>
#include <winspool.h>
#include <winver.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char Usage[] =
    "usage: monitorctl add NAME DLL [ENVIRONMENT]\n"
    "       monitorctl remove NAME [ENVIRONMENT]\n"
    "       monitorctl list\n"
    "       monitorctl ports\n"
    "       monitorctl --version | --help\n"
    "\n"
    "  add      registers DLL (a file name; the DLL must be in the system folder)\n"
    "           as print monitor NAME; the spooler loads it at once\n"
    "  remove   unregisters monitor NAME (stop the printers using it first)\n"
    "  list     one line per installed monitor: name, environment, DLL and the\n"
    "           DLL's file version, separated by tabs\n"
    "  ports    one line per port the spooler knows: name, monitor, description\n"
    "           (the spooler loads every installed monitor to answer)\n"
    "\n"
    "ENVIRONMENT is the spooler's environment, e.g. \"Windows x64\" or\n"
    "\"Windows NT x86\" (default: the spooler's own). Exit code 0 on success,\n"
    "1 when refused, 2 for a wrong command line.\n";

std::string Utf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            length, nullptr, nullptr);
    return out;
}

std::string Utf8(LPCWSTR text) {
    return text == nullptr ? std::string() : Utf8(std::wstring(text));
}

// Texts for the spooler's own errors, for systems whose message table
// lacks them (Wine's).
const char *SpoolerErrorText(DWORD error) {
    switch (error) {
    case ERROR_INVALID_ENVIRONMENT:
        return "The environment specified is invalid";
    case ERROR_UNKNOWN_PRINT_MONITOR:
        return "The specified print monitor is unknown";
    case ERROR_PRINT_MONITOR_ALREADY_INSTALLED:
        return "The specified print monitor has already been installed";
    case ERROR_PRINT_MONITOR_IN_USE:
        return "The specified print monitor is currently in use";
    default:
        return "unknown error";
    }
}

// The system's text for `error` on one line, with the number; `insert`
// takes the place of a "%1" in the text (a file name). The text is read
// with its inserts left as they are, so that no "%n" reads an argument
// that is not there; only "%1" is then filled in here.
std::string ErrorText(DWORD error, const std::wstring &insert = L"") {
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
    if (buffer != nullptr)
        LocalFree(buffer);
    // Message texts end in a line break (sometimes more than one line).
    for (auto &c : text) {
        if (c == L'\r' || c == L'\n')
            c = L' ';
    }
    for (size_t at = text.find(L"%1"); at != std::wstring::npos;
         at = text.find(L"%1", at + insert.size()))
        text.replace(at, 2, insert);
    while (!text.empty() && (text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    std::string out = text.empty() ? SpoolerErrorText(error) : Utf8(text);
    return out + " (error " + std::to_string(error) + ")";
}

int Fail(const std::string &message) {
    std::fprintf(stderr, "monitorctl: %s\n", message.c_str());
    return 1;
}

int WrongCommandLine(const std::string &what) {
    std::fprintf(stderr, "monitorctl: %s (see monitorctl --help): %s\n", what.c_str(),
                 ErrorText(ERROR_INVALID_PARAMETER).c_str());
    return 2;
}

// ---------------------------------------------------------------- widths

// The machine of a processor architecture, as a PE header names it.
WORD MachineOf(WORD architecture) {
    switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
        return IMAGE_FILE_MACHINE_I386;
    case PROCESSOR_ARCHITECTURE_AMD64:
        return IMAGE_FILE_MACHINE_AMD64;
    case PROCESSOR_ARCHITECTURE_IA64:
        return IMAGE_FILE_MACHINE_IA64;
    case 12: // PROCESSOR_ARCHITECTURE_ARM64
        return 0xAA64;
    default:
        return IMAGE_FILE_MACHINE_UNKNOWN;
    }
}

// The machine of the system: the spooler is always of the system's width.
// GetNativeSystemInfo (XP and later) tells it also to a 32-bit process on
// 64-bit Windows; before XP there is only one width.
WORD SystemMachine() {
    typedef void(WINAPI * NativeInfo)(LPSYSTEM_INFO);
    SYSTEM_INFO info = {};
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "GetNativeSystemInfo") : nullptr;
    if (proc != nullptr)
        reinterpret_cast<NativeInfo>(reinterpret_cast<void (*)(void)>(proc))(&info);
    else
        GetSystemInfo(&info);
    return MachineOf(info.wProcessorArchitecture);
}

// The machine whose DLLs the spooler of `environment` loads (0: not known).
WORD SpoolerMachine(const std::wstring &environment) {
    if (environment.empty())
        return SystemMachine();
    if (lstrcmpiW(environment.c_str(), L"Windows x64") == 0)
        return IMAGE_FILE_MACHINE_AMD64;
    if (lstrcmpiW(environment.c_str(), L"Windows NT x86") == 0)
        return IMAGE_FILE_MACHINE_I386;
    if (lstrcmpiW(environment.c_str(), L"Windows ARM64") == 0)
        return 0xAA64;
    if (lstrcmpiW(environment.c_str(), L"Windows IA64") == 0)
        return IMAGE_FILE_MACHINE_IA64;
    return IMAGE_FILE_MACHINE_UNKNOWN;
}

std::string WidthName(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return "32-bit (x86)";
    case IMAGE_FILE_MACHINE_AMD64:
        return "64-bit (x64)";
    case 0xAA64:
        return "64-bit (ARM64)";
    case IMAGE_FILE_MACHINE_IA64:
        return "64-bit (Itanium)";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "machine 0x%04X", machine);
        return text;
    }
    }
}

// The machine field of a PE file's header; 0 when the file is no PE image.
WORD FileMachine(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return IMAGE_FILE_MACHINE_UNKNOWN;
    // The DOS header's e_lfanew leads to "PE\0\0", then the machine field.
    IMAGE_DOS_HEADER dos = {};
    DWORD read = 0, signature = 0;
    WORD machine = IMAGE_FILE_MACHINE_UNKNOWN;
    bool header =
        ReadFile(file, &dos, sizeof dos, &read, nullptr) && read == sizeof dos &&
        dos.e_magic == IMAGE_DOS_SIGNATURE &&
        SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, &signature, sizeof signature, &read, nullptr) && read == sizeof signature &&
        signature == IMAGE_NT_SIGNATURE;
    if (!header || !ReadFile(file, &machine, sizeof machine, &read, nullptr) ||
        read != sizeof machine)
        machine = IMAGE_FILE_MACHINE_UNKNOWN;
    CloseHandle(file);
    return machine;
}

// ---------------------------------------------------------------- files

// The spooler's system folder. A 32-bit monitorctl on 64-bit Windows sees
// the 32-bit folder under that name; the real one is "Sysnative" to it.
std::wstring SystemFolder() {
    WCHAR folder[MAX_PATH];
    if (sizeof(void *) == 4 && SystemMachine() != IMAGE_FILE_MACHINE_I386) {
        UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            return std::wstring(folder, length) + L"\\Sysnative";
    }
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

// The file version of a DLL ("1.0.0"), or "-" when it has none.
std::string FileVersion(const std::wstring &path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return "-";
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &length) ||
        fixed == nullptr || length < sizeof(VS_FIXEDFILEINFO))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS));
    std::string version = text;
    if (LOWORD(fixed->dwFileVersionLS) != 0)
        version += "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
    return version;
}

// ---------------------------------------------------------------- commands

int Add(const std::wstring &name, const std::wstring &dll, const std::wstring &environment) {
    std::string what = "cannot add monitor \"" + Utf8(name) + "\" (" + Utf8(dll) + "): ";
    // The spooler loads monitors from the system folder only: say so plainly
    // rather than pass on its "module not found".
    if (dll.find_first_of(L"\\/:") != std::wstring::npos)
        return Fail(what + "give the DLL's file name only, it must be in the system folder: " +
                    ErrorText(ERROR_INVALID_NAME));
    std::wstring folder = SystemFolder();
    std::wstring path = folder + L"\\" + dll;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Fail(what + "not in the system folder " + Utf8(folder) +
                    ", copy it there first: " + ErrorText(GetLastError()));

    // A DLL of the other width would fail in the spooler's LoadLibrary.
    WORD spooler = SpoolerMachine(environment);
    WORD machine = FileMachine(path);
    if (machine == IMAGE_FILE_MACHINE_UNKNOWN)
        return Fail(what + "not a Windows DLL: " + ErrorText(ERROR_BAD_EXE_FORMAT, dll));
    if (spooler != IMAGE_FILE_MACHINE_UNKNOWN && machine != spooler)
        return Fail(what + "a " + WidthName(machine) + " DLL, but the spooler is " +
                    WidthName(spooler) +
                    ": take the DLL of the other bundle: " + ErrorText(ERROR_BAD_EXE_FORMAT, dll));

    MONITOR_INFO_2W info = {};
    info.pName = const_cast<LPWSTR>(name.c_str());
    info.pEnvironment = environment.empty() ? nullptr : const_cast<LPWSTR>(environment.c_str());
    info.pDLLName = const_cast<LPWSTR>(dll.c_str());
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)))
        return Fail(what + ErrorText(GetLastError()));
    std::printf("added monitor \"%s\" (%s)\n", Utf8(name).c_str(), Utf8(dll).c_str());
    return 0;
}

int Remove(const std::wstring &name, const std::wstring &environment) {
    LPWSTR env = environment.empty() ? nullptr : const_cast<LPWSTR>(environment.c_str());
    if (!DeleteMonitorW(nullptr, env, const_cast<LPWSTR>(name.c_str())))
        return Fail("cannot remove monitor \"" + Utf8(name) + "\": " + ErrorText(GetLastError()));
    std::printf("removed monitor \"%s\"\n", Utf8(name).c_str());
    return 0;
}

int List() {
    // First call for the size, second for the records; the list may grow
    // in between, so try again while the buffer is too small.
    std::vector<BYTE> buffer;
    DWORD needed = 0, count = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (EnumMonitorsW(nullptr, 2, buffer.empty() ? nullptr : buffer.data(),
                          static_cast<DWORD>(buffer.size()), &needed, &count))
            break;
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return Fail("cannot list monitors: " + ErrorText(error));
        buffer.assign(needed, 0);
        count = 0;
        // Still too small after the last attempt: the list was never read.
        if (attempt == 3)
            return Fail("cannot list monitors: the list kept growing: " + ErrorText(error));
    }
    auto *monitors = reinterpret_cast<MONITOR_INFO_2W *>(buffer.data());
    std::wstring folder = SystemFolder();
    for (DWORD i = 0; i < count; i++) {
        std::wstring dll = monitors[i].pDLLName != nullptr ? monitors[i].pDLLName : L"";
        std::wstring path =
            dll.find_first_of(L"\\/:") == std::wstring::npos ? folder + L"\\" + dll : dll;
        std::printf("%s\t%s\t%s\t%s\n", Utf8(monitors[i].pName).c_str(),
                    Utf8(monitors[i].pEnvironment).c_str(), Utf8(dll).c_str(),
                    dll.empty() ? "-" : FileVersion(path).c_str());
    }
    return 0;
}

int Ports() {
    // As for List: the size first, then the records, again while it grows.
    std::vector<BYTE> buffer;
    DWORD needed = 0, count = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (EnumPortsW(nullptr, 2, buffer.empty() ? nullptr : buffer.data(),
                       static_cast<DWORD>(buffer.size()), &needed, &count))
            break;
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return Fail("cannot list ports: " + ErrorText(error));
        buffer.assign(needed, 0);
        count = 0;
    }
    auto *ports = reinterpret_cast<PORT_INFO_2W *>(buffer.data());
    for (DWORD i = 0; i < count; i++)
        std::printf("%s\t%s\t%s\n", Utf8(ports[i].pPortName).c_str(),
                    Utf8(ports[i].pMonitorName).c_str(), Utf8(ports[i].pDescription).c_str());
    return 0;
}

} // namespace

int main() {
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return Fail("cannot read the command line: " + ErrorText(GetLastError()));
    std::vector<std::wstring> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    LocalFree(argv);

    if (args.empty())
        return WrongCommandLine("no command given");
    const std::wstring &command = args[0];
    if ((command == L"--help" || command == L"-h" || command == L"help") && args.size() == 1) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (command == L"--version" && args.size() == 1) {
        std::printf("monitorctl %s\n", QUENNET_VERSION);
        return 0;
    }
    if (command == L"add" && (args.size() == 3 || args.size() == 4))
        return Add(args[1], args[2], args.size() == 4 ? args[3] : std::wstring());
    if (command == L"remove" && (args.size() == 2 || args.size() == 3))
        return Remove(args[1], args.size() == 3 ? args[2] : std::wstring());
    if (command == L"list" && args.size() == 1)
        return List();
    if (command == L"ports" && args.size() == 1)
        return Ports();
    if (command == L"add" || command == L"remove" || command == L"list" || command == L"ports")
        return WrongCommandLine("wrong number of arguments for \"" + Utf8(command) + "\"");
    return WrongCommandLine("unknown command \"" + Utf8(command) + "\"");
}
