// The ICMP socket on Linux.
//
// A raw ICMP socket receives a copy of every ICMP message that reaches the
// host: our own request when the target is local, other programs' pings,
// errors. The probe cycle's reply rule sorts them out; the kernel filter
// below only spares it the wake-ups for what can never be a reply.
#include <errno.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

int icmp_socket = -1;
int last_error;

// A datagram taken off the socket by the wait, handed out by the next
// receive. On a fast path (loopback, a near host at period 0) the reply is
// queued before the wait begins, and one non-blocking receive then does
// the work of a poll and a receive.
struct Stash {
    bool full;
    int length;
    uint32_t from;
    uint8_t bytes[1480];
};
Stash stash;

ssize_t receive_now(uint8_t* buffer, std::size_t capacity, uint32_t* from_address) {
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    ssize_t received = recvfrom(icmp_socket, buffer, capacity, MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received >= 0) *from_address = from.sin_addr.s_addr;
    return received;
}

// Error numbers as the program prints them, so messages read the same on
// every platform.
int socket_error_from_errno(int error_number) {
    switch (error_number) {
        case EACCES:
        case EPERM:
            return socket_error_access;
        case EINTR:
            return socket_error_interrupted;
        case EBADF:
            return 10009;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        case EAGAIN:
            return socket_error_would_block;
        case EMSGSIZE:
            return 10040;
        case EAFNOSUPPORT:
            return 10047;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENOBUFS:
            return socket_error_no_buffers;
        case ECONNREFUSED:
            return 10061;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return error_number;
    }
}

void keep_error() { last_error = socket_error_from_errno(errno); }

}  // namespace

bool icmp_open(uint16_t* identifier) {
    (void)identifier;
    icmp_socket = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (icmp_socket < 0) {
        keep_error();
        return false;
    }
    // Only echo replies wake us: everything else is dropped in the kernel.
    icmp_filter filter;
    filter.data = ~(1u << ICMP_ECHOREPLY);
    setsockopt(icmp_socket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    return true;
}

bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address) {
    sockaddr_in destination;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = address;
    ssize_t sent = sendto(icmp_socket, message, length, 0,
                          reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0) {
        keep_error();
        return false;
    }
    return true;
}

int icmp_wait_readable(uint32_t timeout_ms) {
    if (stash.full) return 1;
    ssize_t early = receive_now(stash.bytes, sizeof stash.bytes, &stash.from);
    if (early >= 0) {
        stash.full = true;
        stash.length = static_cast<int>(early);
        return 1;
    }
    pollfd watched = {icmp_socket, POLLIN, 0};
    int ready = poll(&watched, 1, static_cast<int>(timeout_ms));
    if (ready < 0) {
        keep_error();
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

int icmp_receive(uint8_t* buffer, std::size_t capacity, uint32_t* from_address) {
    if (stash.full) {
        stash.full = false;
        std::size_t length = static_cast<std::size_t>(stash.length);
        if (length > capacity) length = capacity;
        std::memcpy(buffer, stash.bytes, length);
        *from_address = stash.from;
        return static_cast<int>(length);
    }
    // Never blocks: the cycle receives only after a wait said readable, and
    // after a failed wait an empty queue must be a failure, not a hang.
    ssize_t received = receive_now(buffer, capacity, from_address);
    if (received < 0) {
        keep_error();
        return -1;
    }
    return static_cast<int>(received);
}

int last_socket_error() { return last_error; }

}  // namespace platform
