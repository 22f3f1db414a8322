// The heart of the program: once per period, send a request, wait for its
// reply, report the outcome, sleep out the rest of the period.
#pragma once

#include <cstdint>

#include "probe/run_settings.h"

namespace qelvor {

// Runs until the request count is reached, the change limit is passed, a
// failure ends the run, or nothing written can be seen any more. The run
// counters hold the result for the summary.
void run_probe_cycle(const RunSettings& settings);

}  // namespace qelvor
