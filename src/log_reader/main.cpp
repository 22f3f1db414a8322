// qelvor-log: reads qelvor's logs back as runs, outages, numbers and a
// picture, or follows one as it is written.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_reader/calendar.h"
#include "log_reader/csv_report.h"
#include "log_reader/file_buffer.h"
#include "log_reader/follow.h"
#include "log_reader/json_report.h"
#include "log_reader/log_scanner.h"
#include "log_reader/os.h"
#include "log_reader/period_report.h"
#include "log_reader/svg_timeline.h"
#include "log_reader/table_report.h"
#include "log_reader/window.h"

namespace {

constexpr const char* usage_text =
    "usage: qelvor-log [--csv outages|runs|requests | --json | --by day|hour]\n"
    "                  [--since WHEN] [--until WHEN] [--svg FILE|-] [FILE...]\n"
    "       qelvor-log --follow FILE|FOLDER [FILE|FOLDER...] [--on-change COMMAND]\n"
    "                  [--metrics FILE]\n"
    "       qelvor-log --version\n"
    "Reads qelvor logs (standard input when no FILE is given), compressed with gzip or not,\n"
    "oldest first, and tells each run's outages, counts and end, or follows a log that\n"
    "qelvor is writing. See qelvor-log(1).\n";

// Exit statuses.
constexpr int status_read = 0;        // everything was read
constexpr int status_usage = 1;       // the command line was not acceptable
constexpr int status_unreadable = 2;  // a file could not be read or written
constexpr int status_skipped = 3;     // everything was read, but lines were skipped or in doubt

int usage_error(const std::string& why) {
    std::fprintf(stderr, "%sqelvor-log: %s\n", usage_text, why.c_str());
    return status_usage;
}

int file_error(const std::string& name, int error) {
    std::fprintf(stderr, "qelvor-log: %s: %s\n", name.c_str(), std::strerror(error));
    return status_unreadable;
}

struct Options {
    std::optional<qlog::CsvKind> csv;
    bool json = false;
    std::optional<qlog::Period> by;
    std::optional<int64_t> since, until;
    std::optional<std::string> svg;
    qlog::FollowOptions follow;
    bool following = false;
    std::vector<std::string> files;
};

// Reads the command line into options; a message when it is not acceptable.
std::optional<std::string> parse_options(int argc, char** argv, Options& options) {
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
        } else if (argument == "--csv") {
            std::optional<std::string> kind = take_value();
            if (kind == "outages")
                options.csv = qlog::CsvKind::Outages;
            else if (kind == "runs")
                options.csv = qlog::CsvKind::Runs;
            else if (kind == "requests")
                options.csv = qlog::CsvKind::Requests;
            else
                return "--csv needs outages, runs or requests";
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--by") {
            std::optional<std::string> period = take_value();
            if (period == "day")
                options.by = qlog::Period::Day;
            else if (period == "hour")
                options.by = qlog::Period::Hour;
            else
                return "--by needs day or hour";
        } else if (argument == "--since" || argument == "--until") {
            std::optional<std::string> text = take_value();
            std::optional<int64_t> when = text ? qlog::parse_when(*text) : std::nullopt;
            if (!when) {
                return std::string(argument.substr(2)) +
                       " needs a date, 2026-12-07, or a date and time, 2026-12-07T10:00[:00] "
                       "(Z or +hh:mm after it for other than local time)";
            }
            (argument == "--since" ? options.since : options.until) = when;
        } else if (argument == "--svg" || argument == "--follow" || argument == "--on-change" ||
                   argument == "--metrics") {
            std::optional<std::string> text = take_value();
            if (!text || text->empty()) return "an option lacks its value";
            if (argument == "--svg") options.svg = text;
            if (argument == "--follow")
                options.follow.paths.push_back(*text), options.following = true;
            if (argument == "--on-change") options.follow.on_change = text;
            if (argument == "--metrics") options.follow.metrics = text;
        } else {
            return "unknown option " + std::string(argument);
        }
    }
    if (int(options.csv.has_value()) + int(options.json) + int(options.by.has_value()) +
            int(options.svg == "-") >
        1)
        return "--csv, --json, --by and --svg - each write to standard output: give one";
    if (options.following && (options.csv || options.svg || options.json || options.by ||
                              options.since || options.until))
        return "--follow writes no report";
    if (options.following)
        for (const std::string& file : options.files) options.follow.paths.push_back(file);
    if (!options.following && (options.follow.on_change || options.follow.metrics))
        return "--on-change and --metrics go with --follow";
    return std::nullopt;
}

