// Turns each outcome of a request into a line or a mark, keeps the reply
// state that decides between the two, counts the changes of outcome and
// remembers the last reply for the lost line.
#pragma once

#include <cstdint>

#include "probe/run_settings.h"

namespace qelvor {

// The last outcome, held as the ICMP type it stands for.
enum class ReplyState : uint8_t {
    Replied = 0,    // echo reply
    NoReply = 8,    // the echo request went unanswered
    Initial = 127,  // no outcome yet in this run
};

// A run begins at clock reading t0, which the stamps count from: no outcome
// yet, no reply yet. With time of day, start_of_day_ms is the local time of
// day at t0. Settings are kept for the run's stamps and lines.
void report_begin(uint64_t t0, const RunSettings& settings, uint32_t start_of_day_ms);

// Each returns false when the log write failed; the failure is reported
// already and the run must end.
bool report_reply(uint64_t send_time, uint64_t receive_time, uint32_t from_address);
bool report_no_reply(uint64_t send_time);

}  // namespace qelvor
