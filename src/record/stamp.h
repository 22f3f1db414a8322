// The stamp that opens every outcome line: the time since the run's start
// (or the local time of day with -T) of the request's send, its hours
// counted modulo 24.
#pragma once

#include <cstdint>

namespace record {

constexpr uint64_t day_ms = 86400000;

struct Stamp {
    uint16_t hours, minutes, seconds, milliseconds;
};

// The stamp of a time in ms: since the run's start, or since local midnight
// of the run's first day.
Stamp stamp_of(uint64_t ms);

// The ms within a day a stamp stands for.
uint32_t ms_of(const Stamp& stamp);

}  // namespace record
