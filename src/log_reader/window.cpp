// A window of calendar time over the runs.
#include "log_reader/window.h"

#include <algorithm>

namespace qlog {

std::optional<int64_t> Window::from(const Run& run) const {
    if (!since_) return std::nullopt;
    return *since_ - *run.date.offset_ms;
}

std::optional<int64_t> Window::to(const Run& run) const {
    if (!until_) return std::nullopt;
    return *until_ - *run.date.offset_ms;
}

bool Window::inside(const Run& run, int64_t own_ms) const {
    return (!since_ || own_ms >= *from(run)) && (!until_ || own_ms < *to(run));
}

void Window::run_begins(const Run& run) {
    requests_ = replies_ = 0;
    in_ = false;
    if (!run.date.offset_ms) {
        ++undated_;
        return;
    }
    // The first reading of the file told where the run lies.
    if (!run.date.first_ms) return;
    in_ = (!until_ || *run.date.first_ms < *to(run)) && (!since_ || run.date.end_ms > *from(run));
    if (in_) next_.run_begins(run);
}

void Window::request(const Run& run, uint64_t request, int64_t time_ms, Outcome outcome,
                     std::optional<uint32_t> rtt_ms) {
    if (!in_ || !inside(run, time_ms)) return;
    ++requests_;
    if (outcome == Outcome::Reply) ++replies_;
    if (next_.wants_each_request()) next_.request(run, request, time_ms, outcome, rtt_ms);
}

void Window::change(const Run& run, bool up, uint64_t request, int64_t time_ms,
                    std::optional<int64_t> down_ms) {
    if (in_ && inside(run, time_ms)) next_.change(run, up, request, time_ms, down_ms);
}

void Window::outage(const Run& run, const Outage& outage) {
    if (!in_) return;
    Outage cut = outage;
    int64_t end = outage.end_ms.value_or(run.end_ms());
    if (since_) cut.start_ms = std::max(cut.start_ms, *from(run));
    if (until_ && end > *to(run)) cut.end_ms = end = *to(run);
    if (end < cut.start_ms || (end == cut.start_ms && !inside(run, cut.start_ms))) return;
    next_.outage(run, cut);
}

void Window::run_ends(const Run& run) {
    if (!in_) return;
    Run cut = run;
    bool before = since_ && run.start_ms && *run.start_ms < *from(run);
    if (before) cut.start_ms = *from(run);
    if (until_ && run.end_ms() > *to(run)) cut.cut_ms = *to(run);
    // The counts are those of the requests inside; the summary is the whole run's.
    if (before || cut.cut_ms) {
        cut.summary = false;
        cut.requests = requests_;
        cut.replies = replies_;
    }
    next_.run_ends(cut);
}

}  // namespace qlog
