#include "log_reader/csv_report.h"

#include <string>

#include "log_reader/report_text.h"

namespace qlog {

namespace {

using ull = unsigned long long;

}  // namespace

CsvReport::CsvReport(std::FILE* out, CsvKind kind) : out_(out), kind_(kind) {
    const char* header[] = {
        "run,first_request,last_request,start_ms,end_ms,duration_ms,lost\n",
        "run,command,start_ms,sent,received,lost,loss_percent,ended\n",
        "run,request,time_ms,outcome,rtt_ms\n",
    };
    std::fputs(header[static_cast<int>(kind)], out_);
}

void CsvReport::request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                        std::optional<uint32_t> rtt_ms) {
    if (kind_ != CsvKind::Requests) return;
    std::fprintf(out_, "%llu,%llu,%lld,%s,", static_cast<ull>(run.number),
                 static_cast<ull>(request), static_cast<long long>(time_ms),
                 outcome == Outcome::Reply ? "reply" : "none");
    if (rtt_ms) std::fprintf(out_, "%u", *rtt_ms);
    std::fputc('\n', out_);
}

void CsvReport::outage(const Run& run, const Outage& outage) {
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
    std::fprintf(out_, ",%llu\n", static_cast<ull>(outage.lost()));
}

void CsvReport::run_ends(const Run& run) {
    if (kind_ != CsvKind::Runs) return;
    uint64_t sent = run.sent(), received = run.received();
    std::string start = run.start_ms ? std::to_string(*run.start_ms) : "";
    std::fprintf(out_, "%llu,%s,%s,%llu,%llu,%llu,%s,%s\n", static_cast<ull>(run.number),
                 csv_field(run.command).c_str(), start.c_str(), static_cast<ull>(sent),
                 static_cast<ull>(received),
                 static_cast<ull>(sent > received ? sent - received : 0),
                 tenths_text(loss_tenths(sent, received)).c_str(), ending_name(run.ending));
}

}  // namespace qlog
