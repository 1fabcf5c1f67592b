// The spooler's client calls as an in-process record: which printers exist,
// which handles are open and every SetJobW call, for tests and the host.
// The POSIX layer answers OpenPrinterW, SetJobW and ClosePrinter with it; on
// Windows the steered calls of a test program and of the libraries it loads
// do (platform/windows/steering.cpp).
#include "common.h"

#include <cstdlib>
#include <mutex>
#include <unordered_set>

namespace {

struct PrinterHandle {
    WString Printer; // as the caller named it
};

struct SpoolerState {
    std::mutex Lock;
    std::vector<WString> Printers;
    bool AnyPrinter = false; // every name is a printer (for the host)
    bool SetJobResult = true;
    std::unordered_set<PrinterHandle *> Handles;
    long OpenCount = 0;
    std::vector<PlatJobControl> Record;
};

// Never destroyed: threads still running at exit may close their printers.
SpoolerState &State() {
    static SpoolerState *state = [] {
        auto *s = new SpoolerState;
        const char *any = getenv("WINPLAT_SPOOLER_ANY_PRINTER");
        s->AnyPrinter = any != nullptr && any[0] == '1' && any[1] == 0;
        return s;
    }();
    return *state;
}

bool SameName(const WString &a, const WString &b) {
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

bool Known(const SpoolerState &s, const WString &printer) {
    if (s.AnyPrinter)
        return true;
    for (const WString &known : s.Printers) {
        if (SameName(known, printer))
            return true;
    }
    return false;
}

} // namespace

namespace winplat {

BOOL RecordOpenPrinter(LPWSTR printerName, LPHANDLE printer) {
    if (printer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *printer = nullptr;
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.OpenCount++;
    if (printerName == nullptr || printerName[0] == 0 || !Known(s, printerName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    auto *handle = new PrinterHandle{printerName};
    s.Handles.insert(handle);
    *printer = handle;
    return TRUE;
}

BOOL RecordSetJob(HANDLE printer, DWORD jobId, DWORD command) {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    // Calls on a handle that is not open are recorded too, under no printer.
    auto it = s.Handles.find(static_cast<PrinterHandle *>(printer));
    bool valid = it != s.Handles.end();
    bool succeeded = valid && s.SetJobResult;
    s.Record.push_back(
        PlatJobControl{valid ? (*it)->Printer : WString(), jobId, command, succeeded});
    if (!valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!succeeded) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL RecordClosePrinter(HANDLE printer) {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.Handles.find(static_cast<PrinterHandle *>(printer));
    if (it == s.Handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete *it;
    s.Handles.erase(it);
    return TRUE;
}

} // namespace winplat

void PlatSpoolerReset() {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Printers.clear();
    s.SetJobResult = true;
    for (PrinterHandle *handle : s.Handles)
        delete handle;
    s.Handles.clear();
    s.OpenCount = 0;
    s.Record.clear();
}

void PlatSpoolerAddPrinter(const WString &printer) {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    for (const WString &known : s.Printers) {
        if (SameName(known, printer))
            return;
    }
    s.Printers.push_back(printer);
}

void PlatSpoolerSetJobResult(bool succeed) {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.SetJobResult = succeed;
}

std::vector<PlatJobControl> PlatSpoolerJobControls() {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Record;
}

std::vector<DWORD> PlatSpoolerJobCommands(const WString &printer, DWORD jobId) {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::vector<DWORD> commands;
    for (const PlatJobControl &control : s.Record) {
        if (control.JobId == jobId && SameName(control.Printer, printer))
            commands.push_back(control.Command);
    }
    return commands;
}

long PlatSpoolerOpenHandles() {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return static_cast<long>(s.Handles.size());
}

long PlatSpoolerOpenCount() {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.OpenCount;
}
