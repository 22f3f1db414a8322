#include "app/interrupt.h"

#include "output/output_channel.h"
#include "output/run_summary.h"
#include "platform/platform.h"
#include "probe/run_counters.h"

namespace qelvor {

namespace {

// How long the interrupt path waits for a writer to let go of the output
// before it takes the output from it.
constexpr uint32_t seize_wait_ms = 500;

// Ctrl-C: the summary, the services taken down, the log closed, status 1.
// Runs on the interrupt thread and keeps the output to the end, so the main
// thread can write nothing after it began. When the run is already writing
// its own summary and closing down, that end stands.
bool interrupt_run() {
    if (!output_seize(seize_wait_ms)) return false;
    print_summary(requests_sent(), replies_received());
    // The log first: the console may be the part that cannot move.
    output_close_log();
    output_flush_console();
    // Unconditional, as the interrupt may come before either service was
    // started; stopping one that never started is harmless.
    platform::timer_period_end();
    platform::socket_library_stop();
    platform::process_exit(1);
}

// Terminal closed or service stopped: no summary, but everything reported so
// far reaches the log and the console before the backend ends the process.
bool terminate_run() {
    if (!output_seize(seize_wait_ms)) return false;
    output_close_log();
    output_flush_console();
    return true;
}

}  // namespace

bool install_interrupt_handler(int* error_number) {
    return platform::interrupt_install(interrupt_run, terminate_run, error_number);
}

}  // namespace qelvor
