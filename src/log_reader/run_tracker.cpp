// Runs, requests and outages out of the lines and marks of a log.
#include "log_reader/run_tracker.h"

#include <algorithm>
#include <string>

#include "record/loss.h"
#include "record/stamp.h"

namespace qlog {

namespace {

// The 64-bit number whose low 32 bits are `low`, nearest to `near`.
uint64_t widen(uint32_t low, uint64_t near) {
    uint64_t candidate = (near & ~uint64_t{0xFFFFFFFF}) | low;
    if (candidate + 0x80000000u < near) candidate += 0x100000000u;
    if (candidate > near + 0x80000000u && candidate >= 0x100000000u) candidate -= 0x100000000u;
    return candidate;
}

constexpr auto day_ms = static_cast<int64_t>(record::day_ms);

// No clock reaches this far (146 million years): a time is never moved past
// it, so that no sum of a time and a number of ms read from a log overflows.
constexpr int64_t ceiling_ms = int64_t{1} << 62;

// `count` steps of `step_ms` after `time_ms`, held at the ceiling.
int64_t advanced(int64_t time_ms, uint64_t count, uint64_t step_ms) {
    if (time_ms >= ceiling_ms) return time_ms;
    auto room = static_cast<uint64_t>(ceiling_ms - time_ms);
    if (step_ms != 0 && count > room / step_ms) return ceiling_ms;
    return time_ms + static_cast<int64_t>(count * step_ms);
}

}  // namespace

const char* ending_name(Ending ending) {
    switch (ending) {
        case Ending::Count:
            return "count";
        case Ending::Changes:
            return "changes";
        case Ending::Interrupt:
            return "interrupt";
        case Ending::Failure:
            return "failure";
        case Ending::Running:
            return "running";
        case Ending::Cut:
            break;
    }
    return "cut";
}

uint64_t Run::loss_tenths() const {
    return summary ? summary_tenths : record::loss_tenths(sent(), received());
}

int64_t Run::end_ms() const {
    int64_t end = last_ms;
    if (last_outcome && *last_outcome == Outcome::NoReply) end += settings.wait_ms;
    if (last_outcome && *last_outcome == Outcome::Reply) end += last_rtt.value_or(0);
    return cut_ms ? std::min(end, *cut_ms) : end;
}

void RunTracker::begin(const Header* header) {
    run_ = Run{};
    run_.number = ++runs_;
    if (dates_.empty()) {
        run_.date = undated_;
    } else {
        run_.date = std::move(dates_.front());
        dates_.pop_front();
    }
    if (header != nullptr) {
        run_.has_header = true;
        run_.command = header->command;
        run_.settings = header->settings;
    }
    open_ = true;
    sink_.run_begins(run_);
}

void RunTracker::need_run() {
    if (open_) return;
    complain_("no header before this line: read as a run with qelvor's defaults");
    begin(nullptr);
}

// When the schedule sends the next request: a period after the last one,
// or when its outcome came if that took longer (the wait for no reply).
int64_t RunTracker::next_estimate() const {
    if (!run_.last_outcome) return run_.start_ms ? run_.last_ms : 0;
    uint32_t period = run_.settings.period_ms;
    uint32_t took = 0;
    if (*run_.last_outcome == Outcome::NoReply) took = run_.settings.wait_ms;
    if (*run_.last_outcome == Outcome::Reply) took = run_.last_rtt.value_or(0);
    return run_.last_ms + std::max(period, took);
}

void RunTracker::place(uint64_t request, int64_t time_ms, Outcome outcome,
                       std::optional<uint32_t> rtt) {
    if (!run_.start_ms) {
        // The first request went out a period per request before this one,
        // but not before 0 (a request number too large for that says so too).
        uint64_t reach = time_ms > 0 ? static_cast<uint64_t>(time_ms) : 0;
        uint64_t before = request - 1, period = run_.settings.period_ms;
        bool fits = period == 0 || before <= reach / period;
        run_.start_ms = fits ? static_cast<int64_t>(reach - before * period) : 0;
    }
    run_.requests = std::max(run_.requests, request);
    run_.last_ms = time_ms;
    run_.last_outcome = outcome;
    run_.last_rtt = rtt;
    run_.send_failure_last = false;
    bool up = outcome == Outcome::Reply;
    // The reply that ends a silence in compact output is followed at once by
    // the lost line (but for the run's first request), which may yet move
    // it: it is told after that line.
    bool hold =
        up && rtt && !run_.settings.verbose && request > 1 && (run_.outage || run_.changes == 0);
    if (!hold) sink_.request(run_, request, time_ms, outcome, rtt);
    if (up && rtt && !hold) last_reply_at_ = time_ms + *rtt;
    if (up && !rtt) last_reply_at_.reset();
    if (outcome == Outcome::Failure) {
        if (run_.outage) run_.outage->last_request = request;
        return;
    }
    if (up) {
        // What a lost line after this reply would count, as the watcher does.
        lost_since_reply_ = request - run_.last_reply_request - 1;
        // Before the run's first reply the lost line counts from the start.
        replied_before_ = run_.last_reply_request > 0;
        run_.last_reply_request = request;
    }
    // Replied is the state whenever an outcome came and no outage is open.
    bool same = run_.outage ? !up : up && run_.changes > 0;
    if (up) ++run_.replies;
    if (same) {
        if (run_.outage) run_.outage->last_request = request;
        return;
    }
    ++run_.changes;
    std::optional<int64_t> down_ms;
    if (up && run_.outage) {
        run_.outage->last_request = request - 1;
        run_.outage->end_ms = time_ms;
        down_ms = time_ms - run_.outage->start_ms;
        // Told with the reply that ended it, after the lost line when held.
        if (hold)
            ended_ = run_.outage;
        else
            sink_.outage(run_, *run_.outage);
        run_.outage.reset();
    } else if (!up) {
        run_.outage = Outage{request, request, time_ms, std::nullopt, std::nullopt};
    }
    if (hold) {
        held_ = Held{request, time_ms, *rtt, up_ != up, down_ms};
    } else if (up_ != up) {
        sink_.change(run_, up, request, time_ms, down_ms);
    }
    up_ = up;
}

void RunTracker::tell_held(int64_t shift_ms) {
    if (held_) {
        Held held = *held_;
        held_.reset();
        held.time_ms += shift_ms;
        run_.last_ms += shift_ms;
        if (ended_) ended_->end_ms = *ended_->end_ms + shift_ms;
        if (held.down_ms) *held.down_ms += shift_ms;
        last_reply_at_ = held.time_ms + held.rtt_ms;
        sink_.request(run_, held.request, held.time_ms, Outcome::Reply, held.rtt_ms);
        tell_ended_outage();
        if (held.change) sink_.change(run_, true, held.request, held.time_ms, held.down_ms);
    }
    tell_ended_outage();
}

void RunTracker::tell_ended_outage() {
    if (ended_) sink_.outage(run_, *ended_);
    ended_.reset();
}

void RunTracker::marks(char mark, uint64_t count) {
    if (count == 0) return;
    tell_held(0);
    need_run();
    Outcome outcome = mark == record::reply_mark ? Outcome::Reply : Outcome::NoReply;
    uint64_t one_by_one = sink_.wants_each_request() ? count : 1;
    for (uint64_t i = 0; i < one_by_one; ++i) {
        place(run_.requests + 1, next_estimate(), outcome, std::nullopt);
    }
    // The rest repeat the outcome: only the count and the clock move.
    uint64_t rest = count - one_by_one;
    if (rest == 0) return;
    int64_t step = next_estimate() - run_.last_ms;
    run_.requests += rest;
    run_.last_ms = advanced(run_.last_ms, rest, static_cast<uint64_t>(step));
    if (outcome == Outcome::Reply) run_.replies += rest, run_.last_reply_request = run_.requests;
    if (run_.outage) run_.outage->last_request = run_.requests;
}

void RunTracker::line(const LogLine& line, const Header& header) {
    int64_t shift_ms = 0;
    if (line.kind == LineKind::Lost && held_) {
        // Said right after the reply that ended a silence: how many requests
        // went unanswered since the reply before, and how long before this
        // request's send that reply came. Where that reply's time is known
        // to the ms, this one is that much later: a stamp alone cannot tell
        // how many days a silence lasted (a machine suspended for days).
        if (line.lost != lost_since_reply_) {
            complain_("the lost line says " + std::to_string(line.lost) +
                      " request(s), the lines before it " + std::to_string(lost_since_reply_));
        }
        auto ago = static_cast<int64_t>(std::min<uint64_t>(line.ago_ms, ceiling_ms));
        if (replied_before_ && last_reply_at_ && ago <= ceiling_ms - *last_reply_at_) {
            int64_t shift = *last_reply_at_ + ago - held_->time_ms;
            if (shift % day_ms == 0 && held_->time_ms + shift >= *last_reply_at_) shift_ms = shift;
        }
        if (ended_ && replied_before_) ended_->last_reply_ms = held_->time_ms + shift_ms - ago;
    }
    if (line.kind != LineKind::Empty) tell_held(shift_ms);
    switch (line.kind) {
        case LineKind::Header:
            if (open_) end_run();
            if (header.torn_before) complain_("a torn line before this header");
            begin(&header);
            return;
        case LineKind::Outcome: {
            need_run();
            // A number of 32 bits or fewer may be that of a watcher that
            // counted in 32 bits, wrapped: the one nearest the next is taken.
            uint64_t request = line.request > 0xFFFFFFFFu
                                   ? line.request
                                   : widen(static_cast<uint32_t>(line.request), run_.requests + 1);
            if (request <= run_.requests) {
                complain_("a request number out of order");
                return;
            }
            int64_t time_ms = line.stamp_ms;
            if (run_.last_outcome || run_.start_ms) {
                // The day is the one that puts the stamp nearest to where the
                // schedule expects it, and never before the last request.
                int64_t target = std::max(next_estimate(), run_.last_ms);
                time_ms += floor_div(target - time_ms + day_ms / 2, day_ms) * day_ms;
                while (time_ms < run_.last_ms) time_ms += day_ms;
            }
            place(request, time_ms, line.reply ? Outcome::Reply : Outcome::NoReply,
                  line.reply ? std::optional<uint32_t>(line.rtt_ms) : std::nullopt);
            return;
        }
        case LineKind::SendFailure:
            need_run();
            run_.send_failure_last = line.error != record::send_failure_retried;
            return;
        case LineKind::ReceiveFailure:
            need_run();
            place(run_.requests + 1, next_estimate(), Outcome::Failure, std::nullopt);
            return;
        case LineKind::Packets:
            need_run();
            run_.summary = true;
            run_.summary_sent = line.sent;
            run_.summary_received = line.received;
            run_.summary_tenths = line.loss_tenths;
            end_run();
            return;
        default:
            return;
    }
}

void RunTracker::end_run() {
    tell_held(0);
    if (run_.outage) sink_.outage(run_, *run_.outage);
    const RunSettings& settings = run_.settings;
    if (!run_.summary) {
        run_.ending = run_.date.running ? Ending::Running : Ending::Cut;
    } else if (settings.count != 0 && run_.summary_sent == settings.count) {
        run_.ending = Ending::Count;
    } else if (run_.send_failure_last) {
        run_.ending = Ending::Failure;
    } else if (settings.change_limit > 0 && run_.changes > settings.change_limit) {
        run_.ending = Ending::Changes;
    } else {
        run_.ending = Ending::Interrupt;
    }
    open_ = false;
    sink_.run_ends(run_);
}

void RunTracker::finish() {
    if (open_) end_run();
}

}  // namespace qlog
