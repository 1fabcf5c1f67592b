// PrinterPortMonitor: a port monitor for many ports at once, each with a
// simulated printer behind it, for the stress run. Unlike FakePortMonitor it
// keeps everything per port handle:
// * the device ID depends on the port's name ("<anything><n>:"): n % 4 gives
//   an "RVT-201", an "RVT-101", a plain printer or an "RVT-102";
// * a job-language printer answers the job-end command of a job (item 214,
//   or 208 for "RVT-101") with the report of that job's end (216 or 208),
//   and the request for status reports (item 65539) with a status report
//   and a calibration value;
// * every 9th open of a port name and every 11th document start fail, and
//   writes fail or are cut short by a fixed pattern;
// * a call on a handle that is not open (never opened, or closed), a second
//   start or end of a document, and a write outside a document are counted
//   as misuse.
// Handles are never reused. All functions are thread-safe.
#pragma once

#include "wintest.h"

#include <string>

namespace PrinterPortMonitor {

// The table to pass to OpenPortEx.
LPMONITOR Table();
// Forgets every port (call it while none is open).
void Reset();
// Handles opened and not yet closed.
long OpenHandles();
// Calls that no port monitor would accept (see above), with a description
// of the first one.
long Misuse(std::string *first = nullptr);
// Job-end reports queued and reads made, over all ports.
long Reports();
long Reads();
// The device ID a port of this name answers.
std::string DeviceIdFor(const std::string &portName);

} // namespace PrinterPortMonitor
