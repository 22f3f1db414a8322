// Whole runs on the scripted platform, in virtual time: for each command
// line and what the network and the clock do, the bytes on the console, in
// the log and on the error stream, and the exit status.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace {

using fake::Answer;
using fake::World;

const Answer silence{Answer::Silence, 0, 0};
const Answer failure{Answer::ReceiveFailure, 1, 10054};

std::string reply(const char* stamp, int number, int rtt = 2, const char* start = "\n") {
    return std::string(start) + stamp + " [" + std::to_string(number) +
           "] reply from 127.0.0.10 ; rtt " + std::to_string(rtt) + " ms.\n";
}

std::string no_reply(const char* stamp, int number, const char* start = "\n") {
    return std::string(start) + stamp + " [" + std::to_string(number) + "] no reply.\n";
}

std::string lost(int requests, int ms) {
    return "    " + std::to_string(requests) + " request(s) have been lost since the last reply " +
           std::to_string(ms) + " ms ago.\n";
}

std::string summary(int sent, int received, const char* loss) {
    return "\nqelvor statistics\n    Packets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) +
           ", Lost = " + std::to_string(sent - received) + " (" + loss + " %)\n";
}

const std::string receive_failed = "\nrecvfrom failed with error 10054\n\n";
const std::string no_buffers = "\nsendto failed with error 10055\n\n";

// A few foreign datagrams every 100 ms over the first 12 s: another
// program's echo reply and our own request looped back.
void foreign_traffic(World& w) {
    for (uint32_t k = 0; k < 120; ++k) {
        std::vector<uint8_t> request = {8, 0, 0, 0, 0x77, 0x77, 0, 1};
        w.pending.push_back({w.now + k * 100, fake::echo_reply_for(request, 0x0A00007F), 0, 0});
        w.pending.push_back({w.now + k * 100 + 50,
                             {0x45, 0, 0, 28, 0, 0, 0, 0, 0, 1, 0,    0,    0, 0,
                              0,    0, 0, 0,  0, 0, 8, 0, 0, 0, 0x12, 0x34, 0, 1},
                             0x0A00007F,
                             0});
    }
}

struct Case {
    const char* what;
    std::vector<std::string> arguments;  // after the program path
    std::function<void(World&)> script;
    std::string console;
    int status = 0;
    std::string errors = "";
    bool log_is_console = true;  // run.log holds the header and exactly the console bytes
};

