// Whole runs on the scripted platform, in virtual time: the bytes a user
// sees on the console and in the log, and what went on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/run_settings.h"
#include "fake_platform.h"
#include "output/output_channel.h"
#include "probe/outcome_report.h"
#include "probe/run_counters.h"

namespace {

using fake::Answer;
using fake::world;

const Answer silence{Answer::silence, 0, 0};
Answer reply_after(uint32_t ms) { return Answer{Answer::reply, ms, 0}; }
Answer receive_failure(int error) { return Answer{Answer::receive_failure, 1, error}; }

std::string summary(uint32_t sent, uint32_t received, const char* loss) {
    return "\nqelvor statistics\n    Packets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) +
           ", Lost = " + std::to_string(sent - received) + " (" + loss + " %)\n";
}

// Start-up sleeps 16 ms in the driver and 16 in the cycle before t0.
constexpr uint32_t settling = 32;

// Answers to 1-3 in 2 ms, silence for 4-6, answers from 7 on.
void outage_script() {
    world.default_answer = reply_after(2);
    for (uint32_t n = 4; n <= 6; ++n) world.answers[n] = silence;
}

TEST(ProbeRun, CompactOutageAndRecovery) {
    fake::reset();
    outage_script();
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "8", "-o", "run.log"}), 0);
    const std::string output =
        "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n"
        "!!"
        "\n00:00:03.000 [4] no reply.\n"
        ".."
        "\n00:00:18.000 [7] reply from 127.0.0.10 ; rtt 2 ms.\n"
        "    3 request(s) have been lost since the last reply 15998 ms ago.\n"
        "!" +
        summary(8, 5, "37.5");
    EXPECT_EQ(world.console, output);
    EXPECT_EQ(fake::log_text("run.log"), "qelvor 127.0.0.10 -n 8 -o run.log \n" + output);
    // Every line end is stored as CR LF.
    const std::string& stored = world.files["run.log"];
    EXPECT_NE(stored.find("\r\n00:00:03.000 [4] no reply.\r\n..\r\n"), std::string::npos);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'),
              std::count(stored.begin(), stored.end(), '\r'));
}

TEST(ProbeRun, VerboseOutageAndRecovery) {
    fake::reset();
    outage_script();
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-a", "-n", "7"}), 0);
    EXPECT_EQ(world.console,
              "00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n"
              "00:00:01.000 [2] reply from 127.0.0.10 ; rtt 2 ms.\n"
              "00:00:02.000 [3] reply from 127.0.0.10 ; rtt 2 ms.\n"
              "00:00:03.000 [4] no reply.\n"
              "00:00:08.000 [5] no reply.\n"
              "00:00:13.000 [6] no reply.\n"
              "00:00:18.000 [7] reply from 127.0.0.10 ; rtt 2 ms.\n" +
                  summary(7, 4, "42.9"));
}

TEST(ProbeRun, RequestsOnTheWire) {
    fake::reset();
    world.pid = 0x5A1234;
    world.default_answer = reply_after(1);
    const uint32_t start = world.now;
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "3"}), 0);
    ASSERT_EQ(world.sent.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        const fake::SentRequest& request = world.sent[i];
        EXPECT_EQ(request.time, start + settling + i * 1000);
        EXPECT_EQ(request.address, 0x0A00007Fu);  // 127.0.0.10 in network order
        std::vector<uint8_t> header(request.bytes.begin(), request.bytes.begin() + 8);
        std::vector<uint8_t> expected = {8,    0,    header[2], header[3],
                                         0x12, 0x34, 0,         static_cast<uint8_t>(i + 1)};
        EXPECT_EQ(header, expected);
        EXPECT_EQ(request.bytes.size(), 26u);
    }
    // Every wait got the full wait time: nothing foreign arrived.
    EXPECT_EQ(world.wait_timeouts, (std::vector<uint32_t>{5000, 5000, 5000}));
}

