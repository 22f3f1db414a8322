// Following the logs that running qelvors write, as tail -F does (across
// rotation and truncation too): each change of outcome is printed as it
// appears, a command is run for it, in order, and one metrics file is kept
// up to date for all of them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qlog {

struct FollowOptions {
    std::vector<std::string> paths;        // logs, or folders whose *.log are followed
    std::optional<std::string> on_change;  // run through the shell for each change
    std::optional<std::string> metrics;    // kept in the Prometheus text format
};

// Returns only when the process is ended.
[[noreturn]] void follow(const FollowOptions& options);

}  // namespace qlog
