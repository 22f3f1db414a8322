// The picture: one band per run across its own time, up and down in two
// colours, outages labelled with their length, a time axis, and the round
// trip as a line for verbose runs. Each band is written when its run ends;
// what a band keeps is bounded (outages and round trips closer together
// than the picture can show are merged).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "log_reader/run_tracker.h"

namespace qlog {

class SvgTimeline : public RunSink {
public:
    // False, with errno set, when the file cannot be written.
    bool open(const std::string& path);
    void run_begins(const Run& run) override;
    void request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // Completes the file; false when a write failed.
    bool finish();

private:
    struct Span {
        int64_t start_ms, end_ms;
        bool merged;
    };
    struct Sample {
        int64_t time_ms;
        uint64_t sum;
        uint32_t count, max;
    };

    std::FILE* file_ = nullptr;
    int runs_ = 0;
    std::vector<Span> down_;
    int64_t merge_gap_ms_ = 0;
    std::vector<Sample> rtt_;
    int64_t sample_width_ms_ = 0;
};

}  // namespace qlog
