// Following logs as they are written: changes told, hooks run in order,
// one metrics file kept.
#include "log_reader/follow.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "log_reader/calendar.h"
#include "log_reader/log_scanner.h"
#include "log_reader/metrics_file.h"
#include "log_reader/os.h"
#include "log_reader/report_text.h"

namespace qlog {

namespace {

// The calendar time of a time on a live run's clock, read at now_ms: the run
// is dated as a log its watcher holds is, its end being now.
std::optional<int64_t> live_wall_ms(const Run& run, int64_t own_ms, int64_t now_ms) {
    FileTimes file;
    file.end_ms = now_ms;
    file.running = true;
    std::deque<Dating> dated = date_runs({run}, file);
    if (dated.empty() || !dated.front().offset_ms) return std::nullopt;
    return own_ms + *dated.front().offset_ms;
}

constexpr unsigned poll_ms = 250;
// Hooks waiting behind a slow one, per log followed and at least; past
// this the oldest waiting is dropped. A fleet's logs may all change at once
// (the watching machine's own link down).
constexpr std::size_t hooks_waiting_per_log = 10;
constexpr std::size_t hooks_waiting_least = 100;
// A log path missing this long is said to be missing (a rotation leaves it
// missing for a moment).
constexpr double missing_said_after_s = 10;
// The metrics file is rewritten at least this often, so that its age tells
// whether the follower goes on, and at most once in metrics_least_s (each
// time is a file made, synced and renamed).
constexpr double metrics_refresh_s = 10;
constexpr double metrics_least_s = 1;
// The first and last bytes read of a log, compared again whenever it grows:
// a copytruncate followed by more than was read shows as other bytes there.
constexpr std::size_t witness_bytes = 64;

// The hooks of all logs, run one at a time in the order of the changes, so
// that the last to run tells the last state. Reading never waits for them.
class Hooks {
public:
    explicit Hooks(const std::optional<std::string>& command) : command_(command) {}

    void add(const std::string& what, os::Variables variables) {
        if (!command_) return;
        if (waiting_.size() >= std::max(hooks_waiting_least, hooks_waiting_per_log * logs)) {
            std::fprintf(stderr,
                         "qelvor-log: %zu --on-change commands wait behind a slow one: the "
                         "oldest waiting, for %s, is dropped\n",
                         waiting_.size(), waiting_.front().first.c_str());
            waiting_.pop_front();
        }
        waiting_.emplace_back(what, std::move(variables));
    }

    // Starts the next one when none runs, then waits for the one running at
    // most this long, or sleeps that long when none runs.
    void run(unsigned wait_ms) {
        if (running_.id == 0 && !waiting_.empty()) {
            std::string why = os::start_command(*command_, waiting_.front().second, &running_);
            if (why.empty()) {
                waiting_.pop_front();
                if (!start_failure_.empty())
                    std::fprintf(stderr, "qelvor-log: the --on-change command starts again\n");
            } else if (why != start_failure_) {
                std::fprintf(stderr,
                             "qelvor-log: the --on-change command could not be started (%s): "
                             "it is tried again\n",
                             why.c_str());
            }
            start_failure_ = why;
        }
        if (running_.id == 0) {
            if (wait_ms > 0) os::sleep_ms(wait_ms);
        } else if (os::wait_command(running_, wait_ms)) {
            running_ = os::Command{};
        }
    }

