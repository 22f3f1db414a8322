// Reads a log as a stream of bytes, in chunks of any size, and hands its
// lines and marks to a RunTracker. Memory stays bounded: a row of marks is
// counted as it comes, however long, and a text line longer than any qelvor
// writes is reported and skipped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "log_reader/run_tracker.h"

namespace qlog {

// Messages about the input, "file:line: text", on standard error unless
// another stream (or none) is named.
struct Place {
    std::string file;
    uint64_t line = 1;
    uint64_t messages = 0;
    std::FILE* out = stderr;
    void complain(std::string_view text);
};

class LogScanner {
public:
    LogScanner(RunTracker& tracker, Place& place) : tracker_(tracker), place_(place) {}
    void feed(const char* data, std::size_t size);
    // The end of one file: a line without its line end is taken as it is.
    void end_of_file();

private:
    void text_line(std::string_view text);
    void line_end();

    RunTracker& tracker_;
    Place& place_;
    std::string pending_;       // the text of a line that has not ended yet
    bool after_marks_ = false;  // the line began with marks
    bool skipping_ = false;     // too long: the rest is dropped
    bool at_end_ = false;       // the file ended without a line end
    Header header_;
};

}  // namespace qlog
