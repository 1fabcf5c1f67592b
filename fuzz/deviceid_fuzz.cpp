// Quennet's device identification on hostile device IDs: the input is what
// the port monitor answers to IOCTL_PAR_QUERY_DEVICE_ID (QueryDeviceId), and
// the text handed straight to ParseDeviceId in a block of exactly its size.
// Whatever the text, the stored model never exceeds 80 characters.
#include "fuzz_input.h"
#include "quennet.h"
#include "wintest.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

namespace {

// What the port monitor answers, and whether it claims more bytes than it
// was offered (a broken port monitor).
std::string Answer;
bool ClaimTooMuch = false;

BOOL WINAPI GetPrinterData(HANDLE, DWORD control, LPWSTR, LPWSTR, DWORD, LPWSTR out, DWORD outSize,
                           LPDWORD returned) {
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
        WString port = WSTR("LPT1:"), printer = WSTR("Fuzz printer");
        HANDLE handle = nullptr;
        if (!OpenPortEx(port.data(), printer.data(), &handle, &table))
            abort();
        return (PortEntry *)handle;
    }();
    return entry;
}

void CheckModel(PortEntry *e) {
    if (e->Model != nullptr && strlen(e->Model) > MODEL_MAX)
        abort();
    ModelContains(e, "RVT-101");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    PortEntry *e = Entry();
    ClaimTooMuch = input.Flag();
    Answer = input.Rest();

    // Through the port monitor, as a job start asks.
    QueryDeviceId(e);
    CheckModel(e);

    // The parser alone, on a text that ends exactly where its block ends.
    std::vector<char> text(Answer.begin(), Answer.end());
    text.push_back(0);
    ParseDeviceId(e, text.data());
    CheckModel(e);
    return 0;
}