    std::size_t logs = 0;  // followed now

private:
    const std::optional<std::string>& command_;
    std::deque<std::pair<std::string, os::Variables>> waiting_;
    os::Command running_;
    std::string start_failure_;
};

// What is counted per host; the rest of its figures is state.
struct Counts {
    uint64_t requests = 0, replies = 0, outages = 0;
    int64_t down_ms = 0;
    Counts& operator+=(const Counts& other) {
        requests += other.requests, replies += other.replies, outages += other.outages;
        down_ms += other.down_ms;
        return *this;
    }
    // Never below 0: a log that contradicts itself (a summary that sent
    // fewer than its lines tell) makes no counter leap.
    Counts minus(const Counts& other) const {
        auto less = [](auto a, auto b) { return a > b ? a - b : decltype(a - b){0}; };
        return {less(requests, other.requests), less(replies, other.replies),
                less(outages, other.outages), less(down_ms, other.down_ms)};
    }
};

struct HostState {
    Counts ended;       // of ended runs and outages, all that was read
    Counts past;        // what was read as the past, not counted
    Counts reported;    // counters never go back
    HostFigures shown;  // the state
};

// One followed log: its file, its reading, and the hosts it watched.
class FollowedLog : public RunSink {
public:
    FollowedLog(std::string path, bool in_folder, Hooks& hooks, uint64_t& changes)
        : path_(std::move(path)),
          in_folder_(in_folder),
          hooks_(hooks),
          changes_(changes),
          scanner_(*this) {}
    FollowedLog(const FollowedLog&) = delete;
    FollowedLog& operator=(const FollowedLog&) = delete;
    ~FollowedLog() override {
        if (file_ != nullptr) std::fclose(file_);
    }

    // Reads what came; true when anything did. At the start every log is
    // the past; later, a file that appears at the path is the past unless
    // a qelvor is writing it (a rotation's new log), not when it was put
    // there with its history (a restore, sed -i, a symlink switched).
    bool poll(std::vector<char>& buffer, bool at_start) {
        os::FileIdentity at_path = os::identify(path_);
        if (file_ != nullptr && at_path.same_file(opened_) && rewritten(at_path)) {
            scanner_.end_of_file();
            start_reading();
        }
        bool read = file_ != nullptr && read_on(buffer);
        if (file_ != nullptr && at_path.exists && !at_path.same_file(opened_)) {
            read = read_on(buffer) || read;  // what came meanwhile first
            scanner_.end_of_file();
            std::fclose(file_);
            file_ = nullptr;
        }
        if (file_ != nullptr) return read;
        std::string why;
        file_ = os::open_for_reading(path_, &why);
        tell_problem(why, at_path.exists);
        if (file_ == nullptr) return read;
        std::setvbuf(file_, nullptr, _IONBF, 0);  // read straight into the buffer
        opened_ = os::identify(file_);
        start_reading();
        live_ = !at_start && os::held_by_writer({opened_}, {path_})[0].value_or(true);
        if (live_) return read_on(buffer) || read;
        std::map<std::string, Counts> before = counts_now();
        read_on(buffer);
        for (const auto& [host, after] : counts_now())
            hosts_[host].past += after.minus(before[host]);
        live_ = true;
        return true;
    }

    bool open() const { return file_ != nullptr; }
    bool run_open() const { return scanner_.current() != nullptr; }
    const os::FileIdentity& opened() const { return opened_; }
    const std::string& path() const { return path_; }

    // Its hosts' figures now, with held: whether a qelvor holds the file.
    void figures(bool held, std::vector<HostFigures>& out) {
        std::map<std::string, Counts> now = counts_now();
        for (auto& [host, state] : hosts_) {
            Counts counted = now[host].minus(state.past);
            Counts& reported = state.reported;
            reported.requests = std::max(reported.requests, counted.requests);
            reported.replies = std::max(reported.replies, counted.replies);
            reported.outages = std::max(reported.outages, counted.outages);
            reported.down_ms = std::max(reported.down_ms, counted.down_ms);
            HostFigures figures = state.shown;
            figures.host = host, figures.log = path_;
            figures.running = held && host == host_;
            figures.requests = reported.requests, figures.replies = reported.replies;
            figures.outages = reported.outages, figures.down_ms = reported.down_ms;
            out.push_back(figures);
        }
    }

