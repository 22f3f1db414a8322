// Clock, sleep and local time on the multimedia timer and kernel32.
#include <windows.h>
// Needs the types of windows.h, so it comes after it.
#include <mmsystem.h>

#include "platform/platform.h"

namespace platform {

namespace {

// timeEndPeriod must match a timeBeginPeriod that succeeded, and the
// interrupt path ends the period whether or not it was begun.
bool period_begun;

}  // namespace

// timeGetTime already is what the program wants: milliseconds since boot in
// 32 bits, wrapping after 49.7 days, never set back by a clock change.
uint32_t clock_ms() { return timeGetTime(); }

// With the 1 ms timer period in force, Sleep wakes on the tick at which the
// clock reads its reading + ms, which keeps a period loop in phase.
void sleep_ms(uint32_t ms) {
    if (ms == 0) return;
    Sleep(ms);
}

TimeOfDay local_time_of_day() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
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
