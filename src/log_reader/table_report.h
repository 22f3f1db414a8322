// The readable report: each run with its outages and its facts, then the
// outages of all runs together. Written as the log is read.
#pragma once

#include <cstdio>

#include "log_reader/run_tracker.h"

namespace qlog {

class TableReport : public RunSink {
public:
    explicit TableReport(std::FILE* out) : out_(out) {}
    void run_begins(const Run& run) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // The line for all runs together.
    void finish();

private:
    std::FILE* out_;
    uint64_t run_outages_ = 0;
    uint64_t outages_ = 0;
    int64_t longest_ms_ = 0;
    int64_t down_ms_ = 0;
    int64_t watched_ms_ = 0;
};

}  // namespace qlog
