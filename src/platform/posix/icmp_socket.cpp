// The ICMP socket on Linux.
//
// A raw ICMP socket receives a copy of every ICMP message that reaches the
// host: our own request when the target is local, other programs' pings,
// errors. The probe cycle's reply rule sorts them out; the kernel filter
// below only spares it the wake-ups for what can never be a reply.
//
// A raw socket needs root or cap_net_raw. Without them, Linux offers the
// ICMP datagram ("ping") socket to the groups in net.ipv4.ping_group_range.
// That socket hands over the ICMP message without its IPv4 header and owns
// the echo identifier: every request goes out with the socket's local port
// in it, and only replies carrying that port come back. So the socket is
// bound to the identifier the probe cycle asked for, and a header is put in
// front of what it receives, so the layers above see what a raw socket
// would have given them.
#include "platform/posix/icmp_socket.h"

#include <arpa/inet.h>
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

constexpr std::size_t ipv4_header_length = 20;

struct IcmpSocket {
    int descriptor = -1;
    bool datagram;      // a ping socket: no IPv4 header on what it receives
    bool opened_early;  // by process_startup, before privileges were dropped
    int open_error;     // why the early open failed, as printed
    uint16_t identifier;
    int last_error;
};
IcmpSocket icmp;

// A datagram taken off the socket by the wait, handed out by the next
// receive. On a fast path (loopback, a near host at period 0) the reply is
// queued before the wait begins, and one non-blocking receive then does
// the work of a poll and a receive.
struct Stash {
    bool full;
    int length;  // or -1 for a failed receive, whose errno is in error
    int error;
    uint32_t from;
    uint8_t bytes[1480];
};
Stash stash;

// The header a raw socket would have delivered, as far as anything above
// reads it: version and length, protocol, sender. Fields the ping socket
// does not tell (TTL, destination) stay zero.
void put_ipv4_header(uint8_t* buffer, std::size_t capacity, std::size_t total_length,
                     uint32_t from_address) {
    uint8_t header[ipv4_header_length] = {};
    header[0] = 0x45;
    header[2] = static_cast<uint8_t>(total_length >> 8);
    header[3] = static_cast<uint8_t>(total_length);
    header[9] = IPPROTO_ICMP;
    std::memcpy(header + 12, &from_address, 4);
    std::memcpy(buffer, header, capacity < sizeof header ? capacity : sizeof header);
}

ssize_t receive_now(uint8_t* buffer, std::size_t capacity, uint32_t* from_address) {
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    std::size_t skip = icmp.datagram ? ipv4_header_length : 0;
    if (skip > capacity) skip = capacity;
    ssize_t received = recvfrom(icmp.descriptor, buffer + skip, capacity - skip, MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received < 0) return received;
    *from_address = from.sin_addr.s_addr;
    if (icmp.datagram) {
        received += static_cast<ssize_t>(skip);
        put_ipv4_header(buffer, capacity, static_cast<std::size_t>(received), from.sin_addr.s_addr);
    }
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

void keep_error() { icmp.last_error = socket_error_from_errno(errno); }

// Binds a ping socket to the wanted identifier. When another ping socket
// holds it, the kernel picks a free one, and *identifier becomes that one.
// Returns false with errno set when the socket cannot be bound at all.
bool bind_identifier(int descriptor, uint16_t* identifier) {
    // Ping sockets share identifiers by default, and the kernel then hands
    // each reply to one of the sharers only. Without address reuse the
    // identifier is ours alone: taken already, the bind says so, and no
    // later socket can take it from us.
    int reuse = 0;
    setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(*identifier);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        if (errno != EADDRINUSE) return false;
        local.sin_port = 0;
        if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return false;
        }
    }
    socklen_t length = sizeof local;
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    *identifier = ntohs(local.sin_port);
    return true;
}

// The raw socket when allowed, else the ping socket. When neither can be
// had, the raw socket's refusal is what the user is told: it is the one
// that privileges would cure.
bool open_either(uint16_t* identifier) {
    icmp.descriptor = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (icmp.descriptor >= 0) {
        icmp.datagram = false;
        // Only echo replies wake us: everything else is dropped in the kernel.
        icmp_filter filter;
        filter.data = ~(1u << ICMP_ECHOREPLY);
        setsockopt(icmp.descriptor, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
        return true;
    }
    keep_error();
    if (errno != EPERM && errno != EACCES) return false;
    int raw_error = icmp.last_error;
    int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (descriptor < 0) {
        icmp.last_error = raw_error;
        return false;
    }
    if (!bind_identifier(descriptor, identifier)) {
        keep_error();
        close(descriptor);
        return false;
    }
    icmp.descriptor = descriptor;
    icmp.datagram = true;
    return true;
}

}  // namespace

void icmp_open_early() {
    icmp.opened_early = true;
    icmp.identifier = static_cast<uint16_t>(getpid());
    if (!open_either(&icmp.identifier)) icmp.open_error = icmp.last_error;
}

bool icmp_open(uint16_t* identifier) {
    if (!icmp.opened_early) return open_either(identifier);
    if (icmp.descriptor < 0) {
        icmp.last_error = icmp.open_error;
        return false;
    }
    // Only the ping socket imposes its identifier; a raw socket sends
    // whatever the caller puts in the request.
    if (icmp.datagram) *identifier = icmp.identifier;
    return true;
}

bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address) {
    sockaddr_in destination;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = address;
    ssize_t sent = sendto(icmp.descriptor, message, length, 0,
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
    if (early >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        // A failure other than an empty queue belongs to the receive that
        // follows, as it would without this early try.
        stash.full = true;
        stash.length = early >= 0 ? static_cast<int>(early) : -1;
        stash.error = errno;
        return 1;
    }
    pollfd watched = {icmp.descriptor, POLLIN, 0};
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
        if (stash.length < 0) {
            icmp.last_error = socket_error_from_errno(stash.error);
            return -1;
        }
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

int last_socket_error() { return icmp.last_error; }

}  // namespace platform
