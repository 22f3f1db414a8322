// Figures per calendar day or hour.
#include "log_reader/period_report.h"

#include <algorithm>

#include "log_reader/calendar.h"
#include "log_reader/report_text.h"

namespace qlog {

PeriodReport::Periods& PeriodReport::periods_of(const Run& run) {
    for (auto& [host, periods] : hosts_) {
        if (host == run.host()) return periods;
    }
    hosts_.emplace_back(run.host(), Periods{});
    return hosts_.back().second;
}

int64_t PeriodReport::start_of(int64_t wall_ms) const {
    return period_ == Period::Day ? day_start(wall_ms) : hour_start(wall_ms);
}

int64_t PeriodReport::next_of(int64_t start_ms) const {
    return period_ == Period::Day ? next_day(start_ms) : start_ms + 3600000;
}

template <typename Add>
void PeriodReport::split(int64_t from, int64_t to, Add add) {
    for (int64_t start = start_of(from); from < to; start = next_of(start)) {
        int64_t end = std::min(to, next_of(start));
        add(start, end - from);
        from = end;
    }
}

void PeriodReport::request(const Run& run, uint64_t, int64_t time_ms, Outcome outcome,
                           std::optional<uint32_t>) {
    std::optional<int64_t> wall = run.wall_ms(time_ms);
    if (!wall) return;
    Figures& figures = periods_of(run)[start_of(*wall)];
    ++figures.requests;
    if (outcome == Outcome::Reply) ++figures.replies;
}

void PeriodReport::outage(const Run& run, const Outage& outage) {
    std::optional<int64_t> start = run.wall_ms(outage.start_ms);
    if (!start) return;
    Periods& periods = periods_of(run);
    int64_t end = *run.wall_ms(outage.end_ms.value_or(run.end_ms()));
    // An outage of no length still counts where it began.
    if (end == *start) ++periods[start_of(*start)].outages;
    split(*start, end, [&](int64_t period, int64_t ms) {
        Figures& figures = periods[period];
        ++figures.outages;
        figures.down_ms += ms;
    });
}

void PeriodReport::run_ends(const Run& run) {
    if (!run.start_ms || !run.date.offset_ms) {
        undated_ += run.start_ms ? 1 : 0;
        return;
    }
    Periods& periods = periods_of(run);
    split(*run.wall_ms(*run.start_ms), *run.wall_ms(run.end_ms()),
          [&](int64_t period, int64_t ms) { periods[period].watched_ms += ms; });
}

void PeriodReport::finish(uint64_t undated) {
    undated += undated_;
    bool day = period_ == Period::Day;
    for (const auto& [host, periods] : hosts_) {
        if (periods.empty()) continue;
        std::fprintf(out_, "%s by %s:\n  %-22s %-9s %-8s %-14s %-14s %s\n",
                     host.empty() ? "an unknown host (no header)" : host.c_str(),
                     day ? "day" : "hour", day ? "day" : "hour", "requests", "outages", "down",
                     "watched", "availability");
        for (const auto& [start, f] : periods) {
            std::string when = iso_text(start);
            // A day by its date and weekday; an hour by its start and offset.
            when = day ? when.substr(0, 10) + ' ' + weekday_name(start)
                       : when.substr(0, 16) + when.substr(23);
            std::optional<uint64_t> share = availability(f.watched_ms, f.down_ms);
            std::fprintf(out_, "  %-22s %-9llu %-8llu %-14s %-14s %s\n", when.c_str(),
                         static_cast<unsigned long long>(f.requests),
                         static_cast<unsigned long long>(f.outages),
                         duration_text(f.down_ms).c_str(), duration_text(f.watched_ms).c_str(),
                         share ? (thousandths_text(*share) + " %").c_str() : "-");
        }
    }
    if (hosts_.empty() && undated == 0) std::fputs("no runs read\n", out_);
    if (undated > 0) {
        std::fprintf(out_, "note: %llu run(s) left out: their date is unknown (see the report)\n",
                     static_cast<unsigned long long>(undated));
    }
}

}  // namespace qlog
