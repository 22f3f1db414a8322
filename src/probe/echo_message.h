// The one message qelvor sends, an ICMP echo request of 26 bytes, and the
// rule that tells its reply from everything else a raw socket delivers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelvor {

constexpr std::size_t echo_request_length = 26;  // 8 bytes of header, 18 of zero data
constexpr std::size_t datagram_buffer_size = 1480;
constexpr std::size_t ipv4_header_length = 20;

constexpr uint8_t icmp_echo_reply = 0;
constexpr uint8_t icmp_echo_request = 8;

// The Internet checksum of bytes, summed as 16-bit words in memory order, so
// that storing the result in memory order puts it on the wire correctly.
// An odd last byte counts as if followed by a zero byte.
uint16_t internet_checksum(const uint8_t* bytes, std::size_t length);

// Builds the request for request_number into message (26 bytes): type 8,
// code 0, identifier and sequence big-endian, the sequence being the low 16
// bits of request_number, and a fresh checksum.
void build_echo_request(uint8_t* message, uint16_t identifier, uint32_t request_number);

// True when datagram (IPv4 header of 20 bytes, then ICMP) is the echo reply
// to request: type 0 at offset 20, identifier and sequence equal to the
// request's. Nothing else is examined: not the code, the checksum, the data
// or the sender, and the header length is taken as 20 whatever it says.
bool is_echo_reply(const uint8_t* datagram, std::size_t length, const uint8_t* request);

}  // namespace qelvor
