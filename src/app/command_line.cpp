#include "app/command_line.h"

#include <cstring>

#include "output/output_channel.h"
#include "platform/platform.h"

namespace {

RunSettings settings;
// The -o path as given, terminated: 127 bytes at most.
char log_path[128];

enum class Kind : uint8_t {
    Flag,     // no value: sets its field
    Number,   // the next argument, a number within the range
    LogFile,  // the next argument, a path: the log, opened at once
    Help,     // no value: the usage text
};

// Where an option's value lands.
enum class Field : uint8_t { None, Verbose, TimeOfDay, RequestCount, Period, Wait, ChangeLimit };

struct Option {
    char letter;  // the option is "-" and this letter, nothing more
    Kind kind;
    uint32_t low, high;  // a number's range
    Field field;
};

// Every option there is.
constexpr Option options[] = {
    {'a', Kind::Flag, 0, 0, Field::Verbose},
    {'T', Kind::Flag, 0, 0, Field::TimeOfDay},
    {'n', Kind::Number, 0, 0xFFFFFFFFu, Field::RequestCount},
    {'p', Kind::Number, 0, 1000, Field::Period},
    {'w', Kind::Number, 1, 5000, Field::Wait},
    {'Q', Kind::Number, 0, 10, Field::ChangeLimit},
    {'o', Kind::LogFile, 0, 0, Field::None},
    {'h', Kind::Help, 0, 0, Field::None},
};

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The option an argument names, or null for anything else (the address).
const Option* option_named(const char* argument) {
    if (argument[0] != '-' || argument[1] == '\0' || argument[2] != '\0') return nullptr;
    for (const Option& option : options) {
        if (option.letter == argument[1]) return &option;
    }
    return nullptr;
}

// No default: a field added without its case here draws a warning.
void store_setting(Field field, uint32_t value) {
    switch (field) {
        case Field::None:
            break;
        case Field::Verbose:
            settings.verbose = true;
            break;
        case Field::TimeOfDay:
            settings.time_of_day = true;
            break;
        case Field::RequestCount:
            settings.request_count = value;
            break;
        case Field::Period:
            settings.period_ms = value;
            break;
        case Field::Wait:
            settings.wait_ms = value;
            break;
        case Field::ChangeLimit:
            settings.change_limit = static_cast<uint8_t>(value);
            break;
    }
}

// Takes the -o path and opens it as the log: Accepted when it is open.
ParseResult open_log(const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= sizeof log_path) return ParseResult::Usage;
    std::memcpy(log_path, path, length + 1);
    int error_number = output_open_log(log_path);
    if (error_number == 0) return ParseResult::Accepted;
    report_failure("Log file open failed.", error_number);
    return ParseResult::LogOpenFailed;
}

}  // namespace

const RunSettings& run_settings() { return settings; }

bool read_number(const char* text, uint32_t* value) {
    const char* p = text;
    while (is_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!is_digit(*p)) {
        // Nothing read: the end rests on the first character, so only the
        // empty text counts as wholly read.
        *value = 0;
        return *text == '\0';
    }
    uint64_t magnitude = 0;
    bool too_large = false;
    for (; is_digit(*p); ++p) {
        if (too_large) continue;
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
        too_large = magnitude > 0xFFFFFFFFu;
    }
    uint32_t result = too_large ? 0xFFFFFFFFu : static_cast<uint32_t>(magnitude);
    *value = negative ? 0u - result : result;
    return *p == '\0';
}

ParseResult parse_command_line(int argc, char** argv) {
    std::memset(log_path, 0, sizeof log_path);
    settings.target_address = 0;
    settings.verbose = false;
    settings.time_of_day = false;
    settings.request_count = 3;
    settings.period_ms = 1000;
    settings.wait_ms = 5000;
    settings.change_limit = 0;

    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const Option* option = option_named(argument);
        if (option == nullptr) {
            // Anything else is the address. 0.0.0.0 counts as none given, so
            // an address after it is taken.
            if (settings.target_address != 0) return ParseResult::Usage;
            uint32_t address = platform::address_from_text(argument);
            if (address == platform::address_none) return ParseResult::Usage;
            settings.target_address = address;
            continue;
        }
        if (option->kind == Kind::Help) return ParseResult::Usage;
        uint32_t value = 0;
        if (option->kind != Kind::Flag) {
            // The next argument is the value, whatever it looks like.
            if (i + 1 >= argc) return ParseResult::Usage;
            const char* value_text = argv[++i];
            if (option->kind == Kind::LogFile) {
                ParseResult opened = open_log(value_text);
                if (opened != ParseResult::Accepted) return opened;
            } else if (!read_number(value_text, &value) || value < option->low ||
                       value > option->high) {
                return ParseResult::Usage;
            }
        }
        store_setting(option->field, value);
    }
    if (settings.target_address == 0) return ParseResult::Usage;
    return ParseResult::Accepted;
}
