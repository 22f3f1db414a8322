// Whole runs on the scripted platform, in virtual time: for each command
// line and what the network and the clock do, the bytes on the console, in
// the log and on the error stream, and the exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "log_reader/log_scanner.h"
#include "probe/run_counters.h"
#include "record/loss.h"
#include "record/stamp.h"

namespace {

using fake::Answer;
using fake::World;

const Answer silence{Answer::Silence, 0, 0}, failure{Answer::ReceiveFailure, 1, 10054};

// clang-format off
// Lines of compact mode start with a newline; those of verbose mode (v) do not.
std::string reply(const char* stamp, int n, int rtt = 2, const char* start = "\n") {
    return start + std::string(stamp) + " [" + std::to_string(n) + "] reply from 127.0.0.10 ; rtt " + std::to_string(rtt) + " ms.\n";
}
std::string vreply(const char* stamp, int n, int rtt = 2) { return reply(stamp, n, rtt, ""); }
std::string no_reply(const char* stamp, int n, const char* start = "\n") {
    return start + std::string(stamp) + " [" + std::to_string(n) + "] no reply.\n";
}
std::string lost(int requests, long long ms) {
    return "    " + std::to_string(requests) + " request(s) have been lost since the last reply " + std::to_string(ms) + " ms ago.\n";
}
std::string summary(int sent, int received, const char* loss) {
    return "\nqelvor statistics\n    Packets: Sent = " + std::to_string(sent) + ", Received = " + std::to_string(received) +
           ", Lost = " + std::to_string(sent - received) + " (" + loss + " %)\n";
}

const std::string failed = "\nrecvfrom failed with error 10054\n\n", full = "\nsendto failed with error 10055\n\n",
                  disk_full = "Log file write failed.\n: No space left on device\n";

// Another program's echo reply and our own request looped back, every 100 ms over the first 12 s.
void foreign_traffic(World& w) {
    std::vector<uint8_t> own = fake::echo_reply_for({8, 0, 0, 0, 0x12, 0x34, 0, 1}, 0x0A00007F), other = fake::echo_reply_for({8, 0, 0, 0, 7, 7, 0, 1}, 1);
    own[20] = 8;
    for (uint32_t k = 0; k < 120; ++k) w.pending.insert(w.pending.end(), {{w.now + k * 100, other, 1, 0}, {w.now + k * 100 + 50, own, 0x0A00007F, 0}});
}

std::vector<std::string> command(const std::string& arguments) { return fake::words("qelvor 127.0.0.10 " + arguments); }

// The header line, then what the console shows, with CR LF.
std::string log_of(const std::vector<std::string>& arguments, const std::string& console) {
    std::string log;
    for (const std::string& argument : arguments) log += argument + " ";
    for (char ch : "\n" + console) log += ch == '\n' ? "\r\n" : std::string(1, ch);
    return log;
}

// Each run also has "-o run.log", which then holds the header line and, unless said otherwise,
// exactly the console's bytes, with CR LF (after the header: "-", whatever the run wrote).
struct Case { const char* what; const char* arguments; std::function<void(World&)> script; std::string console;
              int status = 0; std::string errors = ""; const char* log = nullptr; };

const Case cases[] = {
    {"outage and recovery", "-n 8", [](World& w) { w.answers = {{4, silence}, {5, silence}, {6, silence}}; },
     reply("00:00:00.000", 1) + "!!" + no_reply("00:00:03.000", 4) + ".." + reply("00:00:18.000", 7) +
         lost(3, 15998) + "!" + summary(8, 5, "37.5")},
    {"outage and recovery, verbose", "-a -n 7", [](World& w) { w.answers = {{4, silence}, {5, silence}, {6, silence}}; },
     vreply("00:00:00.000", 1) + vreply("00:00:01.000", 2) + vreply("00:00:02.000", 3) +
         no_reply("00:00:03.000", 4, "") + no_reply("00:00:08.000", 5, "") + no_reply("00:00:13.000", 6, "") +
         vreply("00:00:18.000", 7) + summary(7, 4, "42.9")},
    {"first reply after two silences", "-n 3 -w 500",
     [](World& w) { w.answers = {{1, silence}, {2, silence}, {3, {Answer::Reply, 4, 0}}}; },
     no_reply("00:00:00.000", 1) + "." + reply("00:00:02.000", 3, 4) + lost(2, 2000) + summary(3, 1, "66.7")},
    {"receive failure after a silence: in the next lost line", "-n 4 -w 500",
     [](World& w) { w.answers = {{2, silence}, {3, failure}}; },
     reply("00:00:00.000", 1) + no_reply("00:00:01.000", 2) + failed + reply("00:00:03.000", 4) + lost(2, 2998) +
         summary(4, 2, "50.0")},
    {"receive failure after a reply: only its report", "-n 3", [](World& w) { w.answers = {{2, failure}}; },
     reply("00:00:00.000", 1) + failed + "!" + summary(3, 2, "33.3")},
    {"receive failure, then a silence", "-n 4 -w 500", [](World& w) { w.answers = {{2, failure}, {3, silence}}; },
     reply("00:00:00.000", 1) + failed + no_reply("00:00:02.000", 3) + reply("00:00:03.000", 4) + lost(2, 2998) +
         summary(4, 2, "50.0")},
    {"receive failures before any outcome", "-n 3", [](World& w) { w.answers = {{1, failure}, {2, failure}}; },
     failed + failed + reply("00:00:02.000", 3) + lost(2, 2000) + summary(3, 1, "66.7")},
    {"two full send queues, then the request goes out", "-n 1", [](World& w) { w.send_errors = {10055, 10055, 0}; },
     full + full + reply("00:00:00.002", 1) + summary(1, 1, "0.0")},
    {"three full send queues: the request is lost, the run goes on", "-n 2",
     [](World& w) { w.send_errors = {10055, 10055, 10055}; },
     full + full + full + no_reply("00:00:00.002", 1) + reply("00:00:01.000", 2) + lost(1, 1000) +
         summary(2, 1, "50.0")},
    {"another send failure ends the run", "-n 5", [](World& w) { w.send_errors = {0, 10065}; },
     reply("00:00:00.000", 1) + "\nsendto failed with error 10065\n\n" + summary(1, 1, "0.0")},
    {"a send failure ends the run", "-n 5", [](World& w) { w.send_errors = {10065}; },
     "\nsendto failed with error 10065\n\n" + summary(0, 0, "0.0")},
    // The system tells only after the send call returned that the request never left the host.
    {"the same failure learnt late ends the run alike", "-n 5 -w 5000",
     [](World& w) { w.answers = {{1, {Answer::NotSent, 3, 10065}}}; },
     "\nsendto failed with error 10065\n\n" + summary(0, 0, "0.0")},
    {"three full send queues learnt late: the request is lost, the run goes on", "-n 2",
     [](World& w) { w.answers = {{1, {Answer::NotSent, 1, 10055}}}; w.send_errors = {0, 0, 10055}; },
     full + full + full + no_reply("00:00:00.004", 1) + reply("00:00:01.000", 2) + lost(1, 1000) +
         summary(2, 1, "50.0")},
    {"change limit 1: the second change ends the run", "-Q 1 -n 5 -w 500", [](World& w) { w.answers = {{2, silence}}; },
     reply("00:00:00.000", 1) + no_reply("00:00:01.000", 2) + summary(2, 1, "50.0")},
    {"period 0, in 15 arguments, the most there may be", "-a -a -a -a -a -a -a -p 0 -n 3", [](World&) {},
     vreply("00:00:00.000", 1) + vreply("00:00:00.002", 2) + vreply("00:00:00.004", 3) + summary(3, 3, "0.0")},
    {"a silent host: one request per wait, however busy the network", "-a -n 3",
     [](World& w) { w.default_answer = silence; foreign_traffic(w); },
     no_reply("00:00:00.000", 1, "") + no_reply("00:00:05.000", 2, "") + no_reply("00:00:10.000", 3, "") +
         summary(3, 0, "100.0")},
    {"a late reply is neither counted nor shown, a doubled one counted once, one at the wait counts, one that came before "
     "its request went out does not", "-a -n 3 -w 500",
     [](World& w) { w.answers = {{1, {Answer::Reply, 700, 0}}, {2, {Answer::Twice, 3, 0}}, {3, {Answer::Reply, 500, 0}}};
                    w.pending.push_back({w.now + 1532, fake::echo_reply_for({8, 0, 0, 0, 0x12, 0x34, 0, 3}, 1), 1, 0}); },
     no_reply("00:00:00.000", 1, "") + vreply("00:00:01.000", 2, 3) + vreply("00:00:02.000", 3, 500) + summary(3, 2, "33.3")},
    {"held up right after the send, foreign traffic queued ahead: the reply counts, with its own rtt", "-n 2 -w 1000",
     [](World& w) { w.answers = {{1, {Answer::Reply, 300, 0}}}, w.stalls = {{1, 3000}}, foreign_traffic(w); },
     reply("00:00:00.000", 1, 300) + "!" + summary(2, 2, "0.0")},
    {"held up: a reply that came after the wait is no reply", "-n 1 -w 1000",
     [](World& w) { w.answers = {{1, {Answer::Reply, 1500, 0}}}; w.stalls = {{1, 3000}}; },
     no_reply("00:00:00.000", 1) + summary(1, 0, "100.0")},
    {"replies the system matched (no bytes): a reply line; held up, one after the wait is no reply", "-a -n 2 -w 1000",
     [](World& w) { w.default_answer = {Answer::Matched, 3, 0}, w.answers = {{2, {Answer::Matched, 1500, 0}}}, w.stalls = {{2, 3000}}; },
     vreply("00:00:00.000", 1, 3) + no_reply("00:00:01.000", 2, "") + summary(2, 1, "50.0")},
    {"a reply in under 1 ms, its arrival read as before the send (held up between the clock "
     "reads): it counts", "-a -n 2 -p 0",
     [](World& w) { w.default_answer = {Answer::Reply, 0, 0}, w.early = {{1, 1}, {2, 3}}; },
     vreply("00:00:00.000", 1, 0) + vreply("00:00:00.000", 2, 0) + summary(2, 2, "0.0")},
    {"an outage of 2^32 ms: stamps and the lost line stay right", "-T -n 3 -w 500",
     [](World& w) { w.hours = 12, w.answers = {{2, silence}}, w.late = {{4, 1ull << 32}}; },
     reply("12:00:00.000", 1) + no_reply("12:00:01.000", 2) + reply("05:02:49.296", 3) + lost(1, 4294969294) +
         summary(3, 2, "33.3")},
    {"counts past 2^32: the request numbers and the summary stay right", "-a -n 0 -Q 1 -w 500",
     [](World& w) { w.counts_from = 4294967295u, w.answers = {{2, silence}}; },
     "00:00:00.000 [4294967296] reply from 127.0.0.10 ; rtt 2 ms.\n00:00:01.000 [4294967297] no reply.\n"
     "\nqelvor statistics\n    Packets: Sent = 4294967297, Received = 4294967296, Lost = 1 (0.0 %)\n"},
    {"time of day wraps at midnight", "-T -a -n 3",
     [](World& w) { w.hours = 23, w.minutes = 59, w.seconds = 58, w.milliseconds = 500; },
     vreply("23:59:58.500", 1) + vreply("23:59:59.500", 2) + vreply("00:00:00.500", 3) + summary(3, 3, "0.0")},
    {"-T: the local time the request went out, however late the start's pauses end", "-T -a -n 2",
     [](World& w) { w.hours = 8, w.late = {{1, 40}, {2, 7}}; },
     vreply("08:00:00.047", 1) + vreply("08:00:01.047", 2) + summary(2, 2, "0.0")},
    {"a late wake-up is made good; one a period late restarts the schedule", "-a -n 6",
     [](World& w) { w.late = {{4, 3}, {6, 1400}}; },
     vreply("00:00:00.000", 1) + vreply("00:00:01.000", 2) + vreply("00:00:02.003", 3) + vreply("00:00:03.000", 4) +
         vreply("00:00:05.400", 5) + vreply("00:00:06.400", 6) + summary(6, 6, "0.0")},
    {"the socket's own identifier", "-n 1", [](World& w) { w.socket_identifier = 0xABCD; },
     reply("00:00:00.000", 1) + summary(1, 1, "0.0")},
    {"the socket cannot be opened", "-n 3", [](World& w) { w.socket_open_error = 10013; },
     "socket function failed with error 10013\n" + summary(0, 0, "0.0"), 0, "", ""},
    // The first request goes out after two pauses of 16 ms (timer, settling); its reply would come 2 ms later.
    {"Ctrl-C while the first reply is on its way", "-n 0", [](World& w) { w.interrupt_at = w.now + 33; }, summary(1, 0, "100.0"), 1},
    {"Ctrl-C during the second period", "-n 0", [](World& w) { w.interrupt_at = w.now + 32 + 1500; },
     reply("00:00:00.000", 1) + "!" + summary(2, 2, "0.0"), 1},
    {"the console's reader has gone: with a log the run goes on", "-n 3", [](World& w) { w.console_gone = true; },
     reply("00:00:00.000", 1) + "!!" + summary(3, 3, "0.0")},
    {"the log's last block cannot be written", "-n 2 -p 0", [](World& w) { w.failing_log = "run.log"; },
     reply("00:00:00.000", 1) + "!" + summary(2, 2, "0.0"), 0, disk_full, "-"},
    // What is held is written out every 0.9 s; the write-out that takes the log past 4095 bytes
    // fails, and the run ends at the next mark.
    {"a log block cannot be written after a reply", "-n 0 -p 0", [](World& w) { w.failing_log = "run.log", w.log_fail_after = 4095; },
     reply("00:00:00.000", 1) + std::string(4049, '!') + summary(4050, 4050, "0.0"), 0,
     "Log file write failed.: No space left on device\n" + disk_full, "-"},
    {"the same after a silence", "-n 0 -p 0 -w 1",
     [](World& w) { w.default_answer = silence, w.failing_log = "run.log", w.log_fail_after = 4095; },
     no_reply("00:00:00.000", 1) + std::string(4487, '.') + summary(4488, 0, "100.0"), 0, disk_full + disk_full, "-"},
};
// clang-format on

// A request on the wire: 26 bytes, type 8, the identifier, the request
// number as sequence, a valid checksum, zeros. Each is sent again only after
// a failed attempt.
std::vector<uint8_t> request(uint16_t identifier, uint16_t sequence) {
    std::vector<uint8_t> bytes(26, 0);
    bytes[0] = 8, bytes[4] = identifier >> 8, bytes[5] = identifier & 0xFF;
    bytes[6] = sequence >> 8, bytes[7] = sequence & 0xFF;
    uint32_t sum = 0;
    for (std::size_t k = 0; k < 26; k += 2) sum += bytes[k] << 8 | bytes[k + 1];
    sum = ~((sum & 0xFFFF) + (sum >> 16));
    bytes[2] = static_cast<uint8_t>(sum >> 8), bytes[3] = static_cast<uint8_t>(sum);
    return bytes;
}

// What qelvor-log reads back from a log: each request with its time and
// outcome, each outage by its first request and start, each run's end.
struct ReadBack : qlog::RunSink {
    std::string requests, outages, runs;
    int64_t days = 0;  // whole days from the first request to the last
    bool wants_each_request() const override { return true; }
    void request(const qlog::Run&, uint64_t n, int64_t time_ms, qlog::Outcome outcome,
                 std::optional<uint32_t>) override {
        record::Stamp s = record::stamp_of(static_cast<uint64_t>(time_ms));
        char row[64];
        std::snprintf(row, sizeof row, "[%llu] %02u:%02u:%02u.%03u %c\n",
                      static_cast<unsigned long long>(n), s.hours, s.minutes, s.seconds,
                      s.milliseconds, "R.F"[static_cast<int>(outcome)]);
        requests += row;
    }
    void outage(const qlog::Run&, const qlog::Outage& o) override {
        outages += std::to_string(o.first_request) + " ";
    }
    void run_ends(const qlog::Run& run) override {
        days = (run.last_ms - run.start_ms.value_or(0)) / static_cast<int64_t>(record::day_ms);
        runs += std::to_string(run.sent()) + " " + std::to_string(run.received()) + " " +
                std::to_string(run.loss_tenths()) + " " + qlog::ending_name(run.ending) + "\n";
    }
};

// The same facts as the console shows them: each line's stamp and outcome, the marks and
// failed receives counted as requests; outages where silence follows a reply or the start.
void as_shown(const std::string& console, std::string* requests, std::string* outages) {
    unsigned long long n = 0;
    char last = 'R', stamp[16];
    auto add = [&](char outcome) {
        if (outcome == '.' && last != '.') *outages += std::to_string(n) + " ";
        if (outcome != 'F') last = outcome;
    };
    for (std::size_t at = 0, end; at < console.size(); at = end + 1) {
        end = console.find('\n', at);
        std::string line = console.substr(at, end - at);
        if (line.find_first_not_of("!.") == std::string::npos) {
            for (char mark : line)
                *requests += "[" + std::to_string(++n) + "] " + (mark == '!' ? "R" : "."),
                    add(mark);
        } else if (std::sscanf(line.c_str(), "%15s [%llu]", stamp, &n) == 2) {
            char outcome = line.find(" no reply.") != std::string::npos ? '.' : 'R';
            *requests += "[" + std::to_string(n) + "] " + stamp + " " + outcome + "\n",
                add(outcome);
        } else if (line.starts_with("recvfrom failed")) {
            *requests += "[" + std::to_string(++n) + "] F\n", add('F');
        }
    }
}

TEST(Run, Table) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        c.script(fake::world);
        std::vector<std::string> arguments = command(std::string(c.arguments) + " -o run.log");
        EXPECT_EQ(fake::run(arguments), c.status);
        // Read back, the log of every whole run tells what the run counted and showed.
        if (!c.log) {
            ReadBack read;
            qlog::LogScanner scanner(read, nullptr);
            scanner.feed(fake::world.files["run.log"].data(), fake::world.files["run.log"].size());
            scanner.end_of_file(), scanner.finish();
            uint64_t sent = qelvor::requests_sent(), received = qelvor::replies_received();
            std::string args = c.arguments,
                        ending = c.status == 1                                        ? "interrupt"
                                 : args.find("-Q") != std::string::npos               ? "changes"
                                 : c.console.find("error 10065") != std::string::npos ? "failure"
                                                                                      : "count";
            EXPECT_EQ(read.runs, std::to_string(sent) + " " + std::to_string(received) + " " +
                                     std::to_string(record::loss_tenths(sent, received)) + " " +
                                     ending + "\n");
            std::string requests, outages;
            as_shown(c.console, &requests, &outages);
            std::string
                placed;  // the reader's rows for the requests with lines; marks by outcome alone
            for (std::size_t at = 0, end; at < read.requests.size(); at = end + 1) {
                end = read.requests.find('\n', at);
                std::string row = read.requests.substr(at, end - at),
                            number = row.substr(0, row.find(' '));
                std::size_t shown = requests.find(number + " ");
                bool stamped = shown != std::string::npos &&
                               requests.compare(shown + number.size() + 1, 1, "R") &&
                               requests.compare(shown + number.size() + 1, 1, ".") &&
                               requests[shown + number.size() + 1] != 'F';
                placed += stamped ? row + "\n"
                                  : number + " " +
                                        (row.back() == 'F' ? "F\n" : row.substr(row.size() - 1));
            }
            EXPECT_EQ(placed, requests);
            EXPECT_EQ(read.outages, outages);
            EXPECT_EQ(read.days, (fake::world.last_send - fake::world.first_send) / record::day_ms);
            EXPECT_EQ(scanner.complaints(), 0u);
        }
        EXPECT_EQ(fake::world.console, fake::world.console_gone ? "" : c.console);
        EXPECT_EQ(fake::world.errors, c.errors);
        uint16_t identifier =
            fake::world.socket_identifier ? fake::world.socket_identifier : 0x1234;
        for (std::size_t i = 0, sequence = 1; i < fake::world.sent.size(); ++i) {
            if (i > 0 && fake::world.sent[i] != fake::world.sent[i - 1]) ++sequence;
            ASSERT_EQ(fake::world.sent[i], request(identifier, static_cast<uint16_t>(sequence)));
        }
        if (c.log && *c.log == '-') continue;
        EXPECT_EQ(fake::world.files["run.log"], log_of(arguments, c.log ? c.log : c.console));
    }
}

