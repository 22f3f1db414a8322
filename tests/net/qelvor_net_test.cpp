// The real binary against the kernel's network stack: qelvor runs in the client namespace of a
// NetnsPair and watches the scripted icmp_peer on the other side of the veth pair. What is checked
// is what a user gets: the console lines, their stamps, the summary, and the requests on the wire
// as the peer recorded them.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/netns.h"
#include "support/peer_run.h"
#include "support/privilege.h"

namespace qelvor::test {
namespace {

using std::chrono::milliseconds;

constexpr const char* kQelvor = QELVOR_BINARY;
constexpr const char* kPeer = QELVOR_ICMP_PEER;

// ---------------------------------------------------------------------------------------------
// Reading what qelvor printed

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// One stamped outcome line, "HH:MM:SS.mmm [N] reply from A ; rtt R ms." or "... [N] no reply."
struct Outcome {
    long stamp_ms = -1;
    unsigned request = 0;
    bool reply = false;
    std::string from;
    long rtt_ms = -1;
};

bool parse_outcome(const std::string& line, Outcome& out) {
    static const std::regex re(
        R"(^(\d\d):(\d\d):(\d\d)\.(\d\d\d) \[(\d+)\] (?:reply from (\d+\.\d+\.\d+\.\d+) ; rtt (\d+) ms\.|no reply\.)$)");
    std::smatch m;
    if (!std::regex_match(line, m, re)) {
        return false;
    }
    out.stamp_ms =
        ((std::stol(m[1]) * 60 + std::stol(m[2])) * 60 + std::stol(m[3])) * 1000 + std::stol(m[4]);
    out.request = static_cast<unsigned>(std::stoul(m[5]));
    out.reply = m[6].matched;
    if (out.reply) {
        out.from = m[6];
        out.rtt_ms = std::stol(m[7]);
    }
    return true;
}

std::vector<Outcome> outcomes_of(const std::string& text) {
    std::vector<Outcome> all;
    for (const std::string& line : lines_of(text)) {
        Outcome o;
        if (parse_outcome(line, o)) {
            all.push_back(o);
        }
    }
    return all;
}

// The summary's packet line, as printed.
std::string packets_line(unsigned sent, unsigned received, const std::string& percent) {
    return "    Packets: Sent = " + std::to_string(sent) +
           ", Received = " + std::to_string(received) +
           ", Lost = " + std::to_string(sent - received) + " (" + percent + " %)";
}

std::string summary_tail(const std::string& out) {
    const std::size_t at = out.find("\nqelvor statistics\n");
    return at == std::string::npos ? std::string() : out.substr(at);
}

// ---------------------------------------------------------------------------------------------
// One run of qelvor against the scripted peer

struct Observed {
    CommandResult qelvor;
    std::vector<SeenRequest> seen;
    std::vector<SentPacket> sent;
    std::string peer_addr;
    std::int64_t ended_us = 0;  // when qelvor had exited, on the clock of the peer's records
};

Observed run_against_peer(const NetnsPair& net, const std::string& script,
                          const std::vector<std::string>& options,
                          milliseconds timeout = milliseconds(15'000)) {
    PeerRun peer(net, kPeer, script, timeout + milliseconds(5'000));
    std::vector<std::string> argv{kQelvor, net.peer_addr()};
    argv.insert(argv.end(), options.begin(), options.end());
    Observed seen;
    seen.qelvor = net.run_in_client(argv, timeout);
    seen.ended_us = monotonic_us();
    peer.stop();
    seen.seen = peer.seen();
    seen.sent = peer.sent();
    seen.peer_addr = net.peer_addr();
    return seen;
}

std::string describe(const Observed& o) {
    return "exit " + std::to_string(o.qelvor.exit_code) + "\n--- stdout ---\n" + o.qelvor.out +
           "--- stderr ---\n" + o.qelvor.err;
}

class QelvorNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        QELVOR_REQUIRE_ROOT_OR_SKIP();
        net_ = std::make_unique<NetnsPair>(std::chrono::seconds(60));
    }
    std::unique_ptr<NetnsPair> net_;
};

// The schedule of -p 100 -w 300 with requests 4 to 6 unanswered: every request starts a period
// after the one before, except that a full wait (longer than the period) is followed at once.
constexpr long kOutageSchedule[] = {0, 100, 200, 300, 600, 900, 1200, 1300, 1400, 1500, 1600, 1700};
const std::vector<std::string> kOutageOptions{"-p", "100", "-w", "300", "-n", "12"};
constexpr const char* kOutageScript = "drop 4-6\n";

// Full waits that end before each request is sent: requests 5, 6 and 7 each follow one.
constexpr long kWaitsBefore[] = {0, 0, 0, 0, 1, 2, 3, 3, 3, 3, 3, 3};

// Stamps are milliseconds since the run's start, and each follows the schedule within 2 ms. A
// request sent at once after a full wait goes out when that wait has ended, which a busy machine
// may see a millisecond late, and the requests after it keep that offset: each wait before a
// request widens its window by a millisecond.
void expect_on_schedule(const Outcome& o, const std::string& context) {
    ASSERT_GE(o.request, 1u);
    ASSERT_LE(o.request, 12u);
    const long due = kOutageSchedule[o.request - 1];
    EXPECT_GE(o.stamp_ms, due - 2) << "request " << o.request << context;
    EXPECT_LE(o.stamp_ms, due + 2 + kWaitsBefore[o.request - 1])
        << "request " << o.request << context;
}

TEST_F(QelvorNetTest, OutageAndRecoveryCompact) {
    const Observed o = run_against_peer(*net_, kOutageScript, kOutageOptions);
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto lines = lines_of(o.qelvor.out);
    // The summary's leading newline ends the row of marks, so no empty line comes before it.
    ASSERT_EQ(lines.size(), 10u) << describe(o);

    const std::string stamp = R"(\d\d:\d\d:\d\d\.\d\d\d )";
    const std::string from =
        "reply from " + std::regex_replace(o.peer_addr, std::regex(R"(\.)"), R"(\.)");
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(
        std::regex_match(lines[1], std::regex(stamp + R"(\[1\] )" + from + R"( ; rtt \d+ ms\.)")))
        << lines[1];
    EXPECT_EQ(lines[2], "!!");
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(stamp + R"(\[4\] no reply\.)"))) << lines[3];
    EXPECT_EQ(lines[4], "..");
    EXPECT_TRUE(
        std::regex_match(lines[5], std::regex(stamp + R"(\[7\] )" + from + R"( ; rtt \d+ ms\.)")))
        << lines[5];
    std::smatch lost;
    ASSERT_TRUE(std::regex_match(
        lines[6], lost,
        std::regex(R"(    3 request\(s\) have been lost since the last reply (\d+) ms ago\.)")))
        << lines[6];
    EXPECT_EQ(lines[7], "!!!!!");
    EXPECT_EQ(lines[8], "qelvor statistics");
    EXPECT_EQ(lines[9], packets_line(12, 9, "25.0"));

