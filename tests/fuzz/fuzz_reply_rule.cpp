// Whatever a raw ICMP socket may hand over, the reply rule must take the
// matching echo reply and nothing else, without reading past the datagram.
// The checksum the requests carry must verify on any message it is put in.
//
// Input: identifier (2 bytes), request number (4 bytes), then the datagram
// as received, IPv4 header first; short inputs leave the missing bytes zero.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "probe/echo_message.h"

namespace {

constexpr std::size_t prefix_length = 6;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check_request(const uint8_t* request, uint16_t identifier, uint32_t request_number) {
    if (request[0] != 8 || request[1] != 0) fail("request is not an echo request");
    if (request[4] != (identifier >> 8) || request[5] != (identifier & 0xFF)) {
        fail("request carries the wrong identifier");
    }
    if (request[6] != ((request_number >> 8) & 0xFF) || request[7] != (request_number & 0xFF)) {
        fail("request carries the wrong sequence");
    }
    for (std::size_t i = 8; i < echo_request_length; ++i) {
        if (request[i] != 0) fail("request data is not zero");
    }
    if (internet_checksum(request, echo_request_length) != 0) fail("request checksum is wrong");
}

void check_reply_rule(const std::vector<uint8_t>& datagram, const uint8_t* request) {
    // Exactly as long as what was received, so that a read past it is caught.
    std::size_t length = datagram.size();
    uint8_t* exact = length > 0 ? new uint8_t[length] : nullptr;
    if (length > 0) std::memcpy(exact, datagram.data(), length);
    bool accepted = is_echo_reply(exact, length, request);
    delete[] exact;

    bool matches = length >= 28 && datagram[20] == 0 && datagram[24] == request[4] &&
                   datagram[25] == request[5] && datagram[26] == request[6] &&
                   datagram[27] == request[7];
    if (accepted && length < 28) fail("a datagram too short to hold a reply was taken");
    if (accepted && !matches) fail("a datagram that is not our reply was taken");
    if (!accepted && matches) fail("our reply was not taken");
}

void check_checksum(const std::vector<uint8_t>& bytes) {
    std::size_t length = bytes.size();
    if (length >= 4 && length % 2 == 0) {
        std::vector<uint8_t> message = bytes;
        message[2] = 0;
        message[3] = 0;
        uint16_t checksum = internet_checksum(message.data(), length);
        std::memcpy(&message[2], &checksum, 2);
        if (internet_checksum(message.data(), length) != 0) fail("stored checksum does not verify");
    }
    if (length % 2 == 1) {
        // An odd last byte counts as if a zero byte followed it.
        std::vector<uint8_t> padded = bytes;
        padded.push_back(0);
        if (internet_checksum(bytes.data(), length) !=
            internet_checksum(padded.data(), length + 1)) {
            fail("odd length is not summed as if padded with zero");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint8_t prefix[prefix_length] = {};
    std::memcpy(prefix, data, size < prefix_length ? size : prefix_length);
    auto identifier = static_cast<uint16_t>(prefix[0] << 8 | prefix[1]);
    uint32_t request_number = static_cast<uint32_t>(prefix[2]) << 24 |
                              static_cast<uint32_t>(prefix[3]) << 16 |
                              static_cast<uint32_t>(prefix[4]) << 8 | prefix[5];

    // The program's own buffer: zero beyond the 26 bytes it fills.
    uint8_t request[datagram_buffer_size] = {};
    build_echo_request(request, identifier, request_number);
    check_request(request, identifier, request_number);

    std::vector<uint8_t> datagram;
    if (size > prefix_length) {
        std::size_t length = size - prefix_length;
        if (length > datagram_buffer_size) length = datagram_buffer_size;
        datagram.assign(data + prefix_length, data + prefix_length + length);
    }
    check_reply_rule(datagram, request);
    check_checksum(datagram);
    return 0;
}