// What the run wrote is in the log within its second, also while the run sleeps out a period
// or waits for a silent host: the log as it stands at a moment (ms after the first request).
TEST(Run, LogWhileRunning) {
    struct {
        const char* arguments;
        Answer answer;
        uint64_t at;
        std::string console;
    } cases[] = {{"-n 2", Answer{}, 500, reply("00:00:00.000", 1)},
                 {"-n 3", silence, 10950, no_reply("00:00:00.000", 1) + "."}};
    for (const auto& c : cases) {
        fake::reset();
        fake::world.default_answer = c.answer,
        fake::world.snapshot_at = fake::world.now + 32 + c.at;
        std::vector<std::string> arguments = command(std::string(c.arguments) + " -o run.log");
        fake::run(arguments);
        EXPECT_EQ(fake::world.snapshot, log_of(arguments, c.console)) << c.arguments;
    }
}

// No log, and nothing can be seen any more: the run ends, as if its count were reached. On a
// pipe that is seen when what it holds is written out, within the second.
TEST(Run, NothingCanBeSeenAnyMore) {
    struct {
        const char* arguments;
        bool piped;
        std::size_t requests;
    } cases[] = {{"", false, 1}, {"-n 0 -p 100", true, 10}, {"-n 0 -p 1000", true, 1}};
    for (const auto& c : cases) {
        fake::reset();
        fake::world.console_gone = true, fake::world.console_piped = c.piped;
        EXPECT_EQ(fake::run(command(c.arguments)), 0) << c.arguments;
        EXPECT_EQ(fake::world.sent.size(), c.requests) << c.arguments;
    }
}

