// icmp_peer: a scripted stand-in for a host that answers ICMP echo requests.
//
// It runs inside the peer network namespace of a test, where the kernel's own echo answering is
// switched off (net.ipv4.icmp_echo_ignore_all=1), so every reply the requester sees comes from
// here and can be made late, missing, doubled or malformed on purpose.
//
// Usage:
//   icmp_peer --record FILE [--script FILE] [--sent FILE] [--ready FILE]
//             [--duration-ms N] [--allow-host-netns]
//
//   --record FILE      one line per echo request seen (format below); written with one write()
//                      per line, so nothing seen is lost when the peer is killed.
//   --script FILE      how to answer (syntax below); without it every request is answered at once.
//   --sent FILE        one line per packet sent: "T_US WHAT SEQ SOURCE", WHAT being reply or the
//                      kind of a `send` directive, SEQ the sequence of the request that caused it.
//   --ready FILE       created once the sockets are open; "ready" is also printed on stdout.
//   --duration-ms N    ends by itself N ms after start (default 60000).
//   --allow-host-netns allow running outside a named network namespace (one in /run/netns);
//                      replies then only go to 127.0.0.0/8. Without it the peer refuses to run
//                      there, so it can never answer anything outside a test's own namespaces.
// SIGTERM and SIGINT end it cleanly; pending answers are dropped.
//
// Record line, fields separated by one space:
//   LEN CSUM_OK ID SEQ T_US DATA
//   LEN      length of the ICMP message in bytes (header included)
//   CSUM_OK  1 when the ICMP checksum verifies, else 0
//   ID SEQ   identifier and sequence, decimal
//   T_US     arrival time, CLOCK_MONOTONIC, microseconds
//   DATA     the data after the 8-byte header as lower-case hex, "-" when empty
//
// Script: one directive per line; '#' starts a comment. SEQS selects requests by their sequence
// field: a comma-separated list of N, A-B, A- (A and later) or * (all). Every line whose SEQS
// matches applies; for the settings that take a value the last matching line wins.
//
//   drop SEQS                    no echo reply (`send` directives for SEQS still happen)
//   delay SEQS MS                reply MS ms after the request arrived (default 0). A late
//                                answer is just a delay longer than the requester waits.
//   duplicate SEQS [N [GAP_MS]]  send N replies in all (default 2), GAP_MS apart (default 0)
//   bad-checksum SEQS            reply with a wrong ICMP checksum
//   bad-data SEQS                reply with every data byte inverted (checksum still right)
//   truncate SEQS BYTES          cut the reply's ICMP message to BYTES (checksum over the rest).
//                                Under 8 bytes it never reaches a raw socket on a Linux receiver.
//   from SEQS ADDR               reply from ADDR instead of the address the request was sent to
//   ip-options SEQS nop|rr       reply with IPv4 options: nop = NOP,NOP,NOP,EOL (IHL 6);
//                                rr = a full record-route holding the source, then EOL (IHL 7)
//   send SEQS before|after KIND [ARG]
//                                also send another ICMP message to the requester, just before or
//                                just after the reply (after the last copy when duplicated):
//       unreachable [CODE]       destination unreachable (type 3, code default 1) quoting the
//                                request's IP header and first 8 ICMP bytes
//       time-exceeded [CODE]     type 11 (code default 0), quoting likewise
//       timestamp                timestamp request (type 13) with the request's id and sequence
//       echo-request [ID]        an echo request of the peer's own (default id: request's + 1)
//       wrong-id [ID]            an echo reply with another identifier (default: request's + 1)
//       wrong-seq [SEQ]          an echo reply with another sequence (default: request's + 32768)
//   answer-id ID                 answer only requests whose identifier is ID; any other
//                                identifier gets nothing at all (several lines: any of them)
//   silence A_MS B_MS [start]    from A to B ms after the first request (or, with `start`, after
//                                the peer started) nothing is answered: requests arriving then
//                                get nothing, and nothing due then is sent.
//
// Requests with a bad checksum are recorded but not answered, as a real host would drop them.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kTimestamp = 13;
constexpr std::int64_t kMaxMs = 3'600'000;

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) { g_stop = 1; }

