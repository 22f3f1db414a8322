#include "log_reader/log_format.h"

#include <vector>

namespace qlog {

namespace {

constexpr std::string_view lost_prefix = "    ";
constexpr std::string_view lost_middle = " request(s) have been lost since the last reply ";
constexpr std::string_view packets_prefix = "    Packets: Sent = ";
constexpr std::string_view statistics_title = "qelvor statistics";
constexpr std::string_view send_failure = "sendto failed with error ";
constexpr std::string_view receive_failure = "recvfrom failed with error ";
constexpr int max_arguments = 14;          // after the program name
constexpr std::size_t max_log_path = 127;  // bytes

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the text left to right; a failed step leaves ok false for good.
struct Cursor {
    std::string_view rest;
    bool ok = true;

    bool literal(std::string_view text) {
        ok = ok && rest.starts_with(text);
        if (ok) rest.remove_prefix(text.size());
        return ok;
    }
    // Decimal digits, at least one, within 32 bits.
    uint32_t number() {
        uint64_t value = 0;
        std::size_t i = 0;
        for (; ok && i < rest.size() && is_digit(rest[i]) && i < 10; ++i) {
            value = value * 10 + static_cast<uint64_t>(rest[i] - '0');
        }
        ok = ok && i > 0 && value <= 0xFFFFFFFFu && (i == rest.size() || !is_digit(rest[i]));
        if (ok) rest.remove_prefix(i);
        return ok ? static_cast<uint32_t>(value) : 0;
    }
    int32_t signed_number() {
        bool negative = !rest.empty() && rest[0] == '-';
        if (negative) rest.remove_prefix(1);
        uint32_t magnitude = number();
        ok = ok && magnitude <= (negative ? 0x80000000u : 0x7FFFFFFFu);
        return negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
    }
    // Exactly `digits` digits.
    uint32_t fixed(int digits) {
        uint32_t value = 0;
        for (int i = 0; i < digits; ++i) {
            ok = ok && static_cast<std::size_t>(i) < rest.size() && is_digit(rest[i]);
            if (ok) value = value * 10 + static_cast<uint32_t>(rest[i] - '0');
        }
        if (ok) rest.remove_prefix(static_cast<std::size_t>(digits));
        return value;
    }
    bool done() const { return ok && rest.empty(); }
};

// "HH:MM:SS.mmm" as milliseconds.
uint32_t read_stamp(Cursor& in) {
    uint32_t hours = in.fixed(2);
    in.literal(":");
    uint32_t minutes = in.fixed(2);
    in.literal(":");
    uint32_t seconds = in.fixed(2);
    in.literal(".");
    uint32_t millis = in.fixed(3);
    in.ok = in.ok && hours < 24 && minutes < 60 && seconds < 60;
    return ((hours * 60 + minutes) * 60 + seconds) * 1000 + millis;
}

bool parse_outcome(std::string_view text, LogLine* line) {
    Cursor in{text};
    line->stamp_ms = read_stamp(in);
    in.literal(" [");
    line->request = in.number();
    in.literal("] ");
    if (!in.ok) return false;
    if (in.rest == "no reply.") {
        line->reply = false;
        return true;
    }
    line->reply = true;
    in.literal("reply from ");
    std::size_t end = in.rest.find(" ; rtt ");
    in.ok = in.ok && end != std::string_view::npos && end > 0;
    if (in.ok) in.rest.remove_prefix(end);
    in.literal(" ; rtt ");
    line->rtt_ms = in.number();
    in.literal(" ms.");
    return in.done();
}

// strtoul's reading, 32 bits: the whole text or nothing.
bool read_option_number(std::string_view text, uint32_t* value) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i == text.size() || !is_digit(text[i])) {
        *value = 0;
        return text.empty();
    }
    uint64_t magnitude = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > 0xFFFFFFFFu) magnitude = 0x100000000u;
    }
    uint32_t result = magnitude > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(magnitude);
    *value = negative ? 0u - result : result;
    return i == text.size();
}

// The classic dotted notation: one to four parts, each decimal, octal (0...)
// or hexadecimal (0x...), the last filling the remaining bytes.
bool read_address(std::string_view text, uint32_t* address) {
    uint32_t parts[4] = {};
    int count = 0;
    std::size_t i = 0;
    for (;;) {
        if (count == 4 || i == text.size() || !is_digit(text[i])) return false;
        uint32_t base = 10;
        if (text[i] == '0') {
            base = 8;
            ++i;
            if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) base = 16, ++i;
        }
        uint64_t value = 0;
        for (; i < text.size(); ++i) {
            char c = text[i];
            uint32_t digit = is_digit(c)            ? static_cast<uint32_t>(c - '0')
                             : c >= 'a' && c <= 'f' ? static_cast<uint32_t>(c - 'a' + 10)
                             : c >= 'A' && c <= 'F' ? static_cast<uint32_t>(c - 'A' + 10)
                                                    : 99;
            if (digit >= base) break;
            value = value * base + digit;
            if (value > 0xFFFFFFFFu) return false;
        }
        parts[count++] = static_cast<uint32_t>(value);
        if (i < text.size() && text[i] == '.') {
            ++i;
            continue;
        }
        if (i != text.size()) return false;
        break;
    }
    uint32_t value = parts[count - 1];
    uint32_t limit = count == 1 ? 0xFFFFFFFFu : (0xFFFFFFFFu >> (8 * (count - 1)));
    if (value > limit) return false;
    for (int k = 0; k < count - 1; ++k) {
        if (parts[k] > 255) return false;
        value |= parts[k] << (24 - 8 * k);
    }
    *address = value;
    return true;
}

