// The test clock: GetTickCount() = offset + elapsed real milliseconds x
// scale, and waits last their length / scale in real time, so tests can run
// minutes of monitor time in milliseconds. The same clock steers the POSIX
// layer's own tick and waits, and the steered calls of Windows test programs.
#include "common.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
    std::mutex Lock;
    double Scale = 1.0;
    // Tick at `Base`, kept unwrapped; GetTickCount wraps it to 32 bits.
    uint64_t OffsetTicks = 0;
    SteadyClock::time_point Base;
};

// A positive finite scale from WINPLAT_CLOCK_SCALE, else 1.
double DefaultScale() {
    const char *text = getenv("WINPLAT_CLOCK_SCALE");
    if (text == nullptr)
        return 1.0;
    char *end = nullptr;
    double scale = strtod(text, &end);
    if (end == text || !std::isfinite(scale) || scale <= 0)
        return 1.0;
    return scale;
}

// Never destroyed: threads still running at exit may read the clock.
ClockState &State() {
    static ClockState *state = [] {
        ClockState *s = new ClockState;
        s->Scale = DefaultScale();
        s->OffsetTicks = winplat::SystemUptimeMs();
        s->Base = SteadyClock::now();
        return s;
    }();
    return *state;
}

// The unwrapped tick now. Caller holds the lock.
uint64_t CurrentTicks(ClockState &s, SteadyClock::time_point now) {
    double elapsedMs = std::chrono::duration<double, std::milli>(now - s.Base).count();
    return s.OffsetTicks + static_cast<uint64_t>(elapsedMs * s.Scale);
}

// Starts a new segment at `now` so later changes keep the tick continuous.
void Rebase(ClockState &s, SteadyClock::time_point now) {
    s.OffsetTicks = CurrentTicks(s, now);
    s.Base = now;
}

// `ms` test-clock milliseconds in real ones, capped at a year so that
// deadlines computed from it cannot overflow.
double RealMs(DWORD ms) {
    ClockState &s = State();
    double scale;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        scale = s.Scale;
    }
    return std::min(static_cast<double>(ms) / scale, 365.0 * 24 * 3600 * 1000);
}

} // namespace

namespace winplat {

DWORD TestTickCount() {
    ClockState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return static_cast<DWORD>(CurrentTicks(s, SteadyClock::now()));
}

SteadyClock::duration RealDuration(DWORD ms) {
    std::chrono::duration<double, std::milli> real(RealMs(ms));
    return std::chrono::duration_cast<SteadyClock::duration>(real);
}

DWORD RealMilliseconds(DWORD ms) {
    if (ms == 0)
        return 0;
    return std::max<DWORD>(1, static_cast<DWORD>(std::ceil(RealMs(ms))));
}

} // namespace winplat

void PlatSetClockScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0)
        return;
    ClockState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Rebase(s, SteadyClock::now());
    s.Scale = scale;
}

double PlatClockScale() {
    ClockState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Scale;
}

void PlatAdvanceTicks(DWORD ms) {
    ClockState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.OffsetTicks += ms;
}

void PlatSetTickCount(DWORD tick) {
    ClockState &s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.OffsetTicks = tick;
    s.Base = SteadyClock::now();
}
