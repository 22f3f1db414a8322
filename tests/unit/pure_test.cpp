// The program's pure parts, one table each: number reading, the command
// line, the echo message and its reply rule, stamps, the summary's loss, and
// the usage text.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fake_platform.h"
#include "output/run_summary.h"
#include "probe/echo_message.h"
#include "probe/outcome_report.h"

namespace {

TEST(Pure, ReadNumber) {
    struct {
        const char* text;
        bool read;
        uint32_t value;
    } cases[] = {
        {"0", true, 0},
        {"7", true, 7},
        {" \t\n7", true, 7},
        {"+7", true, 7},
        {"007", true, 7},
        {"4294967295", true, 4294967295u},
        {"-1", true, 4294967295u},
        {"-7", true, 4294967289u},
        {"4294967296", true, 4294967295u},
        {"99999999999999999999999", true, 4294967295u},
        {"-4294967295", true, 1},
        {"-4294967296", true, 1},
        {"", true, 0},
        {"7x", false, 0},
        {"x", false, 0},
        {"7 ", false, 0},
        {" ", false, 0},
        {"-", false, 0},
        {"0x10", false, 0},
        {"--1", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(read_number(c.text, &value), c.read) << c.text;
        if (c.read) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(Pure, CommandLine) {
    struct {
        std::vector<std::string> arguments;
        ParseResult result;
        RunSettings settings;  // compared when accepted
    } cases[] = {
        {{"127.0.0.10"}, ParseResult::Accepted, {0x0A00007F, false, false, 3, 1000, 5000, 0}},
        {{"-a", "-T", "127.0.0.10"},
         ParseResult::Accepted,
         {0x0A00007F, true, true, 3, 1000, 5000, 0}},
        {{"-n", "-1", "127.0.0.10"},
         ParseResult::Accepted,
         {0x0A00007F, 0, 0, 4294967295u, 1000, 5000, 0}},
        {{"-p", "0", "-w", "1", "-Q", "10", "1.2.3.4"},
         ParseResult::Accepted,
         {0x04030201, 0, 0, 3, 0, 1, 10}},
        {{"-p", "1000", "-w", "5000", "-Q", "0", "127.0.0.10"},
         ParseResult::Accepted,
         {0x0A00007F, 0, 0, 3, 1000, 5000, 0}},
        {{"-p", "-4294967296", "-w", "-4294967295", "-Q", "-4294967286", "127.1"},
         ParseResult::Accepted,
         {0x0100007F, 0, 0, 3, 1, 1, 10}},
        {{"-n", "", "-p", "", "127.0.0.10"},
         ParseResult::Accepted,
         {0x0A00007F, 0, 0, 0, 0, 5000, 0}},
        {{"0.0.0.0", "127.0.0.10"}, ParseResult::Accepted, {0x0A00007F, 0, 0, 3, 1000, 5000, 0}},
        {{"-n", "5", "127.0.0.10", "-n", "6"},
         ParseResult::Accepted,
         {0x0A00007F, 0, 0, 6, 1000, 5000, 0}},
        {{"127.0.0.10", "-o", std::string(127, 'a')},
         ParseResult::Accepted,
         {0x0A00007F, 0, 0, 3, 1000, 5000, 0}},
        {{"127.0.0.10", "-o", std::string(128, 'a')}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-p", "1001"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-w", "0"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-w", "5001"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-w", ""}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-Q", "11"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-n", "10x"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-n"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-o"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-h"}, ParseResult::Usage, {}},
        {{"-h", "127.0.0.10"}, ParseResult::Usage, {}},
        {{"255.255.255.255"}, ParseResult::Usage, {}},
        {{"0.0.0.0"}, ParseResult::Usage, {}},
        {{"-a"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "127.0.0.11"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-A"}, ParseResult::Usage, {}},
        {{"localhost"}, ParseResult::Usage, {}},
        {{"127.0.0.10", "-n", "-n"}, ParseResult::Usage, {}},
    };
    for (const auto& c : cases) {
        fake::reset();
        std::vector<std::string> copies = {"qelvor"};
        copies.insert(copies.end(), c.arguments.begin(), c.arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : copies) argv.push_back(argument.data());
        SCOPED_TRACE(copies[1] + " " + (copies.size() > 2 ? copies[2] : ""));
        ASSERT_EQ(parse_command_line(static_cast<int>(argv.size()), argv.data()), c.result);
        if (c.result != ParseResult::Accepted) continue;
        const RunSettings& s = run_settings();
        EXPECT_EQ(s.target_address, c.settings.target_address);
        EXPECT_EQ(s.verbose, c.settings.verbose);
        EXPECT_EQ(s.time_of_day, c.settings.time_of_day);
        EXPECT_EQ(s.request_count, c.settings.request_count);
        EXPECT_EQ(s.period_ms, c.settings.period_ms);
        EXPECT_EQ(s.wait_ms, c.settings.wait_ms);
        EXPECT_EQ(s.change_limit, c.settings.change_limit);
    }
}

TEST(Pure, EchoRequestAndChecksum) {
    uint8_t message[26] = {};
    build_echo_request(message, 0x1234, 0x10001);  // the sequence is the low 16 bits
    const uint8_t expected[8] = {8, 0, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(message, message + 8),
              std::vector<uint8_t>(expected, expected + 8));
    EXPECT_EQ(internet_checksum(message, 26), 0);
    const uint8_t odd[3] = {0x01, 0x02, 0x03};  // an odd last byte counts as followed by a zero
    const uint8_t even[4] = {0x01, 0x02, 0x03, 0x00};
    EXPECT_EQ(internet_checksum(odd, 3), internet_checksum(even, 4));
    const uint8_t carry[4] = {0xFF, 0xFF, 0x00, 0x02};
    EXPECT_EQ(internet_checksum(carry, 4), static_cast<uint16_t>(~0x0200 & 0xFFFF));
}

TEST(Pure, ReplyRule) {
    uint8_t request[26] = {};
    build_echo_request(request, 0x1234, 7);
    std::vector<uint8_t> reply =
        fake::echo_reply_for(std::vector<uint8_t>(request, request + 26), 0);
    struct {
        const char* what;
        std::size_t offset;
        uint8_t value;
        std::size_t length;
        bool matches;
    } cases[] = {
        {"the reply", 0, 0, 46, true},
        {"header only, 28 bytes", 0, 0, 28, true},
        {"cut short", 0, 0, 27, false},
        {"its own request", 20, 8, 46, false},
        {"another identifier, high byte", 24, 0x13, 46, false},
        {"another identifier, low byte", 25, 0x35, 46, false},
        {"another sequence, high byte", 26, 1, 46, false},
        {"another sequence, low byte", 27, 8, 46, false},
        {"code, checksum and data are not examined", 21, 3, 46, true},
        {"nor the checksum", 22, 0, 46, true},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> datagram = reply;
        datagram[c.offset] = c.offset == 0 ? datagram[0] : c.value;
        EXPECT_EQ(is_echo_reply(datagram.data(), c.length, request), c.matches) << c.what;
    }
}

TEST(Pure, Stamps) {
    struct {
        uint32_t send_time, t0;
        bool time_of_day;
        uint32_t start_of_day;
        Stamp stamp;
    } cases[] = {
        {1000, 1000, false, 0, {0, 0, 0, 0}},
        {1000 + 3723004, 1000, false, 0, {1, 2, 3, 4}},
        {5, 0xFFFFFFFBu, false, 0, {0, 0, 0, 10}},
        {1000 + 25 * 3600000u, 1000, false, 0, {1, 0, 0, 0}},
        {2000, 1000, true, 86399500, {0, 0, 0, 500}},
        {1000, 1000, true, 45296789, {12, 34, 56, 789}},
    };
    for (const auto& c : cases) {
        Stamp s = stamp_of(c.send_time, c.t0, c.time_of_day, c.start_of_day);
        EXPECT_EQ(std::vector<uint16_t>({s.hours, s.minutes, s.seconds, s.milliseconds}),
                  std::vector<uint16_t>(
                      {c.stamp.hours, c.stamp.minutes, c.stamp.seconds, c.stamp.milliseconds}));
    }
}

TEST(Pure, Loss) {
    struct {
        uint32_t sent, received, tenths;
    } cases[] = {{0, 0, 0},
                 {3, 3, 0},
                 {3, 2, 333},
                 {3, 1, 667},
                 {16, 15, 63},
                 {32, 31, 31},
                 {80, 79, 13},
                 {400, 399, 3},
                 {5, 0, 1000},
                 {2147483653u, 0, 1000},
                 {4294967295u, 1, 1000}};
    for (const auto& c : cases) {
        EXPECT_EQ(loss_tenths(c.sent, c.received), c.tenths) << c.sent << "/" << c.received;
    }
}

TEST(Pure, UsageText) {
    std::ifstream file(QELVOR_USAGE_FILE, std::ios::binary);
    std::stringstream expected;
    expected << file.rdbuf();
    std::string text = expected.str();
    text.replace(text.find(" qelvor <"), 7, " ./bin/qelvor");
    struct {
        std::vector<std::string> arguments;
        bool cp932;
    } cases[] = {{{"./bin/qelvor"}, false},
                 {{"./bin/qelvor", "-h"}, false},
                 {{"./bin/qelvor", "1.2.3.4", "-n", "1", "-n", "1", "-n", "1", "-n", "1", "-n", "1",
                   "-n", "1", "-a", "-a"},
                  false},
                 {{"./bin/qelvor"}, true}};
    for (const auto& c : cases) {
        fake::reset();
        fake::world.console_cp932 = c.cp932;
        EXPECT_EQ(fake::run(c.arguments), 1);
        if (!c.cp932) {
            EXPECT_EQ(fake::world.console, text);
            continue;
        }
        EXPECT_NE(fake::world.console, text);
        EXPECT_NE(fake::world.console.find("./bin/qelvor <ipaddress>"), std::string::npos);
        EXPECT_EQ(fake::world.console.compare(0, 4, "\x83\x52\x83\x7D"), 0);  // コマ in CP932
    }
}

}  // namespace
