// One line of a log read against the record's own texts (src/record/):
// what kind of line it is and the facts it states.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "record/line_text.h"

namespace qlog {

constexpr bool is_mark(char c) { return c == record::reply_mark || c == record::no_reply_mark; }

// The run's settings, as its command line gave them (qelvor's defaults
// otherwise).
struct RunSettings {
    std::string address;  // dotted decimal; empty when no header told it
    bool verbose = false;
    bool time_of_day = false;
    uint32_t count;
    uint32_t period_ms;
    uint32_t wait_ms;
    uint32_t change_limit;
    std::string log_path;  // the last -o's
    RunSettings();         // qelvor's defaults
};

// The header line: the command line as typed, every argument followed by
// one space.
struct Header {
    std::string command;  // without the last space
    RunSettings settings;
    bool torn_before = false;  // glued onto the torn start of another line
};

enum class LineKind {
    Empty,
    Header,
    Outcome,
    Lost,
    SendFailure,
    ReceiveFailure,
    StatisticsTitle,
    Packets,
    Torn,  // the start of a line of a run, cut short
    Unknown,
};

struct LogLine {
    LineKind kind = LineKind::Unknown;
    uint32_t stamp_ms = 0;     // Outcome: the stamp, within one day
    uint64_t request = 0;      // Outcome: the request number
    bool reply = false;        // Outcome
    uint32_t rtt_ms = 0;       // Outcome with a reply
    uint64_t lost = 0;         // Lost: requests lost since the last reply
    uint64_t ago_ms = 0;       // Lost: how long before this request's send the last reply came
    int32_t error = 0;         // SendFailure, ReceiveFailure
    uint64_t sent = 0;         // Packets
    uint64_t received = 0;     // Packets
    uint64_t loss_tenths = 0;  // Packets: the loss it shows
};

// One line without its line end (LF, CR LF). A Header fills *header.
LogLine parse_line(std::string_view line, Header* header);

// True when the text holds a byte that no qelvor log holds: a control
// character other than a tab.
bool has_binary(std::string_view text);

// The classic dotted reading of an IPv4 address, as inet_addr reads an
// argument: one to four parts, each decimal, octal (0...) or hexadecimal
// (0x...), the last filling the remaining bytes. The address in host order.
bool read_address(std::string_view text, uint32_t* address);

}  // namespace qlog