    void run_begins(const Run& run) override {
        host_ = run.settings.address;
        hosts_[host_];
    }
    void request(const Run& run, uint64_t, int64_t time_ms, Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override {
        HostFigures& shown = hosts_[run.settings.address].shown;
        if (rtt_ms) shown.rtt_ms = rtt_ms;
        if (live_ && outcome == Outcome::Reply) {
            auto now_ms = static_cast<int64_t>(os::unix_time_s() * 1000);
            shown.last_reply_s =
                static_cast<double>(live_wall_ms(run, time_ms, now_ms).value_or(now_ms)) / 1000;
        }
    }
    void outage(const Run& run, const Outage& outage) override {
        Counts& ended = hosts_[run.settings.address].ended;
        ++ended.outages;
        ended.down_ms += outage.end_ms.value_or(run.end_ms()) - outage.start_ms;
    }
    // The summary's counts, when the run has one: a run stopped while a
    // request waits for its reply has sent one more than its last line says.
    void run_ends(const Run& run) override {
        Counts& ended = hosts_[run.settings.address].ended;
        ended.requests += run.sent();
        ended.replies += run.received();
    }
    void change(const Run& run, bool up, uint64_t request, int64_t time_ms,
                std::optional<int64_t> down_ms) override {
        const std::string& host = run.settings.address;
        HostFigures& shown = hosts_[host].shown;
        shown.up = up;
        if (!live_) return;
        // When the change came, in calendar time: a -T run's stamp where it
        // agrees with the time it was read, otherwise when it was read.
        auto now_ms = static_cast<int64_t>(os::unix_time_s() * 1000);
        int64_t wall_ms = live_wall_ms(run, time_ms, now_ms).value_or(now_ms);
        shown.last_change_s = static_cast<double>(wall_ms) / 1000;
        std::printf("%s %s %s", clock_text(time_ms).c_str(), host.c_str(), up ? "up" : "down");
        if (down_ms) std::printf(" after %s down", duration_text(*down_ms).c_str());
        std::printf(" (run %llu, request %llu) at %s\n",
                    static_cast<unsigned long long>(run.number),
                    static_cast<unsigned long long>(request), iso_text(wall_ms).c_str());
        std::fflush(stdout);
        os::Variables variables = {
            {"QELVOR_STATE", up ? "up" : "down"},
            {"QELVOR_HOST", host},
            {"QELVOR_REQUEST", std::to_string(request)},
            {"QELVOR_TIME_MS", std::to_string(time_ms)},
            {"QELVOR_SEQ", std::to_string(++changes_)},
            {"QELVOR_LOG", path_},
            {"QELVOR_WALLTIME", iso_text(wall_ms)},
            {"QELVOR_CLOCK", run.settings.time_of_day ? "time_of_day" : "elapsed"}};
        if (down_ms) variables.emplace_back("QELVOR_DOWN_MS", std::to_string(*down_ms));
        hooks_.add(host + " " + (up ? "up" : "down") + " in " + path_, std::move(variables));
    }

private:
    void start_reading() {
        std::rewind(file_);
        offset_ = 0;
        head_.clear(), tail_.clear();
        grown_to_ = 0;
        scanner_.begin_file(path_);
    }

    bool read_on(std::vector<char>& buffer) {
        bool read = false;
        std::size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), file_)) > 0) {
            if (head_.size() < witness_bytes)
                head_.append(buffer.data(), std::min(got, witness_bytes - head_.size()));
            std::size_t keep = std::min(got, witness_bytes);
            tail_ = tail_.substr(tail_.size() - std::min(tail_.size(), witness_bytes - keep));
            tail_.append(buffer.data() + got - keep, keep);
            scanner_.feed(buffer.data(), got);
            offset_ += got;
            read = true;
        }
        std::clearerr(file_);
        return read;
    }

    // Cut shorter, or other bytes where the first and the last read were.
    bool rewritten(const os::FileIdentity& at_path) {
        if (at_path.size < offset_) return true;
        if (at_path.size == grown_to_ || offset_ == 0) return false;
        grown_to_ = at_path.size;
        std::string seen(witness_bytes, '\0');
        return !os::read_at(file_, 0, seen.data(), head_.size()) ||
               seen.compare(0, head_.size(), head_) != 0 ||
               !os::read_at(file_, offset_ - tail_.size(), seen.data(), tail_.size()) ||
               seen.compare(0, tail_.size(), tail_) != 0;
    }

    // A path that cannot be read is said once, and again when that changes.
    // A missing one only after a while, and never in a folder, where a log
    // rotated away and not replaced is simply gone.
    void tell_problem(const std::string& why, bool exists) {
        double now = os::unix_time_s();
        if (exists || why.empty()) missing_since_ = 0;
        if (!exists && !why.empty()) {
            if (missing_since_ == 0) missing_since_ = now;
            if (in_folder_ || now - missing_since_ < missing_said_after_s) return;
        }
        if (why == problem_) return;
        if (why.empty())
            std::fprintf(stderr, "qelvor-log: %s: read again\n", path_.c_str());
        else
            std::fprintf(stderr, "qelvor-log: %s: %s\n", path_.c_str(), why.c_str());
        problem_ = why;
    }

    std::map<std::string, Counts> counts_now() const {
        std::map<std::string, Counts> now;
        for (const auto& [host, state] : hosts_) now[host] = state.ended;
        if (const Run* open = scanner_.current()) {
            Counts& counts = now[open->settings.address];
            counts.requests += open->requests;
            counts.replies += open->replies;
            if (open->outage) {
                ++counts.outages;
                counts.down_ms += open->end_ms() - open->outage->start_ms;
            }
        }
        return now;
    }

    std::string path_;
    bool in_folder_;
    Hooks& hooks_;
    uint64_t& changes_;  // of all logs
    LogScanner scanner_;
    std::FILE* file_ = nullptr;
    os::FileIdentity opened_;
    uint64_t offset_ = 0;
    std::string head_, tail_;  // the first and the last bytes read
    uint64_t grown_to_ = 0;    // the size last compared at
    bool live_ = false;        // what is read is told, not only the state
    std::string problem_;
    double missing_since_ = 0;
    std::string host_;  // the last run's
    std::map<std::string, HostState> hosts_;
};

