// Quennet's read cycle (ReadPrinterResponses) with the reference parser
// library and the dispatcher behind it, on whatever a printer may send:
// responses split over reads at any byte, zero bytes, missing form feeds,
// responses longer than the segment buffer, more text than the accumulation
// buffer holds, failing reads and a port monitor that claims more bytes than
// it was offered.
//
// Input: a byte of settings (bit 0: an "RVT-102", which parses after every
// second read in a row; bit 1: the agent takes part; bit 2: a printer that
// never pauses, whose reads, once the operations are done, bring their bytes
// again from the start), then read operations:
//   0x00-0xEF  a read of that many bytes from the input
//   0xF0       an empty read           0xF1  a failing read
//   0xF2       a read of `count` copies of one byte: a shift, `count`
//              (2 bytes) shifted right by it (so long runs stay possible
//              while most are short), the byte
//   0xF3       the next 16 bytes, the read claiming 100 bytes more
//   0xF4-0xFF  the next (op - 0xF3) bytes and a form feed
// After the operations every read is empty (but for the chattering printer,
// whose cycles must each end within 20 reads and a buffer's worth of bytes,
// carrying what is still arriving to the next). What one input has the printer
// say is held to one accumulation buffer and a segment: enough to fill the
// buffer, have it dropped and start again. More only repeats what that shows,
// and the cycle scans its whole text again at every parse, so long inputs
// would otherwise take most of the fuzzer's time. Its responses are held to
// a few hundred as well: each costs a library load, a parse and a dispatch,
// and a flood of form feeds shows nothing more than a few hundred do.
#include "fuzz_input.h"
#include "quennet.h"
#include "wintest.h"

#include <cstdlib>
#include <cstring>
#include <deque>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

namespace {

const size_t MaxResponses = 512;

struct Read {
    std::string Bytes;
    size_t At = 0; // what earlier calls took
    bool Fails = false;
    bool ClaimsMore = false;
};
std::deque<Read> Reads;
// The chattering printer's reads, and what the current cycle read.
std::deque<Read> Chatter;
size_t CycleReads = 0, CycleBytes = 0;

BOOL WINAPI ReadPortOfFuzz(HANDLE, LPBYTE buffer, DWORD count, LPDWORD read) {
    *read = 0;
    CycleReads++;
    if (Reads.empty() && !Chatter.empty())
        Reads = Chatter;
    if (Reads.empty())
        return TRUE;
    Read &next = Reads.front();
    if (next.Fails) {
        Reads.pop_front();
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    // A read larger than the buffer goes out over several calls.
    size_t left = next.Bytes.size() - next.At;
    DWORD n = left < count ? (DWORD)left : count;
    memcpy(buffer, next.Bytes.data() + next.At, n);
    *read = next.ClaimsMore ? n + 100 : n;
    CycleBytes += n;
    next.At += n;
    if (next.At == next.Bytes.size())
        Reads.pop_front();
    return TRUE;
}

PortEntry *Entry() {
    static PortEntry *entry = [] {
        InitializePrintMonitor(nullptr);
        // The parser library and a status agent that reads every item.
        PlatSetLibraryPath(FUZZ_LIBRARY_FOLDERS);
        // A reference of our own keeps the parser loaded: the cycle still
        // loads and frees it around each response, as in the spooler, but
        // that is now a count step instead of a dlopen and a dlclose.
        if (LoadLibraryW(WSTR("VEROVIRI.DLL")) == nullptr)
            abort();
        PlatRegistryOpen("", nullptr);
        // The reader's 100 ms pauses cost nothing: at this scale a pause
        // lasts less than a nanosecond, so it never reaches the kernel (even
        // a microsecond's sleep costs a busy machine milliseconds).
        PlatSetClockScale(1e9);
        static MONITOR table = {};
        table.pfnReadPort = ReadPortOfFuzz;
        WString port = WSTR("LPT1:"), printer = WSTR("Fuzz printer");
        HANDLE handle = nullptr;
        if (!OpenPortEx(port.data(), printer.data(), &handle, &table))
            abort();
        return (PortEntry *)handle;
    }();
    return entry;
}

void SetModel(PortEntry *e, const char *model) {
    EnterMonitorLock();
    if (e->Model != nullptr)
        GlobalFree(e->Model);
    e->Model = DupNarrow(model);
    LeaveMonitorLock();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    PortEntry *e = Entry();
    uint8_t settings = input.Byte();
    SetModel(e, (settings & 1) ? "RVT-102" : "RVT-201");
    if (settings & 2)
        SetFlags(e, AgentActive | ThreadRunning | KeepPolling);
    else
        ClearFlags(e, AgentActive | ThreadRunning | KeepPolling);
    // Jobs the printer may report the end of.
    PushJobId(e, 0x2A);
    PushJobId(e, 0x2B);

    Reads.clear();
    size_t total = 0, responses = 0;
    while (!input.Empty() && total <= ACCUMULATION_BUFFER_SIZE + SEGMENT_BUFFER_SIZE) {
        uint8_t op = input.Byte();
        Read read;
        if (op < 0xF0) {
            read.Bytes = input.Bytes(op);
        } else if (op == 0xF0) {
        } else if (op == 0xF1) {
            read.Fails = true;
        } else if (op == 0xF2) {
            int shift = input.Byte() & 15;
            uint16_t count = (uint16_t)(input.Word() >> shift);
            read.Bytes.assign(count, (char)input.Byte());
        } else if (op == 0xF3) {
            read.Bytes = input.Bytes(16);
            read.ClaimsMore = true;
        } else {
            read.Bytes = input.Bytes(op - 0xF3) + "\f";
        }
        // Cut the read just before the first form feed over the limit.
        for (size_t at = 0; at < read.Bytes.size(); at++) {
            if (read.Bytes[at] == '\f' && ++responses > MaxResponses) {
                read.Bytes.resize(at);
                responses = MaxResponses;
                break;
            }
        }
        total += read.Bytes.size();
        Reads.push_back(read);
    }

    // Read cycles until the printer has nothing more to say; each cycle
    // reads at least once.
    std::deque<Read> said = Reads;
    for (int cycles = 0; !Reads.empty() && cycles < 1000; cycles++)
        ReadPrinterResponses(e);
    // A printer that never pauses says it all again and again: none of a
    // few cycles may read past its bounds.
    if (settings & 4) {
        for (const Read &read : said) {
            if (!read.Fails && !read.Bytes.empty())
                Chatter.push_back(read);
        }
        for (int cycles = 0; !Chatter.empty() && cycles < 8; cycles++) {
            CycleReads = CycleBytes = 0;
            ReadPrinterResponses(e);
            if (CycleReads > 20 || CycleBytes >= ACCUMULATION_BUFFER_SIZE + READ_BUFFER_SIZE)
                abort();
        }
        Chatter.clear();
        Reads.clear();
    }
    ReadPrinterResponses(e);

    DropReadCarry(e);
    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
    return 0;
}
