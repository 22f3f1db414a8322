// The heart of the program: once per period, send a request, wait for its
// reply, report the outcome, sleep out the rest of the period.
#pragma once

// Runs until the request count is reached, the change limit is passed, or a
// failure ends the run. The run counters hold the result for the summary.
void run_probe_cycle();
