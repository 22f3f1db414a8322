#include "probe/outcome_report.h"

#include "output/output_channel.h"
#include "platform/platform.h"
#include "probe/run_counters.h"

namespace {

struct ReportState {
    ReplyState reply_state;
    uint32_t last_reply_count;  // requests sent when the last reply came
    uint64_t last_reply_time;   // clock reading when it came (t0 before any)
    uint64_t t0;                // clock reading the run's stamps count from
    bool verbose;
    bool time_of_day;
    uint32_t start_of_day_ms;
};

ReportState report;

void count_change_unless(ReplyState same) {
    if (report.reply_state != same) count_change();
}

Stamp stamp_now(uint64_t send_time) {
    return stamp_of(send_time, report.t0, report.time_of_day, report.start_of_day_ms);
}

}  // namespace

Stamp stamp_of(uint64_t send_time, uint64_t t0, bool time_of_day, uint32_t start_of_day_ms) {
    uint64_t elapsed = send_time - t0;
    if (time_of_day) elapsed += start_of_day_ms;
    return Stamp{static_cast<uint16_t>((elapsed / 3600000) % 24),
                 static_cast<uint16_t>((elapsed / 60000) % 60),
                 static_cast<uint16_t>((elapsed / 1000) % 60),
                 static_cast<uint16_t>(elapsed % 1000)};
}

void report_begin(uint64_t t0, const RunSettings& settings, uint32_t start_of_day_ms) {
    report.reply_state = ReplyState::Initial;
    report.last_reply_count = 0;
    report.last_reply_time = t0;
    report.t0 = t0;
    report.verbose = settings.verbose;
    report.time_of_day = settings.time_of_day;
    report.start_of_day_ms = start_of_day_ms;
}

bool report_reply(uint64_t send_time, uint64_t receive_time, uint32_t from_address) {
    count_change_unless(ReplyState::Replied);
    uint32_t sent = requests_sent();
    auto round_trip = static_cast<uint32_t>(receive_time - send_time);
    bool written = true;
    if (report.verbose || report.reply_state != ReplyState::Replied) {
        char from[platform::address_text_size];
        platform::address_to_text(from_address, from);
        Stamp stamp = stamp_now(send_time);
        // In compact mode the line's leading newline ends a row of marks.
        const char* line_start = report.verbose ? "" : "\n";
        written = output_line("%s%02u:%02u:%02u.%03u [%u] reply from %s ; rtt %u ms.\n", line_start,
                              stamp.hours, stamp.minutes, stamp.seconds, stamp.milliseconds, sent,
                              from, round_trip);
        if (written && !report.verbose && sent > 1) {
            written =
                output_line("    %u request(s) have been lost since the last reply %llu ms ago.\n",
                            sent - report.last_reply_count - 1,
                            static_cast<unsigned long long>(send_time - report.last_reply_time));
        }
        if (!written) report_log_write_failure("Log file write failed.\n");
    } else {
        written = output_mark('!');
        if (!written) report_log_write_failure("Log file write failed.");
    }
    report.last_reply_count = sent;
    report.last_reply_time = receive_time;
    report.reply_state = ReplyState::Replied;
    return written;
}

bool report_no_reply(uint64_t send_time) {
    count_change_unless(ReplyState::NoReply);
    uint32_t sent = requests_sent();
    bool written = true;
    if (report.verbose || report.reply_state != ReplyState::NoReply) {
        Stamp stamp = stamp_now(send_time);
        const char* line_start = report.verbose ? "" : "\n";
        written = output_line("%s%02u:%02u:%02u.%03u [%u] no reply.\n", line_start, stamp.hours,
                              stamp.minutes, stamp.seconds, stamp.milliseconds, sent);
    } else {
        written = output_mark('.');
    }
    if (!written) report_log_write_failure("Log file write failed.\n");
    report.reply_state = ReplyState::NoReply;
    return written;
}
