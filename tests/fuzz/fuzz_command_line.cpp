// Any argument vector (the arguments after the program name, separated by
// NUL bytes) is read without a fault, and every number in it as strtoull
// reads it.
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fake_platform.h"
#include "output/output_channel.h"
#include "record/number_text.h"

namespace {

// What strtoul gives where unsigned long has 32 bits, from the C library's
// 64-bit reading of the digits alone.
void check_number(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\n\v\f\r");
    start = start == std::string::npos ? text.size() : start;
    bool negative = text[start] == '-';
    start += text[start] == '+' || negative;
    uint32_t expected = 0;
    bool whole = text.empty();
    if (text[start] >= '0' && text[start] <= '9') {
        char* end = nullptr;
        errno = 0;
        unsigned long long magnitude = std::strtoull(text.c_str() + start, &end, 10);
        expected = errno == ERANGE || magnitude > 0xFFFFFFFFull ? 0xFFFFFFFFu
                                                                : static_cast<uint32_t>(magnitude);
        expected = negative ? 0u - expected : expected;
        whole = *end == '\0';
    }
    uint32_t value = 12345;
    if (record::read_number(text, &value) != whole || value != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"qelvor", ""};
    for (std::size_t i = 0; i < size && arguments.size() <= 20; ++i) {
        if (data[i] == '\0') arguments.emplace_back();
        if (data[i] != '\0') arguments.back() += static_cast<char>(data[i]);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        check_number(argument);
        argv.push_back(argument.data());
    }
    fake::reset();
    qelvor::parse_command_line(static_cast<int>(argv.size()), argv.data());
    qelvor::output_begin();  // closes what the line opened
    return 0;
}
