// The command line qelvor takes: its options with their ranges and
// defaults, and its limits. qelvor reads its arguments by this table, and
// qelvor-log reads a log's header line (the command as typed) by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace record {

// The argument count, the program's path included.
constexpr int min_arguments = 2;   // the program and an address
constexpr int max_arguments = 15;  // the program and 14 more
// A log path holds at most this many bytes.
constexpr std::size_t max_log_path = 127;
// Every -o opens its file at once and holds it, so a command line can hold
// this many logs open (an address needs no argument of its own: a command
// line of only -o options ends in the usage text after opening them).
constexpr int max_logs = (max_arguments - 1) / 2;

enum class OptionKind : uint8_t {
    Flag,     // no value: sets its field
    Number,   // the next argument, a number within the range
    LogFile,  // the next argument, a path: the log, opened at once
    Help,     // no value: the usage text
};

// Where an option's value lands.
enum class OptionField : uint8_t {
    None,
    Verbose,       // -a: a line for every outcome instead of marks
    TimeOfDay,     // -T: stamps show the local time of day
    RequestCount,  // -n: requests to send; 0 sends until stopped
    Period,        // -p: ms from when one request is due to the next
    Wait,          // -w: ms one request waits for its reply
    ChangeLimit,   // -Q: end after this many changes of outcome; 0 = off
};

struct Option {
    char letter;  // the option is "-" and this letter, nothing more
    OptionKind kind;
    OptionField field;
    uint32_t low, high;      // a number's range
    uint32_t default_value;  // a number's value when the option is not given
};

// Every option there is.
constexpr Option options[] = {
    {'a', OptionKind::Flag, OptionField::Verbose, 0, 0, 0},
    {'T', OptionKind::Flag, OptionField::TimeOfDay, 0, 0, 0},
    {'n', OptionKind::Number, OptionField::RequestCount, 0, 0xFFFFFFFFu, 3},
    {'p', OptionKind::Number, OptionField::Period, 0, 1000, 1000},
    {'w', OptionKind::Number, OptionField::Wait, 1, 5000, 5000},
    {'Q', OptionKind::Number, OptionField::ChangeLimit, 0, 10, 0},
    {'o', OptionKind::LogFile, OptionField::None, 0, 0, 0},
    {'h', OptionKind::Help, OptionField::None, 0, 0, 0},
};

// The option an argument names, or null for anything else (an address).
const Option* option_named(std::string_view argument);

// The default of a number option's field.
uint32_t default_of(OptionField field);

}  // namespace record
