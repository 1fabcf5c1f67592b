// The response reader: whole read cycles (ReadPrinterResponses) over the
// in-memory port monitor with the reference parser library, which the
// reader loads and frees around every response, and that loading and freeing
// alone, so that its share of a response's cost can be told.
//
//   reader/loaded_per_call/<responses per cycle>  as designed
//   reader/parser_pinned/<responses per cycle>    the benchmark holds a
//       reference to the parser, so the reader's loads only count references
//   parser/load_free                              LoadLibraryW, GetProcAddress, FreeLibrary
#include "bench_support.h"
#include "quennet.h"

#include <benchmark/benchmark.h>

#include <string>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

using namespace bench;

namespace {

// A status report (device status, then its kind) and a report that a job
// ended: what a printer says most often.
const char StatusReport[] = "@TKL 65539 = 10001\n@TKL 65600 = 1\n\f";
const char JobDoneReport[] = "@TKL 216 = \"+LPT                          0000002A\"\n\f";

std::string Responses(int count) {
    std::string text;
    for (int i = 0; i < count; i++)
        text += i % 2 == 0 ? StatusReport : JobDoneReport;
    return text;
}

WCHAR ReaderPort[] = u"READER1:";

void ReaderBench(benchmark::State &state, bool pinned) {
    UseAgent(true);
    // The reader pauses 100 ms between reads; a clock this fast makes the
    // pause nothing, so that the cycle's own work is what is measured.
    double savedScale = PlatClockScale();
    PlatSetClockScale(1e9);

    HANDLE handle = nullptr;
    InitializePrintMonitor(nullptr);
    if (!OpenPortEx(ReaderPort, PrinterName, &handle, MemoryPortMonitor())) {
        state.SkipWithError("OpenPortEx failed");
        PlatSetClockScale(savedScale);
        return;
    }
    PortEntry *e = (PortEntry *)handle;
    PortOpen(e);
    MemoryPort *printer = LastOpenedPort();

    HMODULE pin = pinned ? LoadLibraryW(u"VEROVIRI.DLL") : nullptr;
    if (pinned && pin == nullptr)
        state.SkipWithError("parser library not found");

    int count = (int)state.range(0);
    std::string text = Responses(count);
    for (auto _ : state) {
        SetReply(printer, text);
        DWORD consumed = ReadPrinterResponses(e);
        if (consumed != text.size()) {
            state.SkipWithError("responses not consumed (parser library missing?)");
            break;
        }
    }
    state.SetItemsProcessed((int64_t)state.iterations() * count);
    state.counters["responses_per_cycle"] = count;

    if (pin != nullptr)
        FreeLibrary(pin);
    PortClose(e);
    ClosePort(handle);
    ReleaseClosedPorts();
    PlatSetClockScale(savedScale);
}

// What ParseTklText does around its one call into the parser.
void LoadFreeBench(benchmark::State &state) {
    UseAgent(true);
    for (auto _ : state) {
        HMODULE library = LoadLibraryW(u"VEROVIRI.DLL");
        if (library == nullptr) {
            state.SkipWithError("parser library not found");
            break;
        }
        benchmark::DoNotOptimize(GetProcAddress(library, TKL_TEXT_TO_ITEMS_EXPORT));
        FreeLibrary(library);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

int main(int argc, char **argv) {
    InitializeEnvironment();
    for (bool pinned : {false, true}) {
        benchmark::RegisterBenchmark(pinned ? "reader/parser_pinned" : "reader/loaded_per_call",
                                     ReaderBench, pinned)
            ->Arg(1)
            ->Arg(8);
    }
    benchmark::RegisterBenchmark("parser/load_free", LoadFreeBench);
    return RunBenchmarks(argc, argv);
}
