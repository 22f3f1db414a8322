// The closing statement of a run: requests sent, answered and lost.
#pragma once

#include <cstdint>

// Loss in percent as the summary shows it, in single precision: 0 when
// nothing was sent or nothing was lost.
float loss_percent(uint32_t sent, uint32_t received);

// The loss in tenths of a percent, from the single-precision value, an exact
// half rounded up (6.25 % gives 63).
uint32_t loss_tenths(uint32_t sent, uint32_t received);

// Pauses 10 ms, then writes the summary for these counts through the output
// channel, with its leading newline.
void print_summary(uint32_t sent, uint32_t received);
