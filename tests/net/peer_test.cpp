// The real-network test bed checked on its own: the scripted peer forges exactly what its script
// says, seen byte for byte through a raw socket in the client namespace (the tests of the program
// rely on those forgeries being real), and the namespace fixture leaves nothing behind however a
// test ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/netns.h"
#include "support/peer_run.h"
#include "support/privilege.h"

namespace qelvor::test {
namespace {

using std::chrono::milliseconds;

constexpr const char* kPeer = QELVOR_ICMP_PEER;

// `count` requests, 200 ms apart, waiting at most 1 s for the last reply. (Not -w: with a
// deadline, ping's -c counts replies instead of requests.)
CommandResult ping(const NetnsPair& net, const std::string& to, int count,
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{"ping", "-n",  "-c", std::to_string(count),
                                  "-i",   "0.2", "-W", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(to);
    return net.run_in_client(argv, milliseconds(15'000));
}

// ---------------------------------------------------------------------------------------------
// A raw ICMP socket in the client namespace: sends echo requests shaped like qelvor's and sees
// every ICMP packet arriving there, IPv4 header included.

std::uint16_t checksum(const std::uint8_t* p, std::size_t len) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) {
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    }
    if (len % 2 != 0) {
        sum += static_cast<std::uint32_t>(p[len - 1] << 8);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

struct Packet {
    std::vector<std::uint8_t> bytes;  // the whole IPv4 datagram
    std::int64_t t_us = 0;

    std::size_t header_len() const { return static_cast<std::size_t>(bytes[0] & 0x0f) * 4; }
    std::string source() const {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &bytes[12], text, sizeof text);
        return text;
    }
    std::vector<std::uint8_t> options() const {
        return {bytes.begin() + 20, bytes.begin() + static_cast<std::ptrdiff_t>(header_len())};
    }
    std::vector<std::uint8_t> icmp() const {
        return {bytes.begin() + static_cast<std::ptrdiff_t>(header_len()), bytes.end()};
    }
    int type() const { return icmp()[0]; }
    std::uint16_t id() const { return get16(&icmp()[4]); }
    std::uint16_t seq() const { return get16(&icmp()[6]); }
    bool checksum_ok() const {
        const auto m = icmp();
        return checksum(m.data(), m.size()) == 0;
    }
    std::vector<std::uint8_t> data() const {
        const auto m = icmp();
        return {m.begin() + 8, m.end()};
    }
};

const std::vector<std::uint8_t> kZeroData(18, 0);

class Prober {
public:
    explicit Prober(const NetnsPair& net)
        : fd_(net.socket_in_client(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
    ~Prober() { close(fd_); }
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;

    void send_echo(const std::string& to, std::uint16_t id, std::uint16_t seq,
                   const std::vector<std::uint8_t>& data = kZeroData) {
        std::vector<std::uint8_t> msg{8,
                                      0,
                                      0,
                                      0,
                                      static_cast<std::uint8_t>(id >> 8),
                                      static_cast<std::uint8_t>(id),
                                      static_cast<std::uint8_t>(seq >> 8),
                                      static_cast<std::uint8_t>(seq)};
        msg.insert(msg.end(), data.begin(), data.end());
        const std::uint16_t sum = checksum(msg.data(), msg.size());
        msg[2] = static_cast<std::uint8_t>(sum >> 8);
        msg[3] = static_cast<std::uint8_t>(sum);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, to.c_str(), &addr.sin_addr);
        ASSERT_EQ(
            sendto(fd_, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
            static_cast<ssize_t>(msg.size()));
    }

    // Everything that arrives until `count` packets are in or `limit` has passed.
    std::vector<Packet> collect(std::size_t count, milliseconds limit) {
        std::vector<Packet> packets;
        const std::int64_t end = monotonic_us() + limit.count() * 1000;
        while (packets.size() < count) {
            const std::int64_t left_ms = (end - monotonic_us()) / 1000;
            if (left_ms <= 0) {
                break;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left_ms)) <= 0) {
                continue;
            }
            Packet p;
            p.bytes.resize(65536);
            const ssize_t n = recv(fd_, p.bytes.data(), p.bytes.size(), MSG_DONTWAIT);
            p.t_us = monotonic_us();
            if (n > 0) {
                p.bytes.resize(static_cast<std::size_t>(n));
                packets.push_back(std::move(p));
            }
        }
        return packets;
    }

private:
    int fd_;
};

std::string describe(const std::vector<Packet>& packets) {
    std::string text;
    for (const Packet& p : packets) {
        text += "type " + std::to_string(p.type()) + " seq " + std::to_string(p.seq()) + " from " +
                p.source() + "; ";
    }
    return text;
}

// ---------------------------------------------------------------------------------------------

class NetTest : public ::testing::Test {
protected:
    void SetUp() override {
        QELVOR_REQUIRE_ROOT_OR_SKIP();
        net_ = std::make_unique<NetnsPair>();
    }

    const NetnsPair& net() const { return *net_; }

    std::unique_ptr<NetnsPair> net_;
};

// Without this every other test would pass on the kernel's own answers.
TEST_F(NetTest, PeerKernelDoesNotAnswerByItself) {
    const CommandResult sysctl =
        net().run_in_peer({"cat", "/proc/sys/net/ipv4/icmp_echo_ignore_all"}, milliseconds(5000));
    EXPECT_EQ(sysctl.out, "1\n");

    const CommandResult r = ping(net(), net().peer_addr(), 2);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("2 packets transmitted, 0 received"), std::string::npos) << r.out;
}

TEST_F(NetTest, BadChecksumChangesOnlyTheChecksum) {
    PeerRun peer(net(), kPeer, "bad-checksum 1\n");
    Prober probe(net());
    probe.send_echo(net().peer_addr(), 7, 1);
    probe.send_echo(net().peer_addr(), 7, 2);
    const auto got = probe.collect(2, milliseconds(2000));

    ASSERT_EQ(got.size(), 2u) << describe(got);
    EXPECT_FALSE(got[0].checksum_ok());
    EXPECT_EQ(got[0].type(), 0);
    EXPECT_EQ(got[0].id(), 7);
    EXPECT_EQ(got[0].seq(), 1);
    EXPECT_EQ(got[0].data(), kZeroData);
    EXPECT_TRUE(got[1].checksum_ok());
}

TEST_F(NetTest, ReplyCarriesIpOptions) {
    PeerRun peer(net(), kPeer, "ip-options 1 nop\nip-options 2 rr\n");
    Prober probe(net());
    probe.send_echo(net().peer_addr(), 11, 1);
    probe.send_echo(net().peer_addr(), 11, 2);
    const auto got = probe.collect(2, milliseconds(2000));

    ASSERT_EQ(got.size(), 2u) << describe(got);
    EXPECT_EQ(got[0].header_len(), 24u);
    EXPECT_EQ(got[0].options(), (std::vector<std::uint8_t>{1, 1, 1, 0}));
    EXPECT_EQ(got[1].header_len(), 28u);
    const auto rr = got[1].options();
    ASSERT_EQ(rr.size(), 8u);
    EXPECT_EQ(rr[0], 7);  // record route
    EXPECT_EQ(rr[1], 7);
    EXPECT_EQ(rr[2], 8);  // full
    char recorded[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &rr[3], recorded, sizeof recorded);
    EXPECT_EQ(recorded, net().peer_addr());
    for (const Packet& p : got) {
        // Options must not disturb the ICMP message behind them.
        EXPECT_EQ(p.type(), 0);
        EXPECT_TRUE(p.checksum_ok());
        EXPECT_EQ(p.id(), 11);
        EXPECT_EQ(p.data(), kZeroData);
    }
}

TEST_F(NetTest, PeerEndsByItselfAndCleanlyOnSigterm) {
    {
        PeerRun peer(net(), kPeer, "", milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        const CommandResult r = peer.wait(milliseconds(3000));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << peer.stderr_text();
        EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500));
    }
    PeerRun peer(net(), kPeer, "");
    Prober probe(net());
    for (std::uint16_t seq = 1; seq <= 3; ++seq) {
        probe.send_echo(net().peer_addr(), 5, seq);
    }
    ASSERT_EQ(probe.collect(3, milliseconds(2000)).size(), 3u);
    // Each line is in the file as soon as the request is seen, not at exit.
    EXPECT_EQ(peer.seen().size(), 3u);
    const CommandResult r = peer.stop();
    EXPECT_EQ(r.exit_code, 0) << peer.stderr_text();
    EXPECT_EQ(peer.seen().size(), 3u);
}

TEST_F(NetTest, PeerRejectsAMistakenScript) {
    const std::string script = net().work_dir() + "/bad.script";
    std::ofstream(script) << "# fine\ndrop 1\ndelay 2 soon\n";
    const CommandResult r = net().run_in_peer(
        {kPeer, "--script", script, "--record", net().work_dir() + "/r"}, milliseconds(5000));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("bad.script:3: bad delay 'soon'"), std::string::npos) << r.err;
}

TEST(IcmpPeer, RefusesToRunOutsideANamedNamespace) {
    const CommandResult r = run_command({kPeer, "--record", "/dev/null"}, milliseconds(5000));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("not in a named network namespace"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------------------------
// The fixture itself

bool listed(const std::string& name) {
    const auto names = list_namespaces();
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(NetnsPairTest, DestructionRemovesNamespacesAndWhatRunsInThem) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    auto net = std::make_unique<NetnsPair>();
    const std::string client = net->client_ns();
    const std::string peer = net->peer_ns();
    EXPECT_TRUE(listed(client));
    EXPECT_TRUE(listed(peer));
    BackgroundProcess sleeper = net->start_in_peer({"sleep", "30"}, "/dev/null", "/dev/null");
    ASSERT_TRUE(sleeper.running());

    net.reset();

    EXPECT_FALSE(listed(client));
    EXPECT_FALSE(listed(peer));
    const CommandResult r = sleeper.wait(milliseconds(2000));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.term_signal, SIGKILL);
}

// Runs `body` in a child process that makes a NetnsPair, reports its namespace names and then
// ends however `body` makes it end. Returns the names and how the child ended.
struct ChildEnd {
    std::vector<std::string> names;
    int status = 0;
};

ChildEnd in_child(std::chrono::seconds watchdog, void (*body)()) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        {
            auto* net = new NetnsPair(watchdog);  // never destroyed: the point is the other paths
            const std::string names = net->client_ns() + " " + net->peer_ns() + "\n";
            if (write(fds[1], names.data(), names.size()) < 0) {
                _exit(3);
            }
        }
        close(fds[1]);
        body();
        _exit(4);
    }
    close(fds[1]);
    ChildEnd end;
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    // Bounded: the child's own watchdog or body ends it; SIGKILL after 10 s regardless.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd pfd{pidfd, POLLIN, 0};
    if (poll(&pfd, 1, 10'000) <= 0) {
        kill(pid, SIGKILL);
    }
    close(pidfd);
    waitpid(pid, &end.status, 0);
    std::size_t space = text.find(' ');
    if (space != std::string::npos && text.back() == '\n') {
        end.names = {text.substr(0, space), text.substr(space + 1, text.size() - space - 2)};
    }
    return end;
}

TEST(NetnsPairTest, WatchdogRemovesNamespacesAndEndsTheProcess) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    const auto start = std::chrono::steady_clock::now();
    const ChildEnd end = in_child(std::chrono::seconds(1), [] { sleep(8); });