TEST(ProbeRun, TheSocketsOwnIdentifierIsUsed) {
    fake::reset();
    world.socket_identifier_override = 0xABCD;
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "1"}), 0);
    ASSERT_EQ(world.sent.size(), 1u);
    EXPECT_EQ(world.sent[0].bytes[4], 0xAB);
    EXPECT_EQ(world.sent[0].bytes[5], 0xCD);
    EXPECT_NE(world.console.find("[1] reply from"), std::string::npos);
}

TEST(ProbeRun, FirstReplyAfterTwoSilentRequests) {
    fake::reset();
    world.default_answer = reply_after(4);
    world.answers[1] = silence;
    world.answers[2] = silence;
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "3", "-w", "500"}), 0);
    EXPECT_EQ(world.console,
              "\n00:00:00.000 [1] no reply.\n"
              "."
              "\n00:00:02.000 [3] reply from 127.0.0.10 ; rtt 4 ms.\n"
              "    2 request(s) have been lost since the last reply 2000 ms ago.\n" +
                  summary(3, 1, "66.7"));
}

TEST(ProbeRun, ReceiveFailures) {
    const std::string failure = "\nrecvfrom failed with error 10054\n\n";
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::map<uint32_t, Answer> answers;
        std::string console;
    } cases[] = {
        {"after a silence: counted in the next lost line",
         {"-n", "4", "-w", "500"},
         {{2, silence}, {3, receive_failure(10054)}},
         "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n"
         "\n00:00:01.000 [2] no reply.\n" +
             failure +
             "\n00:00:03.000 [4] reply from 127.0.0.10 ; rtt 2 ms.\n"
             "    2 request(s) have been lost since the last reply 2998 ms ago.\n" +
             summary(4, 2, "50.0")},
        {"after a reply: shows only in its report",
         {"-n", "3"},
         {{2, receive_failure(10054)}},
         "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n" + failure + "!" +
             summary(3, 2, "33.3")},
        {"a silence after it: counted in the lost line of the next reply",
         {"-n", "4", "-w", "500"},
         {{2, receive_failure(10054)}, {3, silence}},
         "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n" + failure +
             "\n00:00:02.000 [3] no reply.\n"
             "\n00:00:03.000 [4] reply from 127.0.0.10 ; rtt 2 ms.\n"
             "    2 request(s) have been lost since the last reply 2998 ms ago.\n" +
             summary(4, 2, "50.0")},
        {"before any outcome: the first reply is the first line",
         {"-n", "3"},
         {{1, receive_failure(10054)}, {2, receive_failure(10054)}},
         failure + failure +
             "\n00:00:02.000 [3] reply from 127.0.0.10 ; rtt 2 ms.\n"
             "    2 request(s) have been lost since the last reply 2000 ms ago.\n" +
             summary(3, 1, "66.7")},
        {"verbose: only its report",
         {"-a", "-n", "3"},
         {{2, receive_failure(10054)}},
         "00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n" + failure +
             "00:00:02.000 [3] reply from 127.0.0.10 ; rtt 2 ms.\n" + summary(3, 2, "33.3")},
    };
    for (const Case& c : cases) {
        fake::reset();
        world.default_answer = reply_after(2);
        world.answers = c.answers;
        std::vector<std::string> arguments = {"qelvor", "127.0.0.10"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(fake::run(arguments), 0) << c.what;
        EXPECT_EQ(world.console, c.console) << c.what;
    }
}

TEST(ProbeRun, SendFailures) {
    fake::reset();
    world.default_answer = reply_after(1);
    world.send_errors = {10055, 10055, 10055, 0};
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "1", "-o", "run.log"}), 0);
    const std::string lack = "\nsendto failed with error 10055\n\n";
    const std::string output = lack + lack + lack +
                               "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 1 ms.\n" +
                               summary(1, 1, "0.0");
    EXPECT_EQ(world.console, output);
    EXPECT_EQ(fake::log_text("run.log"), "qelvor 127.0.0.10 -n 1 -o run.log \n" + output);
    EXPECT_EQ(world.sent.size(), 1u);

    // Any other error ends the run; the status is still 0.
    fake::reset();
    world.default_answer = reply_after(1);
    world.send_errors = {0, 10065};
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "5"}), 0);
    EXPECT_EQ(world.console,
              "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 1 ms.\n"
              "\nsendto failed with error 10065\n\n" +
                  summary(1, 1, "0.0"));
}

