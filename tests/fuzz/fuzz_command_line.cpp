// Any argument vector (the arguments after the program name, separated by
// NUL bytes): every number must read as strtoull says, an accepted line must
// ask only for what the probe cycle can honour and say nothing, and a short
// accepted run against a host that always answers must end cleanly.
#include <arpa/inet.h>

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
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// What strtoul gives where unsigned long has 32 bits, from the C library's
// 64-bit reading of the digits alone.
void check_number(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string::npos) start = text.size();
    bool negative = text[start] == '-';
    if (text[start] == '+' || negative) ++start;
    uint32_t expected = 0;
    bool whole = text.empty();
    if (start < text.size() && text[start] >= '0' && text[start] <= '9') {
        char* end = nullptr;
        errno = 0;
        unsigned long long magnitude = std::strtoull(text.c_str() + start, &end, 10);
        expected = errno == ERANGE || magnitude > 0xFFFFFFFFull ? 0xFFFFFFFFu
                                                                : static_cast<uint32_t>(magnitude);
        expected = negative ? 0u - expected : expected;
        whole = *end == '\0';
    }
    uint32_t value = 12345;
    check(read_number(text.c_str(), &value) == whole && (!whole || value == expected),
          "read_number differs from strtoull");
}

void check_line(std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) check_number(arguments[i]);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    fake::reset();
    ParseResult result = parse_command_line(static_cast<int>(argv.size()), argv.data());
    check(result != ParseResult::LogOpenFailed || !fake::world.errors.empty(),
          "a log open failure not reported");
    if (result != ParseResult::Accepted) return;
    check(fake::world.console.empty() && fake::world.errors.empty(), "an accepted line wrote");
    uint32_t count = run_settings().request_count;
    if (count == 0 || count > 50) return;
    fake::reset();
    check(fake::run(arguments) == (arguments.size() > 15 ? 1 : 0), "the wrong exit status");
    if (arguments.size() > 15) return;
    const RunSettings& settings = run_settings();
    check(settings.period_ms <= 1000 && settings.wait_ms >= 1 && settings.wait_ms <= 5000 &&
              settings.change_limit <= 10,
          "a value out of range accepted");
    check(fake::world.errors.empty(), "an accepted run reported an error");
    check(fake::world.sent.size() == settings.request_count, "the wrong number of requests");
    std::string summary = "Sent = " + std::to_string(fake::world.sent.size());
    check(fake::world.console.find(summary) != std::string::npos, "summary missing");
    return;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"qelvor", ""};
    for (std::size_t i = 0; i < size && arguments.size() <= 20; ++i) {
        if (data[i] == '\0') {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    check_line(arguments);
    output_begin();  // closes what a refused line left open
    return 0;
}
