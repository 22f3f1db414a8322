// Calendar time and the dating of runs.
#include "log_reader/calendar.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "log_reader/os.h"
#include "log_reader/report_text.h"
#include "record/stamp.h"

namespace qlog {

namespace {

constexpr auto day_ms = static_cast<int64_t>(record::day_ms);

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    int64_t era = floor_div(y, 400);
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

Civil civil_of(int64_t wall_ms) {
    int64_t seconds = floor_div(wall_ms, 1000);
    std::tm tm{};
    os::local_time(seconds, &tm);
    int64_t local = days_from_civil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 +
                    tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return Civil{tm.tm_year + 1900,
                 tm.tm_mon + 1,
                 tm.tm_mday,
                 tm.tm_hour,
                 tm.tm_min,
                 tm.tm_sec,
                 static_cast<int>(wall_ms - seconds * 1000),
                 tm.tm_wday,
                 local - seconds};
}

std::string iso_text(int64_t wall_ms) {
    Civil c = civil_of(wall_ms);
    int64_t offset = c.offset_s < 0 ? -c.offset_s : c.offset_s;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", c.year,
                  c.month, c.day, c.hour, c.minute, c.second, c.millisecond,
                  c.offset_s < 0 ? '-' : '+', static_cast<int>(offset / 3600),
                  static_cast<int>(offset / 60 % 60));
    return text;
}

std::string date_text(int64_t wall_ms) { return iso_text(wall_ms).substr(0, 10); }

const char* weekday_name(int64_t wall_ms) {
    static const char* const names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    return names[civil_of(wall_ms).weekday % 7];
}

int64_t from_local(int year, int month, int day, int64_t ms_of_day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = static_cast<int>(ms_of_day / 3600000);
    tm.tm_min = static_cast<int>(ms_of_day / 60000 % 60);
    tm.tm_sec = static_cast<int>(ms_of_day / 1000 % 60);
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm)) * 1000 + ms_of_day % 1000;
}

int64_t day_start(int64_t wall_ms) {
    Civil c = civil_of(wall_ms);
    return from_local(c.year, c.month, c.day, 0);
}

int64_t next_day(int64_t day_start_ms) {
    // Past the longest day (25 hours where the clocks go back), then back to
    // that day's midnight.
    return day_start(day_start_ms + 26 * 3600000);
}

int64_t hour_start(int64_t wall_ms) {
    Civil c = civil_of(wall_ms);
    return wall_ms - (c.minute * 60 + c.second) * 1000 - c.millisecond;
}

