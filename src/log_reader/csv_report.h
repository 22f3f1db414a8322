// The machine-readable reports: one header row, then a row per outage, per
// run or per request, written as the log is read.
#pragma once

#include <cstdio>

#include "log_reader/run_tracker.h"

namespace qlog {

enum class CsvKind { Outages, Runs, Requests };

class CsvReport : public RunSink {
public:
    CsvReport(std::FILE* out, CsvKind kind);
    bool wants_each_request() const override { return kind_ == CsvKind::Requests; }
    void request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override;
    void run_begins(const Run&) override { run_down_ms_ = 0; }
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;

private:
    std::FILE* out_;
    CsvKind kind_;
    int64_t run_down_ms_ = 0;  // the outages of the run being read
};

}  // namespace qlog
