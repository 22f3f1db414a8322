// The picture. Where every run is dated and they span more than one
// calendar day, one row per host and day on a common 00:00-24:00 axis (a
// nightly drop lines up down the rows); otherwise one band per run across
// its own time, with the round trip as a line for verbose runs. Each pixel
// shows the share of its time that was down, as the height of its red, so
// that the red area is the down time to within a pixel; outages of a minute
// or more are drawn solid instead, the band's height at their exact place
// and width, and labelled with their start and length where there is room.
// What is kept is bounded whatever the length of the log: a fixed number of
// bins per run and per day, a bounded number of solid outages (past it, more
// are shaded), and the longest outages of each for labels. The
// picture is written at the end, to a file put in place only when whole, or
// to standard output ("-").
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
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
    // complete; "-" is standard output. False, with errno set, when that
    // cannot be created.
    bool open(const std::string& path);
    // The round trips of verbose runs.
    bool wants_requests() const override { return true; }
    void run_begins(const Run& run) override;
    void request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // Draws and puts the file in place; false, with errno set, when a write
    // failed (the file at the path is then left as it was).
    bool finish();

    static constexpr int pixels = 920;  // across a band or a day
    static constexpr std::size_t bins = 2048;

    // An outage long enough to be labelled, or drawn solid.
    struct Label {
        int64_t start_ms, length_ms;  // own clock (bands) or calendar time (days)
        bool operator<(const Label& other) const { return length_ms > other.length_ms; }
    };

private:
    struct Sample {
        int64_t time_ms;
        uint64_t sum;
        uint32_t count, max;
    };
    // A run's band: down time in bins of equal width from its start, the
    // width doubling whenever the run outgrows them.
    struct Band {
        Run run;  // as it ended
        int64_t origin_ms = 0, bin_ms = 1;
        std::vector<int64_t> down;
        std::vector<Label> solid, labels;
        std::vector<Sample> rtt;
        int64_t sample_width_ms = 0;
    };
    // A calendar day of one host: watched ms and the down ms of short
    // outages per pixel, and the pieces of long ones.
    struct Day {
        std::array<int64_t, pixels> down{}, watched{};
        std::vector<Label> solid, labels;
    };
    enum class Span { Watched, Down, Solid };

    void add_down(Band& band, int64_t from, int64_t to);
    void add_days(const std::string& host, int64_t from, int64_t to, Span span);
    // axis_span: the calendar times of a time axis that several runs share.
    void draw_band(const Band& band, int y, std::optional<std::pair<int64_t, int64_t>> axis_span);
    void draw_days(int y);
    void legend(int picture_width);

    std::FILE* file_ = nullptr;
    bool to_stdout_ = false;
    std::string path_, written_;
    std::vector<Band> bands_;
    std::map<std::pair<std::string, int64_t>, Day> days_;  // by host and local midnight
    bool all_dated_ = true;
    bool drew_down_ = false, drew_rtt_ = false, drew_unwatched_ = false;
};

}  // namespace qlog
