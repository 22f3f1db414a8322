#include "probe/probe_cycle.h"

#include <cstdio>
#include <cstring>

#include "app/run_settings.h"
#include "output/output_channel.h"
#include "platform/platform.h"
#include "probe/echo_message.h"
#include "probe/outcome_report.h"
#include "probe/run_counters.h"

RunCounters run_counters;

namespace {

struct ProbeCycle {
    uint16_t identifier;      // echo identifier of every request of this run
    uint32_t request_number;  // the current request's number; its low 16 bits are the sequence
};

ProbeCycle cycle;

// Sends the current request; a failure for lack of buffers sends it again at
// once, any other failure ends the run. The send time is read after every
// attempt, so the stamp is that of the attempt that went out.
bool send_request(uint32_t* send_time) {
    for (;;) {
        bool sent = platform::icmp_send(echo_buffers.request, echo_request_length,
                                        run_settings.target_address);
        *send_time = platform::clock_ms();
        if (sent) return true;
        int error = platform::last_socket_error();
        if (!output_line("\nsendto failed with error %d\n\n", error)) {
            report_log_write_failure("Log file write failed.\n");
            return false;
        }
        if (error != platform::socket_error_no_buffers) return false;
    }
}

// Waits for the reply to the current request and reports the outcome.
// Returns false when the run must end (a failed log write).
//
// The wait is bounded by the wait time from the send: every datagram that is
// not our reply (our own request looped back, another program's pings, ICMP
// errors) leaves only what is left of it. Restarting the full wait instead
// would let a steady stream of foreign traffic hide a silent host for ever.
bool await_outcome(uint32_t send_time) {
    for (;;) {
        uint32_t spent = platform::clock_ms() - send_time;
        if (spent >= run_settings.wait_ms) return report_no_reply(send_time);
        if (platform::icmp_wait_readable(run_settings.wait_ms - spent) == 0) {
            return report_no_reply(send_time);
        }
        // A failed wait falls through to the receive, which then reports
        // what is wrong with the socket.
        uint32_t from = 0;
        int length =
            platform::icmp_receive(echo_buffers.received, sizeof echo_buffers.received, &from);
        uint32_t receive_time = platform::clock_ms();
        if (length < 0) {
            // The request stays unanswered but is no outcome: state and
            // change count are left as they are.
            if (!output_line("\nrecvfrom failed with error %d\n\n",
                             platform::last_socket_error())) {
                report_log_write_failure("Log file write failed.\n");
                return false;
            }
            return true;
        }
        if (!is_echo_reply(echo_buffers.received, static_cast<std::size_t>(length),
                           echo_buffers.request)) {
            continue;
        }
        count_one(run_counters.replies_received);
        return report_reply(send_time, receive_time, from);
    }
}

}  // namespace

void run_probe_cycle() {
    // The message buffer is shared with the interrupt thread's summary.
    platform::output_lock();
    std::memset(output_channel.message, 0, sizeof output_channel.message);
    platform::output_unlock();
    std::memset(&echo_buffers, 0, sizeof echo_buffers);
    cycle.identifier = static_cast<uint16_t>(platform::process_id());
    cycle.request_number = 0;

    if (!platform::icmp_open(&cycle.identifier)) {
        char line[64];
        int length = std::snprintf(line, sizeof line, "socket function failed with error %d\n",
                                   platform::last_socket_error());
        console_only(line, static_cast<std::size_t>(length));
        platform::socket_library_stop();
        output_close_log();
        return;
    }

    run_counters.requests_sent.store(0, std::memory_order_relaxed);
    run_counters.replies_received.store(0, std::memory_order_relaxed);
    // The settling pause; stamps count from after it.
    platform::sleep_ms(16);
    uint32_t t0 = platform::clock_ms();
    report_begin(t0);

    // When the iteration was due: its start, or, after a period slept out,
    // the instant the sleep was meant to end.
    bool slept = false;
    uint32_t due = t0;
    for (;;) {
        uint32_t sent = run_counters.requests_sent.load(std::memory_order_relaxed);
        if (run_settings.request_count != 0 && sent >= run_settings.request_count) return;
        uint32_t iteration_start = platform::clock_ms();
        due = slept ? due + run_settings.period_ms : iteration_start;
        // Woken a whole period late or more: the schedule starts anew here
        // rather than catch up with a burst.
        if (iteration_start - due >= run_settings.period_ms) due = iteration_start;
        // Checked before the next request is built: the request that passed
        // the limit has been reported and its period slept out.
        if (run_settings.change_limit > 0 &&
            run_counters.changes > static_cast<int8_t>(run_settings.change_limit)) {
            return;
        }
        ++cycle.request_number;
        build_echo_request(echo_buffers.request, cycle.identifier, cycle.request_number);
        uint32_t send_time = 0;
        if (!send_request(&send_time)) return;
        count_one(run_counters.requests_sent);
        if (!await_outcome(send_time)) return;

        // The period runs from when the iteration was due. A wake-up that
        // came late (a busy or virtual machine can be a few milliseconds
        // late now and then) is thus made good by the next sleep instead of
        // moving every later request: the stamps stay on the period. An
        // outcome that took the whole period or longer is followed at once,
        // the schedule starting anew from there: missed periods are not made
        // up.
        uint32_t elapsed = platform::clock_ms() - due;
        slept = run_settings.period_ms > elapsed;
        if (slept) platform::sleep_ms(run_settings.period_ms - elapsed);
    }
}
