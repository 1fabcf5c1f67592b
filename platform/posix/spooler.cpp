// The spooler's client calls as an in-process record: which printers exist,
// which handles are open and every SetJobW call, for tests and the host.
#include "internal.h"

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

bool Known(const SpoolerState &s, const WString &printer) {
    if (s.AnyPrinter)
        return true;
    for (const WString &known : s.Printers) {
        if (winplat::CompareIgnoringCase(known, printer) == 0)
            return true;
    }
    return false;
}

} // namespace

BOOL WINAPI OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
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

BOOL WINAPI SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command) {
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

BOOL WINAPI ClosePrinter(HANDLE printer) {
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

void PlatSpoolerClearRecord() {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Record.clear();
}

void PlatSpoolerAddPrinter(const WString &printer) {
    SpoolerState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    for (const WString &known : s.Printers) {
        if (winplat::CompareIgnoringCase(known, printer) == 0)
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
        if (control.JobId == jobId && winplat::CompareIgnoringCase(control.Printer, printer) == 0)
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
