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
// bound to the identifier the probe cycle asked for, and room for a header
// is left in front of what it receives, so the layers above find the ICMP
// message where a raw socket puts it.
#include "platform/posix/icmp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix/arrival_time.h"

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
    ClockPair sent;  // both clocks just before the last send
};
IcmpSocket icmp;

int64_t nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// When the datagram reached the host, on the program's clock, and whether
// that was before the last send, from the kernel's arrival stamp. Without a
// stamp, now, and not before.
void stamp_arrival(msghdr* message, Datagram* datagram) {
    ClockPair now = clocks_now();
    int64_t arrival = now.monotonic;
    datagram->before_send = false;
    for (cmsghdr* part = CMSG_FIRSTHDR(message); part != nullptr;
         part = CMSG_NXTHDR(message, part)) {
        if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp;
        std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
        arrival = arrival_monotonic(nanoseconds(stamp), icmp.sent, now);
        datagram->before_send = came_before_send(nanoseconds(stamp), icmp.sent, now);
    }
    datagram->receive_time = static_cast<uint64_t>(arrival / 1000000);
}

// Never blocks: an empty queue is a failure with EAGAIN.
ssize_t receive_now(uint8_t* buffer, std::size_t capacity, Datagram* datagram) {
    sockaddr_in from = {};
    std::size_t skip = icmp.datagram ? ipv4_header_length : 0;
    if (skip > capacity) skip = capacity;
    iovec part = {buffer + skip, capacity - skip};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message = {};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = recvmsg(icmp.descriptor, &message, MSG_DONTWAIT);
    if (received < 0) return received;
    datagram->from_address = from.sin_addr.s_addr;
    stamp_arrival(&message, datagram);
    // The message lands where a raw socket puts it, after the IPv4 header,
    // of which the reply rule reads nothing.
    received += static_cast<ssize_t>(skip);
    return received;
}

// How each errno is printed: as the socket error number of platform.h, so
// messages read the same on every platform. The README and the manual page
// list this table.
struct SocketErrorName {
    int errno_value;
    int printed;
};

const SocketErrorName socket_errors[] = {
    {EINTR, socket_error_interrupted},
    {EBADF, socket_error_bad_descriptor},
    {EACCES, socket_error_access},
    {EPERM, socket_error_access},
    {EINVAL, socket_error_invalid_argument},
    {EMFILE, socket_error_too_many_open},
    {EAGAIN, socket_error_would_block},
    {EMSGSIZE, socket_error_message_size},
    {EAFNOSUPPORT, socket_error_family_unsupported},
    {ENETDOWN, socket_error_network_down},
    {ENETUNREACH, socket_error_network_unreachable},
    {ENOBUFS, socket_error_no_buffers},
    {ECONNREFUSED, socket_error_refused},
    {EHOSTDOWN, socket_error_host_down},
    {EHOSTUNREACH, socket_error_host_unreachable},
};

// Any other errno prints as itself.
int socket_error_from_errno(int error_number) {
    for (const SocketErrorName& known : socket_errors) {
        if (known.errno_value == error_number) return known.printed;
    }
    return error_number;
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
bool open_raw_or_ping(uint16_t* identifier);

bool open_either(uint16_t* identifier) {
    bool opened = open_raw_or_ping(identifier);
    if (opened) {
        // The kernel's arrival stamp, for round-trip times that a busy or
        // stopped process cannot stretch.
        int on = 1;
        setsockopt(icmp.descriptor, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    return opened;
}

bool open_raw_or_ping(uint16_t* identifier) {
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
    icmp.identifier = echo_identifier();
    if (!open_either(&icmp.identifier)) icmp.open_error = icmp.last_error;
}

// Neither socket keeps anything open per request: the wait is the probe
// cycle's alone.
bool icmp_open(uint16_t* identifier, uint32_t wait_ms) {
    (void)wait_ms;
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
    // Before the call: on a near host the reply is in before it returns.
    icmp.sent = clocks_now();
    ssize_t sent = sendto(icmp.descriptor, message, length, 0,
                          reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0) {
        keep_error();
        return false;
    }
    return true;
}

Receive icmp_receive(uint32_t timeout_ms, uint8_t* buffer, std::size_t capacity,
                     Datagram* datagram) {
    // A datagram already queued is taken without a wait: on a fast path
    // (loopback, a near host at period 0) the reply is in before the wait
    // would begin, and one receive then does the work of a poll and a
    // receive.
    ssize_t received = receive_now(buffer, capacity, datagram);
    if (received < 0 && errno == EAGAIN) {  // EWOULDBLOCK is the same on Linux
        if (timeout_ms == 0) return Receive::TimedOut;
        pollfd watched = {icmp.descriptor, POLLIN, 0};
        int ready = poll(&watched, 1, static_cast<int>(timeout_ms));
        if (ready == 0) return Receive::TimedOut;
        // After a failed poll the receive tells what is wrong with the
        // socket, and an empty queue is a failure, not a hang.
        received = receive_now(buffer, capacity, datagram);
    }
    if (received < 0) {
        keep_error();
        return Receive::Failed;
    }
    datagram->length = static_cast<std::size_t>(received);
    return Receive::Datagram;
}

int last_socket_error() { return icmp.last_error; }

}  // namespace platform
