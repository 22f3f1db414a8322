// Runs icmp_peer in the peer namespace of a NetnsPair and reads back what it recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "netns.h"

namespace qelvor::test {

// One echo request the peer saw (one line of its --record file).
struct SeenRequest {
    std::size_t length = 0;  // of the ICMP message, header included
    bool checksum_ok = false;
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    std::int64_t t_us = 0;  // arrival, CLOCK_MONOTONIC
    std::string data_hex;   // data after the ICMP header, "" when there was none
};

// One packet the peer sent (one line of its --sent file).
struct SentPacket {
    std::int64_t t_us = 0;  // CLOCK_MONOTONIC
    std::string what;       // "reply", or the kind of a `send` directive
    std::uint16_t seq = 0;  // sequence of the request it answered
    std::string source;     // IPv4 source address it carried
};

// Both throw std::runtime_error on a line that does not parse; a missing file reads as empty.
std::vector<SeenRequest> read_seen_requests(const std::string& path);
std::vector<SentPacket> read_sent_packets(const std::string& path);

// CLOCK_MONOTONIC in microseconds, the clock of the peer's records.
std::int64_t monotonic_us();

class PeerRun {
public:
    // Writes `script` into the pair's work directory, starts `peer_program` in the peer namespace
    // and waits (up to 5 s) for it to report ready. It ends by itself after `duration`. Throws
    // std::runtime_error when it does not come up, with its stderr in the message.
    PeerRun(const NetnsPair& net, const std::string& peer_program, const std::string& script,
            std::chrono::milliseconds duration = std::chrono::milliseconds(10'000));
    ~PeerRun() = default;

    // SIGTERM, then SIGKILL if it does not end within 2 s.
    CommandResult stop() { return process_.stop(); }
    // Waits for it to end by itself.
    CommandResult wait(std::chrono::milliseconds timeout) { return process_.wait(timeout); }
    bool running() { return process_.running(); }

    std::vector<SeenRequest> seen() const { return read_seen_requests(record_path_); }
    std::vector<SentPacket> sent() const { return read_sent_packets(sent_path_); }
    std::string stderr_text() const;

    const std::string& record_path() const { return record_path_; }
    const std::string& sent_path() const { return sent_path_; }

private:
    std::string record_path_;
    std::string sent_path_;
    std::string stderr_path_;
    BackgroundProcess process_;
};

}  // namespace qelvor::test
