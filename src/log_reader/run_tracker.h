// Turns the lines and marks of a log into runs, requests and outages, with
// every request placed on its run's clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "log_reader/log_line.h"

namespace qlog {

enum class Outcome { Reply, NoReply, Failure };  // Failure: the receive failed
enum class Ending { Count, Changes, Interrupt, Failure, Cut, Running };
// The one word for an ending, in every report: count, changes, interrupt,
// failure, cut; running for a run whose watcher holds its log now.
const char* ending_name(Ending ending);

// a / b rounded down, for times before a reference as well.
inline int64_t floor_div(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

struct Outage {
    uint64_t first_request = 0;  // its first request without a reply
    uint64_t last_request = 0;   // its last one
    int64_t start_ms = 0;
    std::optional<int64_t> end_ms;  // none while open, or when the run ended in it
    // When the last reply before it came, where the lost line after its end
    // told: the host was last seen up then.
    std::optional<int64_t> last_reply_ms;
    uint64_t lost() const { return last_request - first_request + 1; }
};

// Where a run lies in calendar time, as src/log_reader/calendar.h derives it
// from its file before the run is read.
struct Dating {
    // The calendar time of a time on the run's clock: ms since the epoch =
    // the run's ms + offset_ms. None when it cannot be derived.
    std::optional<int64_t> offset_ms;
    std::string unknown;   // when not dated: why, "date unknown (...)"
    bool running = false;  // its watcher holds the log now
    // The run's first request and end on its own clock, as the first
    // reading of its file found them (none when it sent nothing).
    std::optional<int64_t> first_ms;
    int64_t end_ms = 0;
};

// Times are milliseconds on the run's own clock: since the run began
// (elapsed stamps), or since local midnight of its first day (-T), counting
// on past 24 hours.
struct Run {
    uint64_t number = 0;  // from 1, across every file read
    bool has_header = false;
    std::string command;
    RunSettings settings;
    uint64_t requests = 0;  // the last request number seen
    uint64_t replies = 0;
    std::optional<int64_t> start_ms;  // request 1's time
    int64_t last_ms = 0;              // the last request's time
    std::optional<Outcome> last_outcome;
    std::optional<uint32_t> last_rtt;
    uint32_t changes = 0;
    std::optional<Outage> outage;  // the open one
    bool send_failure_last = false;
    uint64_t last_reply_request = 0;  // the request the last reply answered
    bool summary = false;
    uint64_t summary_sent = 0, summary_received = 0, summary_tenths = 0;
    Ending ending = Ending::Cut;
    Dating date;

    const std::string& host() const { return settings.address; }
    uint64_t sent() const { return summary ? summary_sent : requests; }
    uint64_t received() const { return summary ? summary_received : replies; }
    // The loss in tenths of a percent: the summary's own, or what it would
    // have shown.
    uint64_t loss_tenths() const;
    // Where a window of the report ends, on the run's clock.
    std::optional<int64_t> cut_ms;
    // Until the last request's outcome (its wait, or its round trip), or
    // the window's end if sooner.
    int64_t end_ms() const;
    int64_t lasted_ms() const { return start_ms ? end_ms() - *start_ms : 0; }
    // A time of the run in calendar time, ms since the epoch, where dated.
    std::optional<int64_t> wall_ms(int64_t own_ms) const {
        if (!date.offset_ms) return std::nullopt;
        return own_ms + *date.offset_ms;
    }
};

// What the tracker tells, in log order. Each gets the run as it is then.
class RunSink {
public:
    virtual ~RunSink() = default;
    // Marks are handed over one by one only when this is true.
    virtual bool wants_each_request() const { return false; }
    // Whether request() is wanted at all: a report that does not want it is
    // told a file's runs once the file has been read (see file_buffer.h).
    virtual bool wants_requests() const { return wants_each_request(); }
    virtual void run_begins(const Run&) {}
    virtual void request(const Run&, uint64_t /*request*/, int64_t /*time_ms*/, Outcome,
                         std::optional<uint32_t> /*rtt_ms*/) {}
    // A change of outcome: the run's first, or up after down or down after
    // up, also from one run to the next. down_ms: how long the outage that
    // a reply ends lasted.
    virtual void change(const Run&, bool /*up*/, uint64_t /*request*/, int64_t /*time_ms*/,
                        std::optional<int64_t> /*down_ms*/) {}
    // An outage that a reply ended, or that was open when its run ended.
    virtual void outage(const Run&, const Outage&) {}
    virtual void run_ends(const Run&) {}
};

class RunTracker {
public:
    using Complaint = std::function<void(std::string_view)>;
    RunTracker(RunSink& sink, Complaint complain) : sink_(sink), complain_(std::move(complain)) {}
    RunTracker(const RunTracker&) = delete;
    RunTracker& operator=(const RunTracker&) = delete;

    void line(const LogLine& line, const Header& header);
    void marks(char mark, uint64_t count);
    // No more input: the run still open ends.
    void finish();
    // The run still open, if any.
    const Run* current() const { return open_ ? &run_ : nullptr; }
    // The dates of the runs that begin next, in order; a run begun when
    // none is left gets `otherwise`.
    void date_next_runs(std::deque<Dating> dates, Dating otherwise) {
        dates_ = std::move(dates);
        undated_ = std::move(otherwise);
    }
    // The date of the run still open, known once its file has been read.
    void date_current(Dating date) {
        if (open_) run_.date = std::move(date);
    }

private:
    void begin(const Header* header);
    void need_run();
    int64_t next_estimate() const;
    void place(uint64_t request, int64_t time_ms, Outcome outcome, std::optional<uint32_t> rtt);
    void end_run();
    // The reply that ended a silence, and the outage it ended, are told
    // once the line after the reply has been seen: a lost line there tells
    // when the reply before came, which may move this one by whole days.
    void tell_held(int64_t shift_ms);
    void tell_ended_outage();

    RunSink& sink_;
    Complaint complain_;
    Run run_;
    bool open_ = false;
    uint64_t runs_ = 0;
    std::optional<bool> up_;  // the last outcome of all, for changes across runs
    struct Held {
        uint64_t request;
        int64_t time_ms;
        uint32_t rtt_ms;
        bool change;  // the reply is a change of the last outcome of all
        std::optional<int64_t> down_ms;
    };
    std::optional<Held> held_;     // a reply not yet told
    std::optional<Outage> ended_;  // ended by the last reply, not yet told
    // When the last reply came, where its line told it to the ms.
    std::optional<int64_t> last_reply_at_;
    uint64_t lost_since_reply_ = 0;  // unanswered requests before the last reply
    bool replied_before_ = false;    // and a reply came before them
    std::deque<Dating> dates_;
    Dating undated_;
};

}  // namespace qlog
