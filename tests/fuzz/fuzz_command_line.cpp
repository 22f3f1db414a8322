// Any argument vector (the arguments after the program name, separated by
// NUL bytes): every number reads as strtoull says, and an accepted line asks
// only for what the probe cycle can honour and says nothing.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fake_platform.h"
#include "output/output_channel.h"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

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
    check(read_number(text.c_str(), &value) == whole && value == expected, "read_number");
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
    ParseResult result = parse_command_line(static_cast<int>(argv.size()), argv.data());
    const RunSettings& s = run_settings();
    check(result != ParseResult::LogOpenFailed || !fake::world.errors.empty(), "open unreported");
    check(result != ParseResult::Accepted ||
              (s.target_address != 0 && s.target_address != 0xFFFFFFFFu && s.period_ms <= 1000 &&
               s.wait_ms >= 1 && s.wait_ms <= 5000 && s.change_limit <= 10),
          "accepted out of range");
    check(result != ParseResult::Accepted || fake::world.errors.empty(), "accepted, reported");
    output_begin();  // closes what the line opened
    return 0;
}
