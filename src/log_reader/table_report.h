// The readable report: each run with its outages and its facts, then the
// totals of each watched host. Written as the log is read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "log_reader/run_tracker.h"

namespace qlog {

class TableReport : public RunSink {
public:
    explicit TableReport(std::FILE* out) : out_(out) {}
    void run_begins(const Run& run) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // The totals of each host, and what the figures can and cannot tell;
    // undated: runs a window left out for want of a date.
    void finish(uint64_t undated = 0);

private:
    struct Totals {
        std::string host;
        uint64_t runs = 0;
        uint64_t outages = 0;
        int64_t longest_ms = 0;
        int64_t down_ms = 0;
        int64_t watched_ms = 0;
    };
    Totals& totals_of(const Run& run);

    std::FILE* out_;
    uint64_t run_outages_ = 0;
    int64_t run_down_ms_ = 0;
    std::vector<Totals> hosts_;    // in the order first seen
    uint32_t widest_wait_ms_ = 0;  // of the runs with outages
};

}  // namespace qlog
