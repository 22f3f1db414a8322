// The closing statement of a run: requests sent, answered and lost.
#pragma once

#include <cstdint>

namespace qelvor {

// Pauses 10 ms, then writes the summary for these counts through the output
// channel, with its leading line end.
void print_summary(uint64_t sent, uint64_t received);

}  // namespace qelvor
