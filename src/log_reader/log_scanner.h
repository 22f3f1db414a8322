// Reads logs as streams of bytes, in chunks of any size, and hands their
// lines and marks to the run tracker it holds. Memory stays bounded: a row
// of marks is counted as it comes, however long, and a text line longer than
// any qelvor writes is reported and skipped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "log_reader/run_tracker.h"

namespace qlog {

class LogScanner {
public:
    // Messages about the input, "file:line: text", go to messages (none
    // when null).
    explicit LogScanner(RunSink& sink, std::FILE* messages = stderr);
    LogScanner(const LogScanner&) = delete;
    LogScanner& operator=(const LogScanner&) = delete;

    // The next bytes are those of this file, from its first line.
    void begin_file(std::string name);
    void feed(const char* data, std::size_t size);
    // The end of one file: a line without its line end is taken as it is.
    void end_of_file();
    // No more input: the run still open ends.
    void finish() { tracker_.finish(); }

    // The run still open, if any.
    const Run* current() const { return tracker_.current(); }
    // See RunTracker::date_next_runs.
    void date_next_runs(std::deque<Dating> dates, Dating otherwise) {
        tracker_.date_next_runs(std::move(dates), std::move(otherwise));
    }
    void date_current(Dating date) { tracker_.date_current(std::move(date)); }
    // How many messages the input drew: lines skipped or read with a doubt.
    uint64_t complaints() const { return complaints_; }

private:
    void complain(std::string_view text);
    void text_line(std::string_view text);
    void line_end();
    void flush_dots(uint64_t keep);

    RunTracker tracker_;
    std::FILE* messages_;
    std::string file_;
    uint64_t line_ = 1;
    uint64_t complaints_ = 0;
    std::string pending_;       // the text of a line that has not ended yet
    uint64_t dots_ = 0;         // "." that may yet turn out to start a path (two at most)
    bool after_marks_ = false;  // the line began with marks
    bool skipping_ = false;     // too long: the rest is dropped
    bool at_end_ = false;       // the file ended without a line end
    Header header_;
};

}  // namespace qlog
