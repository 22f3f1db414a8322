// qelvor-log: reads qelvor's logs back as runs, outages, numbers and a
// picture, or follows one as it is written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_reader/csv_report.h"
#include "log_reader/follow.h"
#include "log_reader/log_scanner.h"
#include "log_reader/os.h"
#include "log_reader/svg_timeline.h"
#include "log_reader/table_report.h"

namespace {

constexpr const char* usage_text =
    "usage: qelvor-log [--csv outages|runs|requests] [--svg FILE] [FILE...]\n"
    "       qelvor-log --follow FILE|FOLDER [FILE|FOLDER...] [--on-change COMMAND]\n"
    "                  [--metrics FILE]\n"
    "Reads qelvor logs (standard input when no FILE is given) and tells each run's\n"
    "outages, counts and end, or follows a log that qelvor is writing. See qelvor-log(1).\n";

int usage_error(const char* why) {
    std::fprintf(stderr, "%sqelvor-log: %s\n", usage_text, why);
    return 1;
}

struct Options {
    std::optional<qlog::CsvKind> csv;
    std::optional<std::string> svg;
    qlog::FollowOptions follow;
    bool following = false;
    std::vector<std::string> files;
};

// Hands every sink everything.
class Both : public qlog::RunSink {
public:
    Both(RunSink& first, RunSink* second) : first_(first), second_(second) {}
    bool wants_each_request() const override { return first_.wants_each_request(); }
    void run_begins(const qlog::Run& run) override {
        first_.run_begins(run);
        if (second_ != nullptr) second_->run_begins(run);
    }
    void request(const qlog::Run& run, uint64_t request, int64_t time_ms, qlog::Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override {
        first_.request(run, request, time_ms, outcome, rtt_ms);
        if (second_ != nullptr) second_->request(run, request, time_ms, outcome, rtt_ms);
    }
    void outage(const qlog::Run& run, const qlog::Outage& outage) override {
        first_.outage(run, outage);
        if (second_ != nullptr) second_->outage(run, outage);
    }
    void run_ends(const qlog::Run& run) override {
        first_.run_ends(run);
        if (second_ != nullptr) second_->run_ends(run);
    }

private:
    RunSink& first_;
    RunSink* second_;
};

// Reads one file (or standard input, "-") through the scanner. False when it
// could not be read.
bool read_file(const std::string& name, qlog::LogScanner& scanner, qlog::Place& place,
               std::vector<char>& buffer) {
    bool standard_input = name == "-";
    std::FILE* file = standard_input ? stdin : std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "qelvor-log: %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // read straight into the buffer
    place.file = name;
    place.line = 1;
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
        scanner.feed(buffer.data(), got);
    bool failed = std::ferror(file) != 0;
    if (failed) std::fprintf(stderr, "qelvor-log: %s: %s\n", name.c_str(), std::strerror(errno));
    scanner.end_of_file();
    if (!standard_input) std::fclose(file);
    return !failed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        std::optional<std::string_view> value;
        if (!only_files && argument.starts_with("--") &&
            argument.find('=') != std::string_view::npos) {
            value = argument.substr(argument.find('=') + 1);
            argument = argument.substr(0, argument.find('='));
        }
        auto take_value = [&]() -> std::optional<std::string> {
            if (value) return std::string(*value);
            if (i + 1 < argc) return std::string(argv[++i]);
            return std::nullopt;
        };
        if (only_files || argument == "-" || !argument.starts_with("-")) {
            options.files.emplace_back(argv[i]);
        } else if (argument == "--") {
            only_files = true;
        } else if (argument == "-h" || argument == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (argument == "--csv") {
            std::optional<std::string> kind = take_value();
            if (!kind) return usage_error("--csv needs outages, runs or requests");
            if (*kind == "outages")
                options.csv = qlog::CsvKind::Outages;
            else if (*kind == "runs")
                options.csv = qlog::CsvKind::Runs;
            else if (*kind == "requests")
                options.csv = qlog::CsvKind::Requests;
            else
                return usage_error("--csv needs outages, runs or requests");
        } else if (argument == "--svg" || argument == "--follow" || argument == "--on-change" ||
                   argument == "--metrics") {
            std::optional<std::string> text = take_value();
            if (!text || text->empty()) return usage_error("an option lacks its value");
            if (argument == "--svg") options.svg = text;
            if (argument == "--follow")
                options.follow.paths.push_back(*text), options.following = true;
            if (argument == "--on-change") options.follow.on_change = text;
            if (argument == "--metrics") options.follow.metrics = text;
        } else {
            return usage_error(("unknown option " + std::string(argument)).c_str());
        }
    }
    if (options.following) {
        if (options.csv || options.svg) return usage_error("--follow writes no report");
        for (const std::string& file : options.files) options.follow.paths.push_back(file);
        qlog::follow(options.follow);
    }
    if (options.follow.on_change || options.follow.metrics) {
        return usage_error("--on-change and --metrics go with --follow");
    }

    qlog::TableReport table(stdout);
    std::optional<qlog::CsvReport> csv;
    if (options.csv) csv.emplace(stdout, *options.csv);
    qlog::SvgTimeline svg;
    if (options.svg && !svg.open(*options.svg)) {
        std::fprintf(stderr, "qelvor-log: %s: %s\n", options.svg->c_str(), std::strerror(errno));
        return 2;
    }
    Both sink(csv ? static_cast<qlog::RunSink&>(*csv) : table, options.svg ? &svg : nullptr);
    qlog::Place place;
    qlog::RunTracker tracker(sink, [&](std::string_view text) { place.complain(text); });
    qlog::LogScanner scanner(tracker, place);

    if (options.files.empty()) options.files.emplace_back("-");
    std::vector<char> buffer(1 << 18);
    int status = 0;
    for (const std::string& name : options.files) {
        if (name == "-") qlog::os::binary_input();
        if (!read_file(name, scanner, place, buffer)) status = 2;
    }
    tracker.finish();
    if (!csv) table.finish();
    if (options.svg && !svg.finish()) {
        std::fprintf(stderr, "qelvor-log: %s: %s\n", options.svg->c_str(), std::strerror(errno));
        status = 2;
    }
    if (std::fflush(stdout) != 0) status = 2;
    return status;
}