std::int64_t now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

std::uint16_t internet_checksum(const std::uint8_t* data, std::size_t len) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) {
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    }
    if (len % 2 != 0) {
        sum += static_cast<std::uint32_t>(data[len - 1] << 8);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v & 0xff);
}

// Writes the checksum of an ICMP message into it; a message too short to hold the field is left
// as it is.
void seal_icmp(std::vector<std::uint8_t>& msg) {
    if (msg.size() < 4) {
        return;
    }
    put16(&msg[2], 0);
    put16(&msg[2], internet_checksum(msg.data(), msg.size()));
}

// ---------------------------------------------------------------------------------------------
// Script

struct SeqRange {
    std::uint32_t first;
    std::uint32_t last;
};

struct SeqSet {
    std::vector<SeqRange> ranges;
    bool contains(std::uint16_t seq) const {
        return std::any_of(ranges.begin(), ranges.end(),
                           [seq](const SeqRange& r) { return seq >= r.first && seq <= r.last; });
    }
};

enum class ExtraKind { kUnreachable, kTimeExceeded, kTimestamp, kEchoRequest, kWrongId, kWrongSeq };

struct Extra {
    ExtraKind kind;
    bool after;
    std::optional<std::uint32_t> arg;
};

enum class Options { kNone, kNop, kRecordRoute };

struct Directive {
    enum class Kind {
        kDrop,
        kDelay,
        kDuplicate,
        kBadChecksum,
        kBadData,
        kTruncate,
        kFrom,
        kIpOptions,
        kSend
    } kind;
    SeqSet seqs;
    std::int64_t value = 0;  // delay ms, copies, truncate bytes
    std::int64_t gap_ms = 0;
    in_addr_t addr = 0;
    Options options = Options::kNone;
    Extra extra{};
};

struct Silence {
    std::int64_t from_ms;
    std::int64_t to_ms;
    bool from_start;
};

struct Script {
    std::vector<Directive> directives;
    std::vector<Silence> silences;
    std::vector<std::uint16_t> answer_ids;  // empty: every identifier
};

// What one request gets, after every matching directive was applied in order.
struct Plan {
    bool drop = false;
    std::int64_t delay_ms = 0;
    int copies = 1;
    std::int64_t gap_ms = 0;
    bool bad_checksum = false;
    bool bad_data = false;
    std::optional<std::size_t> truncate;
    std::optional<in_addr_t> source;
    Options options = Options::kNone;
    std::vector<Extra> extras;
};

Plan plan_for(const Script& script, std::uint16_t seq) {
    Plan plan;
    for (const Directive& d : script.directives) {
        if (!d.seqs.contains(seq)) {
            continue;
        }
        switch (d.kind) {
            case Directive::Kind::kDrop:
                plan.drop = true;
                break;
            case Directive::Kind::kDelay:
                plan.delay_ms = d.value;
                break;
            case Directive::Kind::kDuplicate:
                plan.copies = static_cast<int>(d.value);
                plan.gap_ms = d.gap_ms;
                break;
            case Directive::Kind::kBadChecksum:
                plan.bad_checksum = true;
                break;
            case Directive::Kind::kBadData:
                plan.bad_data = true;
                break;
            case Directive::Kind::kTruncate:
                plan.truncate = static_cast<std::size_t>(d.value);
                break;
            case Directive::Kind::kFrom:
                plan.source = d.addr;
                break;
            case Directive::Kind::kIpOptions:
                plan.options = d.options;
                break;
            case Directive::Kind::kSend:
                plan.extras.push_back(d.extra);
                break;
        }
    }
    return plan;
}

class ScriptError {
public:
    explicit ScriptError(std::string what) : what_(std::move(what)) {}
    const std::string& what() const { return what_; }

private:
    std::string what_;
};

