#include "probe/outcome_report.h"

#include "app/run_settings.h"
#include "output/output_channel.h"
#include "platform/platform.h"
#include "probe/run_counters.h"

ReportState report_state;

Stamp stamp_of(uint32_t send_time, uint32_t t0, bool time_of_day, uint32_t start_of_day) {
    uint32_t elapsed = send_time - t0;
    if (time_of_day) elapsed += start_of_day;
    return Stamp{static_cast<uint16_t>((elapsed / 3600000) % 24),
                 static_cast<uint16_t>((elapsed / 60000) % 60),
                 static_cast<uint16_t>((elapsed / 1000) % 60),
                 static_cast<uint16_t>(elapsed % 1000)};
}

void report_begin(uint32_t t0) {
    report_state.reply_state = ReplyState::Initial;
    report_state.last_reply_count = 0;
    report_state.last_reply_mark = t0;
    report_state.t0 = t0;
}

static void count_change_unless(ReplyState same) {
    if (report_state.reply_state != same) {
        run_counters.changes = static_cast<int8_t>(run_counters.changes + 1);
    }
}

static Stamp stamp_now(uint32_t send_time) {
    return stamp_of(send_time, report_state.t0, run_settings.time_of_day, start_of_day_ms);
}

bool report_reply(uint32_t send_time, uint32_t receive_time, uint32_t from_address) {
    count_change_unless(ReplyState::Replied);
    uint32_t sent = run_counters.requests_sent.load(std::memory_order_relaxed);
    uint32_t round_trip = receive_time - send_time;
    bool written = true;
    if (run_settings.verbose || report_state.reply_state != ReplyState::Replied) {
        char from[16];
        platform::address_to_text(from_address, from);
        Stamp stamp = stamp_now(send_time);
        // In compact mode the line's leading newline ends a row of marks.
        const char* line_start = run_settings.verbose ? "" : "\n";
        written = output_line("%s%02u:%02u:%02u.%03u [%u] reply from %s ; rtt %u ms.\n", line_start,
                              stamp.hours, stamp.minutes, stamp.seconds, stamp.milliseconds, sent,
                              from, round_trip);
        if (written && !run_settings.verbose && sent > 1) {
            written = output_line(
                "    %u request(s) have been lost since the last reply %u ms ago.\n",
                sent - report_state.last_reply_count - 1, send_time - report_state.last_reply_mark);
        }
        if (!written) report_log_write_failure("Log file write failed.\n");
    } else {
        written = output_mark('!');
        if (!written) report_log_write_failure("Log file write failed.");
    }
    report_state.last_reply_count = sent;
    report_state.last_reply_mark = receive_time;
    report_state.reply_state = ReplyState::Replied;
    return written;
}

bool report_no_reply(uint32_t send_time) {
    count_change_unless(ReplyState::NoReply);
    uint32_t sent = run_counters.requests_sent.load(std::memory_order_relaxed);
    bool written = true;
    if (run_settings.verbose || report_state.reply_state != ReplyState::NoReply) {
        Stamp stamp = stamp_now(send_time);
        const char* line_start = run_settings.verbose ? "" : "\n";
        written = output_line("%s%02u:%02u:%02u.%03u [%u] no reply.\n", line_start, stamp.hours,
                              stamp.minutes, stamp.seconds, stamp.milliseconds, sent);
    } else {
        written = output_mark('.');
    }
    if (!written) report_log_write_failure("Log file write failed.\n");
    report_state.reply_state = ReplyState::NoReply;
    return written;
}
