// The report an operator reads first: runs, outages, totals per host.
#include "log_reader/table_report.h"

#include <algorithm>
#include <string>

#include "log_reader/calendar.h"
#include "log_reader/report_text.h"

namespace qlog {

namespace {

using ull = unsigned long long;

}  // namespace

TableReport::Totals& TableReport::totals_of(const Run& run) {
    for (Totals& totals : hosts_) {
        if (totals.host == run.host()) return totals;
    }
    hosts_.push_back(Totals{run.host()});
    return hosts_.back();
}

void TableReport::run_begins(const Run& run) {
    run_outages_ = 0;
    run_down_ms_ = 0;
    std::fprintf(out_, "run %llu: %s\n", static_cast<ull>(run.number),
                 run.has_header ? run.command.c_str() : "(no header)");
}

void TableReport::outage(const Run& run, const Outage& outage) {
    // Calendar times where the run is dated, its own clock otherwise.
    int when = run.date.offset_ms ? 29 : 13;
    if (run_outages_++ == 0) {
        std::fprintf(out_, "  %-7s %-*s %-*s %-12s %-11s %s\n", "outage", when, "start", when,
                     "end", "down", "requests", "lost");
    }
    int64_t down = outage.end_ms.value_or(run.end_ms()) - outage.start_ms;
    std::string requests =
        std::to_string(outage.first_request) + '-' + std::to_string(outage.last_request);
    std::fprintf(out_, "  %-7llu %-*s %-*s %-12s %-11s %llu\n", static_cast<ull>(run_outages_),
                 when, when_text(run, outage.start_ms).c_str(), when,
                 outage.end_ms ? when_text(run, *outage.end_ms).c_str() : "(open)",
                 duration_text(down).c_str(), requests.c_str(), static_cast<ull>(outage.lost()));
    Totals& totals = totals_of(run);
    ++totals.outages;
    totals.longest_ms = std::max(totals.longest_ms, down);
    run_down_ms_ += down;
    widest_wait_ms_ = std::max(widest_wait_ms_, run.settings.wait_ms);
}

void TableReport::run_ends(const Run& run) {
    uint64_t sent = run.sent(), received = run.received();
    std::string ended = run.ending == Ending::Running
                            ? std::string(" so far: running")
                            : std::string(", ended: ") + ending_name(run.ending);
    if (run.start_ms && !run.date.offset_ms) std::fprintf(out_, "  %s\n", run.date.unknown.c_str());
    std::fprintf(out_,
                 "  started %s, lasted %s%s\n  sent %llu, received %llu, lost %llu "
                 "(%s %%)\n",
                 run.start_ms ? when_text(run, *run.start_ms).c_str() : "-",
                 duration_text(run.lasted_ms()).c_str(), ended.c_str(), static_cast<ull>(sent),
                 static_cast<ull>(received),
                 static_cast<ull>(sent > received ? sent - received : 0),
                 tenths_text(run.loss_tenths()).c_str());
    Totals& totals = totals_of(run);
    ++totals.runs;
    totals.watched_ms += run.lasted_ms();
    totals.down_ms += run_down_ms_;
}

void TableReport::finish(uint64_t undated) {
    if (undated > 0) {
        std::fprintf(out_, "note: %llu run(s) left out of the window: their date is unknown\n",
                     static_cast<ull>(undated));
    }
    if (hosts_.empty()) {
        std::fputs(undated > 0 ? "no runs in the window\n" : "no runs read\n", out_);
        return;
    }
    for (const Totals& totals : hosts_) {
        std::string host = totals.host.empty() ? "an unknown host (no header)" : totals.host;
        std::fprintf(out_, "all runs of %s: %llu run(s), %llu outage(s), the longest %s\n",
                     host.c_str(), static_cast<ull>(totals.runs), static_cast<ull>(totals.outages),
                     duration_text(totals.longest_ms).c_str());
        std::optional<uint64_t> share = availability(totals.watched_ms, totals.down_ms);
        std::fprintf(
            out_, "  down %s of %s watched, availability %s\n",
            duration_text(totals.down_ms).c_str(), duration_text(totals.watched_ms).c_str(),
            share ? (thousandths_text(*share) + " %").c_str() : "unknown (nothing watched)");
    }
    if (widest_wait_ms_ > 0) {
        std::fprintf(out_,
                     "note: an outage is timed from the send of its first unanswered request to\n"
                     "  the send of the first request answered again; a request waits up to %u ms\n"
                     "  (-w) for its reply, so each end is known to within that: a shorter -w\n"
                     "  narrows it.\n",
                     widest_wait_ms_);
    }
}

}  // namespace qlog