std::int64_t parse_number(std::string_view text, std::int64_t max, const char* what) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < 0 || value > max) {
        throw ScriptError("bad " + std::string(what) + " '" + std::string(text) + "'");
    }
    return value;
}

SeqSet parse_seqs(std::string_view text) {
    SeqSet set;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item == "*") {
            set.ranges.push_back({0, 0xffff});
            continue;
        }
        const std::size_t dash = item.find('-');
        if (dash == std::string_view::npos) {
            const auto seq = static_cast<std::uint32_t>(parse_number(item, 0xffff, "sequence"));
            set.ranges.push_back({seq, seq});
            continue;
        }
        const auto first =
            static_cast<std::uint32_t>(parse_number(item.substr(0, dash), 0xffff, "sequence"));
        const std::string_view tail = item.substr(dash + 1);
        const auto last = tail.empty()
                              ? 0xffffu
                              : static_cast<std::uint32_t>(parse_number(tail, 0xffff, "sequence"));
        if (last < first) {
            throw ScriptError("empty sequence range '" + std::string(item) + "'");
        }
        set.ranges.push_back({first, last});
    }
    if (set.ranges.empty()) {
        throw ScriptError("missing sequences");
    }
    return set;
}

in_addr_t parse_addr(std::string_view text) {
    in_addr addr{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &addr) != 1) {
        throw ScriptError("bad IPv4 address '" + std::string(text) + "'");
    }
    return addr.s_addr;
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

void expect_words(const std::vector<std::string_view>& w, std::size_t min, std::size_t max) {
    if (w.size() < min || w.size() > max) {
        throw ScriptError("wrong number of arguments for '" + std::string(w[0]) + "'");
    }
}

Extra parse_extra(const std::vector<std::string_view>& w) {
    expect_words(w, 4, 5);
    Extra extra{};
    if (w[2] == "before") {
        extra.after = false;
    } else if (w[2] == "after") {
        extra.after = true;
    } else {
        throw ScriptError("expected before or after, got '" + std::string(w[2]) + "'");
    }
    std::int64_t arg_max = 0xffff;
    if (w[3] == "unreachable") {
        extra.kind = ExtraKind::kUnreachable;
        arg_max = 0xff;
    } else if (w[3] == "time-exceeded") {
        extra.kind = ExtraKind::kTimeExceeded;
        arg_max = 0xff;
    } else if (w[3] == "timestamp") {
        extra.kind = ExtraKind::kTimestamp;
        arg_max = -1;
    } else if (w[3] == "echo-request") {
        extra.kind = ExtraKind::kEchoRequest;
    } else if (w[3] == "wrong-id") {
        extra.kind = ExtraKind::kWrongId;
    } else if (w[3] == "wrong-seq") {
        extra.kind = ExtraKind::kWrongSeq;
    } else {
        throw ScriptError("unknown message kind '" + std::string(w[3]) + "'");
    }
    if (w.size() == 5) {
        if (arg_max < 0) {
            throw ScriptError("'" + std::string(w[3]) + "' takes no argument");
        }
        extra.arg = static_cast<std::uint32_t>(parse_number(w[4], arg_max, "argument"));
    }
    return extra;
}

