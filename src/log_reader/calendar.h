// Calendar time: where a file's runs lie in it, derived from the file's last
// write and the runs' own stamps, never guessed; and how it is written (ISO
// 8601 in the local zone of the machine reading, TZ honoured).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_reader/run_tracker.h"

namespace qlog {

// A calendar time in the local zone.
struct Civil {
    int year, month, day, hour, minute, second, millisecond;
    int weekday;       // 0 Sunday
    int64_t offset_s;  // from UTC
};
Civil civil_of(int64_t wall_ms);
// "2026-12-07T20:52:34.123+01:00"
std::string iso_text(int64_t wall_ms);
// "2026-12-07"
std::string date_text(int64_t wall_ms);
// "Mon"
const char* weekday_name(int64_t wall_ms);
// The calendar time of a local date and time of day (ms from its midnight).
int64_t from_local(int year, int month, int day, int64_t ms_of_day);
// The local midnight that starts the day of wall_ms, and the next one.
int64_t day_start(int64_t wall_ms);
int64_t next_day(int64_t day_start_ms);
// The start of the local hour of wall_ms.
int64_t hour_start(int64_t wall_ms);
// "2026-12-07" (its midnight) or "2026-12-07T10:00[:00[.000]]" (a space for
// the T too), local unless followed by Z or +hh:mm / -hh:mm.
std::optional<int64_t> parse_when(std::string_view text);

// A time of a run: in calendar time where the run is dated, else on its own
// clock ("HH:MM:SS.mmm").
std::string when_text(const Run& run, int64_t own_ms);
// A time of a run in calendar time, or nothing ("" in a CSV).
std::string iso_or_empty(const Run& run, int64_t own_ms);

// What a file tells of when it was written.
struct FileTimes {
    std::optional<int64_t> end_ms;   // the last write, or now while a watcher holds it
    bool running = false;            // a watcher holds it
    std::optional<int64_t> born_ms;  // its creation, where known and before end_ms
    std::string unknown;             // why nothing can be dated, when end_ms is none
};

// The dates of a file's runs (as a first reading found them, in order).
// The last one that sent anything ends at the file's last write: a run
// without -T is dated by that alone; a -T run only when the time of day of
// its stamps agrees with it to within a period, the wait and a second.
// Earlier runs: a -T run whose stamps fit on exactly one day between the
// file's creation and the start of the next dated run; otherwise none.
std::deque<Dating> date_runs(const std::vector<Run>& runs, const FileTimes& file);

}  // namespace qlog