    ASSERT_EQ(end.names.size(), 2u);
    EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGALRM) << end.status;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(listed(end.names[0]));
    EXPECT_FALSE(listed(end.names[1]));
}

TEST(NetnsPairTest, ExitWithoutDestructionRemovesNamespaces) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    const ChildEnd end = in_child(std::chrono::seconds(0), [] { std::exit(0); });

    ASSERT_EQ(end.names.size(), 2u);
    EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
    EXPECT_FALSE(listed(end.names[0]));
    EXPECT_FALSE(listed(end.names[1]));
}

TEST(NetnsPairTest, TerminationRemovesNamespaces) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    const ChildEnd end = in_child(std::chrono::seconds(0), [] { raise(SIGTERM); });

    ASSERT_EQ(end.names.size(), 2u);
    EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGTERM) << end.status;
    EXPECT_FALSE(listed(end.names[0]));
    EXPECT_FALSE(listed(end.names[1]));
}

// SIGKILL leaves no chance to clean up; the next pair removes what such a test left.
TEST(NetnsPairTest, LeftoversOfDeadProcessesAreSwept) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    const ChildEnd end = in_child(std::chrono::seconds(0), [] { raise(SIGKILL); });
    ASSERT_EQ(end.names.size(), 2u);
    ASSERT_TRUE(listed(end.names[0]));

    NetnsPair net;

    EXPECT_FALSE(listed(end.names[0]));
    EXPECT_FALSE(listed(end.names[1]));
}

