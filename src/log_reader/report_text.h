// How times, durations and shares are written in every report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qlog {

// A time on a run's clock, "HH:MM:SS.mmm", the hours going on past 24.
std::string clock_text(int64_t ms);
// A duration, "H:MM:SS.mmm".
std::string duration_text(int64_t ms);
// Tenths as a number with one decimal: "12.5".
std::string tenths_text(uint64_t tenths);
// Thousandths as a number with three decimals: "99.982".
std::string thousandths_text(uint64_t thousandths);
// The share of watched time that was up, in thousandths of a percent,
// rounded; none when nothing was watched.
std::optional<uint64_t> availability(int64_t watched_ms, int64_t down_ms);
// The length of the UTF-8 character that starts at text[i], or 0 when the
// bytes there are not a whole one.
std::size_t utf8_length(std::string_view text, std::size_t i);
// A CSV field, quoted when it must be.
std::string csv_field(std::string_view text);

}  // namespace qlog
