// What qelvor writes to its log, line by line. This is the one place that
// knows the text: the rest of the reader deals in the facts parsed here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qlog {

// A repeated outcome in compact output: one character, no line end.
constexpr char reply_mark = '!';
constexpr char no_reply_mark = '.';
inline bool is_mark(char c) { return c == reply_mark || c == no_reply_mark; }

// Stamps show hours modulo 24.
constexpr int64_t day_ms = 86400000;
// A send refused for want of buffers is tried again: it does not end a run.
constexpr int32_t send_error_no_buffers = 10055;

// The run's settings, as its command line gave them (qelvor's defaults
// otherwise).
struct RunSettings {
    std::string address;  // dotted decimal
    bool verbose = false;
    bool time_of_day = false;
    uint32_t count = 3;
    uint32_t period_ms = 1000;
    uint32_t wait_ms = 5000;
    uint32_t change_limit = 0;
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
    Unknown,
};

struct LogLine {
    LineKind kind = LineKind::Unknown;
    uint32_t stamp_ms = 0;  // Outcome: the stamp, within one day
    uint32_t request = 0;   // Outcome: the request number, modulo 2^32
    bool reply = false;     // Outcome
    uint32_t rtt_ms = 0;    // Outcome with a reply
    uint32_t lost = 0;      // Lost: requests lost since the last reply
    int32_t error = 0;      // SendFailure, ReceiveFailure
    uint32_t sent = 0;      // Packets
    uint32_t received = 0;  // Packets
};

// One line without its line end (LF, CR LF). A Header fills *header.
LogLine parse_line(std::string_view line, Header* header);

// True when the text holds a byte that no qelvor log holds: a control
// character other than a tab.
bool has_binary(std::string_view text);

}  // namespace qlog
