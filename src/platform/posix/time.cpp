// Clock, sleep and local time on CLOCK_MONOTONIC and the C library.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/arrival_time.h"

namespace platform {

namespace {

constexpr uint64_t nanoseconds_per_ms = 1000000;

uint64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

int64_t nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
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

// Both clocks at one instant: the time of day is read between two readings
// of the monotonic clock and set against their midpoint. A thread held up
// between the reads (a loaded machine) would otherwise shift one clock
// against the other by the hold-up, and every time set from one to the
// other would be off by it: such a reading is made again, a few times at
// most, and the closest one kept.
ClockPair clocks_now() {
    constexpr int attempts = 4;
    constexpr int64_t close_enough_ns = 20000;
    ClockPair best = {};
    int64_t best_gap = INT64_MAX;
    for (int attempt = 0; attempt < attempts && best_gap > close_enough_ns; ++attempt) {
        timespec before, time_of_day, after;
        clock_gettime(CLOCK_MONOTONIC, &before);
        clock_gettime(CLOCK_REALTIME, &time_of_day);
        clock_gettime(CLOCK_MONOTONIC, &after);
        int64_t gap = nanoseconds(after) - nanoseconds(before);
        if (gap >= best_gap) continue;
        best_gap = gap;
        best = {nanoseconds(before) + gap / 2, nanoseconds(time_of_day)};
    }
    return best;
}

// The time of day is taken back to the start of the clock's millisecond, the
// instant the clock came to read what is returned.
uint64_t clock_with_local_time(TimeOfDay* local) {
    ClockPair now = clocks_now();
    int64_t at_clock = now.time_of_day - now.monotonic % static_cast<int64_t>(nanoseconds_per_ms);
    time_t seconds = static_cast<time_t>(at_clock / 1000000000);
    tm fields;
    localtime_r(&seconds, &fields);
    *local = TimeOfDay{static_cast<uint16_t>(fields.tm_hour), static_cast<uint16_t>(fields.tm_min),
                       static_cast<uint16_t>(fields.tm_sec),
                       static_cast<uint16_t>(at_clock % 1000000000 / 1000000)};
    return static_cast<uint64_t>(now.monotonic) / nanoseconds_per_ms;
}

// The timer period is a Windows matter; Linux timers are fine-grained already.
void timer_period_begin() {}
void timer_period_end() {}

}  // namespace platform
