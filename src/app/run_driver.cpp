#include "app/run_driver.h"

#include "app/command_line.h"
#include "app/interrupt.h"
#include "app/usage_text.h"
#include "output/output_channel.h"
#include "output/run_summary.h"
#include "platform/platform.h"
#include "probe/probe_cycle.h"
#include "probe/run_counters.h"
#include "record/line_text.h"
#include "record/options.h"

namespace qelvor {

namespace {

int usage_exit(int argc, char** argv) {
    print_usage(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    return 1;
}

}  // namespace

int run_program(int argc, char** argv) {
    output_begin();
    counters_reset();
    platform::console_setup();

    if (argc < record::min_arguments || argc > record::max_arguments) return usage_exit(argc, argv);
    switch (parse_command_line(argc, argv)) {
        case ParseResult::Accepted:
            break;
        case ParseResult::Usage:
            return usage_exit(argc, argv);
        case ParseResult::LogOpenFailed:
            return 1;
    }

    int error_number = 0;
    if (!install_interrupt_handler(&error_number)) {
        report_failure("signal failed.", error_number);
        output_close_log();
        return 1;
    }
    int start_code = platform::socket_library_start();
    if (start_code != 0) {
        output_console_line(record::startup_failure_row.c_str(), start_code);
        output_close_log();
        return 1;
    }
    platform::timer_period_begin();
    platform::sleep_ms(16);
    output_log_header(argc, argv);

    run_probe_cycle(run_settings());

    // Kept to the end: an interrupt from here on cannot have the output, so
    // the summary is written once and the log closed once.
    output_end_of_run();
    print_summary(requests_sent(), replies_received());
    platform::timer_period_end();
    platform::socket_library_stop();
    output_close_log();
    output_flush_console();
    return 0;
}

}  // namespace qelvor
