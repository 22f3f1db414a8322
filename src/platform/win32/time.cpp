// Clock, sleep and local time on the multimedia timer and kernel32.
#include <windows.h>
// Needs the types of windows.h, so it comes after it.
#include <mmsystem.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {

// timeEndPeriod must match a timeBeginPeriod that succeeded, and the
// interrupt path ends the period whether or not it was begun.
bool period_begun;

}  // namespace

// timeGetTime counts milliseconds since boot at the timer period's
// resolution and is never set back by a clock change, but it has 32 bits and
// wraps after 49.7 days: each reading is carried on from the latest one seen,
// by any thread. A reading below the latest can only be a wrap, as the
// latest was read before this one.
uint64_t clock_ms() {
    static std::atomic<uint64_t> latest{0};
    uint64_t seen = latest.load();
    uint64_t now = (seen & ~uint64_t{0xFFFFFFFF}) | timeGetTime();
    if (now < seen) now += uint64_t{1} << 32;
    while (now > seen && !latest.compare_exchange_weak(seen, now)) {
    }
    return now;
}

// With the 1 ms timer period in force, Sleep wakes on the tick at which the
// clock reads its reading + ms, which keeps a period loop in phase.
void sleep_ms(uint32_t ms) {
    if (ms == 0) return;
    Sleep(ms);
}

// The local time is read between two readings of the clock, again until
// they agree (a few times at most), so that it falls within the millisecond
// the clock returns.
uint64_t clock_with_local_time(TimeOfDay* local) {
    constexpr int attempts = 4;
    SYSTEMTIME now;
    uint64_t clock = clock_ms();
    for (int attempt = 1;; ++attempt) {
        GetLocalTime(&now);
        uint64_t after = clock_ms();
        if (after == clock || attempt == attempts) break;
        clock = after;
    }
    *local = TimeOfDay{now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    return clock;
}

// Without it both the clock and Sleep move in steps of the system tick
// (15.6 ms by default), which would show in every round-trip time.
void timer_period_begin() {
    if (!period_begun) period_begun = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void timer_period_end() {
    if (period_begun) timeEndPeriod(1);
    period_begun = false;
}

}  // namespace platform