const Case cases[] = {
    {"outage and recovery, compact",
     {"-n", "8"},
     [](World& w) {
         w.answers = {{4, silence}, {5, silence}, {6, silence}};
     },
     reply("00:00:00.000", 1) + "!!" + no_reply("00:00:03.000", 4) + ".." +
         reply("00:00:18.000", 7) + lost(3, 15998) + "!" + summary(8, 5, "37.5")},
    {"outage and recovery, verbose",
     {"-a", "-n", "7"},
     [](World& w) {
         w.answers = {{4, silence}, {5, silence}, {6, silence}};
     },
     reply("00:00:00.000", 1, 2, "") + reply("00:00:01.000", 2, 2, "") +
         reply("00:00:02.000", 3, 2, "") + no_reply("00:00:03.000", 4, "") +
         no_reply("00:00:08.000", 5, "") + no_reply("00:00:13.000", 6, "") +
         reply("00:00:18.000", 7, 2, "") + summary(7, 4, "42.9")},
    {"first reply after two silences",
     {"-n", "3", "-w", "500"},
     [](World& w) {
         w.answers = {{1, silence}, {2, silence}, {3, {Answer::Reply, 4, 0}}};
     },
     no_reply("00:00:00.000", 1) + "." + reply("00:00:02.000", 3, 4) + lost(2, 2000) +
         summary(3, 1, "66.7")},
    {"receive failure after a silence: counted in the next lost line",
     {"-n", "4", "-w", "500"},
     [](World& w) {
         w.answers = {{2, silence}, {3, failure}};
     },
     reply("00:00:00.000", 1) + no_reply("00:00:01.000", 2) + receive_failed +
         reply("00:00:03.000", 4) + lost(2, 2998) + summary(4, 2, "50.0")},
    {"receive failure after a reply: only its report",
     {"-n", "3"},
     [](World& w) {
         w.answers = {{2, failure}};
     },
     reply("00:00:00.000", 1) + receive_failed + "!" + summary(3, 2, "33.3")},
    {"receive failure, then a silence",
     {"-n", "4", "-w", "500"},
     [](World& w) {
         w.answers = {{2, failure}, {3, silence}};
     },
     reply("00:00:00.000", 1) + receive_failed + no_reply("00:00:02.000", 3) +
         reply("00:00:03.000", 4) + lost(2, 2998) + summary(4, 2, "50.0")},
    {"receive failures before any outcome",
     {"-n", "3"},
     [](World& w) {
         w.answers = {{1, failure}, {2, failure}};
     },
     receive_failed + receive_failed + reply("00:00:02.000", 3) + lost(2, 2000) +
         summary(3, 1, "66.7")},
    {"receive failure, verbose",
     {"-a", "-n", "3"},
     [](World& w) {
         w.answers = {{2, failure}};
     },
     reply("00:00:00.000", 1, 2, "") + receive_failed + reply("00:00:02.000", 3, 2, "") +
         summary(3, 2, "33.3")},
    {"two full send queues, then the request goes out",
     {"-n", "1"},
     [](World& w) {
         w.send_errors = {10055, 10055, 0};
     },
     no_buffers + no_buffers + reply("00:00:00.002", 1) + summary(1, 1, "0.0")},
    {"a send queue full three times: the request is lost, the run goes on",
     {"-n", "2"},
     [](World& w) {
         w.send_errors = {10055, 10055, 10055};
     },
     no_buffers + no_buffers + no_buffers + no_reply("00:00:00.002", 1) + reply("00:00:01.000", 2) +
         lost(1, 1000) + summary(2, 1, "50.0")},
    {"another send failure ends the run",
     {"-n", "5"},
     [](World& w) {
         w.send_errors = {0, 10065};
     },
     reply("00:00:00.000", 1) + "\nsendto failed with error 10065\n\n" + summary(1, 1, "0.0")},
    {"change limit 1: the second change ends the run",
     {"-Q", "1", "-n", "5", "-w", "500"},
     [](World& w) {
         w.answers = {{2, silence}};
     },
     reply("00:00:00.000", 1) + no_reply("00:00:01.000", 2) + summary(2, 1, "50.0")},
    {"period 0",
     {"-a", "-p", "0", "-n", "3"},
     [](World&) {},
     reply("00:00:00.000", 1, 2, "") + reply("00:00:00.002", 2, 2, "") +
         reply("00:00:00.004", 3, 2, "") + summary(3, 3, "0.0")},
    {"a silent host gets one request per wait, however busy the network",
     {"-a", "-n", "3"},
     [](World& w) {
         w.default_answer = silence;
         foreign_traffic(w);
     },
     no_reply("00:00:00.000", 1, "") + no_reply("00:00:05.000", 2, "") +
         no_reply("00:00:10.000", 3, "") + summary(3, 0, "100.0")},
    {"a late reply is neither counted nor shown, a doubled one counted once",
     {"-a", "-n", "3", "-w", "500"},
     [](World& w) {
         w.answers = {{1, {Answer::Reply, 700, 0}}, {2, {Answer::Twice, 3, 0}}};
     },
     no_reply("00:00:00.000", 1, "") + reply("00:00:01.000", 2, 3, "") +
         reply("00:00:02.000", 3, 2, "") + summary(3, 2, "33.3")},
    {"stalled right after the send: the queued reply counts, with its own rtt",
     {"-n", "2", "-w", "1000"},
     [](World& w) {
         w.stalls = {{1, 3000}};
     },
     reply("00:00:00.000", 1) + "!" + summary(2, 2, "0.0")},
    {"stalled: a reply that came after the wait is no reply",
     {"-n", "1", "-w", "1000"},
     [](World& w) {
         w.answers = {{1, {Answer::Reply, 1500, 0}}};
         w.stalls = {{1, 3000}};
     },
     no_reply("00:00:00.000", 1) + summary(1, 0, "100.0")},
    {"the clock wraps during the run",
     {"-n", "3"},
     [](World& w) { w.now = 0xFFFFFC00u; },
     reply("00:00:00.000", 1) + "!!" + summary(3, 3, "0.0")},
    {"time of day wraps at midnight",
     {"-T", "-a", "-n", "3"},
     [](World& w) { w.hours = 23, w.minutes = 59, w.seconds = 58, w.milliseconds = 500; },
     reply("23:59:58.500", 1, 2, "") + reply("23:59:59.500", 2, 2, "") +
         reply("00:00:00.500", 3, 2, "") + summary(3, 3, "0.0")},
    {"a late wake-up is made good; one a period late restarts the schedule",
     {"-a", "-n", "6"},
     [](World& w) {
         w.late = {{4, 3}, {6, 1400}};
     },
     reply("00:00:00.000", 1, 2, "") + reply("00:00:01.000", 2, 2, "") +
         reply("00:00:02.003", 3, 2, "") + reply("00:00:03.000", 4, 2, "") +
         reply("00:00:05.400", 5, 2, "") + reply("00:00:06.400", 6, 2, "") + summary(6, 6, "0.0")},
    {"the socket's own identifier is used",
     {"-n", "1"},
     [](World& w) { w.socket_identifier = 0xABCD; },
     reply("00:00:00.000", 1) + summary(1, 1, "0.0")},
    {"the socket cannot be opened",
     {"-n", "3"},
     [](World& w) { w.socket_open_error = 10013; },
     "socket function failed with error 10013\n" + summary(0, 0, "0.0"),
     0,
     "",
     false},
    {"Ctrl-C during the second period",
     {"-n", "0"},
     [](World& w) { w.interrupt_at = w.now + 32 + 1500; },
     reply("00:00:00.000", 1) + "!" + summary(2, 2, "0.0"),
     1},
    {"the console's reader has gone: with a log the run goes on",
     {"-n", "3"},
     [](World& w) { w.console_gone = true; },
     reply("00:00:00.000", 1) + "!!" + summary(3, 3, "0.0")},
    {"the log's last block cannot be written",
     {"-n", "2"},
     [](World& w) { w.failing_log = "run.log"; },
     reply("00:00:00.000", 1) + "!" + summary(2, 2, "0.0"),
     0,
     "Log file write failed.\n: No space left on device\n",
     false},
};

