#include "app/run_driver.h"

#include <cstdio>
#include <cstring>

#include "app/command_line.h"
#include "app/run_settings.h"
#include "app/usage_text.h"
#include "output/interrupt.h"
#include "output/output_channel.h"
#include "output/run_summary.h"
#include "platform/platform.h"
#include "probe/probe_cycle.h"
#include "probe/run_counters.h"

uint32_t start_of_day_ms;

namespace {

constexpr int min_arguments = 2;   // the program name and an address
constexpr int max_arguments = 15;  // the program name and 14 more

int usage_exit(int argc, char** argv) {
    print_usage(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    return 1;
}

}  // namespace

int run_program(int argc, char** argv) {
    std::memset(run_settings.log_path, 0, sizeof run_settings.log_path);
    output_channel.log = nullptr;
    run_counters.requests_sent.store(0, std::memory_order_relaxed);
    run_counters.replies_received.store(0, std::memory_order_relaxed);
    run_counters.changes = 0;
    platform::console_setup();

    if (argc < min_arguments || argc > max_arguments) return usage_exit(argc, argv);
    switch (parse_command_line(argc, argv)) {
        case ParseResult::accepted:
            break;
        case ParseResult::usage:
            return usage_exit(argc, argv);
        case ParseResult::log_open_failed:
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
        char line[64];
        int length = std::snprintf(line, sizeof line, "WSAStartup failed: %d\n", start_code);
        console_only(line, static_cast<std::size_t>(length));
        output_close_log();
        return 1;
    }
    platform::timer_period_begin();
    platform::sleep_ms(16);
    platform::TimeOfDay now = platform::local_time_of_day();
    start_of_day_ms =
        ((now.hours * 60u + now.minutes) * 60u + now.seconds) * 1000u + now.milliseconds;
    output_log_header(argc, argv);

    run_probe_cycle();

    // Kept to the end: an interrupt from here on waits for the lock and
    // never runs, so the summary is written once and the log closed once.
    platform::output_lock();
    print_summary();
    platform::timer_period_end();
    platform::socket_library_stop();
    output_close_log();
    platform::console_flush();
    return 0;
}
