// How times, durations and shares are written.
#include "log_reader/report_text.h"

#include <algorithm>
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

std::string tenths_text(uint64_t tenths) {
    return std::to_string(tenths / 10) + '.' + std::to_string(tenths % 10);
}

std::string thousandths_text(uint64_t thousandths) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu",
                  static_cast<unsigned long long>(thousandths / 1000),
                  static_cast<unsigned long long>(thousandths % 1000));
    return text;
}

std::optional<uint64_t> availability(int64_t watched_ms, int64_t down_ms) {
    if (watched_ms <= 0) return std::nullopt;
    int64_t up = std::clamp<int64_t>(watched_ms - down_ms, 0, watched_ms);
    return static_cast<uint64_t>((up * 100000 + watched_ms / 2) / watched_ms);
}

std::size_t utf8_length(std::string_view text, std::size_t i) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) return 0;
    }
    return length;
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
