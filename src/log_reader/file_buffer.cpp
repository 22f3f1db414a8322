// Runs and outages held until their file's dates are known.
#include "log_reader/file_buffer.h"

namespace qlog {

namespace {

constexpr std::size_t kept_in_memory = 1 << 14;  // outages, about 1 MB

// An outage as the temporary file holds it.
struct Record {
    uint64_t first_request, last_request;
    int64_t start_ms, end_ms, last_reply_ms;
    uint8_t has_end, has_last_reply;
};

}  // namespace

FileBuffer::~FileBuffer() {
    if (spilled_ != nullptr) std::fclose(spilled_);
}

FileBuffer::Held& FileBuffer::current(const Run& run) {
    // A run that began in a file before goes on here.
    if (runs_.empty() || runs_.back().run.number != run.number)
        runs_.push_back(Held{run, true, false, count_, 0});
    return runs_.back();
}

void FileBuffer::run_begins(const Run& run) { runs_.push_back(Held{run, false, false, count_, 0}); }

void FileBuffer::outage(const Run& run, const Outage& outage) {
    ++current(run).outages;
    ++count_;
    // Where no temporary file can be made (tmpfile() on Windows wants the
    // root of the drive), they stay in memory.
    if (outages_.size() < kept_in_memory || in_memory_) {
        outages_.push_back(outage);
        return;
    }
    if (spilled_ == nullptr) spilled_ = std::tmpfile();
    if (spilled_ == nullptr) {
        in_memory_ = true;
        outages_.push_back(outage);
        return;
    }
    Record record{outage.first_request,
                  outage.last_request,
                  outage.start_ms,
                  outage.end_ms.value_or(0),
                  outage.last_reply_ms.value_or(0),
                  outage.end_ms.has_value(),
                  outage.last_reply_ms.has_value()};
    // One that cannot be written (a full disk) loses them: said as they are read back.
    std::fwrite(&record, sizeof record, 1, spilled_);
}

void FileBuffer::run_ends(const Run& run) {
    Held& held = current(run);
    held.run = run;
    held.ended = true;
}

Outage FileBuffer::outage_at(uint64_t index) {
    if (index < outages_.size()) return outages_[index];
    Record record{};
    if (spilled_ == nullptr || std::fread(&record, sizeof record, 1, spilled_) != 1) {
        std::fputs("qelvor-log: outages lost: the temporary file could not be written\n", stderr);
        return Outage{};
    }
    Outage outage{record.first_request, record.last_request, record.start_ms, std::nullopt,
                  std::nullopt};
    if (record.has_end != 0) outage.end_ms = record.end_ms;
    if (record.has_last_reply != 0) outage.last_reply_ms = record.last_reply_ms;
    return outage;
}

void FileBuffer::tell(Held& held, const Dating& date) {
    held.run.date = date;
    if (!held.continued) next_.run_begins(held.run);
    for (uint64_t i = 0; i < held.outages; ++i)
        next_.outage(held.run, outage_at(held.first_outage + i));
    if (!held.ended) return;
    if (held.run.ending == Ending::Cut && date.running) held.run.ending = Ending::Running;
    next_.run_ends(held.run);
}

void FileBuffer::release(const FileTimes& file, LogScanner& scanner) {
    std::vector<Run> shapes;
    for (const Held& held : runs_) {
        const Run* open = scanner.current();
        shapes.push_back(held.ended || open == nullptr ? held.run : *open);
    }
    std::deque<Dating> dates = date_runs(shapes, file);
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        Held& held = runs_[i];
        // A run begun in a file before keeps the date that file gave it.
        if (!held.continued) held.run.date = dates[i];
        if (!held.ended && scanner.current() != nullptr) {
            // Open at the end of the file: told as far as it went.
            Dating date = held.run.date;
            held.run = *scanner.current();
            held.run.date = date;
            scanner.date_current(date);
        }
    }
    release_rest();
}

void FileBuffer::release_rest() {
    if (spilled_ != nullptr) std::rewind(spilled_);
    for (Held& held : runs_) tell(held, held.run.date);
    runs_.clear();
    outages_.clear();
    count_ = 0;
    if (spilled_ != nullptr) std::fclose(spilled_);
    spilled_ = nullptr;
    in_memory_ = false;
}

}  // namespace qlog