void parse_line(std::string_view line, Script& script) {
    const auto w = split_words(line.substr(0, line.find('#')));
    if (w.empty()) {
        return;
    }
    const std::string_view verb = w[0];
    if (verb == "answer-id") {
        expect_words(w, 2, 2);
        script.answer_ids.push_back(static_cast<std::uint16_t>(parse_number(w[1], 65535, "id")));
        return;
    }
    if (verb == "silence") {
        expect_words(w, 3, 4);
        Silence s{parse_number(w[1], kMaxMs, "time"), parse_number(w[2], kMaxMs, "time"), false};
        if (w.size() == 4) {
            if (w[3] != "start") {
                throw ScriptError("expected 'start', got '" + std::string(w[3]) + "'");
            }
            s.from_start = true;
        }
        if (s.to_ms <= s.from_ms) {
            throw ScriptError("silence must end after it starts");
        }
        script.silences.push_back(s);
        return;
    }
    if (w.size() < 2) {
        throw ScriptError("missing sequences for '" + std::string(verb) + "'");
    }
    Directive d{};
    d.seqs = parse_seqs(w[1]);
    if (verb == "drop") {
        expect_words(w, 2, 2);
        d.kind = Directive::Kind::kDrop;
    } else if (verb == "delay") {
        expect_words(w, 3, 3);
        d.kind = Directive::Kind::kDelay;
        d.value = parse_number(w[2], kMaxMs, "delay");
    } else if (verb == "duplicate") {
        expect_words(w, 2, 4);
        d.kind = Directive::Kind::kDuplicate;
        d.value = w.size() > 2 ? parse_number(w[2], 100, "count") : 2;
        d.gap_ms = w.size() > 3 ? parse_number(w[3], kMaxMs, "gap") : 0;
        if (d.value < 2) {
            throw ScriptError("duplicate needs at least 2 replies");
        }
    } else if (verb == "bad-checksum") {
        expect_words(w, 2, 2);
        d.kind = Directive::Kind::kBadChecksum;
    } else if (verb == "bad-data") {
        expect_words(w, 2, 2);
        d.kind = Directive::Kind::kBadData;
    } else if (verb == "truncate") {
        expect_words(w, 3, 3);
        d.kind = Directive::Kind::kTruncate;
        d.value = parse_number(w[2], 65000, "length");
    } else if (verb == "from") {
        expect_words(w, 3, 3);
        d.kind = Directive::Kind::kFrom;
        d.addr = parse_addr(w[2]);
    } else if (verb == "ip-options") {
        expect_words(w, 3, 3);
        d.kind = Directive::Kind::kIpOptions;
        if (w[2] == "nop") {
            d.options = Options::kNop;
        } else if (w[2] == "rr") {
            d.options = Options::kRecordRoute;
        } else {
            throw ScriptError("unknown IP options '" + std::string(w[2]) + "'");
        }
    } else if (verb == "send") {
        d.kind = Directive::Kind::kSend;
        d.extra = parse_extra(w);
    } else {
        throw ScriptError("unknown directive '" + std::string(verb) + "'");
    }
    script.directives.push_back(std::move(d));
}

bool load_script(const char* path, Script& script) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "icmp_peer: cannot read script %s\n", path);
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        try {
            parse_line(line, script);
        } catch (const ScriptError& e) {
            std::fprintf(stderr, "icmp_peer: %s:%d: %s\n", path, number, e.what().c_str());
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Packets

struct Request {
    std::vector<std::uint8_t> ip_header;  // as received, options included
    std::vector<std::uint8_t> icmp;       // the whole ICMP message
    in_addr_t src;
    in_addr_t dst;
    std::uint16_t id;
    std::uint16_t seq;
};

struct Outgoing {
    std::int64_t due_us;
    std::uint64_t order;  // keeps packets due at the same time in the order they were planned
    std::vector<std::uint8_t> datagram;
    in_addr_t dst;
    in_addr_t src;
    std::uint16_t request_seq;
    std::string what;
};

struct LaterFirst {
    bool operator()(const Outgoing& a, const Outgoing& b) const {
        return a.due_us != b.due_us ? a.due_us > b.due_us : a.order > b.order;
    }
};

std::vector<std::uint8_t> ip_options_bytes(Options options, in_addr_t src) {
    switch (options) {
        case Options::kNone:
            return {};
        case Options::kNop:
            return {IPOPT_NOOP, IPOPT_NOOP, IPOPT_NOOP, IPOPT_END};
        case Options::kRecordRoute: {
            // A record route with its only slot already filled, as a reply that passed one
            // router would carry; the pointer past the end tells receivers it is full.
            std::vector<std::uint8_t> rr{IPOPT_RR, 7, 8, 0, 0, 0, 0, IPOPT_END};
            std::memcpy(&rr[3], &src, 4);
            return rr;
        }
    }
    return {};
}

std::vector<std::uint8_t> ip_datagram(in_addr_t src, in_addr_t dst, Options options,
                                      const std::vector<std::uint8_t>& icmp) {
    const std::vector<std::uint8_t> opts = ip_options_bytes(options, src);
    const std::size_t header_len = 20 + opts.size();
    std::vector<std::uint8_t> d(header_len + icmp.size(), 0);
    d[0] = static_cast<std::uint8_t>(0x40 | header_len / 4);
    put16(&d[2], static_cast<std::uint16_t>(d.size()));
    d[8] = 64;  // TTL
    d[9] = IPPROTO_ICMP;
    std::memcpy(&d[12], &src, 4);
    std::memcpy(&d[16], &dst, 4);
    std::copy(opts.begin(), opts.end(), d.begin() + 20);
    put16(&d[10], internet_checksum(d.data(), header_len));
    std::copy(icmp.begin(), icmp.end(), d.begin() + static_cast<std::ptrdiff_t>(header_len));
    return d;
}

std::vector<std::uint8_t> echo_message(std::uint8_t type, std::uint16_t id, std::uint16_t seq,
                                       const Request& req) {
    std::vector<std::uint8_t> msg(req.icmp.begin(), req.icmp.end());
    msg[0] = type;
    msg[1] = 0;
    put16(&msg[4], id);
    put16(&msg[6], seq);
    seal_icmp(msg);
    return msg;
}

std::vector<std::uint8_t> error_message(std::uint8_t type, std::uint8_t code, const Request& req) {
    std::vector<std::uint8_t> msg(8, 0);
    msg[0] = type;
    msg[1] = code;
    msg.insert(msg.end(), req.ip_header.begin(), req.ip_header.end());
    msg.insert(
        msg.end(), req.icmp.begin(),
        req.icmp.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(8, req.icmp.size())));
    seal_icmp(msg);
    return msg;
}

