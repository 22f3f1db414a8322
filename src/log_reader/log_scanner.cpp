// Lines and rows of marks out of a stream of bytes.
#include "log_reader/log_scanner.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

namespace qlog {

namespace {

// Longer than any line qelvor writes (a header of 15 arguments with a long
// program path); such a line is none of its own.
constexpr std::size_t max_line = 8192;

// Where a row of one mark ends: compared eight bytes at a time, since a
// year of a watch is one row of 30 million marks.
const char* row_end(const char* p, const char* end, char mark) {
    const uint64_t pattern = 0x0101010101010101u * static_cast<unsigned char>(mark);
    auto differs = [&](const char* at) {
        uint64_t word;
        std::memcpy(&word, at, sizeof word);
        return word ^ pattern;
    };
    while (end - p >= 32 &&
           (differs(p) | differs(p + 8) | differs(p + 16) | differs(p + 24)) == 0) {
        p += 32;
    }
    while (end - p >= 8) {
        uint64_t x = differs(p);
        if (x != 0) {
            if constexpr (std::endian::native == std::endian::little) {
                return p + std::countr_zero(x) / 8;
            }
            return p + std::countl_zero(x) / 8;
        }
        p += 8;
    }
    while (p < end && *p == mark) ++p;
    return p;
}

}  // namespace

LogScanner::LogScanner(RunSink& sink, std::FILE* messages)
    : tracker_(sink, [this](std::string_view text) { complain(text); }), messages_(messages) {}

void LogScanner::begin_file(std::string name) {
    file_ = std::move(name);
    line_ = 1;
}

void LogScanner::complain(std::string_view text) {
    ++complaints_;
    if (messages_ == nullptr) return;
    std::fprintf(messages_, "%s:%llu: %.*s\n", file_.c_str(),
                 static_cast<unsigned long long>(line_), static_cast<int>(text.size()),
                 text.data());
}

// Dots held back are marks after all, but for the last keep.
void LogScanner::flush_dots(uint64_t keep) {
    if (dots_ <= keep) return;
    tracker_.marks(record::no_reply_mark, dots_ - keep);
    after_marks_ = true;
    dots_ = keep;
}

void LogScanner::text_line(std::string_view text) {
    while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty()) return;
    LogLine line = parse_line(text, &header_);
    if (line.kind == LineKind::Unknown || line.kind == LineKind::Torn ||
        (after_marks_ && line.kind != LineKind::Header)) {
        complain(has_binary(text)              ? "bytes that are not text"
                 : at_end_                     ? "a last line cut short"
                 : line.kind == LineKind::Torn ? "a line cut short"
                                               : "not a line of a qelvor log");
        return;
    }
    tracker_.line(line, header_);
}

void LogScanner::line_end() {
    ++line_;
    after_marks_ = false;
    skipping_ = false;
}

void LogScanner::feed(const char* data, std::size_t size) {
    const char* p = data;
    const char* end = data + size;
    while (p < end) {
        if (dots_ > 0 && *p != record::no_reply_mark) {
            // A program path such as "./qelvor", "../build/qelvor" or
            // ".\\qelvor.exe" starts a header, not a row of no-reply marks;
            // the dots before its own stay marks.
            uint64_t own = *p == '/' || *p == '\\' ? std::min<uint64_t>(dots_, 2) : 0;
            dots_ -= own;
            flush_dots(0);
            pending_.assign(own, '.');
        }
        if (pending_.empty() && !skipping_ && is_mark(*p)) {
            const char* row = row_end(p, end, *p);
            if (*p == record::no_reply_mark) {
                // The last two are told once the next byte is seen.
                dots_ += static_cast<uint64_t>(row - p);
                flush_dots(2);
            } else {
                tracker_.marks(*p, static_cast<uint64_t>(row - p));
                after_marks_ = true;
            }
            p = row;
            continue;
        }
        auto* newline =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* stop = newline != nullptr ? newline : end;
        if (!skipping_ && newline != nullptr && pending_.empty() &&
            static_cast<std::size_t>(stop - p) <= max_line) {
            text_line(std::string_view(p, static_cast<std::size_t>(stop - p)));
        } else if (!skipping_) {
            std::size_t piece = static_cast<std::size_t>(stop - p);
            if (pending_.size() + piece > max_line) {
                complain("a line longer than any qelvor writes");
                pending_.clear();
                skipping_ = true;
            } else {
                pending_.append(p, piece);
                if (newline != nullptr) text_line(pending_);
            }
        }
        if (newline == nullptr) return;
        pending_.clear();
        line_end();
        p = newline + 1;
    }
}

void LogScanner::end_of_file() {
    flush_dots(0);
    at_end_ = true;
    if (!pending_.empty() && !skipping_) text_line(pending_);
    at_end_ = false;
    pending_.clear();
    after_marks_ = false;
    skipping_ = false;
}

}  // namespace qlog
