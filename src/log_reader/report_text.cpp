#include "log_reader/report_text.h"

#include <cmath>
#include <cstdio>

namespace qlog {

std::string clock_text(int64_t ms) {
    char text[40];
    const char* sign = ms < 0 ? "-" : "";
    uint64_t value = static_cast<uint64_t>(ms < 0 ? -ms : ms);
    std::snprintf(text, sizeof text, "%s%02llu:%02llu:%02llu.%03llu", sign,
                  static_cast<unsigned long long>(value / 3600000),
                  static_cast<unsigned long long>(value / 60000 % 60),
                  static_cast<unsigned long long>(value / 1000 % 60),
                  static_cast<unsigned long long>(value % 1000));
    return text;
}

std::string duration_text(int64_t ms) {
    std::string text = clock_text(ms);
    return text[0] == '0' && text[1] != ':' ? text.substr(1) : text;
}

uint64_t loss_tenths(uint64_t sent, uint64_t received) {
    if (sent == 0 || sent <= received) return 0;
    // The percentage is a float before it is shown, and an exact half of a
    // tenth rounds up.
    auto percent = static_cast<float>(static_cast<double>(sent - received) /
                                      static_cast<double>(sent) * 100.0);
    return static_cast<uint64_t>(std::floor(static_cast<double>(percent) * 10.0 + 0.5));
}

std::string tenths_text(uint64_t tenths) {
    return std::to_string(tenths / 10) + '.' + std::to_string(tenths % 10);
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace qlog
