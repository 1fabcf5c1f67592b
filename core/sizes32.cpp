// Record sizes the outside world fixes. The NT 4.0 spooler and the outside
// libraries are 32-bit programs: on a 32-bit build every record passed to
// them must have exactly their size. On every build the MONITOR table must
// be the SDK's 17 slots, of which the NT 4.0 spooler knows the first 14.
#include "agent_api.h"
#include "tkl_types.h"
#include "transport_api.h"
#include "win32.h"

#include <cstddef>

static_assert(sizeof(MONITOR) == 17 * sizeof(void *), "MONITOR has the SDK's 17 slots");
static_assert(offsetof(MONITOR, pfnSetPortTimeOuts) == NT4_MONITOR_SIZE - sizeof(void *),
              "pfnSetPortTimeOuts is the last NT 4.0 slot");
static_assert(offsetof(MONITOR, pfnXcvOpenPort) == NT4_MONITOR_SIZE,
              "the Xcv slots follow the NT 4.0 table");
static_assert(offsetof(MONITOREX, Monitor) == sizeof(void *),
              "MONITOREX is dwMonitorSize, then the table at pointer alignment");

// Checked where pointers are 32 bits; other builds pass these trivially.
constexpr bool Narrow = sizeof(void *) == 4;
static_assert(!Narrow || NT4_MONITOR_SIZE == 56, "the NT 4.0 MONITOR table is 56 bytes");
static_assert(!Narrow || sizeof(TklValue) == 8, "TklValue: type, length, 32 bits of data");
static_assert(!Narrow || sizeof(TklItem) == 16, "TklItem: code, size, count, values");
static_assert(!Narrow || sizeof(AgentEntryPoints) == 20, "the status agent fills five slots");
static_assert(!Narrow || sizeof(ChannelBindAddress) == 44, "ChannelBindAddress is 44 bytes");
static_assert(!Narrow || sizeof(ChannelConnectAddress) == 44, "ChannelConnectAddress is 44 bytes");
