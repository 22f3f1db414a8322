// --json: the facts of --csv runs and --csv outages as one document for
// scripts, written as the log is read: {"runs": [{..., "outages": [...]}]}.
// Times in ms are numbers, dates ISO 8601 strings, unknowns null.
#pragma once

#include <cstdio>

#include "log_reader/run_tracker.h"

namespace qlog {

class JsonReport : public RunSink {
public:
    explicit JsonReport(std::FILE* out);
    void run_begins(const Run& run) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    void finish();

private:
    std::FILE* out_;
    uint64_t runs_ = 0, outages_ = 0;
    int64_t run_down_ms_ = 0;
};

}  // namespace qlog
