// Ctrl-C, termination and hang-up against the real binary: the summary is
// written whole and once, the log ends with it, and nothing reported is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "qelvor_binary.h"
#include "support/privilege.h"

namespace qelvor::test {
namespace {

using namespace std::chrono_literals;

const std::regex summary_on_console(
    "\nqelvor statistics\n    Packets: Sent = (\\d+), Received = (\\d+), Lost = (\\d+) "
    "\\((\\d+\\.\\d) %\\)\n");
const std::regex summary_in_log(
    "\r\nqelvor statistics\r\n    Packets: Sent = (\\d+), Received = (\\d+), Lost = (\\d+) "
    "\\((\\d+\\.\\d) %\\)\r\n");

// True when the log ends with one whole summary and nothing after it; its
// sent count goes to sent.
bool log_ends_with_summary(const std::string& stored, std::string* sent) {
    std::size_t at = stored.rfind("\r\nqelvor statistics\r\n");
    if (at == std::string::npos) return false;
    std::smatch match;
    std::string tail = stored.substr(at);
    if (!std::regex_match(tail, match, summary_in_log)) return false;
    *sent = match[1];
    return true;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Number of threads of a process: the signal thread exists once the
// interrupt path is installed.
int thread_count(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return 0;
}

TEST(Interrupt, CtrlCDuringARunPrintsTheSummaryOnceAndEndsWithOne) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    ScratchDir dir;
    const std::string log = dir.file("run.log");
    BackgroundProcess run =
        start_background(on_loopback({"127.0.0.1", "-n", "0", "-p", "50", "-o", log}),
                         dir.file("out"), dir.file("err"));
    std::this_thread::sleep_for(600ms);
    kill(run.pid(), SIGINT);
    CommandResult result = run.wait(10s);
    EXPECT_EQ(result.exit_code, 1);
    const std::string out = read_file(dir.file("out"));
    std::smatch console;
    ASSERT_TRUE(std::regex_search(out, console, summary_on_console)) << out;
    EXPECT_EQ(console.suffix().str(), "");
    EXPECT_EQ(count_of(out, "qelvor statistics"), 1u);
    EXPECT_GE(std::stoul(console[1]), 5u);
    EXPECT_EQ(console[1], console[2]);

    const std::string stored = read_file(log);
    std::string sent_in_log;
    ASSERT_TRUE(log_ends_with_summary(stored, &sent_in_log)) << stored;
    EXPECT_EQ(sent_in_log, console[1]);
    EXPECT_EQ(count_of(stored, "qelvor statistics"), 1u);
    EXPECT_EQ(read_file(dir.file("err")), "");
}

TEST(Interrupt, CtrlCBeforeProbingSummarisesNothing) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    ScratchDir dir;
    BackgroundProcess run =
        start_background(on_loopback({"127.0.0.1", "-n", "0"}), dir.file("out"), dir.file("err"));
    // The first request goes out 32 ms after the handler is installed.
    bool installed = false;
    for (int i = 0; i < 20000 && !installed; ++i) {
        installed = thread_count(run.pid()) >= 2;
        if (!installed) usleep(100);
    }
    ASSERT_TRUE(installed);
    kill(run.pid(), SIGINT);
    CommandResult result = run.wait(10s);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(read_file(dir.file("out")),
              "\nqelvor statistics\n    Packets: Sent = 0, Received = 0, Lost = 0 (0.0 %)\n");
}

// Interrupts at random moments, from before the handler exists to after the
// run ended, and checks every outcome is one a user could accept.
TEST(Interrupt, StormOfInterruptsNeverTearsTheSummaryOrTheLog) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    ScratchDir dir;
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delay_us(0, 120000);
    int interrupted = 0, finished = 0, before_handler = 0;
    for (int i = 0; i < 100; ++i) {
        const std::string log = dir.file("storm" + std::to_string(i) + ".log");
        const std::string out = dir.file("storm" + std::to_string(i) + ".out");
        const std::string err = dir.file("storm" + std::to_string(i) + ".err");
        BackgroundProcess run = start_background(
            on_loopback({"127.0.0.1", "-a", "-p", "0", "-n", "2000", "-o", log}), out, err);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        kill(run.pid(), SIGINT);
        CommandResult result = run.wait(10s);
        ASSERT_FALSE(result.timed_out) << i;
        const std::string console = read_file(out);
        const std::string stored = read_file(log);
        if (result.term_signal == SIGINT) {
            // Before the handler was installed: the default action, nothing
            // written anywhere.
            ++before_handler;
            EXPECT_EQ(console, "") << i;
            EXPECT_EQ(stored, "") << i;
            continue;
        }
        ASSERT_TRUE(result.exit_code == 1 || result.exit_code == 0) << i << " " << result.err;
        (result.exit_code == 1 ? interrupted : finished) += 1;
        EXPECT_EQ(read_file(err), "") << i;
        std::smatch on_console;
        ASSERT_TRUE(std::regex_search(console, on_console, summary_on_console)) << i << console;
        EXPECT_EQ(on_console.suffix().str(), "") << i;
        EXPECT_EQ(count_of(console, "qelvor statistics"), 1u) << i;
        std::string sent_in_log;
        ASSERT_TRUE(log_ends_with_summary(stored, &sent_in_log)) << i;
        EXPECT_EQ(count_of(stored, "qelvor statistics"), 1u) << i;
        EXPECT_EQ(sent_in_log, on_console[1]) << i;
        if (result.exit_code == 0) {
            EXPECT_EQ(on_console[1], "2000") << i;
        }
    }
    // The moments spread over the whole life of a run.
    EXPECT_GT(interrupted, 20);
    std::cout << "interrupted " << interrupted << ", finished " << finished
              << ", before the handler " << before_handler << "\n";
}

TEST(Interrupt, TerminationAndHangUpLoseNothingReported) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    for (int signal_number : {SIGTERM, SIGHUP}) {
        ScratchDir dir;
        const std::string log = dir.file("run.log");
        BackgroundProcess run =
            start_background(on_loopback({"127.0.0.1", "-n", "0", "-p", "10", "-o", log}),
                             dir.file("out"), dir.file("err"));
        std::this_thread::sleep_for(1s);
        kill(run.pid(), signal_number);
        CommandResult result = run.wait(10s);
        EXPECT_EQ(result.term_signal, signal_number);
        const std::string stored = read_file(log);
        const std::string header = qelvor_binary + " 127.0.0.1 -n 0 -p 10 -o " + log + " \r\n";
        const std::regex first_line(
            "\r\n00:00:00\\.000 \\[1\\] reply from 127\\.0\\.0\\.1 ; rtt [01] ms\\.\r\n");
        ASSERT_EQ(stored.rfind(header, 0), 0u) << stored;
        std::size_t marks_at = stored.find("ms.\r\n") + 5;
        ASSERT_TRUE(
            std::regex_match(stored.substr(header.size(), marks_at - header.size()), first_line))
            << stored;
        // About a hundred requests were answered in that second; every one shows.
        const std::string marks = stored.substr(marks_at);
        EXPECT_EQ(marks, std::string(marks.size(), '!'));
        EXPECT_GE(marks.size(), 80u);
        const std::string console = read_file(dir.file("out"));
        EXPECT_EQ(std::regex_replace(console, std::regex("\n"), "\r\n"),
                  stored.substr(stored.find(" \r\n") + 3));
    }
}

}  // namespace
}  // namespace qelvor::test
