// Any argument vector, read as a user might type it: the parse must never
// crash, must only accept settings the probe cycle can honour, and must stay
// silent when it accepts. Accepted lines asking for a short run are then run
// whole against a host that always answers, and must end with a clean summary.
//
// Input: the arguments after the program name, separated by NUL bytes.

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/run_settings.h"
#include "fake_platform.h"
#include "output/output_channel.h"

namespace {

constexpr std::size_t max_pieces = 20;
constexpr int max_program_arguments = 15;  // the program name and 14 more
constexpr uint32_t longest_run = 50;       // requests; longer runs are not worth the time

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// What strtoul gives where unsigned long has 32 bits, built from the C
// library's 64-bit reading of the digits alone.
bool expected_number(const char* text, uint32_t* value) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') {
        *value = 0;
        return *text == '\0';
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long magnitude = std::strtoull(p, &end, 10);
    uint32_t clamped = errno == ERANGE || magnitude > 0xFFFFFFFFull
                           ? 0xFFFFFFFFu
                           : static_cast<uint32_t>(magnitude);
    *value = negative ? 0u - clamped : clamped;
    return *end == '\0';
}

void check_number(const std::string& piece) {
    uint32_t value = 12345;
    uint32_t expected = 54321;
    bool read = read_number(piece.c_str(), &value);
    bool should_read = expected_number(piece.c_str(), &expected);
    if (read != should_read || value != expected) fail("read_number differs for", piece);
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) text += argument + ' ';
    return text;
}

void check_run(const std::vector<std::string>& arguments) {
    const std::string shown = joined(arguments);
    uint32_t count = run_settings.request_count;
    uint32_t target = run_settings.target_address;

    fake::reset();  // every request is answered at once
    int status = fake::run(arguments);

    if (arguments.size() > static_cast<std::size_t>(max_program_arguments)) {
        if (status != 1 || !fake::world.sent.empty()) fail("overlong line ran:", shown);
        return;
    }
    if (status != 0) fail("accepted line ended with a failure:", shown);
    if (!fake::world.errors.empty()) fail("error output from a clean run:", shown);
    if (fake::world.sent.size() != count) fail("wrong number of requests:", shown);
    for (const fake::SentRequest& request : fake::world.sent) {
        if (request.address != target) fail("request sent elsewhere:", shown);
    }
    char summary[128];
    std::snprintf(summary, sizeof summary, "Sent = %u, Received = %u, Lost = 0 (0.0 %%)\n", count,
                  count);
    const std::string& console = fake::world.console;
    if (console.size() < std::strlen(summary) ||
        console.compare(console.size() - std::strlen(summary), std::string::npos, summary) != 0) {
        fail("summary missing or wrong:", shown + "\n" + console);
    }
    if (run_settings.log_path[0] != '\0') {
        // The log holds the command line, then exactly what the console got.
        std::string expected_log = shown + "\n" + console;
        std::string log = fake::log_text(run_settings.log_path);
        if (log != expected_log) fail("log differs from console:", shown + "\n" + log);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"qelvor"};
    if (size > 0) {
        std::string piece;
        for (std::size_t i = 0; i <= size && arguments.size() <= max_pieces; ++i) {
            if (i == size || data[i] == '\0') {
                arguments.push_back(piece);
                piece.clear();
            } else {
                piece += static_cast<char>(data[i]);
            }
        }
    }
    for (std::size_t i = 1; i < arguments.size(); ++i) check_number(arguments[i]);

    fake::reset();
    output_channel.log = nullptr;
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ParseResult result = parse_command_line(static_cast<int>(arguments.size()), argv.data());
    output_channel.log = nullptr;

    const std::string shown = joined(arguments);
    if (result == ParseResult::log_open_failed && fake::world.errors.empty()) {
        fail("log open failure not reported:", shown);
    }
    if (result != ParseResult::accepted) return 0;

    uint32_t address = run_settings.target_address;
    if (address == 0 || address == 0xFFFFFFFFu) fail("accepted without a usable address:", shown);
    if (run_settings.period_ms > 1000) fail("period out of range:", shown);
    if (run_settings.wait_ms < 1 || run_settings.wait_ms > 5000) fail("wait out of range:", shown);
    if (run_settings.change_limit > 10) fail("change limit out of range:", shown);
    if (!fake::world.console.empty() || !fake::world.errors.empty()) {
        fail("accepted line wrote output:", shown);
    }
    bool address_given = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        address_given = address_given || inet_addr(arguments[i].c_str()) == address;
    }
    if (!address_given) fail("address not among the arguments:", shown);

    if (run_settings.request_count >= 1 && run_settings.request_count <= longest_run) {
        check_run(arguments);
    }
    return 0;
}