std::optional<int64_t> parse_when(std::string_view text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0, used = 0;
    std::string s(text);
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10)
        return std::nullopt;
    std::string_view rest = text.substr(10);
    if (!rest.empty()) {
        if (rest[0] != 'T' && rest[0] != ' ') return std::nullopt;
        std::string r(rest.substr(1));
        int n = 0;
        if (std::sscanf(r.c_str(), "%2d:%2d%n", &hour, &minute, &n) != 2 || n != 5)
            return std::nullopt;
        rest = rest.substr(1 + 5);
        if (rest.size() >= 3 && rest[0] == ':') {
            r = std::string(rest.substr(1));
            if (std::sscanf(r.c_str(), "%2d%n", &second, &n) != 1 || n != 2) return std::nullopt;
            rest = rest.substr(3);
            if (rest.size() >= 4 && rest[0] == '.') {
                r = std::string(rest.substr(1));
                if (std::sscanf(r.c_str(), "%3d%n", &ms, &n) != 1 || n != 3) return std::nullopt;
                rest = rest.substr(4);
            }
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    int64_t of_day = ((hour * 60 + minute) * 60 + second) * int64_t{1000} + ms;
    if (rest.empty()) return from_local(year, month, day, of_day);
    int64_t offset_min = 0;
    if (rest != "Z") {
        int oh = 0, om = 0, n = 0;
        std::string r(rest.substr(1));
        if ((rest[0] != '+' && rest[0] != '-') ||
            std::sscanf(r.c_str(), "%2d:%2d%n", &oh, &om, &n) != 2 || n != 5 || rest.size() != 6)
            return std::nullopt;
        offset_min = (rest[0] == '-' ? -1 : 1) * (oh * 60 + om);
    }
    return days_from_civil(year, month, day) * day_ms + of_day - offset_min * 60000;
}

std::string when_text(const Run& run, int64_t own_ms) {
    std::optional<int64_t> wall = run.wall_ms(own_ms);
    return wall ? iso_text(*wall) : clock_text(own_ms);
}

std::string iso_or_empty(const Run& run, int64_t own_ms) {
    std::optional<int64_t> wall = run.wall_ms(own_ms);
    return wall ? iso_text(*wall) : std::string();
}

namespace {

// Where a -T run starting at its stamp's time of day began, on the local
// day that puts it nearest to guess_ms; none when that is further than
// slack_ms from it.
std::optional<int64_t> nearest_day(int64_t time_of_day, int64_t guess_ms, int64_t slack_ms) {
    std::optional<int64_t> best;
    for (int64_t shift : {-day_ms, int64_t{0}, day_ms}) {
        Civil c = civil_of(guess_ms + shift);
        int64_t start = from_local(c.year, c.month, c.day, time_of_day);
        if (!best || std::llabs(start - guess_ms) < std::llabs(*best - guess_ms)) best = start;
    }
    if (std::llabs(*best - guess_ms) > slack_ms) return std::nullopt;
    return best;
}

}  // namespace

std::deque<Dating> date_runs(const std::vector<Run>& runs, const FileTimes& file) {
    std::deque<Dating> dates(runs.size());
    // Every run not yet dated ended by then: the file's last write, then the
    // start of the earliest run dated.
    std::optional<int64_t> bound = file.end_ms;
    bool last = true;
    for (std::size_t i = runs.size(); i-- > 0;) {
        const Run& run = runs[i];
        Dating& date = dates[i];
        date.first_ms = run.start_ms;
        date.end_ms = run.end_ms();
        date.running = last && file.running;
        if (!bound) {
            date.unknown = file.unknown;
            continue;
        }
        if (!run.start_ms) {
            last = false;
            continue;
        }
        int64_t lasted = run.end_ms() - *run.start_ms;
        int64_t slack = int64_t{run.settings.period_ms} + run.settings.wait_ms + 1000;
        std::optional<int64_t> start;  // in calendar time
        if (last && !run.settings.time_of_day) {
            start = *bound - lasted;
        } else if (last) {
            start = nearest_day(*run.start_ms % day_ms, *bound - lasted, slack);
            if (!start) {
                date.unknown =
                    "date unknown (the time of day of its stamps does not match the file's last "
                    "write, " +
                    iso_text(*bound) + ": a copy, or a clock or time-zone change during the run)";
            }
        } else if (run.settings.time_of_day && file.born_ms) {
            // The days on which it fits between the file's creation and the
            // next dated start: one, or it is not dated.
            int found = 0;
            for (int64_t guess = *bound - lasted; found < 2; guess -= day_ms) {
                std::optional<int64_t> at = nearest_day(*run.start_ms % day_ms, guess, day_ms / 2);
                if (at && *at + lasted <= *bound + slack && *at + slack >= *file.born_ms) {
                    if (!start || *at != *start) ++found;
                    start = at;
                }
                if (guess < *file.born_ms - day_ms) break;
            }
            if (found != 1) start.reset();
        }
        last = false;
        if (start && *start < 0) {
            // A log whose times say it began before 1970 is corrupt.
            start.reset();
            date.unknown = "date unknown (its length puts its start before 1970)";
        }
        if (!start) {
            if (date.unknown.empty())
                date.unknown = "date unknown (before " + iso_text(*bound) + ")";
            continue;
        }
        date.offset_ms = *start - *run.start_ms;
        bound = *start;
    }
    return dates;
}

}  // namespace qlog
