// Reads one log line by matching it against the record's printf formats:
// what the watcher formats with those characters, the reader takes apart
// with the same ones.
#include "log_reader/log_line.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "record/number_text.h"
#include "record/options.h"
#include "record/stamp.h"

namespace qlog {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The character at i, or none past the end.
char at(std::string_view text, std::size_t i) { return i < text.size() ? text[i] : '\0'; }

enum class Match { No, Prefix, Whole };

// What the conversions of a format read, in order.
struct Fields {
    uint64_t numbers[6] = {};
    int count = 0;
    std::string_view text;  // the one %s
    void add(uint64_t value) {
        if (count < 6) numbers[count++] = value;
    }
};

// Digits as the format's conversion prints them: "%0Nu" exactly N digits,
// "%u" a 32-bit number, "%llu" a 64-bit one, "%d" a signed 32-bit one (its
// value kept modulo 2^64). Prefix when the text ends before a digit came, or
// before the fixed width was reached.
Match read_digits(std::string_view& rest, int width, bool wide, bool is_signed, Fields& fields) {
    std::size_t i = 0;
    bool negative = is_signed && at(rest, 0) == '-';
    if (negative) ++i;
    std::size_t first = i;
    uint64_t value = 0;
    for (; i < rest.size() && is_digit(rest[i]); ++i) {
        auto digit = static_cast<uint64_t>(rest[i] - '0');
        // Nineteen digits always fit in 64 bits; the twentieth may not.
        if (i - first >= 19 && (__builtin_mul_overflow(value, 10, &value) ||
                                __builtin_add_overflow(value, digit, &value))) {
            return Match::No;
        }
        if (i - first < 19) value = value * 10 + digit;
    }
    auto digits = static_cast<int>(i - first);
    uint64_t limit = wide        ? UINT64_MAX
                     : is_signed ? (negative ? 0x80000000u : 0x7FFFFFFFu)
                                 : 0xFFFFFFFFu;
    if (value > limit || (width > 0 && digits > width)) return Match::No;
    if (i == rest.size() && (digits == 0 || digits < width)) return Match::Prefix;
    if (digits == 0 || (width > 0 && digits != width)) return Match::No;
    fields.add(negative ? 0 - value : value);
    rest.remove_prefix(i);
    return Match::Whole;
}

// A format taken apart once: runs of literal characters between its
// conversions.
struct Piece {
    std::string_view literal;  // when not a conversion
    char conversion = 0;       // 'u', 'd' or 's'
    int width = 0;             // "%0Nu": exactly N digits
    bool wide = false;         // "%llu"
};

struct Pattern {
    std::vector<Piece> pieces;
    explicit Pattern(std::string_view format) {
        for (std::size_t f = 0; f < format.size();) {
            if (format[f] != '%') {
                std::size_t next = std::min(format.find('%', f), format.size());
                pieces.push_back(Piece{format.substr(f, next - f)});
                f = next;
            } else if (at(format, f + 1) == '%') {
                pieces.push_back(Piece{format.substr(f + 1, 1)});
                f += 2;
            } else {
                Piece piece;
                for (++f; is_digit(at(format, f)); ++f)
                    piece.width = piece.width * 10 + (format[f] - '0');
                piece.wide = format.substr(f, 2) == "ll";
                f += piece.wide ? 2 : 0;
                piece.conversion = at(format, f++);
                pieces.push_back(piece);
            }
        }
    }
};

// Matches text against a format: literal characters alike, each conversion
// read as above, "%s" a word (the sender's address), "%%" a percent sign.
// Prefix when the text is the start of such a line, cut short.
Match match(const Pattern& pattern, std::string_view text, Fields& fields) {
    std::string_view rest = text;
    for (const Piece& piece : pattern.pieces) {
        if (piece.conversion == 0) {
            std::size_t n = piece.literal.size();
            if (rest.size() >= n && std::memcmp(rest.data(), piece.literal.data(), n) == 0) {
                rest.remove_prefix(n);
                continue;
            }
            return piece.literal.starts_with(rest) ? Match::Prefix : Match::No;
        }
        if (piece.conversion == 's') {
            // The sender's address, dotted digits.
            std::size_t end = 0;
            while (end < rest.size() && (is_digit(rest[end]) || rest[end] == '.')) ++end;
            if (end == rest.size()) return Match::Prefix;
            if (end == 0) return Match::No;
            fields.text = rest.substr(0, end);
            rest.remove_prefix(end);
            continue;
        }
        Match read = read_digits(rest, piece.width, piece.wide, piece.conversion == 'd', fields);
        if (read != Match::Whole) return read;
    }
    return rest.empty() ? Match::Whole : Match::No;
}

// Every line a run writes, as the record has it.
const Pattern reply_line{record::reply.view()}, no_reply_line{record::no_reply.view()},
    lost_line{record::lost}, title_line{record::statistics_title}, packets_line{record::packets},
    send_failure_line{record::send_failure}, receive_failure_line{record::receive_failure};
const Pattern* const output_lines[] = {&reply_line,          &no_reply_line, &lost_line,
                                       &title_line,          &packets_line,  &send_failure_line,
                                       &receive_failure_line};

// True when text is the start of a line of a run, cut short.
bool is_cut_short(std::string_view text) {
    for (const Pattern* pattern : output_lines) {
        Fields ignored;
        if (match(*pattern, text, ignored) == Match::Prefix) return true;
    }
    return false;
}

// How much of the text's start is the start of a line of a run: what a
// line torn by a kill left before the next run's header, when that was
// written straight after it. Shorter than 7 characters is taken for none,
// so that a program named "qelvor..." is not taken for "qelvor statistics".
std::size_t torn_start(std::string_view text) {
    // No line is longer than the line buffer.
    std::size_t longest = std::min(text.size(), record::line_buffer_size);
    for (std::size_t length = longest; length >= 7; --length) {
        for (const Pattern* pattern : output_lines) {
            Fields ignored;
            if (match(*pattern, text.substr(0, length), ignored) != Match::No) return length;
        }
    }
    return 0;
}

// The places from which the rest of a header's words could not be read, by
// word, arguments read before and whether an address was among them: what
// follows is read alike whatever led there, so each place is tried once,
// however many -o paths could hold spaces.
struct Tried {
    std::vector<bool> failed;
    explicit Tried(std::size_t words) : failed(words * record::max_arguments * 2) {}
    std::vector<bool>::reference at(std::size_t from, std::size_t arguments, bool address) {
        return failed[(from * record::max_arguments + arguments) * 2 + (address ? 1 : 0)];
    }
};

bool read_rest(const std::vector<std::string_view>& words, std::size_t from, std::size_t arguments,
               RunSettings* settings, uint32_t* address, Tried& tried);

// qelvor's reading of its arguments: true when it accepts them. The words
// after an -o that nothing else can take are its path, spaces and all: the
// shortest path that leaves the rest acceptable is taken.
bool read_arguments(const std::vector<std::string_view>& words, std::size_t from,
                    std::size_t arguments, RunSettings* settings, uint32_t* address, Tried& tried) {
    if (arguments > record::max_arguments - 1) return false;
    if (from == words.size()) return *address != 0;
    if (tried.at(from, arguments, *address != 0)) return false;
    bool accepted = read_rest(words, from, arguments, settings, address, tried);
    if (!accepted) tried.at(from, arguments, *address != 0) = true;
    return accepted;
}

bool read_rest(const std::vector<std::string_view>& words, std::size_t from, std::size_t arguments,
               RunSettings* settings, uint32_t* address, Tried& tried) {
    std::string_view argument = words[from];
    const record::Option* option = record::option_named(argument);
    if (option == nullptr) {
        uint32_t parsed = 0;
        if (*address != 0 || !read_address(argument, &parsed) || parsed == 0xFFFFFFFFu)
            return false;
        *address = parsed;
        return read_arguments(words, from + 1, arguments + 1, settings, address, tried);
    }
    using record::OptionField;
    using record::OptionKind;
    switch (option->kind) {
        case OptionKind::Help:
            return false;
        case OptionKind::Flag:
            (option->field == OptionField::Verbose ? settings->verbose : settings->time_of_day) =
                true;
            return read_arguments(words, from + 1, arguments + 1, settings, address, tried);
        case OptionKind::LogFile:
            for (std::size_t last = from + 1; last < words.size(); ++last) {
                std::size_t length =
                    words[last].data() + words[last].size() - words[from + 1].data();
                if (length == 0 || length > record::max_log_path) break;
                RunSettings with_path = *settings;
                uint32_t with_address = *address;
                with_path.log_path = std::string(words[from + 1].data(), length);
                if (read_arguments(words, last + 1, arguments + 2, &with_path, &with_address,
                                   tried)) {
                    *settings = with_path;
                    *address = with_address;
                    return true;
                }
            }
            return false;
        case OptionKind::Number:
            break;
    }
    uint32_t value = 0;
    if (from + 1 == words.size() || !record::read_number(words[from + 1], &value) ||
        value < option->low || value > option->high) {
        return false;
    }
    switch (option->field) {
        case OptionField::RequestCount:
            settings->count = value;
            break;
        case OptionField::Period:
            settings->period_ms = value;
            break;
        case OptionField::Wait:
            settings->wait_ms = value;
            break;
        default:
            settings->change_limit = value;
    }
    return read_arguments(words, from + 2, arguments + 2, settings, address, tried);
}

// The header: the arguments after the program's path are ones qelvor
// accepts; the path itself may hold spaces, so the shortest program path
// that leaves acceptable arguments is taken. A line that is the start of an
// output line cut short is none, though a word in it may pass for a path.
bool parse_header(std::string_view text, Header* header) {
    if (text.empty() || text.back() != ' ' || is_cut_short(text)) return false;
    std::vector<std::string_view> words;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find(' ', start);
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    Tried tried(words.size());
    for (std::size_t first = 1; first < words.size(); ++first) {
        RunSettings settings;
        uint32_t address = 0;
        if (!read_arguments(words, first, 0, &settings, &address, tried)) continue;
        settings.address =
            std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 255) + '.' +
            std::to_string((address >> 8) & 255) + '.' + std::to_string(address & 255);
        header->settings = settings;
        std::string_view program = text.substr(0, words[first].data() - text.data() - 1);
        // A path has no start of its own: what precedes it is taken for a torn
        // line only when it reads as one.
        std::size_t skipped = torn_start(program);
        if (skipped == program.size()) skipped = 0;
        header->torn_before = skipped > 0;
        header->command = std::string(text.substr(skipped, text.size() - 1 - skipped));
        return true;
    }
    return false;
}

}  // namespace

