// --since and --until: what lies outside a window of calendar time is not
// told on; outages and runs are cut at its edges, and a run's counts are
// those of its requests inside.
#pragma once

#include <cstdint>
#include <optional>

#include "log_reader/run_tracker.h"

namespace qlog {

class Window : public RunSink {
public:
    // From since (included) to until (not), ms since the epoch.
    Window(RunSink& next, std::optional<int64_t> since, std::optional<int64_t> until)
        : next_(next), since_(since), until_(until) {}
    bool wants_each_request() const override { return true; }
    void run_begins(const Run& run) override;
    void request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override;
    void change(const Run& run, bool up, uint64_t request, int64_t time_ms,
                std::optional<int64_t> down_ms) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // Runs left out for want of a date.
    uint64_t undated() const { return undated_; }

private:
    bool inside(const Run& run, int64_t own_ms) const;
    // The window's edges on the run's clock.
    std::optional<int64_t> from(const Run& run) const;
    std::optional<int64_t> to(const Run& run) const;

    RunSink& next_;
    std::optional<int64_t> since_, until_;
    bool in_ = false;  // the run being read lies partly inside
    uint64_t requests_ = 0, replies_ = 0;
    uint64_t undated_ = 0;
};

}  // namespace qlog
