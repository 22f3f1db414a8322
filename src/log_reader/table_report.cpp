#include "log_reader/table_report.h"

#include <algorithm>
#include <string>

#include "log_reader/report_text.h"

namespace qlog {

namespace {

const char* ending_text(Ending ending) {
    switch (ending) {
        case Ending::Count:
            return "count reached";
        case Ending::Changes:
            return "change limit";
        case Ending::Interrupt:
            return "Ctrl-C";
        case Ending::Failure:
            return "failure";
        case Ending::Cut:
            break;
    }
    return "cut off (no summary)";
}

}  // namespace

void TableReport::run_begins(const Run& run) {
    run_outages_ = 0;
    std::fprintf(out_, "run %llu: %s\n", static_cast<unsigned long long>(run.number),
                 run.has_header ? run.command.c_str() : "(no header)");
}

void TableReport::outage(const Run& run, const Outage& outage) {
    if (run_outages_++ == 0) {
        std::fprintf(out_, "  %-7s %-13s %-13s %-12s %-11s %s\n", "outage", "start", "end", "down",
                     "requests", "lost");
    }
    int64_t down = outage.end_ms.value_or(run.end_ms()) - outage.start_ms;
    std::string requests =
        std::to_string(outage.first_request) + '-' + std::to_string(outage.last_request);
    std::fprintf(out_, "  %-7llu %-13s %-13s %-12s %-11s %llu\n",
                 static_cast<unsigned long long>(run_outages_), clock_text(outage.start_ms).c_str(),
                 outage.end_ms ? clock_text(*outage.end_ms).c_str() : "(open)",
                 duration_text(down).c_str(), requests.c_str(),
                 static_cast<unsigned long long>(outage.lost()));
    ++outages_;
    longest_ms_ = std::max(longest_ms_, down);
    down_ms_ += down;
}

void TableReport::run_ends(const Run& run) {
    uint64_t sent = run.sent(), received = run.received();
    uint64_t lost = sent > received ? sent - received : 0;
    std::fprintf(
        out_, "  started %s, lasted %s, ended: %s\n  sent %llu, received %llu, lost %llu (%s %%)\n",
        run.start_ms ? clock_text(*run.start_ms).c_str() : "-",
        duration_text(run.lasted_ms()).c_str(), ending_text(run.ending),
        static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
        static_cast<unsigned long long>(lost), tenths_text(loss_tenths(sent, received)).c_str());
    watched_ms_ += run.lasted_ms();
}

void TableReport::finish() {
    // Thousandths of a percent, rounded.
    int64_t up = std::max<int64_t>(0, watched_ms_ - down_ms_);
    int64_t availability = watched_ms_ > 0 ? (up * 100000 + watched_ms_ / 2) / watched_ms_ : 100000;
    std::fprintf(out_,
                 "all runs: %llu outage(s), the longest %s\n  down %s of %s watched, availability "
                 "%lld.%03lld %%\n",
                 static_cast<unsigned long long>(outages_), duration_text(longest_ms_).c_str(),
                 duration_text(down_ms_).c_str(), duration_text(watched_ms_).c_str(),
                 static_cast<long long>(availability / 1000),
                 static_cast<long long>(availability % 1000));
}

}  // namespace qlog
