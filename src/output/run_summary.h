// The closing statement of a run: requests sent, answered and lost.
#pragma once

#include <cstdint>

// The loss in tenths of a percent, an exact half rounded up (16 sent, 15
// received: 6.25 % gives 63); 0 when nothing was sent.
uint32_t loss_tenths(uint32_t sent, uint32_t received);

// Pauses 10 ms, then writes the summary for these counts through the output
// channel, with its leading newline.
void print_summary(uint32_t sent, uint32_t received);
