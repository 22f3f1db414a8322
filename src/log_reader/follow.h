// Following a log that a running qelvor writes, as tail -F does (across
// rotation and truncation too): each change of outcome is printed as it
// appears, a command is run for it, and a metrics file is kept up to date.
#pragma once

#include <optional>
#include <string>

namespace qlog {

struct FollowOptions {
    std::string path;
    std::optional<std::string> on_change;  // run through the shell for each change
    std::optional<std::string> metrics;    // kept in the Prometheus text format
};

// Returns only when the process is ended.
[[noreturn]] void follow(const FollowOptions& options);

}  // namespace qlog
