#include "output/interrupt.h"

#include "output/output_channel.h"
#include "output/run_summary.h"
#include "platform/platform.h"

void interrupt_run() {
    platform::output_lock();
    print_summary();
    // Unconditional, as the interrupt may come before either service was
    // started; stopping one that never started is harmless.
    platform::timer_period_end();
    platform::socket_library_stop();
    output_close_log();
    platform::process_exit(1);
}

void terminate_run() {
    platform::output_lock();
    platform::console_flush();
    output_close_log();
}

bool install_interrupt_handler(int* error_number) {
    return platform::interrupt_install(interrupt_run, terminate_run, error_number);
}
