// Following a log as it is written: changes told, hooks run, metrics kept.
#include "log_reader/follow.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "log_reader/log_scanner.h"
#include "log_reader/metrics_file.h"
#include "log_reader/os.h"
#include "log_reader/report_text.h"

namespace qlog {

namespace {

constexpr unsigned poll_ms = 200;

double now_s() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

class FollowSink : public RunSink {
public:
    explicit FollowSink(const FollowOptions& options) : options_(options) {}
    bool live = false;

    void run_begins(const Run& run) override { hosts_[run.settings.address]; }
    void outage(const Run& run, const Outage& outage) override {
        HostFigures& figures = hosts_[run.settings.address];
        ++figures.outages;
        figures.down_ms += outage.end_ms.value_or(run.end_ms()) - outage.start_ms;
    }
    void run_ends(const Run& run) override {
        HostFigures& figures = hosts_[run.settings.address];
        figures.requests += run.requests;
        figures.replies += run.replies;
    }
    void change(const Run& run, bool up, uint64_t request, int64_t time_ms,
                std::optional<int64_t> down_ms) override {
        const std::string& host = run.settings.address;
        hosts_[host].up = up;
        hosts_[host].last_change_s = now_s();
        if (!live) return;
        std::printf("%s %s %s", clock_text(time_ms).c_str(), host.c_str(), up ? "up" : "down");
        if (down_ms) std::printf(" after %s down", duration_text(*down_ms).c_str());
        std::printf(" (run %llu, request %llu)\n", static_cast<unsigned long long>(run.number),
                    static_cast<unsigned long long>(request));
        std::fflush(stdout);
        if (!options_.on_change) return;
        os::Variables variables = {{"QELVOR_STATE", up ? "up" : "down"},
                                   {"QELVOR_HOST", host},
                                   {"QELVOR_REQUEST", std::to_string(request)},
                                   {"QELVOR_TIME_MS", std::to_string(time_ms)}};
        if (down_ms) variables.emplace_back("QELVOR_DOWN_MS", std::to_string(*down_ms));
        if (!os::start_command(*options_.on_change, variables)) {
            std::fprintf(stderr, "qelvor-log: the --on-change command could not be started\n");
        }
    }

    // The figures now: those of ended runs and outages, and the open ones'.
    std::map<std::string, HostFigures> figures(const Run* open) const {
        std::map<std::string, HostFigures> now = hosts_;
        if (open == nullptr) return now;
        HostFigures& figures = now[open->settings.address];
        figures.requests += open->requests;
        figures.replies += open->replies;
        if (open->outage) {
            ++figures.outages;
            figures.down_ms += open->end_ms() - open->outage->start_ms;
        }
        return now;
    }

private:
    const FollowOptions& options_;
    std::map<std::string, HostFigures> hosts_;
};

}  // namespace

void follow(const FollowOptions& options) {
    FollowSink sink(options);
    LogScanner scanner(sink);
    std::vector<char> buffer(1 << 16);
    std::FILE* file = nullptr;
    os::FileIdentity opened;
    uint64_t offset = 0;
    std::string metrics_failure;
    for (bool first = true;; first = false) {
        bool read = false;
        if (file == nullptr && (file = std::fopen(options.path.c_str(), "rb")) != nullptr) {
            opened = os::identify(file);
            offset = 0;
            scanner.begin_file(options.path);
        }
        // Read to the end; then a file replaced at the path (rotated) or cut
        // shorter (truncated) is read anew from its start.
        for (int pass = 0; file != nullptr && pass < 2; ++pass) {
            std::size_t got;
            while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
                scanner.feed(buffer.data(), got);
                offset += got;
                read = true;
            }
            std::clearerr(file);
            os::FileIdentity at_path = os::identify(options.path);
            bool replaced = at_path.exists && !at_path.same_file(opened);
            bool truncated = at_path.same_file(opened) && at_path.size < offset;
            if (pass == 0 && (replaced || truncated)) continue;  // what came meanwhile first
            if (replaced || truncated) {
                scanner.end_of_file();
                std::fclose(file);
                file = nullptr;
            }
            break;
        }
        // What the log held when following began is the past: it sets the
        // state, and only what comes after is told.
        if (first) sink.live = true;
        if ((read || first) && options.metrics) {
            std::string why = write_metrics(*options.metrics, sink.figures(scanner.current()));
            if (!why.empty() && why != metrics_failure) {
                std::fprintf(stderr, "qelvor-log: %s: %s\n", options.metrics->c_str(), why.c_str());
            }
            metrics_failure = why;
        }
        os::reap_commands();
        if (file == nullptr || !read) os::sleep_ms(poll_ms);
    }
}

}  // namespace qlog
