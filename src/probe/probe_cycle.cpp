#include "probe/probe_cycle.h"

#include "output/output_channel.h"
#include "platform/platform.h"
#include "probe/echo_message.h"
#include "probe/outcome_report.h"
#include "probe/run_counters.h"
#include "record/line_text.h"

namespace qelvor {

namespace {

// Attempts at one request when the send queue is full. A queue that stays
// full for that long is a real, local loss: the request counts as sent and
// unanswered, and the run goes on.
constexpr int send_attempts = 3;
static_assert(platform::socket_error_no_buffers == record::send_failure_retried,
              "the log's reader takes this failure for one that does not end the run");
constexpr uint32_t send_retry_pause_ms = 1;

struct ProbeCycle {
    const RunSettings* settings;
    uint16_t identifier;      // echo identifier of every request of this run
    uint32_t request_number;  // the current request's number; its low 16 bits are the sequence
    uint8_t request[datagram_buffer_size];   // the request being sent, zero beyond 26 bytes
    uint8_t received[datagram_buffer_size];  // the last datagram received, IPv4 header first
    bool not_sent;  // the system reported the request as never sent after its send call returned
};

bool await_outcome(ProbeCycle& cycle, uint64_t send_time);

// Sends the current request and waits for its outcome; false when the run
// must end. A failure for lack of buffers sends it again, a millisecond
// later, up to send_attempts in all; any other failure ends the run. Every
// failed attempt is reported, also one the system reports only after the
// send call has returned (that request never left the host, and is not
// counted). The send time is read after every attempt, so the stamp is that
// of the last attempt.
bool send_and_await(ProbeCycle& cycle) {
    for (int attempt = 1;; ++attempt) {
        bool sent =
            platform::icmp_send(cycle.request, echo_request_length, cycle.settings->target_address);
        uint64_t send_time = platform::clock_ms();
        if (sent) {
            count_request_sent();
            cycle.not_sent = false;
            if (!await_outcome(cycle, send_time)) return false;
            if (!cycle.not_sent) return true;
            count_request_not_sent();
        }
        int error = platform::last_socket_error();
        if (!output_line(record::send_failure_rows.c_str(), error)) {
            report_log_write_failure("Log file write failed.\n");
            return false;
        }
        if (error != platform::socket_error_no_buffers) return false;
        if (attempt == send_attempts) {
            count_request_sent();
            return report_no_reply(send_time);
        }
        platform::sleep_ms(send_retry_pause_ms);
    }
}

// Waits for the reply to the current request and reports the outcome.
// Returns false when the run must end (a failed log write).
//
// The wait is bounded by the wait time from the send: every datagram that is
// not our reply (our own request looped back, another program's pings, ICMP
// errors) leaves only what is left of it. Restarting the full wait instead
// would let a steady stream of foreign traffic hide a silent host for ever.
//
// What counts is when a datagram reached the host, not when this thread got
// round to reading it: stopped or starved past the end of the wait, it still
// reads, without waiting, what came in within the wait, however much foreign
// traffic is queued ahead of the reply. The first datagram that came in
// after the wait ends it: everything before it has been read. The socket is
// thus always looked at once, so a reply already queued is never taken for
// silence. And a datagram that came in before the request went out is never
// its reply, whatever it carries: it answers someone else's request. The
// platform tells which did, on the one clock the system stamps arrivals
// with: set against our clock, read before the send, an arrival could look
// older than its request when this thread was held up between the readings
// that carry a stamp from the one clock to the other, and a reply on a path
// under a millisecond was then dropped.
bool await_outcome(ProbeCycle& cycle, uint64_t send_time) {
    uint32_t wait = cycle.settings->wait_ms;
    for (;;) {
        uint64_t spent = platform::clock_ms() - send_time;
        platform::Datagram datagram = {};
        uint32_t left = spent >= wait ? 0 : wait - static_cast<uint32_t>(spent);
        // Cut short when what the output holds falls due meanwhile.
        uint32_t timeout = output_before_wait(left);
        platform::Receive result =
            platform::icmp_receive(timeout, cycle.received, sizeof cycle.received, &datagram);
        if (result == platform::Receive::TimedOut && timeout < left) continue;
        if (result == platform::Receive::TimedOut) return report_no_reply(send_time);
        if (result == platform::Receive::NotSent) {
            cycle.not_sent = true;
            return true;
        }
        if (result == platform::Receive::Failed) {
            // The request stays unanswered but is no outcome: state and
            // change count are left as they are.
            if (!output_line(record::receive_failure_rows.c_str(), platform::last_socket_error())) {
                report_log_write_failure("Log file write failed.\n");
                return false;
            }
            return true;
        }
        uint64_t arrival = datagram.receive_time;
        if (arrival > send_time + wait) return report_no_reply(send_time);
        // A reply the system matched to the request comes without bytes to
        // test; the wait and the send hold for it all the same.
        bool reply = result == platform::Receive::Matched ||
                     is_echo_reply(cycle.received, datagram.length, cycle.request);
        if (datagram.before_send || !reply) continue;
        count_reply_received();
        // In before the send time was read: on a near host, an rtt of 0.
        return report_reply(send_time, arrival < send_time ? send_time : arrival,
                            datagram.from_address);
    }
}

}  // namespace

void run_probe_cycle(const RunSettings& settings) {
    ProbeCycle cycle{};
    cycle.settings = &settings;
    cycle.identifier = platform::echo_identifier();

    if (!platform::icmp_open(&cycle.identifier, settings.wait_ms)) {
        output_console_line(record::socket_failure_row.c_str(), platform::last_socket_error());
        platform::socket_library_stop();
        output_close_log();
        return;
    }

    counters_begin_run();
    // The settling pause; stamps count from after it. The local time of day
    // is read with that instant, so that a -T stamp, the one plus the time
    // since, is the local time at which its request went out.
    platform::sleep_ms(16);
    platform::TimeOfDay now;
    uint64_t t0 = platform::clock_with_local_time(&now);
    uint32_t start_of_day_ms =
        ((now.hours * 60u + now.minutes) * 60u + now.seconds) * 1000u + now.milliseconds;
    report_begin(t0, settings, start_of_day_ms);

    // When the iteration was due: its start, or, after a period slept out,
    // the instant the sleep was meant to end.
    bool slept = false;
    uint64_t due = t0;
    for (;;) {
        if (settings.request_count != 0 && requests_sent() >= settings.request_count) return;
        // Nobody reads the console any more and there is no log: nothing
        // this run finds out could be recorded, so it ends as if its count
        // were reached.
        if (!output_has_reader()) return;
        uint64_t iteration_start = platform::clock_ms();
        due = slept ? due + settings.period_ms : iteration_start;
        // Woken a whole period late or more: the schedule starts anew here
        // rather than catch up with a burst.
        if (iteration_start - due >= settings.period_ms) due = iteration_start;
        // Checked before the next request is built: the request that passed
        // the limit has been reported and its period slept out.
        if (settings.change_limit > 0 &&
            changes_of_outcome() > static_cast<int8_t>(settings.change_limit)) {
            return;
        }
        ++cycle.request_number;
        build_echo_request(cycle.request, cycle.identifier, cycle.request_number);
        if (!send_and_await(cycle)) return;

        // The period runs from when the iteration was due. A wake-up that
        // came late (a busy or virtual machine can be a few milliseconds
        // late now and then) is thus made good by the next sleep instead of
        // moving every later request: the stamps stay on the period. An
        // outcome that took the whole period or longer is followed at once,
        // the schedule starting anew from there: missed periods are not made
        // up.
        uint64_t elapsed = platform::clock_ms() - due;
        slept = settings.period_ms > elapsed;
        if (!slept) continue;
        uint32_t rest = settings.period_ms - static_cast<uint32_t>(elapsed);
        output_before_sleep(rest);
        platform::sleep_ms(rest);
    }
}

}  // namespace qelvor
