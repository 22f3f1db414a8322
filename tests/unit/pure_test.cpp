// The program's pure parts, one table each: number reading, the command
// line, the echo message and its reply rule, stamps, the summary's loss.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "fake_platform.h"
#include "platform/posix/arrival_time.h"
#include "probe/echo_message.h"
#include "record/loss.h"
#include "record/number_text.h"
#include "record/stamp.h"

namespace {

using namespace qelvor;

// clang-format off
TEST(Pure, ReadNumber) {
    struct { const char* text; bool read; uint32_t value; } cases[] = {
        {"0", true, 0}, {"7", true, 7}, {" \t\n7", true, 7}, {"+7", true, 7}, {"007", true, 7},
        {"4294967295", true, 4294967295u}, {"-1", true, 4294967295u}, {"-7", true, 4294967289u},
        {"4294967296", true, 4294967295u}, {"99999999999999999999999", true, 4294967295u},
        {"-4294967295", true, 1}, {"-4294967296", true, 1}, {"", true, 0}, {"7x", false, 7},
        {"x", false, 0}, {"7 ", false, 7}, {" ", false, 0}, {"-", false, 0}, {"0x10", false, 0},
        {"--1", false, 0}};
    for (const auto& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(record::read_number(c.text, &value) ? value : ~value, c.read ? c.value : ~c.value) << c.text;
    }
}

// Arguments after the program name, split at spaces ('' is an empty one),
// and the settings read: address, -a and -T, count, period, wait, limit.
TEST(Pure, CommandLine) {
    struct { const char* arguments; const char* settings; } cases[] = {
        {"127.0.0.10", "127.0.0.10 -- 3 1000 5000 0"},
        {"-a -T 127.0.0.10", "127.0.0.10 aT 3 1000 5000 0"},
        {"-n -1 127.0.0.10", "127.0.0.10 -- 4294967295 1000 5000 0"},
        {"-p 0 -w 1 -Q 10 1.2.3.4", "1.2.3.4 -- 3 0 1 10"},
        {"-p 1000 -w 5000 -Q 0 127.0.0.10", "127.0.0.10 -- 3 1000 5000 0"},
        {"-p -4294967296 -w -4294967295 -Q -4294967286 127.1", "127.0.0.1 -- 3 1 1 10"},
        {"-n '' -p '' 127.0.0.10", "127.0.0.10 -- 0 0 5000 0"},
        {"0.0.0.0 127.0.0.10", "127.0.0.10 -- 3 1000 5000 0"},
        {"-n 5 127.0.0.10 -n 6", "127.0.0.10 -- 6 1000 5000 0"},
        {"127.0.0.10 -p 1001", "usage"}, {"127.0.0.10 -w 0", "usage"},
        {"127.0.0.10 -w 5001", "usage"}, {"127.0.0.10 -w ''", "usage"},
        {"127.0.0.10 -Q 11", "usage"}, {"127.0.0.10 -n 10x", "usage"}, {"127.0.0.10 -n", "usage"},
        {"127.0.0.10 -o", "usage"}, {"127.0.0.10 -h", "usage"}, {"-h 127.0.0.10", "usage"},
        {"255.255.255.255", "usage"}, {"0.0.0.0", "usage"}, {"-a", "usage"},
        {"127.0.0.10 127.0.0.11", "usage"}, {"127.0.0.10 -A", "usage"}, {"localhost", "usage"},
        {"127.0.0.10 -n -n", "usage"}};
    for (const auto& c : cases) {
        std::vector<std::string> words = fake::words(std::string("qelvor ") + c.arguments);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        fake::reset();
        ParseResult result = parse_command_line(static_cast<int>(argv.size()), argv.data());
        const RunSettings& s = run_settings();
        char read[96];
        std::snprintf(read, sizeof read, "%s %c%c %u %u %u %u",
                      inet_ntoa(in_addr{s.target_address}), s.verbose ? 'a' : '-',
                      s.time_of_day ? 'T' : '-', s.request_count, s.period_ms, s.wait_ms,
                      s.change_limit);
        EXPECT_EQ(result == ParseResult::Accepted ? read : "usage", std::string(c.settings))
            << c.arguments;
    }
}
// clang-format on

// clang-format off
TEST(Pure, EchoRequestAndChecksum) {
    uint8_t message[26] = {};
    build_echo_request(message, 0x1234, 0x10001);  // the sequence is the low 16 bits
    EXPECT_EQ(std::vector<uint8_t>(message, message + 8), (std::vector<uint8_t>{8, 0, 0xE5, 0xCA, 0x12, 0x34, 0, 1}));
    const uint8_t carry[4] = {0xFF, 0xFF, 0x02, 0x55};  // an odd last byte as if a zero followed
    EXPECT_EQ(internet_checksum(carry, 4), 0xAAFD);
    EXPECT_EQ(internet_checksum(carry, 3), 0xFFFD);
}

TEST(Pure, ReplyRule) {
    uint8_t request[26] = {};
    build_echo_request(request, 0x1234, 7);
    std::vector<uint8_t> reply = fake::echo_reply_for(std::vector<uint8_t>(request, request + 26), 0);
    EXPECT_TRUE(is_echo_reply(reply.data(), 28, request));  // the header alone will do
    EXPECT_FALSE(is_echo_reply(reply.data(), 27, request));
    for (std::size_t offset : {20, 24, 25, 26, 27}) {  // type, identifier, sequence
        std::vector<uint8_t> other = reply;
        other[offset] ^= 1;
        EXPECT_FALSE(is_echo_reply(other.data(), other.size(), request)) << offset;
    }
    reply[21] = 3, reply[22] = 0;  // neither the code nor the checksum is examined
    EXPECT_TRUE(is_echo_reply(reply.data(), reply.size(), request));
}

// Stamps as HHMMSSmmm.
TEST(Pure, Stamps) {
    struct { uint64_t send_time, t0; bool time_of_day; uint32_t start_of_day, stamp; } cases[] = {
        {1000, 1000, false, 0, 0}, {1000 + 3723004, 1000, false, 0, 10203004}, {0x100000005u, 0xFFFFFFFBu, false, 0, 10},
        {1000 + 25 * 3600000u, 1000, false, 0, 10000000}, {2000, 1000, true, 86399500, 500},
        {1000, 1000, true, 45296789, 123456789}};
    for (const auto& c : cases) {
        uint64_t elapsed = c.send_time - c.t0 + (c.time_of_day ? c.start_of_day : 0);
        record::Stamp s = record::stamp_of(elapsed);
        EXPECT_EQ(((s.hours * 100u + s.minutes) * 100u + s.seconds) * 1000u + s.milliseconds, c.stamp);
    }
}

// The kernel's arrival stamp (time of day) on the program's clock, in ms from the send: when the
// datagram came in, when it was read, a step of the time of day between send and arrival ('a') or
// arrival and read ('r'), when it is taken to have come in, and whether before the send (b).
TEST(Pure, ArrivalTime) {
    struct { int64_t arrival, read, step; char when; int64_t taken; char before = ' '; } cases[] = {
        {200, 210, 0, 'r', 200}, {-100, 210, 0, 'r', -100, 'b'}, {200, 210, 150, 'r', 210}, {200, 210, 3600000, 'r', 200},
        {200, 210, -3600000, 'r', 200}, {200, 210, 3600000, 'a', 200}, {-100, 210, 3600000, 'r', -100, 'b'},
        {-100, 210, -3600000, 'r', -100}, {200, 210, -3600000, 'a', 200}};
    const int64_t ms = 1000000, send = 86400000 * ms, time_of_day = 1700000000000 * ms;
    for (const auto& c : cases) {
        platform::ClockPair sent{send, send + time_of_day}, now{send + c.read * ms, send + time_of_day + (c.read + c.step) * ms};
        int64_t stamp = send + time_of_day + (c.arrival + (c.when == 'a' ? c.step : 0)) * ms;
        EXPECT_EQ(platform::arrival_monotonic(stamp, sent, now), send + c.taken * ms) << c.arrival << " " << c.step << c.when;
        EXPECT_EQ(platform::came_before_send(stamp, sent, now), c.before == 'b') << c.arrival << " " << c.step << c.when;
    }
}

TEST(Pure, Loss) {
    struct { uint64_t sent, received, tenths; } cases[] = {
        {0, 0, 0}, {3, 3, 0}, {3, 2, 333}, {3, 1, 667}, {16, 15, 63}, {32, 31, 31}, {80, 79, 13},
        {400, 399, 3}, {2000, 1993, 4}, {5, 0, 1000}, {2147483653u, 0, 1000}, {4294967295u, 1, 1000}, {1ull << 63, 1, 1000},
        {~0ull, ~0ull - 1, 0}, {4294967296u * 16, 4294967296u * 15, 63}};
    for (const auto& c : cases) EXPECT_EQ(record::loss_tenths(c.sent, c.received), c.tenths) << c.sent;
}
// clang-format on

}  // namespace
