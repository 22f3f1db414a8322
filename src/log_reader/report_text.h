// How times, durations and shares are written in every report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qlog {

// A time on a run's clock, "HH:MM:SS.mmm", the hours going on past 24.
std::string clock_text(int64_t ms);
// A duration, "H:MM:SS.mmm".
std::string duration_text(int64_t ms);
// The loss in tenths of a percent, as qelvor's summary rounds it.
uint64_t loss_tenths(uint64_t sent, uint64_t received);
std::string tenths_text(uint64_t tenths);  // "12.5"
// A CSV field, quoted when it must be.
std::string csv_field(std::string_view text);

}  // namespace qlog
