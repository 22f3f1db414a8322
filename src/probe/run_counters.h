// The counts a run leaves behind for its summary.
#pragma once

#include <atomic>
#include <cstdint>

struct RunCounters {
    // Requests sent: every request that went out, answered or not. Written
    // only by the probe cycle; read also by the interrupt thread's summary,
    // hence atomic (relaxed: a count, not a signal).
    std::atomic<uint32_t> requests_sent;
    // Replies received: requests answered by their matching reply, each once.
    std::atomic<uint32_t> replies_received;
    // Changes of outcome so far, the first outcome included; compared with
    // -Q. Signed 8-bit: past 127 it wraps, which only matters with -Q off.
    int8_t changes;
};

extern RunCounters run_counters;

// Adds one to a counter that only one thread writes.
inline void count_one(std::atomic<uint32_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
