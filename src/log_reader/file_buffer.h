// What a file tells of its runs and outages, held back until the file has
// been read and its runs' dates are known, then told on with them. Runs are
// held in memory (a few per file), outages in memory up to a bound and in a
// temporary file past it, so that memory stays bounded however many there
// are (where a temporary file can be made). Requests are not held: a report
// that wants them reads a file twice instead (see main.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "log_reader/calendar.h"
#include "log_reader/log_scanner.h"
#include "log_reader/run_tracker.h"

namespace qlog {

class FileBuffer : public RunSink {
public:
    explicit FileBuffer(RunSink& next) : next_(next) {}
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;
    ~FileBuffer() override;
    void run_begins(const Run& run) override;
    void outage(const Run& run, const Outage& outage) override;
    void run_ends(const Run& run) override;
    // The file has been read: its runs are dated from its times, and all it
    // told is told on. A run still open (it may go on in the next file)
    // keeps its date in the scanner.
    void release(const FileTimes& file, LogScanner& scanner);
    // After the last file: what the runs still open told at their end.
    void release_rest();

private:
    struct Held {
        Run run;                 // as it began, then as it ended
        bool continued = false;  // begun in a file before: told already
        bool ended = false;
        uint64_t first_outage = 0, outages = 0;
    };
    Held& current(const Run& run);
    Outage outage_at(uint64_t index);
    void tell(Held& held, const Dating& date);

    RunSink& next_;
    std::vector<Held> runs_;
    std::vector<Outage> outages_;   // the first ones
    std::FILE* spilled_ = nullptr;  // the rest
    bool in_memory_ = false;        // no temporary file: the rest too
    uint64_t count_ = 0;
};

}  // namespace qlog
