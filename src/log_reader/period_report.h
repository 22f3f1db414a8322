// --by day and --by hour: requests, outages, down time and availability of
// each host per calendar day or hour of the local zone, outages split at
// the boundaries. Only dated runs count; a table per host at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "log_reader/run_tracker.h"

namespace qlog {

enum class Period { Day, Hour };

class PeriodReport : public RunSink {
public:
    PeriodReport(std::FILE* out, Period period) : out_(out), period_(period) {}
    bool wants_each_request() const override { return true; }
    void request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // The tables; undated: runs left out elsewhere for want of a date.
    void finish(uint64_t undated);

private:
    struct Figures {
        uint64_t requests = 0, replies = 0, outages = 0;
        int64_t down_ms = 0, watched_ms = 0;
    };
    using Periods = std::map<int64_t, Figures>;  // by the period's start
    Periods& periods_of(const Run& run);
    int64_t start_of(int64_t wall_ms) const;
    int64_t next_of(int64_t start_ms) const;
    // Calls add(period, ms) for each piece of [from, to) in calendar time.
    template <typename Add>
    void split(int64_t from, int64_t to, Add add);

    std::FILE* out_;
    Period period_;
    std::vector<std::pair<std::string, Periods>> hosts_;  // in the order first seen
    uint64_t undated_ = 0;
};

}  // namespace qlog
