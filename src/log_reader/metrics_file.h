// The watch's numbers per host, kept in a file in the Prometheus text
// format that node_exporter's textfile collector reads. The file is
// replaced whole (written beside it, then renamed), so a scrape never sees
// half of it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace qlog {

struct HostFigures {
    std::optional<bool> up;
    uint64_t requests = 0;
    uint64_t replies = 0;
    uint64_t outages = 0;
    int64_t down_ms = 0;
    double last_change_s = 0;  // Unix time at which the last change was read
};

// Why the file could not be replaced; empty when it was.
std::string write_metrics(const std::string& path, const std::map<std::string, HostFigures>& hosts);

}  // namespace qlog