    const auto outcomes = outcomes_of(o.qelvor.out);
    ASSERT_EQ(outcomes.size(), 3u);
    for (const Outcome& oc : outcomes) {
        expect_on_schedule(oc, "\n" + o.qelvor.out);
    }
    // The time is from the arrival of the last reply (request 3's, shown only as a mark, sent at
    // 200 ms and answered at once) to the send of the request whose reply ended the outage.
    const long gap = outcomes[2].stamp_ms - kOutageSchedule[2];
    EXPECT_GE(std::stol(lost[1]), gap - 5) << o.qelvor.out;
    EXPECT_LE(std::stol(lost[1]), gap + 2) << o.qelvor.out;
}

TEST_F(QelvorNetTest, OutageAndRecoveryVerboseShowsEveryRequest) {
    std::vector<std::string> options = kOutageOptions;
    options.push_back("-a");
    const Observed o = run_against_peer(*net_, kOutageScript, options);
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto lines = lines_of(o.qelvor.out);
    ASSERT_EQ(lines.size(), 12u + 3u) << describe(o);
    const std::string from = "reply from " + o.peer_addr + " ; rtt ";
    for (unsigned k = 1; k <= 12; ++k) {
        const std::string& line = lines[k - 1];
        Outcome oc;
        ASSERT_TRUE(parse_outcome(line, oc)) << line;
        EXPECT_EQ(oc.request, k) << line;
        if (k >= 4 && k <= 6) {
            EXPECT_FALSE(oc.reply) << line;
        } else {
            EXPECT_TRUE(oc.reply) << line;
            EXPECT_NE(line.find(from), std::string::npos) << line;
        }
        expect_on_schedule(oc, "\n" + o.qelvor.out);
    }
    // Verbose mode has no marks and no lost-requests line.
    EXPECT_EQ(o.qelvor.out.find("!"), std::string::npos);
    EXPECT_EQ(o.qelvor.out.find("lost since"), std::string::npos);
    EXPECT_EQ(lines[12], "");
    EXPECT_EQ(lines[13], "qelvor statistics");
    EXPECT_EQ(lines[14], packets_line(12, 9, "25.0"));
}

// The loss percentage has one decimal, rounded up from the half.
TEST_F(QelvorNetTest, LossPercentages) {
    struct Case {
        unsigned count;
        unsigned dropped_seq;
        const char* percent;
    };
    for (const Case& c : {Case{16, 9, "6.3"}, Case{400, 200, "0.3"}}) {
        SCOPED_TRACE(c.count);
        const Observed o = run_against_peer(*net_, "drop " + std::to_string(c.dropped_seq) + "\n",
                                            {"-p", "0", "-w", "50", "-n", std::to_string(c.count)});
        ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
        EXPECT_EQ(summary_tail(o.qelvor.out),
                  "\nqelvor statistics\n" + packets_line(c.count, c.count - 1, c.percent) + "\n")
            << o.qelvor.out;
        EXPECT_EQ(o.seen.size(), c.count);
    }
}

// A reply that comes after its wait is over is not the reply of the request then waiting: it is
// neither counted nor shown. Request 2's reply arrives 150 ms after it, before request 3 is sent,
// so it is the first thing request 3's wait reads.
TEST_F(QelvorNetTest, LateReplyIsIgnored) {
    const Observed o =
        run_against_peer(*net_, "delay 2 150\n", {"-p", "200", "-w", "100", "-n", "4", "-a"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto outcomes = outcomes_of(o.qelvor.out);
    ASSERT_EQ(outcomes.size(), 4u) << describe(o);
    for (unsigned k = 0; k < 4; ++k) {
        EXPECT_EQ(outcomes[k].request, k + 1);
        EXPECT_EQ(outcomes[k].reply, k != 1) << o.qelvor.out;
    }
    EXPECT_EQ(summary_tail(o.qelvor.out),
              "\nqelvor statistics\n" + packets_line(4, 3, "25.0") + "\n");
    // The late reply did go out.
    int late = 0;
    for (const SentPacket& p : o.sent) {
        late += p.what == "reply" && p.seq == 2 ? 1 : 0;
    }
    EXPECT_EQ(late, 1);
}

// Extra copies of a reply are read during the next request's wait and do not match it.
TEST_F(QelvorNetTest, DuplicateRepliesCountOnce) {
    const Observed o =
        run_against_peer(*net_, "duplicate 2 3\n", {"-p", "100", "-w", "300", "-n", "4"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto lines = lines_of(o.qelvor.out);
    ASSERT_EQ(lines.size(), 5u) << describe(o);
    EXPECT_EQ(lines[2], "!!!");
    EXPECT_EQ(lines[4], packets_line(4, 4, "0.0"));
    EXPECT_EQ(o.sent.size(), 6u);
}

// The reply rule looks at the type, identifier and sequence only, not at the checksum, and the
// raw socket hands over echo replies whatever their checksum: a reply with a broken checksum is
// taken as the reply.
TEST_F(QelvorNetTest, BrokenChecksumReplyIsAccepted) {
    const Observed o =
        run_against_peer(*net_, "bad-checksum 2\n", {"-p", "100", "-w", "300", "-n", "4", "-a"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto outcomes = outcomes_of(o.qelvor.out);
    ASSERT_EQ(outcomes.size(), 4u) << describe(o);
    for (const Outcome& oc : outcomes) {
        EXPECT_TRUE(oc.reply) << o.qelvor.out;
    }
    EXPECT_EQ(summary_tail(o.qelvor.out),
              "\nqelvor statistics\n" + packets_line(4, 4, "0.0") + "\n");
}

// The reply rule does not look at the sender: a reply from another address of the host is taken,
// and the line names the address it came from.
TEST_F(QelvorNetTest, ReplyFromAnotherAddressIsTakenAndNamed) {
    const std::string other = net_->peer_alt_addr();
    const Observed o = run_against_peer(*net_, "from 2 " + other + "\n",
                                        {"-p", "100", "-w", "300", "-n", "3", "-a"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto outcomes = outcomes_of(o.qelvor.out);
    ASSERT_EQ(outcomes.size(), 3u) << describe(o);
    EXPECT_EQ(outcomes[0].from, o.peer_addr);
    EXPECT_EQ(outcomes[1].from, other);
    EXPECT_EQ(outcomes[2].from, o.peer_addr);
}

// The reply rule reads the ICMP message at a fixed offset of 20 bytes. A reply whose IPv4 header
// carries options puts it further on, so it is not recognised: the request counts as unanswered.
TEST_F(QelvorNetTest, ReplyWithIpOptionsIsNotRecognised) {
    const Observed o =
        run_against_peer(*net_, "ip-options 2 nop\n", {"-p", "100", "-w", "200", "-n", "3", "-a"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto outcomes = outcomes_of(o.qelvor.out);
    ASSERT_EQ(outcomes.size(), 3u) << describe(o);
    EXPECT_TRUE(outcomes[0].reply);
    EXPECT_FALSE(outcomes[1].reply) << o.qelvor.out;
    EXPECT_TRUE(outcomes[2].reply);
    EXPECT_EQ(summary_tail(o.qelvor.out),
              "\nqelvor statistics\n" + packets_line(3, 2, "33.3") + "\n");
}

// Another program pinging the same host from the same namespace, 20 times a second, while the
// host answers only that program: its replies wake qelvor's wait but must not stretch it, so
// every request still ends at its wait time.
TEST_F(QelvorNetTest, ForeignEchoTrafficDoesNotStretchTheWait) {
    constexpr int kOtherId = 4242;
    PeerRun peer(*net_, kPeer, "answer-id " + std::to_string(kOtherId) + "\n",
                 milliseconds(20'000));
    BackgroundProcess other =
        net_->start_in_client({"ping", "-n", "-q", "-i", "0.05", "-c", "60", "-w", "8", "-e",
                               std::to_string(kOtherId), net_->peer_addr()},
                              net_->work_dir() + "/ping.out", net_->work_dir() + "/ping.err");
    // Let the other program's traffic get going first.
    std::this_thread::sleep_for(milliseconds(300));
    const CommandResult q =
        net_->run_in_client({kQelvor, net_->peer_addr(), "-p", "0", "-w", "200", "-n", "5", "-a"},
                            milliseconds(10'000));
    other.stop();
    peer.stop();
    ASSERT_EQ(q.exit_code, 0) << q.out << q.err;

    const auto seen = peer.seen();
    int ours = 0;
    int theirs = 0;
    for (const SeenRequest& r : seen) {
        if (r.id == kOtherId) {
            ++theirs;
        } else {
            ++ours;
        }
    }
    if (ours != 5) {
        GTEST_SKIP() << "qelvor's identifier happened to be " << kOtherId;
    }
    EXPECT_GE(theirs, 10) << "the other program's traffic did not flow";

    const auto outcomes = outcomes_of(q.out);
    ASSERT_EQ(outcomes.size(), 5u) << q.out;
    for (unsigned k = 0; k < 5; ++k) {
        EXPECT_FALSE(outcomes[k].reply) << q.out;
        if (k > 0) {
            const long step = outcomes[k].stamp_ms - outcomes[k - 1].stamp_ms;
            EXPECT_GE(step, 200) << q.out;
            EXPECT_LE(step, 205) << q.out;
        }
    }
    EXPECT_EQ(summary_tail(q.out), "\nqelvor statistics\n" + packets_line(5, 0, "100.0") + "\n");
}

// ICMP errors and other messages around the replies change nothing the user sees.
TEST_F(QelvorNetTest, OtherIcmpAroundRepliesIsIgnored) {
    const std::vector<std::string> options{"-p", "50", "-w", "300", "-n", "5"};
    const Observed clean = run_against_peer(*net_, "", options);
    ASSERT_EQ(clean.qelvor.exit_code, 0) << describe(clean);
    const std::string digits_free =
        std::regex_replace(clean.qelvor.out, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d|rtt \d+)"), "#");
    for (const char* script :
         {"send * before unreachable\n", "send * after timestamp\n", "send * before wrong-id\n",
          "send * after wrong-seq\n", "send * before time-exceeded\nsend * after echo-request\n"}) {
        SCOPED_TRACE(script);
        const Observed o = run_against_peer(*net_, script, options);
        ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
        EXPECT_EQ(
            std::regex_replace(o.qelvor.out, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d|rtt \d+)"), "#"),
            digits_free);
        EXPECT_GE(o.sent.size(), 10u) << "the extra messages were not sent";
    }
}

// Each request on the wire: 26 bytes of ICMP with a valid checksum, one identifier for the whole
// run, sequences counting from 1, and 18 zero data bytes.
TEST_F(QelvorNetTest, RequestsOnTheWire) {
    const Observed o = run_against_peer(*net_, "", {"-p", "0", "-w", "100", "-n", "6"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    ASSERT_EQ(o.seen.size(), 6u);
    for (std::size_t k = 0; k < o.seen.size(); ++k) {
        const SeenRequest& r = o.seen[k];
        EXPECT_EQ(r.length, 26u);
        EXPECT_TRUE(r.checksum_ok);
        EXPECT_EQ(r.id, o.seen[0].id);
        EXPECT_EQ(r.seq, k + 1);
        EXPECT_EQ(r.data_hex, std::string(36, '0'));
    }
}

// With -Q 2 the run ends after the third change: replies, silence, replies again. The request
// that made it is reported and its period slept out, and nothing more is sent.
TEST_F(QelvorNetTest, ChangeLimitEndsTheRun) {
    const Observed o =
        run_against_peer(*net_, "drop 3-4\n", {"-p", "100", "-w", "100", "-n", "0", "-Q", "2"});
    ASSERT_EQ(o.qelvor.exit_code, 0) << describe(o);
    const auto lines = lines_of(o.qelvor.out);
    ASSERT_EQ(lines.size(), 10u) << describe(o);
    EXPECT_EQ(lines[2], "!");
    EXPECT_EQ(lines[4], ".");
    Outcome last;
    ASSERT_TRUE(parse_outcome(lines[5], last)) << lines[5];
    EXPECT_EQ(last.request, 5u);
    EXPECT_TRUE(last.reply);
    EXPECT_TRUE(std::regex_match(
        lines[6],
        std::regex(R"(    2 request\(s\) have been lost since the last reply \d+ ms ago\.)")))
        << lines[6];
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[9], packets_line(5, 3, "40.0"));
    // Request 5 was answered at once; the run still slept out its 100 ms period before ending.
    EXPECT_GE(o.ended_us - o.seen.back().t_us, 95'000);
    EXPECT_EQ(o.seen.size(), 5u);
}

}  // namespace
}  // namespace qelvor::test