TEST(ProbeRun, ChangeLimitEndsTheRunAfterTheSecondChange) {
    fake::reset();
    world.default_answer = reply_after(2);
    world.answers[3] = silence;
    const uint32_t start = world.now;
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "0", "-Q", "1", "-w", "300"}), 0);
    EXPECT_EQ(world.console,
              "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\n!"
              "\n00:00:02.000 [3] no reply.\n" +
                  summary(3, 2, "33.3"));
    // Request 3's period was slept out before the run ended.
    EXPECT_EQ(world.now, start + settling + 3000 + 10);
}

TEST(ProbeRun, PeriodZeroSendsAtOnce) {
    fake::reset();
    world.default_answer = reply_after(1);
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-a", "-p", "0", "-n", "4"}), 0);
    ASSERT_EQ(world.sent.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(world.sent[i].time - world.sent[i - 1].time, 1u);
    EXPECT_NE(world.console.find("00:00:00.003 [4] reply"), std::string::npos);
}

TEST(ProbeRun, SilentHostGetsOneRequestPerWait) {
    fake::reset();
    world.default_answer = silence;
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-a", "-n", "3"}), 0);
    EXPECT_EQ(world.console,
              "00:00:00.000 [1] no reply.\n"
              "00:00:05.000 [2] no reply.\n"
              "00:00:10.000 [3] no reply.\n" +
                  summary(3, 0, "100.0"));
}

TEST(ProbeRun, ForeignTrafficDoesNotStretchTheWait) {
    fake::reset();
    world.default_answer = silence;
    // Another program's echo replies, ten a second, from the run's start on.
    std::vector<uint8_t> foreign = {0x45, 0, 0,   46, 0, 0, 0, 0, 64, 1, 0,    0,    127, 0,
                                    0,    9, 127, 0,  0, 1, 0, 0, 0,  0, 0x77, 0x77, 0,   1};
    for (uint32_t t = 0; t < 12000; t += 100) fake::deliver(world.now + t, foreign, 0x0900007F);
    const uint32_t start = world.now;
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-a", "-n", "2"}), 0);
    EXPECT_EQ(world.console,
              "00:00:00.000 [1] no reply.\n"
              "00:00:05.000 [2] no reply.\n" +
                  summary(2, 0, "100.0"));
    EXPECT_EQ(world.sent[1].time, start + settling + 5000);
    // Each wait after a foreign datagram had only the rest of the wait time.
    for (uint32_t timeout : world.wait_timeouts) EXPECT_LE(timeout, 5000u);
    EXPECT_GT(world.wait_timeouts.size(), 90u);
}

TEST(ProbeRun, ClockWrapsDuringTheRun) {
    fake::reset();
    world.now = 0xFFFFF000u;
    world.default_answer = reply_after(7);
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-a", "-n", "6"}), 0);
    std::string expected;
    for (int i = 0; i < 6; ++i) {
        expected += "00:00:0" + std::to_string(i) + ".000 [" + std::to_string(i + 1) +
                    "] reply from 127.0.0.10 ; rtt 7 ms.\n";
    }
    EXPECT_EQ(world.console, expected + summary(6, 6, "0.0"));
}

TEST(ProbeRun, TimeOfDayStampsWrapAtMidnight) {
    fake::reset();
    world.hours = 23;
    world.minutes = 59;
    world.seconds = 58;
    world.milliseconds = 500;
    world.default_answer = reply_after(1);
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-T", "-a", "-n", "3"}), 0);
    EXPECT_EQ(world.console,
              "23:59:58.500 [1] reply from 127.0.0.10 ; rtt 1 ms.\n"
              "23:59:59.500 [2] reply from 127.0.0.10 ; rtt 1 ms.\n"
              "00:00:00.500 [3] reply from 127.0.0.10 ; rtt 1 ms.\n" +
                  summary(3, 3, "0.0"));
}

TEST(ProbeRun, StampsStayOnThePeriod) {
    fake::reset();
    world.default_answer = reply_after(3);
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-a", "-p", "10", "-n", "1000"}), 0);
    ASSERT_EQ(world.sent.size(), 1000u);
    for (std::size_t i = 0; i < world.sent.size(); ++i) {
        ASSERT_EQ(world.sent[i].time - world.sent[0].time, 10u * i) << i;
    }
    EXPECT_NE(world.console.find("00:00:09.990 [1000] reply"), std::string::npos);
}

TEST(ProbeRun, ALateWakeUpDoesNotMoveLaterRequests) {
    struct Case {
        const char* what;
        uint32_t late_ms;
        std::vector<uint32_t> sends;  // after t0
    } cases[] = {
        // Request 4 goes out 3 ms late; the next sleep makes it good.
        {"late within the period", 3, {0, 10, 20, 33, 40, 50}},
        // Late by more than a period: the next request follows at once and
        // the schedule starts anew from it; the missed period is not made up.
        {"late by more than the period", 14, {0, 10, 20, 44, 54, 64}},
    };
    for (const Case& c : cases) {
        fake::reset();
        world.default_answer = reply_after(1);
        // Sleeps 1 and 2 are the settling pauses; sleep 5 ends request 3's period.
        world.late_wakeups[5] = c.late_ms;
        const uint32_t start = world.now;
        ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-p", "10", "-n", "6"}), 0) << c.what;
        std::vector<uint32_t> sends;
        for (const fake::SentRequest& request : world.sent) {
            sends.push_back(request.time - start - settling);
        }
        EXPECT_EQ(sends, c.sends) << c.what;
    }
}

TEST(ProbeRun, NumbersFrom2To31OnPrintUnsigned) {
    // Two billion requests are out of reach even in virtual time: report
    // straight into a run that has come that far.
    fake::reset();
    run_settings.verbose = false;
    run_settings.time_of_day = false;
    output_channel.log = nullptr;
    report_begin(1000);
    run_counters.requests_sent.store(2147483650u);
    ASSERT_TRUE(report_no_reply(1000));
    run_counters.requests_sent.store(2147483653u);
    ASSERT_TRUE(report_reply(3000000000u, 3000000002u, 0x0A00007F));
    EXPECT_EQ(world.console,
              "\n00:00:00.000 [2147483650] no reply.\n"
              "\n17:19:59.000 [2147483653] reply from 127.0.0.10 ; rtt 2 ms.\n"
              "    2147483652 request(s) have been lost since the last reply 2999999000 ms "
              "ago.\n");
}

TEST(ProbeRun, LogWriteFailureEndsTheRunAtOnce) {
    const std::string header = "qelvor 127.0.0.10 -n 5 -o run.log \r\n";
    const std::string first_line = "\r\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 2 ms.\r\n";
    struct Case {
        const char* what;
        std::size_t fail_after;
        std::string errors;
        uint32_t sent;
    } cases[] = {
        {"on a line", header.size() + 4, "Log file write failed.\n: No space left on device\n", 1},
        {"on the ! mark", header.size() + first_line.size(),
         "Log file write failed.: No space left on device\n", 2},
    };
    for (const Case& c : cases) {
        fake::reset();
        world.default_answer = reply_after(2);
        world.failing_log = "run.log";
        world.log_fail_after = c.fail_after;
        const uint32_t start = world.now;
        EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "5", "-o", "run.log"}), 0) << c.what;
        // The summary's own log write fails as well and is reported too.
        EXPECT_EQ(world.errors, c.errors + "Log file write failed.\n: No space left on device\n")
            << c.what;
        EXPECT_EQ(world.sent.size(), c.sent) << c.what;
        // Ended at once: no pacing sleep after the failed request.
        EXPECT_EQ(world.now, start + settling + (c.sent - 1) * 1000 + 2 + 10) << c.what;
        EXPECT_NE(world.console.find("Sent = " + std::to_string(c.sent)), std::string::npos);
    }
}

}  // namespace