std::vector<std::uint8_t> timestamp_message(const Request& req) {
    std::vector<std::uint8_t> msg(20, 0);
    msg[0] = kTimestamp;
    put16(&msg[4], req.id);
    put16(&msg[6], req.seq);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const auto ms_of_day =
        static_cast<std::uint32_t>((ts.tv_sec % 86400) * 1000 + ts.tv_nsec / 1'000'000);
    const std::uint32_t be = htonl(ms_of_day);
    std::memcpy(&msg[8], &be, 4);
    seal_icmp(msg);
    return msg;
}

std::vector<std::uint8_t> reply_message(const Plan& plan, const Request& req) {
    std::vector<std::uint8_t> msg(req.icmp.begin(), req.icmp.end());
    msg[0] = kEchoReply;
    msg[1] = 0;
    if (plan.bad_data) {
        if (msg.size() == 8) {
            msg.push_back(0);
        }
        for (std::size_t i = 8; i < msg.size(); ++i) {
            msg[i] = static_cast<std::uint8_t>(~msg[i]);
        }
    }
    if (plan.truncate && *plan.truncate < msg.size()) {
        msg.resize(*plan.truncate);
    }
    seal_icmp(msg);
    if (plan.bad_checksum && msg.size() >= 4) {
        // Any change that is not a one's complement equivalent of the right sum will do.
        put16(&msg[2], get16(&msg[2]) ^ 0x5555);
    }
    return msg;
}