// ---------------------------------------------------------------------------------------------

TEST(RunCommand, CapturesOutputAndHowTheCommandEnded) {
    const CommandResult r =
        run_command({"sh", "-c", "echo out; echo err >&2; exit 3"}, milliseconds(5000));
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.term_signal, 0);

    const CommandResult killed = run_command({"sh", "-c", "kill -TERM $$"}, milliseconds(5000));
    EXPECT_EQ(killed.exit_code, -1);
    EXPECT_EQ(killed.term_signal, SIGTERM);

    const CommandResult missing = run_command({"no-such-program-here"}, milliseconds(5000));
    EXPECT_EQ(missing.exit_code, 127);
    EXPECT_NE(missing.err.find("no-such-program-here"), std::string::npos);
}

// Gone, or a zombie waiting for init: either way no longer running.
bool ended_within(pid_t pid, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pid_field, comm, state;
        if (!(stat >> pid_field >> comm >> state) || state == "Z") {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TEST(RunCommand, TimeoutKillsTheWholeCommand) {
    const auto start = std::chrono::steady_clock::now();
    const CommandResult r =
        run_command({"sh", "-c", "sleep 20 & echo $!; wait"}, milliseconds(300));
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.term_signal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
    // What the command started goes with it.
    const pid_t started = static_cast<pid_t>(std::atoi(r.out.c_str()));
    ASSERT_GT(started, 0) << r.out;
    EXPECT_TRUE(ended_within(started, milliseconds(1000)));
}

// ---------------------------------------------------------------------------------------------

TEST(PrivilegeProbe, NeedsRoot) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    SUCCEED();
}

// Runs the probe above as an unprivileged user: a plain run skips it, a CI run must fail it.
TEST(PrivilegeCheck, SkipsWithoutRootButFailsInCi) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    auto as_nobody = [&](std::vector<std::string> env) {
        std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      "env"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), {self, "--gtest_filter=PrivilegeProbe.NeedsRoot"});
        return run_command(argv, milliseconds(10'000));
    };
    const CommandResult plain = as_nobody({"-u", "CI"});
    if (plain.exit_code == 126 || plain.err.find("Permission denied") != std::string::npos) {
        GTEST_SKIP() << "the test binary is not reachable for an unprivileged user: " << plain.err;
    }
    EXPECT_EQ(plain.exit_code, 0) << plain.out << plain.err;
    EXPECT_NE(plain.out.find("[  SKIPPED ] PrivilegeProbe.NeedsRoot"), std::string::npos)
        << plain.out;

    const CommandResult ci = as_nobody({"CI=true"});
    EXPECT_EQ(ci.exit_code, 1) << ci.out << ci.err;
    EXPECT_NE(ci.out.find("[  FAILED  ] PrivilegeProbe.NeedsRoot"), std::string::npos) << ci.out;
}

}  // namespace
}  // namespace qelvor::test
