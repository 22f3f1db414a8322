// The summary line, and the summary written when the user presses Ctrl-C.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "output/run_summary.h"

namespace {

std::string summary_for(uint32_t sent, uint32_t received) {
    char text[128];
    int length = format_summary(text, sizeof text, sent, received);
    return std::string(text, static_cast<std::size_t>(length));
}

TEST(Summary, CountsAndLossWithExactHalvesRoundedUp) {
    struct Case {
        uint32_t sent, received;
        const char* counts;
    } cases[] = {
        {0, 0, "Sent = 0, Received = 0, Lost = 0 (0.0 %)"},
        {3, 3, "Sent = 3, Received = 3, Lost = 0 (0.0 %)"},
        {3, 2, "Sent = 3, Received = 2, Lost = 1 (33.3 %)"},
        {3, 1, "Sent = 3, Received = 1, Lost = 2 (66.7 %)"},
        {16, 15, "Sent = 16, Received = 15, Lost = 1 (6.3 %)"},
        {32, 31, "Sent = 32, Received = 31, Lost = 1 (3.1 %)"},
        {80, 79, "Sent = 80, Received = 79, Lost = 1 (1.3 %)"},
        {400, 399, "Sent = 400, Received = 399, Lost = 1 (0.3 %)"},
        {5, 0, "Sent = 5, Received = 0, Lost = 5 (100.0 %)"},
        {2147483653u, 0, "Sent = 2147483653, Received = 0, Lost = 2147483653 (100.0 %)"},
        {4294967295u, 4294967294u, "Sent = 4294967295, Received = 4294967294, Lost = 1 (0.0 %)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(summary_for(c.sent, c.received),
                  std::string("\nqelvor statistics\n    Packets: ") + c.counts + "\n")
            << c.sent << "/" << c.received;
    }
}

const char* const summary_zero =
    "\nqelvor statistics\n    Packets: Sent = 0, Received = 0, Lost = 0 (0.0 %)\n";

TEST(Interrupt, BeforeProbingPrintsASummaryOfNothingAndEndsWithStatusOne) {
    fake::reset();
    fake::world.interrupt_armed = true;
    fake::world.interrupt_at = fake::world.now + 5;  // during the settling pause
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-o", "run.log"}), 1);
    EXPECT_EQ(fake::world.console, summary_zero);
    EXPECT_EQ(fake::log_text("run.log"), std::string(summary_zero));
    EXPECT_TRUE(fake::world.sent.empty());
    // Taken down even though nothing was started yet.
    EXPECT_EQ(fake::world.timer_ended, 1);
    EXPECT_EQ(fake::world.library_stopped, 1);
    EXPECT_EQ(fake::world.closed, std::vector<std::string>{"run.log"});
}

TEST(Interrupt, DuringARunSummarisesWhatWasSentSoFar) {
    fake::reset();
    fake::world.default_answer = fake::Answer{fake::Answer::reply, 3, 0};
    fake::world.interrupt_armed = true;
    // Request 1 goes out 32 ms after start; Ctrl-C comes while request 3's
    // period is slept out.
    fake::world.interrupt_at = fake::world.now + 32 + 2500;
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "0", "-o", "run.log"}), 1);
    const std::string expected =
        "\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 3 ms.\n!!"
        "\nqelvor statistics\n    Packets: Sent = 3, Received = 3, Lost = 0 (0.0 %)\n";
    EXPECT_EQ(fake::world.console, expected);
    EXPECT_EQ(fake::log_text("run.log"), "qelvor 127.0.0.10 -n 0 -o run.log \n" + expected);
    EXPECT_EQ(fake::world.closed.size(), 1u);
}

TEST(Summary, AfterASocketFailureGoesToTheConsoleOnly) {
    fake::reset();
    fake::world.socket_open_error = 10013;
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-o", "run.log"}), 0);
    EXPECT_EQ(fake::world.console,
              "socket function failed with error 10013\n" + std::string(summary_zero));
    // The log was closed when the socket failed: it holds the header only.
    EXPECT_EQ(fake::log_text("run.log"), "qelvor 127.0.0.10 -o run.log \n");
    EXPECT_EQ(fake::world.closed.size(), 1u);
    EXPECT_EQ(fake::world.errors, "");
}

TEST(Summary, AFailedLogWriteIsReportedAndTheStatusStaysZero) {
    fake::reset();
    fake::world.default_answer = fake::Answer{fake::Answer::reply, 1, 0};
    const std::string before_summary =
        "qelvor 127.0.0.10 -n 1 -o run.log \r\n"
        "\r\n00:00:00.000 [1] reply from 127.0.0.10 ; rtt 1 ms.\r\n";
    fake::world.failing_log = "run.log";
    fake::world.log_fail_after = before_summary.size();
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "1", "-o", "run.log"}), 0);
    EXPECT_EQ(fake::world.files["run.log"], before_summary);
    EXPECT_EQ(fake::world.errors, "Log file write failed.\n: No space left on device\n");
    EXPECT_NE(fake::world.console.find("Sent = 1, Received = 1"), std::string::npos);
}

}  // namespace
