// What the command line asked for, read by the driver, the probe cycle and
// outcome reporting.
#pragma once

#include <cstdint>

struct RunSettings {
    uint32_t target_address;  // IPv4, network byte order; 0 means none given yet
    bool verbose;             // -a: a line for every outcome instead of marks
    bool time_of_day;         // -T: stamps show local time of day, not time since start
    uint32_t request_count;   // -n: requests to send; 0 sends until stopped
    uint32_t period_ms;       // -p: from one request's start to the next's, 0..1000
    uint32_t wait_ms;         // -w: how long one request waits for its reply, 1..5000
    uint8_t change_limit;     // -Q: end after this many changes of outcome; 0 = off
    char log_path[128];       // -o: the path as given, terminated; the log itself
                              // belongs to the output channel
};

extern RunSettings run_settings;

// Milliseconds since local midnight when the program started, for -T stamps.
extern uint32_t start_of_day_ms;