std::pair<std::vector<std::uint8_t>, std::string> extra_message(const Extra& e,
                                                                const Request& req) {
    switch (e.kind) {
        case ExtraKind::kUnreachable:
            return {error_message(kUnreachable, static_cast<std::uint8_t>(e.arg.value_or(1)), req),
                    "unreachable"};
        case ExtraKind::kTimeExceeded:
            return {error_message(kTimeExceeded, static_cast<std::uint8_t>(e.arg.value_or(0)), req),
                    "time-exceeded"};
        case ExtraKind::kTimestamp:
            return {timestamp_message(req), "timestamp"};
        case ExtraKind::kEchoRequest:
            return {
                echo_message(kEchoRequest, static_cast<std::uint16_t>(e.arg.value_or(req.id + 1u)),
                             req.seq, req),
                "echo-request"};
        case ExtraKind::kWrongId:
            return {
                echo_message(kEchoReply, static_cast<std::uint16_t>(e.arg.value_or(req.id + 1u)),
                             req.seq, req),
                "wrong-id"};
        case ExtraKind::kWrongSeq:
            return {echo_message(kEchoReply, req.id,
                                 static_cast<std::uint16_t>(e.arg.value_or(req.seq + 32768u)), req),
                    "wrong-seq"};
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// The peer

struct Config {
    const char* record_path = nullptr;
    const char* script_path = nullptr;
    const char* sent_path = nullptr;
    const char* ready_path = nullptr;
    std::int64_t duration_ms = 60'000;
    bool allow_host_netns = false;
};

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string addr_text(in_addr_t a) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr addr{};
    addr.s_addr = a;
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

bool is_loopback(in_addr_t a) { return (ntohl(a) >> 24) == 127; }

class Peer {
public:
    Peer(const Config& config, Script script, int rx, int tx, int record_fd, int sent_fd)
        : config_(config),
          script_(std::move(script)),
          rx_(rx),
          tx_(tx),
          record_fd_(record_fd),
          sent_fd_(sent_fd) {}

    int run(std::int64_t start_us) {
        start_us_ = start_us;
        const std::int64_t end_us = start_us + config_.duration_ms * 1000;
        sigset_t wait_mask;
        sigprocmask(SIG_SETMASK, nullptr, &wait_mask);
        sigdelset(&wait_mask, SIGTERM);
        sigdelset(&wait_mask, SIGINT);
        while (g_stop == 0) {
            std::int64_t now = now_us();
            send_due(now);
            now = now_us();
            if (now >= end_us) {
                break;
            }
            std::int64_t wake = end_us;
            if (!queue_.empty()) {
                wake = std::min(wake, queue_.top().due_us);
            }
            const std::int64_t wait_us = std::max<std::int64_t>(0, wake - now);
            timespec timeout{static_cast<time_t>(wait_us / 1'000'000),
                             static_cast<long>(wait_us % 1'000'000 * 1000)};
            pollfd pfd{rx_, POLLIN, 0};
            // SIGTERM and SIGINT are blocked except while waiting here, so a stop request can
            // never slip in between the flag check and the wait.
            const int ready = ppoll(&pfd, 1, &timeout, &wait_mask);
            if (ready < 0 && errno != EINTR) {
                std::perror("icmp_peer: ppoll");
                return 1;
            }
            if (ready > 0) {
                if (!receive_all()) {
                    return 1;
                }
            }
        }
        std::fprintf(stderr, "icmp_peer: %llu requests seen, %llu packets sent\n",
                     static_cast<unsigned long long>(requests_),
                     static_cast<unsigned long long>(sent_));
        return 0;
    }

private:
    bool receive_all() {
        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = recvfrom(rx_, buf.data(), buf.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &from_len);
            const std::int64_t arrival = now_us();
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    return true;
                }
                std::perror("icmp_peer: recvfrom");
                return false;
            }
            handle(buf.data(), static_cast<std::size_t>(n), arrival);
        }
    }

    void handle(const std::uint8_t* pkt, std::size_t len, std::int64_t arrival) {
        if (len < 20) {
            return;
        }
        const std::size_t ihl = static_cast<std::size_t>(pkt[0] & 0x0f) * 4;
        if (ihl < 20 || len < ihl + 8 || pkt[ihl] != kEchoRequest) {
            return;
        }
        Request req;
        req.ip_header.assign(pkt, pkt + ihl);
        req.icmp.assign(pkt + ihl, pkt + len);
        std::memcpy(&req.src, pkt + 12, 4);
        std::memcpy(&req.dst, pkt + 16, 4);
        req.id = get16(&req.icmp[4]);
        req.seq = get16(&req.icmp[6]);
        const bool checksum_ok = internet_checksum(req.icmp.data(), req.icmp.size()) == 0;
        record(req, checksum_ok, arrival);
        ++requests_;
        if (!first_request_us_) {
            first_request_us_ = arrival;
        }
        if (!checksum_ok || silenced(arrival)) {
            return;
        }
        if (!script_.answer_ids.empty() &&
            std::find(script_.answer_ids.begin(), script_.answer_ids.end(), req.id) ==
                script_.answer_ids.end()) {
            return;
        }
        if (config_.allow_host_netns && !is_loopback(req.src)) {
            return;
        }
        schedule(req, plan_for(script_, req.seq), arrival);
    }

    void record(const Request& req, bool checksum_ok, std::int64_t arrival) {
        std::string line = std::to_string(req.icmp.size()) + (checksum_ok ? " 1 " : " 0 ") +
                           std::to_string(req.id) + ' ' + std::to_string(req.seq) + ' ' +
                           std::to_string(arrival) + ' ';
        if (req.icmp.size() == 8) {
            line += '-';
        }
        static constexpr char kHex[] = "0123456789abcdef";
        for (std::size_t i = 8; i < req.icmp.size(); ++i) {
            line += kHex[req.icmp[i] >> 4];
            line += kHex[req.icmp[i] & 0x0f];
        }
        line += '\n';
        if (!write_all(record_fd_, line)) {
            std::perror("icmp_peer: writing the record");
        }
    }

    void schedule(const Request& req, const Plan& plan, std::int64_t arrival) {
        const in_addr_t src = plan.source.value_or(req.dst);
        const std::int64_t base = arrival + plan.delay_ms * 1000;
        auto push = [&](std::int64_t due, std::vector<std::uint8_t> icmp, Options options,
                        std::string what) {
            queue_.push(Outgoing{due, order_++, ip_datagram(src, req.src, options, icmp), req.src,
                                 src, req.seq, std::move(what)});
        };
        auto push_extras = [&](bool after, std::int64_t due) {
            for (const Extra& e : plan.extras) {
                if (e.after == after) {
                    auto [msg, what] = extra_message(e, req);
                    push(due, std::move(msg), Options::kNone, std::move(what));
                }
            }
        };
        push_extras(false, base);
        std::int64_t last = base;
        if (!plan.drop) {
            const std::vector<std::uint8_t> reply = reply_message(plan, req);
            for (int copy = 0; copy < plan.copies; ++copy) {
                last = base + copy * plan.gap_ms * 1000;
                push(last, reply, plan.options, "reply");
            }
        }
        push_extras(true, last);
    }

    bool silenced(std::int64_t t_us) const {
        for (const Silence& s : script_.silences) {
            std::int64_t anchor = 0;
            if (s.from_start) {
                anchor = start_us_;
            } else if (first_request_us_) {
                anchor = *first_request_us_;
            } else {
                continue;
            }
            if (t_us >= anchor + s.from_ms * 1000 && t_us < anchor + s.to_ms * 1000) {
                return true;
            }
        }
        return false;
    }

    void send_due(std::int64_t now) {
        while (!queue_.empty() && queue_.top().due_us <= now) {
            const Outgoing out = queue_.top();
            queue_.pop();
            if (silenced(out.due_us)) {
                continue;
            }
            if (config_.allow_host_netns && !is_loopback(out.dst)) {
                continue;
            }
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = out.dst;
            const ssize_t n = sendto(tx_, out.datagram.data(), out.datagram.size(), 0,
                                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (n < 0) {
                std::fprintf(stderr, "icmp_peer: sending %s for %u: %s\n", out.what.c_str(),
                             out.request_seq, std::strerror(errno));
                continue;
            }
            ++sent_;
            if (sent_fd_ >= 0) {
                write_all(sent_fd_, std::to_string(now_us()) + ' ' + out.what + ' ' +
                                        std::to_string(out.request_seq) + ' ' + addr_text(out.src) +
                                        '\n');
            }
        }
    }

    const Config& config_;
    Script script_;
    int rx_;
    int tx_;
    int record_fd_;
    int sent_fd_;
    std::int64_t start_us_ = 0;
    std::optional<std::int64_t> first_request_us_;
    std::priority_queue<Outgoing, std::vector<Outgoing>, LaterFirst> queue_;
    std::uint64_t order_ = 0;
    std::uint64_t requests_ = 0;
    std::uint64_t sent_ = 0;
};