// qelvor's own reading of its arguments: true when it accepts them.
bool read_arguments(const std::vector<std::string_view>& arguments, RunSettings* settings) {
    if (arguments.empty() || arguments.size() > max_arguments) return false;
    *settings = RunSettings{};
    uint32_t address = 0;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        if (argument == "-a" || argument == "-T") {
            (argument == "-a" ? settings->verbose : settings->time_of_day) = true;
            continue;
        }
        if (argument == "-n" || argument == "-p" || argument == "-w" || argument == "-Q" ||
            argument == "-o") {
            if (i + 1 == arguments.size()) return false;
            std::string_view value_text = arguments[++i];
            uint32_t value = 0;
            if (argument == "-o") {
                if (value_text.empty() || value_text.size() > max_log_path) return false;
                continue;
            }
            if (!read_option_number(value_text, &value)) return false;
            switch (argument[1]) {
                case 'n':
                    settings->count = value;
                    break;
                case 'p':
                    if (value > 1000) return false;
                    settings->period_ms = value;
                    break;
                case 'w':
                    if (value < 1 || value > 5000) return false;
                    settings->wait_ms = value;
                    break;
                default:
                    if (value > 10) return false;
                    settings->change_limit = value;
            }
            continue;
        }
        uint32_t parsed = 0;
        if (argument == "-h" || address != 0 || !read_address(argument, &parsed) ||
            parsed == 0xFFFFFFFFu) {
            return false;
        }
        address = parsed;
    }
    if (address == 0) return false;
    settings->address = std::to_string(address >> 24) + '.' +
                        std::to_string((address >> 16) & 255) + '.' +
                        std::to_string((address >> 8) & 255) + '.' + std::to_string(address & 255);
    return true;
}

// True when text starts as a line of a run does: what a torn line left.
bool starts_like_output(std::string_view text) {
    Cursor in{text};
    read_stamp(in);
    return in.ok || text.starts_with(lost_prefix) || text.starts_with(statistics_title) ||
           text.starts_with(send_failure) || text.starts_with(receive_failure);
}

// The header: the arguments after the program's path are ones qelvor
// accepts; the path itself may hold spaces, so the first split that works
// is taken.
bool parse_header(std::string_view text, Header* header) {
    if (text.empty() || text.back() != ' ') return false;
    std::vector<std::string_view> words;
    std::vector<std::size_t> starts;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find(' ', start);
        words.push_back(text.substr(start, end - start));
        starts.push_back(start);
        start = end + 1;
    }
    for (std::size_t first = 1; first < words.size(); ++first) {
        if (words.size() - first > max_arguments) continue;
        std::vector<std::string_view> arguments(words.begin() + static_cast<long>(first),
                                                words.end());
        if (!read_arguments(arguments, &header->settings)) continue;
        std::string_view program = text.substr(0, starts[first] - 1);
        header->torn_before = starts_like_output(program);
        std::size_t skipped = 0;
        if (header->torn_before) {
            // What came before the path is the torn line's: the path is taken
            // to be in the last word, from its first slash or drive letter.
            std::size_t space = program.rfind(' ');
            skipped = space == std::string_view::npos ? 0 : space + 1;
            std::size_t slash = program.find('/', skipped), drive = program.find(":\\", skipped);
            if (drive != std::string_view::npos && drive > skipped)
                skipped = drive - 1;
            else if (slash != std::string_view::npos)
                skipped = slash;
        }
        header->command = std::string(text.substr(skipped, text.size() - 1 - skipped));
        return true;
    }
    return false;
}

}  // namespace

bool has_binary(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return true;
    }
    return false;
}

LogLine parse_line(std::string_view text, Header* header) {
    LogLine line;
    if (text.empty()) {
        line.kind = LineKind::Empty;
        return line;
    }
    if (is_digit(text[0])) {
        if (parse_outcome(text, &line)) line.kind = LineKind::Outcome;
    } else if (text.starts_with(packets_prefix)) {
        Cursor in{text.substr(packets_prefix.size())};
        line.sent = in.number();
        in.literal(", Received = ");
        line.received = in.number();
        in.literal(", Lost = ");
        uint32_t lost = in.number();
        in.literal(" (");
        in.number();
        in.literal(".");
        in.fixed(1);
        in.literal(" %)");
        if (in.done() && lost == line.sent - line.received) line.kind = LineKind::Packets;
    } else if (text.starts_with(lost_prefix)) {
        Cursor in{text.substr(lost_prefix.size())};
        line.lost = in.number();
        in.literal(lost_middle);
        in.signed_number();
        in.literal(" ms ago.");
        if (in.done()) line.kind = LineKind::Lost;
    } else if (text == statistics_title) {
        line.kind = LineKind::StatisticsTitle;
    } else if (text.starts_with(send_failure) || text.starts_with(receive_failure)) {
        bool send = text.starts_with(send_failure);
        Cursor in{text.substr(send ? send_failure.size() : receive_failure.size())};
        line.error = in.signed_number();
        if (in.done()) line.kind = send ? LineKind::SendFailure : LineKind::ReceiveFailure;
    }
    if (line.kind == LineKind::Unknown && parse_header(text, header)) line.kind = LineKind::Header;
    return line;
}

}  // namespace qlog
