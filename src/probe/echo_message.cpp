#include "probe/echo_message.h"

#include <cstring>

namespace qelvor {

uint16_t internet_checksum(const uint8_t* bytes, std::size_t length) {
    uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) {
        uint16_t word;
        std::memcpy(&word, bytes + i, 2);
        sum += word;
        if (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < length) {
        uint8_t last[2] = {bytes[i], 0};
        uint16_t word;
        std::memcpy(&word, last, 2);
        sum += word;
    }
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void build_echo_request(uint8_t* message, uint16_t identifier, uint32_t request_number) {
    message[0] = icmp_echo_request;
    message[1] = 0;
    message[2] = 0;
    message[3] = 0;
    message[4] = static_cast<uint8_t>(identifier >> 8);
    message[5] = static_cast<uint8_t>(identifier);
    message[6] = static_cast<uint8_t>(request_number >> 8);
    message[7] = static_cast<uint8_t>(request_number);
    uint16_t checksum = internet_checksum(message, echo_request_length);
    std::memcpy(message + 2, &checksum, 2);
}

bool is_echo_reply(const uint8_t* datagram, std::size_t length, const uint8_t* request) {
    // A datagram too short to hold the fields cannot be the reply; without
    // this test the fields would be read from whatever an earlier, longer
    // datagram left in the buffer.
    if (length < ipv4_header_length + 8) return false;
    const uint8_t* icmp = datagram + ipv4_header_length;
    return icmp[0] == icmp_echo_reply && icmp[4] == request[4] && icmp[5] == request[5] &&
           icmp[6] == request[6] && icmp[7] == request[7];
}

}  // namespace qelvor
