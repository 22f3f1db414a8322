// The counts a run leaves behind for its summary. This module is their only
// writer; everything else reads them through the functions below.
#pragma once

#include <cstdint>

namespace qelvor {

// Program start: every count 0. Called once per program run.
void counters_reset();
// A probe cycle starts: requests sent and replies received back to 0; the
// change count goes on.
void counters_begin_run();
// For a test of long runs: the counts as a run that has already gone on
// this long would hold them.
void counters_begin_run_at(uint64_t sent, uint64_t received);

void count_request_sent();
// The last request counted turned out never to have left the host.
void count_request_not_sent();
void count_reply_received();
void count_change();

// Requests sent: every request that went out, answered or not.
uint64_t requests_sent();
// Replies received: requests answered by their matching reply, each once.
uint64_t replies_received();
// Changes of outcome so far, the first outcome included; compared with -Q.
// Signed 8-bit: past 127 it wraps, which only matters with -Q off.
int8_t changes_of_outcome();

}  // namespace qelvor
