// The picture: one band per run across its own time, up and down in two
// colours, outages labelled with their length, a time axis, and the round
// trip as a line for verbose runs. Each band is written when its run ends;
// what a band keeps is bounded (outages and round trips closer together
// than the picture can show are merged).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "log_reader/run_tracker.h"

namespace qlog {

class SvgTimeline : public RunSink {
public:
    SvgTimeline() = default;
    SvgTimeline(const SvgTimeline&) = delete;
    SvgTimeline& operator=(const SvgTimeline&) = delete;
    // A picture never finished leaves nothing behind.
    ~SvgTimeline() override;
    // Writes beside path, which is replaced only when the picture is
    // complete. False, with errno set, when that cannot be created.
    bool open(const std::string& path);
    void run_begins(const Run& run) override;
    void request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // Completes the file and puts it in place; false, with errno set, when a
    // write failed (the file at the path is then left as it was).
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

    // The parts of a run's band.
    void band_title(const Run& run, int y);
    void band_spans(int band, const std::function<double(int64_t)>& x_of);
    void band_round_trips(const Run& run, int y, int band,
                          const std::function<double(int64_t)>& x_of);
    void band_axis(int64_t start, int64_t span, int axis,
                   const std::function<double(int64_t)>& x_of);

    std::FILE* file_ = nullptr;
    std::string path_, written_;
    int runs_ = 0;
    std::vector<Span> down_;
    int64_t merge_gap_ms_ = 0;
    std::vector<Sample> rtt_;
    int64_t sample_width_ms_ = 0;
};

}  // namespace qlog
