// Rows of outages, runs or requests, one per line, with a header row.
#include "log_reader/csv_report.h"

#include <string>

#include "log_reader/calendar.h"
#include "log_reader/report_text.h"

namespace qlog {

namespace {

using ull = unsigned long long;

}  // namespace

CsvReport::CsvReport(std::FILE* out, CsvKind kind) : out_(out), kind_(kind) {
    // Columns added later go at the end, where a script that reads by
    // position does not meet them.
    switch (kind) {
        case CsvKind::Outages:
            std::fputs(
                "run,first_request,last_request,start_ms,end_ms,duration_ms,lost,host,"
                "last_reply_ms,start_iso,end_iso\n",
                out_);
            break;
        case CsvKind::Runs:
            std::fputs(
                "run,command,start_ms,sent,received,lost,loss_percent,ended,host,end_ms,"
                "watched_ms,down_ms,availability_percent,start_iso,end_iso\n",
                out_);
            break;
        case CsvKind::Requests:
            std::fputs("run,request,time_ms,outcome,rtt_ms,time_iso\n", out_);
            break;
    }
}

void CsvReport::request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                        std::optional<uint32_t> rtt_ms) {
    if (kind_ != CsvKind::Requests) return;
    std::fprintf(out_, "%llu,%llu,%lld,%s,", static_cast<ull>(run.number),
                 static_cast<ull>(request), static_cast<long long>(time_ms),
                 outcome == Outcome::Reply ? "reply" : "none");
    if (rtt_ms) std::fprintf(out_, "%u", *rtt_ms);
    std::fprintf(out_, ",%s\n", iso_or_empty(run, time_ms).c_str());
}

void CsvReport::outage(const Run& run, const Outage& outage) {
    run_down_ms_ += outage.end_ms.value_or(run.end_ms()) - outage.start_ms;
    if (kind_ != CsvKind::Outages) return;
    std::fprintf(out_, "%llu,%llu,%llu,%lld,", static_cast<ull>(run.number),
                 static_cast<ull>(outage.first_request), static_cast<ull>(outage.last_request),
                 static_cast<long long>(outage.start_ms));
    if (outage.end_ms) {
        std::fprintf(out_, "%lld,%lld", static_cast<long long>(*outage.end_ms),
                     static_cast<long long>(*outage.end_ms - outage.start_ms));
    } else {
        std::fputc(',', out_);
    }
    std::fprintf(out_, ",%llu,%s,", static_cast<ull>(outage.lost()), csv_field(run.host()).c_str());
    if (outage.last_reply_ms)
        std::fprintf(out_, "%lld", static_cast<long long>(*outage.last_reply_ms));
    std::fprintf(out_, ",%s,%s\n", iso_or_empty(run, outage.start_ms).c_str(),
                 outage.end_ms ? iso_or_empty(run, *outage.end_ms).c_str() : "");
}

void CsvReport::run_ends(const Run& run) {
    if (kind_ != CsvKind::Runs) return;
    uint64_t sent = run.sent(), received = run.received();
    std::string start, end, share, start_iso, end_iso;
    if (run.start_ms) {
        start = std::to_string(*run.start_ms);
        end = std::to_string(run.end_ms());
        start_iso = iso_or_empty(run, *run.start_ms);
        end_iso = iso_or_empty(run, run.end_ms());
    }
    if (std::optional<uint64_t> up = availability(run.lasted_ms(), run_down_ms_))
        share = thousandths_text(*up);
    std::fprintf(out_, "%llu,%s,%s,%llu,%llu,%llu,%s,%s,%s,%s,%lld,%lld,%s,%s,%s\n",
                 static_cast<ull>(run.number), csv_field(run.command).c_str(), start.c_str(),
                 static_cast<ull>(sent), static_cast<ull>(received),
                 static_cast<ull>(sent > received ? sent - received : 0),
                 tenths_text(run.loss_tenths()).c_str(), ending_name(run.ending),
                 csv_field(run.host()).c_str(), end.c_str(),
                 static_cast<long long>(run.lasted_ms()), static_cast<long long>(run_down_ms_),
                 share.c_str(), start_iso.c_str(), end_iso.c_str());
}

}  // namespace qlog
