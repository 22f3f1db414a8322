#include "app/command_line.h"

#include <cstring>

#include "output/output_channel.h"
#include "platform/platform.h"

namespace {

RunSettings settings;
// The -o path as given, terminated: 127 bytes at most.
char log_path[128];

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A number option's value, accepted when wholly read and within [low, high].
bool read_in_range(const char* text, uint32_t low, uint32_t high, uint32_t* value) {
    return read_number(text, value) && *value >= low && *value <= high;
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
        if (std::strcmp(argument, "-a") == 0) {
            settings.verbose = true;
            continue;
        }
        if (std::strcmp(argument, "-T") == 0) {
            settings.time_of_day = true;
            continue;
        }
        bool number_option = std::strcmp(argument, "-n") == 0 || std::strcmp(argument, "-p") == 0 ||
                             std::strcmp(argument, "-w") == 0 || std::strcmp(argument, "-Q") == 0;
        if (number_option || std::strcmp(argument, "-o") == 0) {
            // The next argument is the value, whatever it looks like.
            if (i + 1 >= argc) return ParseResult::Usage;
            const char* value_text = argv[++i];
            uint32_t value = 0;
            switch (argument[1]) {
                case 'n':
                    if (!read_number(value_text, &value)) return ParseResult::Usage;
                    settings.request_count = value;
                    break;
                case 'p':
                    if (!read_in_range(value_text, 0, 1000, &value)) return ParseResult::Usage;
                    settings.period_ms = value;
                    break;
                case 'w':
                    if (!read_in_range(value_text, 1, 5000, &value)) return ParseResult::Usage;
                    settings.wait_ms = value;
                    break;
                case 'Q':
                    if (!read_in_range(value_text, 0, 10, &value)) return ParseResult::Usage;
                    settings.change_limit = static_cast<uint8_t>(value);
                    break;
                default: {
                    std::size_t length = std::strlen(value_text);
                    if (length >= sizeof log_path) return ParseResult::Usage;
                    std::memcpy(log_path, value_text, length + 1);
                    int error_number = output_open_log(log_path);
                    if (error_number != 0) {
                        report_failure("Log file open failed.", error_number);
                        return ParseResult::LogOpenFailed;
                    }
                    break;
                }
            }
            continue;
        }
        if (std::strcmp(argument, "-h") == 0) return ParseResult::Usage;
        // Anything else is the address. 0.0.0.0 counts as none given, so an
        // address after it is taken.
        if (settings.target_address != 0) return ParseResult::Usage;
        uint32_t address = platform::address_from_text(argument);
        if (address == platform::address_none) return ParseResult::Usage;
        settings.target_address = address;
    }
    if (settings.target_address == 0) return ParseResult::Usage;
    return ParseResult::Accepted;
}