RunSettings::RunSettings()
    : count(record::default_of(record::OptionField::RequestCount)),
      period_ms(record::default_of(record::OptionField::Period)),
      wait_ms(record::default_of(record::OptionField::Wait)),
      change_limit(record::default_of(record::OptionField::ChangeLimit)) {}

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
    Fields f;
    if (match(reply_line, text, f) == Match::Whole ||
        (f = Fields{}, match(no_reply_line, text, f) == Match::Whole)) {
        line.reply = f.count == 6;
        record::Stamp stamp{
            static_cast<uint16_t>(f.numbers[0]), static_cast<uint16_t>(f.numbers[1]),
            static_cast<uint16_t>(f.numbers[2]), static_cast<uint16_t>(f.numbers[3])};
        if (stamp.hours < 24 && stamp.minutes < 60 && stamp.seconds < 60) {
            line.kind = LineKind::Outcome;
            line.stamp_ms = record::ms_of(stamp);
            line.request = f.numbers[4];
            if (line.reply) line.rtt_ms = static_cast<uint32_t>(f.numbers[5]);
        }
    } else if (f = Fields{}, match(packets_line, text, f) == Match::Whole) {
        // The counts must add up and the loss be a percentage in tenths.
        if (f.numbers[2] == f.numbers[0] - f.numbers[1] && f.numbers[1] <= f.numbers[0] &&
            f.numbers[3] <= 100 && f.numbers[4] < 10) {
            line.kind = LineKind::Packets;
            line.sent = f.numbers[0];
            line.received = f.numbers[1];
            line.loss_tenths = f.numbers[3] * 10 + f.numbers[4];
        }
    } else if (f = Fields{}, match(lost_line, text, f) == Match::Whole) {
        line.kind = LineKind::Lost;
        line.lost = f.numbers[0];
        line.ago_ms = f.numbers[1];
    } else if (text == record::statistics_title) {
        line.kind = LineKind::StatisticsTitle;
    } else if (f = Fields{}, match(send_failure_line, text, f) == Match::Whole) {
        line.kind = LineKind::SendFailure;
        line.error = static_cast<int32_t>(f.numbers[0]);
    } else if (f = Fields{}, match(receive_failure_line, text, f) == Match::Whole) {
        line.kind = LineKind::ReceiveFailure;
        line.error = static_cast<int32_t>(f.numbers[0]);
    } else if (parse_header(text, header)) {
        line.kind = LineKind::Header;
    } else if (is_cut_short(text)) {
        line.kind = LineKind::Torn;
    }
    return line;
}

}  // namespace qlog