// clang-format off
TEST(Run, StartUpFailures) {
    const std::string too_long = "-o " + std::string(128, 'a');  // 127 bytes at most
    struct { const char* arguments; std::function<void(World&)> script; std::string console, errors; bool log_created; } cases[] = {
        {"-o run.log -p 1001", [](World&) {}, "usage", "", true},
        {"-p 1001 -o run.log", [](World&) {}, "usage", "", false},
        {"-o run.log -o run.log", [](World&) {}, "", "Log file open failed.: Permission denied\n", true},
        {"-o run.log -o", [](World& w) { w.open_errors = {{"run.log", 2}}; }, "", "Log file open failed.: No such file or directory\n", false},
        {"-o run.log", [](World& w) { w.interrupt_install_fails = true; }, "", "signal failed.: Invalid argument\n", true},
        {"-o run.log", [](World& w) { w.startup_error = 10091; }, "WSAStartup failed: 10091\n", "", true},
        {too_long.c_str(), [](World&) {}, "usage", "", false},
        {"-a -a -a -a -a -a -a -a -a -a -a -a -o run.log", [](World&) {}, "usage", "", false}};  // 16 arguments
    for (const auto& c : cases) {
        fake::reset();
        c.script(fake::world);
        EXPECT_EQ(fake::run(command(c.arguments)), 1) << c.arguments;
        EXPECT_EQ(fake::world.console.compare(0, 3, "コ") ? fake::world.console : "usage", c.console) << c.arguments;
        EXPECT_EQ(fake::world.errors, c.errors) << c.arguments;
        // Created, and left empty, by an -o before the failure; nothing sent.
        EXPECT_EQ(fake::world.files.count("run.log") ? "[" + fake::world.files["run.log"] + "]" : "", c.log_created ? "[]" : "");
        EXPECT_TRUE(fake::world.sent.empty()) << c.arguments;
    }
}
// clang-format on

}  // namespace
