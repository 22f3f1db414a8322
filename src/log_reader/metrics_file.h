// The watch's numbers per watched host, in the Prometheus text format that
// node_exporter's textfile collector reads. The file is replaced whole, so
// a scrape never sees half of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qlog {

// One log's figures for one host. The counts are of what was read since the
// follower started; the rest is the state, from all that was read.
struct HostFigures {
    std::string host;
    std::string log;  // a label only when two logs watch one host
    std::optional<bool> up;
    bool running = false;  // a qelvor holds the log open for writing
    uint64_t requests = 0;
    uint64_t replies = 0;
    uint64_t outages = 0;
    int64_t down_ms = 0;
    std::optional<double> last_change_s;  // Unix times at which they were read
    std::optional<double> last_reply_s;
    std::optional<uint32_t> rtt_ms;  // the last one the log states
};

// The file's text; each series once, in the order given.
std::string metrics_text(const std::vector<HostFigures>& series);

}  // namespace qlog
