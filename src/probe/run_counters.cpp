#include "probe/run_counters.h"

#include <atomic>

namespace {

// Written only on the main thread; read also by the interrupt thread's
// summary, hence atomic (relaxed: counts, not signals).
struct RunCounters {
    std::atomic<uint32_t> requests_sent;
    std::atomic<uint32_t> replies_received;
    int8_t changes;
};

RunCounters counters;

void add_one(std::atomic<uint32_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

void counters_reset() {
    counters_begin_run();
    counters.changes = 0;
}

void counters_begin_run() {
    counters.requests_sent.store(0, std::memory_order_relaxed);
    counters.replies_received.store(0, std::memory_order_relaxed);
}

void count_request_sent() { add_one(counters.requests_sent); }
void count_request_not_sent() {
    counters.requests_sent.store(counters.requests_sent.load(std::memory_order_relaxed) - 1,
                                 std::memory_order_relaxed);
}
void count_reply_received() { add_one(counters.replies_received); }
void count_change() { counters.changes = static_cast<int8_t>(counters.changes + 1); }

uint32_t requests_sent() { return counters.requests_sent.load(std::memory_order_relaxed); }
uint32_t replies_received() { return counters.replies_received.load(std::memory_order_relaxed); }
int8_t changes_of_outcome() { return counters.changes; }
