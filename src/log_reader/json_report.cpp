// One JSON document of runs and their outages.
#include "log_reader/json_report.h"

#include <string>
#include <string_view>

#include "log_reader/calendar.h"
#include "log_reader/report_text.h"

namespace qlog {

namespace {

using ll = long long;
using ull = unsigned long long;

// A JSON string; bytes that are not UTF-8 become '?'.
std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8_length(text, i);
        bool whole = length > 0;
        if (!whole) {
            out += '?';
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text.substr(i, length));
            i += length - 1;
        }
    }
    return out + '"';
}

// A calendar time as a JSON string, or null.
std::string json_when(const Run& run, int64_t own_ms) {
    std::optional<int64_t> wall = run.wall_ms(own_ms);
    return wall ? '"' + iso_text(*wall) + '"' : std::string("null");
}

}  // namespace

JsonReport::JsonReport(std::FILE* out) : out_(out) { std::fputs("{\"runs\": [", out_); }

void JsonReport::run_begins(const Run& run) {
    std::fprintf(out_, "%s\n  {\"run\": %llu, \"command\": %s, \"host\": %s, \"outages\": [",
                 runs_++ == 0 ? "" : ",", static_cast<ull>(run.number),
                 run.has_header ? json_string(run.command).c_str() : "null",
                 json_string(run.host()).c_str());
    outages_ = 0;
    run_down_ms_ = 0;
}

void JsonReport::outage(const Run& run, const Outage& outage) {
    int64_t end = outage.end_ms.value_or(run.end_ms());
    run_down_ms_ += end - outage.start_ms;
    std::fprintf(out_,
                 "%s\n    {\"first_request\": %llu, \"last_request\": %llu, \"start_ms\": %lld, "
                 "\"end_ms\": %s, \"duration_ms\": %s, \"lost\": %llu, \"last_reply_ms\": %s, "
                 "\"start_iso\": %s, \"end_iso\": %s}",
                 outages_++ == 0 ? "" : ",", static_cast<ull>(outage.first_request),
                 static_cast<ull>(outage.last_request), static_cast<ll>(outage.start_ms),
                 outage.end_ms ? std::to_string(*outage.end_ms).c_str() : "null",
                 outage.end_ms ? std::to_string(*outage.end_ms - outage.start_ms).c_str() : "null",
                 static_cast<ull>(outage.lost()),
                 outage.last_reply_ms ? std::to_string(*outage.last_reply_ms).c_str() : "null",
                 json_when(run, outage.start_ms).c_str(),
                 outage.end_ms ? json_when(run, *outage.end_ms).c_str() : "null");
}

void JsonReport::run_ends(const Run& run) {
    uint64_t sent = run.sent(), received = run.received();
    std::optional<uint64_t> share = availability(run.lasted_ms(), run_down_ms_);
    bool started = run.start_ms.has_value();
    std::fprintf(
        out_,
        "%s],\n   \"start_ms\": %s, \"end_ms\": %s, \"sent\": %llu, \"received\": %llu, "
        "\"lost\": %llu, \"loss_percent\": %s, \"ended\": \"%s\", \"watched_ms\": %lld, "
        "\"down_ms\": %lld, \"availability_percent\": %s, \"start_iso\": %s, \"end_iso\": %s, "
        "\"date_unknown\": %s}",
        outages_ > 0 ? "\n  " : "", started ? std::to_string(*run.start_ms).c_str() : "null",
        started ? std::to_string(run.end_ms()).c_str() : "null", static_cast<ull>(sent),
        static_cast<ull>(received), static_cast<ull>(sent > received ? sent - received : 0),
        tenths_text(run.loss_tenths()).c_str(), ending_name(run.ending),
        static_cast<ll>(run.lasted_ms()), static_cast<ll>(run_down_ms_),
        share ? thousandths_text(*share).c_str() : "null",
        started ? json_when(run, *run.start_ms).c_str() : "null",
        started ? json_when(run, run.end_ms()).c_str() : "null",
        started && !run.date.offset_ms ? json_string(run.date.unknown).c_str() : "null");
}

void JsonReport::finish() { std::fputs(runs_ > 0 ? "\n]}\n" : "]}\n", out_); }

}  // namespace qlog
