// Brantic's readings of the device ID on hostile input: ReadDeviceModel and
// QueryJobChannel, each through a port monitor that answers the input to
// IOCTL_PAR_QUERY_DEVICE_ID. The model never exceeds 80 characters and the
// channel is always a number from 1 to 255.
#include "brantic.h"
#include "fuzz_input.h"
#include "wintest.h"

#include <cstdlib>
#include <cstring>

namespace {

std::string Answer;
bool ClaimTooMuch = false;
bool Fails = false;

BOOL WINAPI GetPrinterData(HANDLE, DWORD control, LPWSTR, LPWSTR, DWORD, LPWSTR out, DWORD outSize,
                           LPDWORD returned) {
    if (Fails) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    DWORD n = Answer.size() < outSize ? (DWORD)Answer.size() : outSize;
    memcpy(out, Answer.data(), n);
    *returned = ClaimTooMuch ? (DWORD)Answer.size() + 100 : n;
    return TRUE;
}

PortEntry *Entry() {
    static PortEntry *entry = [] {
        InitializePrintMonitor(nullptr);
        static MONITOR table = {};
        table.pfnGetPrinterDataFromPort = GetPrinterData;
        WString port = WSTR("LPT2:"), printer = WSTR("Fuzz printer");
        HANDLE handle = nullptr;
        if (!OpenPortEx(port.data(), printer.data(), &handle, &table))
            abort();
        PortEntry *e = (PortEntry *)handle;
        // A port monitor port as a started job has it.
        e->PortHandle = (HANDLE)0x10;
        return e;
    }();
    return entry;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    PortEntry *e = Entry();
    uint8_t mode = input.Byte();
    ClaimTooMuch = (mode & 1) != 0;
    Fails = (mode & 0x80) != 0;
    Answer = input.Rest();

    ReadDeviceModel(e);
    if (e->Model != nullptr && strlen(e->Model) > MODEL_MAX)
        abort();
    BYTE channel = QueryJobChannel(e);
    if (channel == 0)
        abort();
    return 0;
}
