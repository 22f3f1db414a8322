// The ICMP socket on Winsock 2, or the ICMP helper API where the socket is
// refused.
//
// A raw ICMP socket hands over every ICMP message that reaches the host, IP
// header first: our own request when the target is local, other programs'
// pings, errors. The probe cycle's reply rule sorts them out. Winsock's
// error numbers are already the ones the program prints.
#include <winsock2.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/icmp_helper.h"

namespace platform {

namespace {

SOCKET icmp_socket = INVALID_SOCKET;
bool use_helper;
int last_error;

void keep_error() { last_error = WSAGetLastError(); }

}  // namespace

// Windows leaves the echo identifier of a raw socket to us, so the caller's
// stays; the helper API uses one of its own, which nobody here needs to know.
//
// Windows refuses the raw socket to every user without an elevated prompt
// (WSAEACCES); the helper API serves them. Only that refusal turns to it:
// any other failure is reported, and so is the refusal when the API cannot
// be had either.
bool icmp_open(uint16_t* identifier, uint32_t wait_ms) {
    (void)identifier;
    icmp_socket = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (icmp_socket != INVALID_SOCKET) return true;
    keep_error();
    use_helper = last_error == WSAEACCES && helper_open(wait_ms);
    return use_helper;
}

bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address) {
    if (use_helper) return helper_send(message, length, address, &last_error);
    sockaddr_in destination;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = address;
    int sent = sendto(icmp_socket, reinterpret_cast<const char*>(message), static_cast<int>(length),
                      0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent == SOCKET_ERROR) {
        keep_error();
        return false;
    }
    return true;
}

// Windows gives no arrival stamp on a raw socket: the clock is read as the
// datagram is taken, and what came in before the send cannot be told. The
// helper API's reply is matched to the request, so it came in after it.
Receive icmp_receive(uint32_t timeout_ms, uint8_t* buffer, std::size_t capacity,
                     Datagram* datagram) {
    datagram->before_send = false;
    if (use_helper) return helper_receive(timeout_ms, datagram, &last_error);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(icmp_socket, &readable);
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
    // The first argument is ignored by Winsock. A failed select falls
    // through to the receive, which then tells what is wrong.
    if (select(0, &readable, nullptr, nullptr, &timeout) == 0) return Receive::TimedOut;
    sockaddr_in from;
    int from_length = sizeof from;
    int received =
        recvfrom(icmp_socket, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                 reinterpret_cast<sockaddr*>(&from), &from_length);
    datagram->receive_time = clock_ms();
    if (received == SOCKET_ERROR) {
        keep_error();
        // A datagram longer than the buffer (someone else's big ping) is
        // stored cut short and reported as an error; for the reply rule its
        // first bytes are all that count, so it is a datagram like any other.
        if (last_error != WSAEMSGSIZE) return Receive::Failed;
        received = static_cast<int>(capacity);
    }
    datagram->from_address = from.sin_addr.s_addr;
    datagram->length = static_cast<std::size_t>(received);
    return Receive::Datagram;
}

int last_socket_error() { return last_error; }

}  // namespace platform
