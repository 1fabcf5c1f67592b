// The spooler record on Windows: not kept. The monitors under test call the
// real OpenPrinterW / SetJobW / ClosePrinter that winspool.drv exports, and a
// double linked into a test program would not replace those imports of a
// loaded DLL, so it would check something other than what ships. Wine has no
// printers by default, so OpenPrinterW fails there as it does on POSIX for an
// unknown printer. Tests that read the record call REQUIRE_TEST_HOOKS().
#include "wintest.h"

void PlatSpoolerReset() {}
void PlatSpoolerClearRecord() {}
void PlatSpoolerAddPrinter(const WString &) {}
void PlatSpoolerSetJobResult(bool) {}
std::vector<PlatJobControl> PlatSpoolerJobControls() {
    return {};
}
std::vector<DWORD> PlatSpoolerJobCommands(const WString &, DWORD) {
    return {};
}
long PlatSpoolerOpenHandles() {
    return 0;
}
long PlatSpoolerOpenCount() {
    return 0;
}