// Logs given together are read oldest first, by when each was last written:
// logrotate's renaming and compressing keep that time, so "x.log*" is read
// in the order it was written whatever order the names come in. Standard
// input stays where it was given.
void oldest_first(std::vector<std::string>& files) {
    std::vector<std::pair<int64_t, std::string>> dated;
    for (const std::string& name : files)
        dated.emplace_back(name == "-" ? INT64_MAX : qlog::os::identify(name).modified_ns, name);
    std::stable_sort(dated.begin(), dated.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < files.size(); ++i) files[i] = dated[i].second;
}

// Reads one file (or standard input, "-"), compressed with gzip or not,
// through the scanner. Returns the errno when it could not be read, 0 when
// it was.
int read_file(const std::string& name, qlog::LogScanner& scanner, std::vector<char>& buffer,
              bool quiet = false) {
    bool standard_input = name == "-";
    if (standard_input) qlog::os::binary_input();
    // zlib reads a file that is not compressed as it is.
    errno = 0;
    gzFile gz = standard_input ? gzdopen(fileno(stdin), "rb") : gzopen(name.c_str(), "rb");
    if (gz == nullptr) return errno != 0 ? errno : ENOMEM;
    gzbuffer(gz, 1 << 17);
    scanner.begin_file(name);
    int got = 0;
    while ((got = gzread(gz, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0)
        scanner.feed(buffer.data(), static_cast<std::size_t>(got));
    int read_error = errno, zlib_error = Z_OK;
    std::string_view why = gzerror(gz, &zlib_error);  // "its name: what"
    if (std::size_t at = why.rfind(": "); at != std::string_view::npos) why.remove_prefix(at + 2);
    // A compressed file that ends inside its stream (cut short by a copy, or
    // still being written) was not read whole, whatever it gave.
    bool whole = got == 0 && zlib_error != Z_BUF_ERROR;
    if (!whole && !quiet) {
        std::fprintf(stderr, "qelvor-log: %s: %s\n", name.c_str(),
                     zlib_error == Z_ERRNO ? std::strerror(read_error) : std::string(why).c_str());
    }
    scanner.end_of_file();
    gzclose(gz);
    return whole ? 0 : -1;
}

// The runs of a file as a first reading finds them.
class Shapes : public qlog::RunSink {
public:
    void run_ends(const qlog::Run& run) override { runs.push_back(run); }
    std::vector<qlog::Run> runs;
};

// What a file tells of when its runs were.
qlog::FileTimes file_times(const std::string& name) {
    qlog::FileTimes times;
    qlog::os::FileIdentity file = qlog::os::identify(name);
    if (name == "-" || !file.exists) {
        times.unknown = name == "-" ? "date unknown (read from standard input)"
                                    : "date unknown (the file's times could not be read)";
        return times;
    }
    times.running = qlog::os::held_by_watcher(name, file);
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    times.end_ms = times.running ? now : file.modified_ns / 1000000;
    if (file.born_ns != 0 && file.born_ns <= file.modified_ns)
        times.born_ms = file.born_ns / 1000000;
    return times;
}

// A file's runs are dated only once its end is known, and reports that
// want every request are written as the log is read: for them each file is
// read twice, first quickly for the shape of its runs (rows of marks
// counted in one step, nothing told per request), then for the reports,
// with every run's date known as it begins. Memory stays bounded whatever
// the length of the log (a record per run is kept, nothing per request or
// outage). Standard input is read once and not dated.
void date_runs_of(const std::string& name, qlog::LogScanner& scanner, std::vector<char>& buffer) {
    qlog::FileTimes times = file_times(name);
    qlog::Dating otherwise;
    otherwise.unknown = times.unknown.empty() ? "date unknown" : times.unknown;
    std::deque<qlog::Dating> dates;
    if (name != "-") {
        Shapes shapes;
        qlog::LogScanner first(shapes, nullptr);
        if (read_file(name, first, buffer, true) == 0) {
            first.finish();
            dates = qlog::date_runs(shapes.runs, times);
            // A run cut at the end of the file before goes on here: it keeps
            // its date.
            if (scanner.current() != nullptr && !shapes.runs.empty() &&
                !shapes.runs.front().has_header)
                dates.pop_front();
        }
    }
    scanner.date_next_runs(std::move(dates), otherwise);
}

// Hands every sink everything.
class Fan : public qlog::RunSink {
public:
    void add(RunSink& sink) { sinks_.push_back(&sink); }
    bool wants_each_request() const override {
        return std::any_of(sinks_.begin(), sinks_.end(),
                           [](const RunSink* sink) { return sink->wants_each_request(); });
    }
    bool wants_requests() const override {
        return std::any_of(sinks_.begin(), sinks_.end(),
                           [](const RunSink* sink) { return sink->wants_requests(); });
    }
    void run_begins(const qlog::Run& run) override {
        for (RunSink* sink : sinks_) sink->run_begins(run);
    }
    void request(const qlog::Run& run, uint64_t request, int64_t time_ms, qlog::Outcome outcome,
                 std::optional<uint32_t> rtt_ms) override {
        for (RunSink* sink : sinks_) sink->request(run, request, time_ms, outcome, rtt_ms);
    }
    void change(const qlog::Run& run, bool up, uint64_t request, int64_t time_ms,
                std::optional<int64_t> down_ms) override {
        for (RunSink* sink : sinks_) sink->change(run, up, request, time_ms, down_ms);
    }
    void outage(const qlog::Run& run, const qlog::Outage& outage) override {
        for (RunSink* sink : sinks_) sink->outage(run, outage);
    }
    void run_ends(const qlog::Run& run) override {
        for (RunSink* sink : sinks_) sink->run_ends(run);
    }

private:
    std::vector<RunSink*> sinks_;
};

// Reads the logs and writes the reports; the exit status.
int report(Options& options) {
    if (options.files.empty()) options.files.emplace_back("-");
    // What the reader writes never replaces what it reads.
    if (options.svg && options.svg != "-") {
        qlog::os::FileIdentity out = qlog::os::identify(*options.svg);
        for (const std::string& name : options.files) {
            if (name != "-" && out.same_file(qlog::os::identify(name))) {
                std::fprintf(stderr, "qelvor-log: %s: is also read; give --svg another file\n",
                             options.svg->c_str());
                return status_usage;
            }
        }
    }
    oldest_first(options.files);

    // One report on standard output, and the picture if asked.
    Fan reports;
    qlog::TableReport table(stdout);
    std::optional<qlog::CsvReport> csv;
    std::optional<qlog::JsonReport> json;
    std::optional<qlog::PeriodReport> periods;
    if (options.svg == "-") {
        // The picture takes standard output.
    } else if (options.csv) {
        reports.add(csv.emplace(stdout, *options.csv));
    } else if (options.json) {
        reports.add(json.emplace(stdout));
    } else if (options.by) {
        reports.add(periods.emplace(stdout, *options.by));
    } else {
        reports.add(table);
    }
    qlog::SvgTimeline svg;
    if (options.svg && !svg.open(*options.svg)) return file_error(*options.svg, errno);
    if (options.svg) reports.add(svg);
    std::optional<qlog::Window> window;
    if (options.since || options.until) window.emplace(reports, options.since, options.until);
    qlog::RunSink& told = window ? static_cast<qlog::RunSink&>(*window) : reports;
    // Runs are dated once their file has been read: reports that want no
    // request are told each file's runs then, the file read once; the others
    // read each file twice, first for where its runs lie.
    bool twice = told.wants_requests();
    qlog::FileBuffer held(told);
    qlog::LogScanner scanner(twice ? told : held);

    std::vector<char> buffer(1 << 18);
    int status = status_read;
    for (const std::string& name : options.files) {
        if (twice) date_runs_of(name, scanner, buffer);
        int error = read_file(name, scanner, buffer);
        if (!twice) held.release(file_times(name), scanner);
        if (error > 0) file_error(name, error);
        if (error != 0) status = status_unreadable;
    }
    scanner.finish();
    if (!twice) held.release_rest();
    uint64_t undated = window ? window->undated() : 0;
    if (json) json->finish();
    if (periods) periods->finish(undated);
    if (!csv && !json && !periods && options.svg != "-") table.finish(undated);
    if (options.svg && !svg.finish()) status = file_error(*options.svg, errno);
    if (std::fflush(stdout) != 0) status = file_error("standard output", errno);
    if (status == status_read && scanner.complaints() > 0) status = status_skipped;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage_text, stdout);
            return status_read;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("qelvor-log " QELVOR_VERSION);
            return status_read;
        }
    }
    Options options;
    if (std::optional<std::string> why = parse_options(argc, argv, options))
        return usage_error(*why);
    if (options.following) qlog::follow(options.follow);
    return report(options);
}
