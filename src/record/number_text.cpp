// strtoul's reading of a value, in 32 bits.
#include "record/number_text.h"

namespace record {

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool read_number(std::string_view text, uint32_t* value) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || !is_digit(text[i])) {
        // Nothing read: the end rests on the first character, so only the
        // empty text counts as wholly read.
        *value = 0;
        return text.empty();
    }
    uint64_t magnitude = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > 0xFFFFFFFFu) magnitude = 0x100000000u;  // too large stays too large
    }
    uint32_t result = magnitude > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(magnitude);
    *value = negative ? 0u - result : result;
    return i == text.size();
}

}  // namespace record