TEST(Run, Table) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        c.script(fake::world);
        std::vector<std::string> arguments = {"qelvor", "127.0.0.10"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        arguments.insert(arguments.end(), {"-o", "run.log"});
        EXPECT_EQ(fake::run(arguments), c.status);
        EXPECT_EQ(fake::world.console, fake::world.console_gone ? "" : c.console);
        EXPECT_EQ(fake::world.errors, c.errors);
        if (!c.log_is_console) continue;
        std::string log;
        for (const std::string& argument : arguments) log += argument + " ";
        for (char ch : "\n" + c.console) log += ch == '\n' ? "\r\n" : std::string(1, ch);
        EXPECT_EQ(fake::world.files["run.log"], log);
    }
}

TEST(Run, RequestsOnTheWire) {
    fake::reset();
    fake::world.pid = 0x5A1234;
    uint32_t t0 = fake::world.now + 32;  // after the driver's and the cycle's settling pauses
    ASSERT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "3"}), 0);
    ASSERT_EQ(fake::world.sent.size(), 3u);
    for (uint8_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> expected(26, 0);
        expected[0] = 8, expected[4] = 0x12, expected[5] = 0x34, expected[7] = i + 1;
        uint32_t sum = 0;
        for (std::size_t k = 0; k < 26; k += 2) sum += expected[k] << 8 | expected[k + 1];
        sum = ~((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
        expected[2] = static_cast<uint8_t>(sum >> 8), expected[3] = static_cast<uint8_t>(sum);
        EXPECT_EQ(fake::world.sent[i], expected);
        EXPECT_EQ(fake::world.send_times[i], t0 + i * 1000u);
    }
    EXPECT_EQ(fake::world.waits, (std::vector<uint32_t>{5000, 5000, 5000}));
}

TEST(Run, ALogWriteFailureEndsTheRunAtOnce) {
    struct {
        Answer answer;
        const char* report;
    } cases[] = {{Answer{}, "Log file write failed."}, {silence, "Log file write failed.\n"}};
    for (const auto& c : cases) {
        fake::reset();
        fake::world.default_answer = c.answer;
        fake::world.failing_log = "run.log";
        fake::world.log_fail_after = 4095;  // the first block of 4096 bytes fails
        EXPECT_EQ(
            fake::run({"qelvor", "127.0.0.10", "-n", "0", "-p", "0", "-w", "5", "-o", "run.log"}),
            0);
        std::string report = std::string(c.report) + ": No space left on device\n";
        // The summary's own log write fails as well and is reported too.
        EXPECT_EQ(fake::world.errors,
                  report + "Log file write failed.\n: No space left on device\n");
        EXPECT_LT(fake::world.sent.size(), 4096u);
        EXPECT_NE(fake::world.console.find("\nqelvor statistics\n"), std::string::npos);
    }
}

TEST(Run, NothingCanBeSeenAnyMore) {
    fake::reset();
    fake::world.console_gone = true;
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "0"}), 0);
    EXPECT_EQ(fake::world.sent.size(), 1u);
}

