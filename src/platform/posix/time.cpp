// Clock, sleep and local time on CLOCK_MONOTONIC and the C library.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr uint64_t nanoseconds_per_ms = 1000000;

uint64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

uint64_t clock_ms() { return monotonic_ns() / nanoseconds_per_ms; }

// Sleeps to the whole-millisecond instant at which the clock will read its
// current reading + ms, not for ms from now: a loop that sleeps out the rest
// of its period then wakes on the same phase every time and never drifts.
void sleep_ms(uint32_t ms) {
    if (ms == 0) return;
    uint64_t target = (monotonic_ns() / nanoseconds_per_ms + ms) * nanoseconds_per_ms;
    timespec until;
    until.tv_sec = static_cast<time_t>(target / 1000000000u);
    until.tv_nsec = static_cast<long>(target % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

TimeOfDay local_time_of_day() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    return TimeOfDay{static_cast<uint16_t>(local.tm_hour), static_cast<uint16_t>(local.tm_min),
                     static_cast<uint16_t>(local.tm_sec),
                     static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

// The timer period is a Windows matter; Linux timers are fine-grained already.
void timer_period_begin() {}
void timer_period_end() {}

}  // namespace platform
