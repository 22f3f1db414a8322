// The run's counts, 64-bit: at -p 0 a run sends 2^32 requests in about nine
// hours.
#include "probe/run_counters.h"

#include <atomic>

namespace qelvor {

namespace {

// Written only on the main thread; read also by the interrupt thread's
// summary, hence atomic (relaxed: counts, not signals).
struct RunCounters {
    std::atomic<uint64_t> requests_sent;     // every request that went out, answered or not
    std::atomic<uint64_t> replies_received;  // requests answered by their reply, each once
    int8_t changes;                          // changes of outcome, the first outcome included
};

RunCounters counters;

void add_one(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

void counters_reset() {
    counters_begin_run();
    counters.changes = 0;
}

void counters_begin_run() { counters_begin_run_at(0, 0); }

void counters_begin_run_at(uint64_t sent, uint64_t received) {
    counters.requests_sent.store(sent, std::memory_order_relaxed);
    counters.replies_received.store(received, std::memory_order_relaxed);
}

void count_request_sent() { add_one(counters.requests_sent); }
void count_request_not_sent() {
    counters.requests_sent.store(counters.requests_sent.load(std::memory_order_relaxed) - 1,
                                 std::memory_order_relaxed);
}
void count_reply_received() { add_one(counters.replies_received); }
void count_change() { counters.changes = static_cast<int8_t>(counters.changes + 1); }

uint64_t requests_sent() { return counters.requests_sent.load(std::memory_order_relaxed); }
uint64_t replies_received() { return counters.replies_received.load(std::memory_order_relaxed); }
int8_t changes_of_outcome() { return counters.changes; }

}  // namespace qelvor