// The peer answers whoever asks. Inside a namespace made for a test that can only be the test's
// own client; in the machine's own namespace it could be anyone. So it runs only in a named
// namespace (one that `ip netns add` made, listed in /run/netns).
bool in_named_netns() {
    struct stat self {};
    if (stat("/proc/self/ns/net", &self) != 0) {
        return false;
    }
    DIR* dir = opendir("/run/netns");
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        const std::string path = std::string("/run/netns/") + entry->d_name;
        struct stat ns {};
        if (entry->d_name[0] != '.' && stat(path.c_str(), &ns) == 0 && ns.st_ino == self.st_ino &&
            ns.st_dev == self.st_dev) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

void usage() {
    std::fprintf(stderr,
                 "usage: icmp_peer --record FILE [--script FILE] [--sent FILE] [--ready FILE]\n"
                 "                 [--duration-ms N] [--allow-host-netns]\n");
}

bool parse_args(int argc, char** argv, Config& config) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--allow-host-netns") {
            config.allow_host_netns = true;
        } else if (arg == "--record" && has_value) {
            config.record_path = argv[++i];
        } else if (arg == "--script" && has_value) {
            config.script_path = argv[++i];
        } else if (arg == "--sent" && has_value) {
            config.sent_path = argv[++i];
        } else if (arg == "--ready" && has_value) {
            config.ready_path = argv[++i];
        } else if (arg == "--duration-ms" && has_value) {
            try {
                config.duration_ms = parse_number(argv[++i], kMaxMs, "duration");
            } catch (const ScriptError& e) {
                std::fprintf(stderr, "icmp_peer: %s\n", e.what().c_str());
                return false;
            }
        } else {
            return false;
        }
    }
    return config.record_path != nullptr;
}

