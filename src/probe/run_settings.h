// What one run is asked to do. Filled from the command line, which owns the
// one instance, and handed down to the probe cycle and outcome reporting.
#pragma once

#include <cstdint>

namespace qelvor {

struct RunSettings {
    uint32_t target_address;  // IPv4, network byte order; 0 means none given yet
    bool verbose;             // -a: a line for every outcome instead of marks
    bool time_of_day;         // -T: stamps show local time of day, not time since start
    uint32_t request_count;   // -n: requests to send; 0 sends until stopped
    uint32_t period_ms;       // -p: from when one request is due to the next, 0..1000
    uint32_t wait_ms;         // -w: how long one request waits for its reply, 1..5000
    uint8_t change_limit;     // -Q: end after this many changes of outcome; 0 = off
};

}  // namespace qelvor
