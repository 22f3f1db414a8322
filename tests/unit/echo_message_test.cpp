// The request on the wire and the rule that picks its reply out of
// everything a raw socket delivers.
#include "probe/echo_message.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> request_bytes(uint16_t identifier, uint32_t number) {
    std::vector<uint8_t> message(echo_request_length, 0xEE);
    build_echo_request(message.data(), identifier, number);
    return message;
}

TEST(EchoRequest, FirstRequestMatchesTheKnownBytes) {
    std::vector<uint8_t> message(echo_request_length, 0);
    build_echo_request(message.data(), 0x1234, 1);
    std::vector<uint8_t> expected = {0x08, 0x00, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01};
    expected.resize(echo_request_length, 0);
    EXPECT_EQ(message, expected);
    EXPECT_EQ(internet_checksum(message.data(), message.size()), 0);
}

TEST(EchoRequest, SequenceIsTheLow16BitsOfTheRequestNumber) {
    struct Case {
        uint32_t number;
        uint8_t high, low;
    } cases[] = {{65535, 0xFF, 0xFF}, {65536, 0, 0}, {65537, 0, 1}, {0x80000002u, 0, 2}};
    for (const Case& c : cases) {
        std::vector<uint8_t> message(echo_request_length, 0);
        build_echo_request(message.data(), 0xBEEF, c.number);
        EXPECT_EQ(message[6], c.high) << c.number;
        EXPECT_EQ(message[7], c.low) << c.number;
        // A fresh checksum every time: the whole message still sums to zero.
        EXPECT_EQ(internet_checksum(message.data(), message.size()), 0) << c.number;
    }
}

// The datagram as the socket delivers it: a 20-byte IPv4 header, then ICMP.
std::vector<uint8_t> datagram_with(const std::vector<uint8_t>& icmp, std::size_t header = 20) {
    std::vector<uint8_t> datagram(header, 0);
    datagram[0] = static_cast<uint8_t>(0x40 | (header / 4));
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    return datagram;
}

TEST(ReplyRule, TellsTheReplyFromEverythingElse) {
    const std::vector<uint8_t> request = request_bytes(0x1234, 7);
    std::vector<uint8_t> reply = request;
    reply[0] = 0;

    std::vector<uint8_t> other_identifier = reply;
    other_identifier[5] ^= 1;
    std::vector<uint8_t> late = request_bytes(0x1234, 6);
    late[0] = 0;
    std::vector<uint8_t> other_code = reply;
    other_code[1] = 3;
    std::vector<uint8_t> broken_checksum = reply;
    broken_checksum[2] ^= 0xFF;
    std::vector<uint8_t> unreachable = {3, 1, 0, 0, 0, 0, 0, 0};

    struct Case {
        const char* what;
        std::vector<uint8_t> datagram;
        bool accepted;
    } cases[] = {
        {"matching echo reply", datagram_with(reply), true},
        {"our own request looped back", datagram_with(request), false},
        {"late reply to an earlier request", datagram_with(late), false},
        {"another identifier", datagram_with(other_identifier), false},
        {"reply with options in the IPv4 header", datagram_with(reply, 24), false},
        {"destination unreachable", datagram_with(unreachable), false},
        // Not examined by the rule: the code and the checksum.
        {"echo reply with another code", datagram_with(other_code), true},
        {"echo reply with a broken checksum", datagram_with(broken_checksum), true},
        {"header only, fields cut off", std::vector<uint8_t>(reply.begin(), reply.begin()), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_echo_reply(c.datagram.data(), c.datagram.size(), request.data()), c.accepted)
            << c.what;
    }
}

TEST(ReplyRule, AShortDatagramIsNeverReadPastItsEnd) {
    const std::vector<uint8_t> request = request_bytes(0x1234, 7);
    std::vector<uint8_t> buffer = datagram_with(request);
    buffer[20] = 0;  // a full reply lies in the buffer from before...
    for (std::size_t length = 0; length < 28; ++length) {
        // ...but only length bytes arrived this time.
        EXPECT_FALSE(is_echo_reply(buffer.data(), length, request.data())) << length;
    }
    EXPECT_TRUE(is_echo_reply(buffer.data(), 28, request.data()));
}

}  // namespace