bool is_folder(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}  // namespace

void follow(const FollowOptions& options) {
    Hooks hooks(options.on_change);
    uint64_t changes = 0;
    std::vector<std::unique_ptr<FollowedLog>> logs;
    std::set<std::string> followed;
    std::map<std::string, std::string> folder_problems;
    std::vector<std::string> folders;
    for (const std::string& path : options.paths) {
        if (is_folder(path))
            folders.push_back(path);
        else if (followed.insert(path).second)
            logs.push_back(std::make_unique<FollowedLog>(path, false, hooks, changes));
    }
    std::vector<char> buffer(1 << 16);
    std::string metrics_failure, metrics_written;
    double metrics_time = 0;
    for (bool first = true;; first = false) {
        // Every *.log of a folder, as instances start.
        for (const std::string& folder : folders) {
            std::error_code error;
            std::filesystem::directory_iterator entries(folder, error);
            for (; !error && entries != std::filesystem::directory_iterator(); ++entries) {
                std::filesystem::path name = entries->path();
                if (name.extension() != ".log" || !entries->is_regular_file(error)) continue;
                if (followed.insert(name.string()).second)
                    logs.push_back(
                        std::make_unique<FollowedLog>(name.string(), true, hooks, changes));
            }
            std::string why = error ? error.message() : "";
            if (why != folder_problems[folder] && !why.empty())
                std::fprintf(stderr, "qelvor-log: %s: %s\n", folder.c_str(), why.c_str());
            folder_problems[folder] = why;
        }
        hooks.logs = logs.size();
        for (auto& log : logs) log->poll(buffer, first);

        std::vector<os::FileIdentity> files;
        std::vector<std::string> paths;
        for (auto& log : logs) files.push_back(log->opened()), paths.push_back(log->path());
        std::vector<std::optional<bool>> held = os::held_by_writer(files, paths);
        std::vector<HostFigures> series;
        for (std::size_t i = 0; i < logs.size(); ++i)
            logs[i]->figures(logs[i]->open() && held[i].value_or(logs[i]->run_open()), series);
        double now = os::unix_time_s();
        if (options.metrics) {
            std::string text = metrics_text(series);
            if ((text != metrics_written && now - metrics_time >= metrics_least_s) ||
                now - metrics_time >= metrics_refresh_s) {
                std::string why = os::replace_file(*options.metrics, text);
                if (!why.empty() && why != metrics_failure) {
                    std::fprintf(stderr, "qelvor-log: %s: %s\n", options.metrics->c_str(),
                                 why.c_str());
                }
                metrics_failure = why;
                metrics_written = why.empty() ? text : "";
                metrics_time = now;
            }
        }
        // Each log is read to its end on every round: a round every
        // poll_ms, sooner only to start the next hook.
        hooks.run(poll_ms);
    }
}

}  // namespace qlog
