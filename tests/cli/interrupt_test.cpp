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

// A run of qelvor on loopback that gets signal_number after delay: how it
// ended, what it printed, and its log (named log in dir, given as -o).
struct SignalledRun {
    CommandResult result;
    std::string out, err, log;
};

SignalledRun signal_run(const ScratchDir& dir, const std::string& name,
                        std::vector<std::string> arguments, std::chrono::microseconds delay,
                        int signal_number) {
    const std::string log = dir.file(name + ".log");
    arguments.insert(arguments.end(), {"-o", log});
    BackgroundProcess run =
        start_background(on_loopback(arguments), dir.file(name + ".out"), dir.file(name + ".err"));
    std::this_thread::sleep_for(delay);
    kill(run.pid(), signal_number);
    SignalledRun ended{run.wait(10s), "", "", ""};
    ended.out = read_file(dir.file(name + ".out"));
    ended.err = read_file(dir.file(name + ".err"));
    ended.log = read_file(log);
    return ended;
}

TEST(Interrupt, CtrlCDuringARunPrintsTheSummaryOnceAndEndsWithOne) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    ScratchDir dir;
    const SignalledRun run =
        signal_run(dir, "run", {"127.0.0.1", "-n", "0", "-p", "50"}, 600ms, SIGINT);
    EXPECT_EQ(run.result.exit_code, 1);
    const std::string& out = run.out;
    std::smatch console;
    ASSERT_TRUE(std::regex_search(out, console, summary_on_console)) << out;
    EXPECT_EQ(console.suffix().str(), "");
    EXPECT_EQ(count_of(out, "qelvor statistics"), 1u);
    EXPECT_GE(std::stoul(console[1]), 5u);
    EXPECT_EQ(console[1], console[2]);

    std::string sent_in_log;
    ASSERT_TRUE(log_ends_with_summary(run.log, &sent_in_log)) << run.log;
    EXPECT_EQ(sent_in_log, console[1]);
    EXPECT_EQ(count_of(run.log, "qelvor statistics"), 1u);
    EXPECT_EQ(run.err, "");
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
        const SignalledRun run = signal_run(dir, "storm" + std::to_string(i),
                                            {"127.0.0.1", "-a", "-p", "0", "-n", "2000"},
                                            std::chrono::microseconds(delay_us(random)), SIGINT);
        const CommandResult& result = run.result;
        ASSERT_FALSE(result.timed_out) << i;
        const std::string& console = run.out;
        const std::string& stored = run.log;
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
        EXPECT_EQ(run.err, "") << i;
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
        const SignalledRun run =
            signal_run(dir, "run", {"127.0.0.1", "-n", "0", "-p", "10"}, 1s, signal_number);
        EXPECT_EQ(run.result.term_signal, signal_number);
        const std::string& stored = run.log;
        const std::string header =
            qelvor_binary + " 127.0.0.1 -n 0 -p 10 -o " + dir.file("run.log") + " \r\n";
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
        EXPECT_EQ(std::regex_replace(run.out, std::regex("\n"), "\r\n"),
                  stored.substr(stored.find(" \r\n") + 3));
    }
}

}  // namespace
}  // namespace qelvor::test
