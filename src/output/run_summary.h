// The closing statement of a run: requests sent, answered and lost.
#pragma once

#include <cstddef>
#include <cstdint>

// Loss in percent as the summary shows it, in single precision: 0 when
// nothing was sent or nothing was lost.
float loss_percent(uint32_t sent, uint32_t received);

// The summary text for these counts, with its leading newline. Returns its
// length. The percentage shows one decimal, exact halves rounded up.
int format_summary(char* out, std::size_t capacity, uint32_t sent, uint32_t received);

// Pauses 10 ms, then writes the summary of the run counters through the
// output channel.
void print_summary();