int open_output(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "icmp_peer: cannot open %s: %s\n", path, std::strerror(errno));
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t start_us = now_us();
    Config config;
    if (!parse_args(argc, argv, config)) {
        usage();
        return 2;
    }
    Script script;
    if (config.script_path != nullptr && !load_script(config.script_path, script)) {
        return 2;
    }
    if (!config.allow_host_netns && !in_named_netns()) {
        std::fprintf(stderr,
                     "icmp_peer: not in a named network namespace; run it with `ip netns exec` "
                     "(or pass --allow-host-netns to answer loopback only)\n");
        return 2;
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const int record_fd = open_output(config.record_path);
    const int sent_fd = config.sent_path != nullptr ? open_output(config.sent_path) : -1;
    if (record_fd < 0 || (config.sent_path != nullptr && sent_fd < 0)) {
        return 2;
    }

    const int rx = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    // IPPROTO_RAW implies IP_HDRINCL: every reply carries a header built here, so it can come
    // from any of the peer's addresses and carry options.
    const int tx = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (rx < 0 || tx < 0) {
        std::perror("icmp_peer: raw socket");
        return 2;
    }
    // Only echo requests are of interest; anything else the requester sends back (answers to the
    // peer's own echo requests, errors) is kept out of the receive queue.
    icmp_filter filter{};
    filter.data = ~(1u << kEchoRequest);
    if (setsockopt(rx, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
        std::perror("icmp_peer: ICMP_FILTER");
        return 2;
    }

    if (config.ready_path != nullptr) {
        const int fd = open_output(config.ready_path);
        if (fd < 0) {
            return 2;
        }
        close(fd);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    Peer peer(config, std::move(script), rx, tx, record_fd, sent_fd);
    const int status = peer.run(start_us);
    close(rx);
    close(tx);
    if (close(record_fd) != 0) {
        std::perror("icmp_peer: closing the record");
        return 1;
    }
    if (sent_fd >= 0) {
        close(sent_fd);
    }
    return status;
}
