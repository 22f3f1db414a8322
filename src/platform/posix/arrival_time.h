// Inside the POSIX backend: when a datagram reached the host, on the
// program's clock, from the kernel's arrival stamp, which is time of day.
#pragma once

#include <cstdint>

namespace platform {

// Both clocks read at one instant, in nanoseconds.
struct ClockPair {
    int64_t monotonic;
    int64_t time_of_day;
};

// Both clocks now (time.cpp).
ClockPair clocks_now();

// The arrival, on the monotonic clock, of a datagram stamped stamp (time of
// day) and read at now, the last request having been sent at sent (read just
// before the send call). A stamp is believed only where the time of day
// cannot have misled it: see the definition.
int64_t arrival_monotonic(int64_t stamp, ClockPair sent, ClockPair now);

// Whether a datagram stamped stamp came in before the last request was sent,
// with the same readings: see the definition.
bool came_before_send(int64_t stamp, ClockPair sent, ClockPair now);

}  // namespace platform
