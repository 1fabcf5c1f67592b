// monitorctl: installs, removes and lists print monitors on Windows.
//
//   monitorctl add NAME DLL [ENVIRONMENT]   register DLL (already in the
//                                           system folder) as monitor NAME
//   monitorctl remove NAME [ENVIRONMENT]    unregister monitor NAME
//   monitorctl list                         one line per monitor:
//                                           name, environment, DLL (tab-separated)
//
// The spooler loads the DLL when it is added and refuses it when its
// InitializePrintMonitor fails. Exit code 0 on success, 1 when the spooler
// refuses, 2 for a wrong command line; errors are one line on stderr.
#include <windows.h>

#include <shellapi.h>
#include <winspool.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

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

// The system's text for `error` on one line, with the number.
std::string ErrorText(DWORD error) {
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
    while (!text.empty() && (text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    std::string out = text.empty() ? SpoolerErrorText(error) : Utf8(text);
    return out + " (error " + std::to_string(error) + ")";
}

int Fail(const std::string &message) {
    std::fprintf(stderr, "monitorctl: %s\n", message.c_str());
    return 1;
}

int Usage() {
    std::fprintf(stderr, "usage: monitorctl add NAME DLL [ENVIRONMENT] | remove NAME [ENVIRONMENT] "
                         "| list\n");
    return 2;
}

std::wstring SystemFolder() {
    WCHAR folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

int Add(const std::wstring &name, const std::wstring &dll, const std::wstring &environment) {
    // The spooler loads monitors from the system folder only: say so plainly
    // rather than pass on its "module not found".
    if (dll.find_first_of(L"\\/:") != std::wstring::npos)
        return Fail("give the DLL's file name only (it must be in the system folder): " +
                    Utf8(dll));
    std::wstring path = SystemFolder() + L"\\" + dll;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Fail(Utf8(dll) + " is not in the system folder " + Utf8(SystemFolder()) +
                    ": copy it there first");

    MONITOR_INFO_2W info = {};
    info.pName = const_cast<LPWSTR>(name.c_str());
    info.pEnvironment = environment.empty() ? nullptr : const_cast<LPWSTR>(environment.c_str());
    info.pDLLName = const_cast<LPWSTR>(dll.c_str());
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)))
        return Fail("cannot add monitor \"" + Utf8(name) + "\" (" + Utf8(dll) +
                    "): " + ErrorText(GetLastError()));
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
    }
    auto *monitors = reinterpret_cast<MONITOR_INFO_2W *>(buffer.data());
    for (DWORD i = 0; i < count; i++)
        std::printf("%s\t%s\t%s\n", Utf8(monitors[i].pName).c_str(),
                    Utf8(monitors[i].pEnvironment).c_str(), Utf8(monitors[i].pDLLName).c_str());
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
        return Usage();
    const std::wstring &command = args[0];
    if (command == L"add" && (args.size() == 3 || args.size() == 4))
        return Add(args[1], args[2], args.size() == 4 ? args[3] : std::wstring());
    if (command == L"remove" && (args.size() == 2 || args.size() == 3))
        return Remove(args[1], args.size() == 3 ? args[2] : std::wstring());
    if (command == L"list" && args.size() == 1)
        return List();
    return Usage();
}
