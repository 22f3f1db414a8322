// Outcome lines, marks and the lost line, in the record's words.
#include "probe/outcome_report.h"

#include "output/output_channel.h"
#include "platform/platform.h"
#include "probe/run_counters.h"
#include "record/line_text.h"
#include "record/stamp.h"

namespace qelvor {

namespace {

struct ReportState {
    ReplyState reply_state;
    uint64_t last_reply_count;  // requests sent when the last reply came
    uint64_t last_reply_time;   // clock reading when it came (t0 before any)
    uint64_t t0;                // clock reading the run's stamps count from
    bool verbose;
    bool time_of_day;
    uint32_t start_of_day_ms;
};

ReportState report;

using ull = unsigned long long;

void count_change_unless(ReplyState same) {
    if (report.reply_state != same) count_change();
}

record::Stamp stamp_now(uint64_t send_time) {
    uint64_t elapsed = send_time - report.t0;
    return record::stamp_of(report.time_of_day ? elapsed + report.start_of_day_ms : elapsed);
}

}  // namespace

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
    uint64_t sent = requests_sent();
    auto round_trip = static_cast<uint32_t>(receive_time - send_time);
    bool written = true;
    if (report.verbose || report.reply_state != ReplyState::Replied) {
        char from[platform::address_text_size];
        platform::address_to_text(from_address, from);
        record::Stamp stamp = stamp_now(send_time);
        // In compact mode the line's leading line end ends a row of marks.
        const char* format =
            report.verbose ? record::reply_row.c_str() : record::reply_after_marks.c_str();
        written = output_line(format, stamp.hours, stamp.minutes, stamp.seconds, stamp.milliseconds,
                              static_cast<ull>(sent), from, round_trip);
        if (written && !report.verbose && sent > 1) {
            written = output_line(record::lost_row.c_str(),
                                  static_cast<ull>(sent - report.last_reply_count - 1),
                                  static_cast<ull>(send_time - report.last_reply_time));
        }
        if (!written) report_log_write_failure("Log file write failed.\n");
    } else {
        written = output_mark(record::reply_mark);
        if (!written) report_log_write_failure("Log file write failed.");
    }
    report.last_reply_count = sent;
    report.last_reply_time = receive_time;
    report.reply_state = ReplyState::Replied;
    return written;
}

bool report_no_reply(uint64_t send_time) {
    count_change_unless(ReplyState::NoReply);
    uint64_t sent = requests_sent();
    bool written = true;
    if (report.verbose || report.reply_state != ReplyState::NoReply) {
        record::Stamp stamp = stamp_now(send_time);
        const char* format =
            report.verbose ? record::no_reply_row.c_str() : record::no_reply_after_marks.c_str();
        written = output_line(format, stamp.hours, stamp.minutes, stamp.seconds, stamp.milliseconds,
                              static_cast<ull>(sent));
    } else {
        written = output_mark(record::no_reply_mark);
    }
    if (!written) report_log_write_failure("Log file write failed.\n");
    report.reply_state = ReplyState::NoReply;
    return written;
}

}  // namespace qelvor