TEST(Run, StartUpFailures) {
    struct {
        std::vector<std::string> arguments;
        std::function<void(World&)> script;
        std::string console, errors;
        bool log_created;
    } cases[] = {
        {{"-o", "run.log", "-p", "1001"}, [](World&) {}, "usage", "", true},
        {{"-p", "1001", "-o", "run.log"}, [](World&) {}, "usage", "", false},
        {{"-o", "run.log", "-o", "run.log"},
         [](World&) {},
         "",
         "Log file open failed.: Permission denied\n",
         true},
        {{"-o", ""}, [](World&) {}, "", "Log file open failed.: Invalid argument\n", false},
        {{"-o", "no/run.log"},
         [](World& w) {
             w.open_errors = {{"no/run.log", 2}};
         },
         "",
         "Log file open failed.: No such file or directory\n",
         false},
        {{"-o", "run.log"},
         [](World& w) { w.interrupt_install_fails = true; },
         "",
         "signal failed.: Invalid argument\n",
         true},
        {{"-o", "run.log"},
         [](World& w) { w.startup_error = 10091; },
         "WSAStartup failed: 10091\n",
         "",
         true},
    };
    for (const auto& c : cases) {
        fake::reset();
        c.script(fake::world);
        std::vector<std::string> arguments = {"qelvor", "127.0.0.10"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(fake::run(arguments), 1);
        EXPECT_EQ(fake::world.console.compare(0, 3, "コ") == 0, c.console == "usage");
        if (c.console != "usage") {
            EXPECT_EQ(fake::world.console, c.console);
        }
        EXPECT_EQ(fake::world.errors, c.errors);
        EXPECT_EQ(fake::world.files.count("run.log") == 1, c.log_created);
        EXPECT_EQ(fake::world.files["run.log"], "");
        EXPECT_TRUE(fake::world.sent.empty());
    }
}

}  // namespace
