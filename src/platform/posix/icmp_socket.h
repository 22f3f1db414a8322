// Inside the POSIX backend: between the ICMP socket, the privilege drop at
// process start, and the table of error numbers.
#pragma once

#include <cstddef>

namespace platform {

// Opens the ICMP socket while the process still holds the privileges it was
// started with, for the echo identifier the probe cycle will ask for (the
// low 16 bits of the process ID). A failure is kept: icmp_open reports it
// when the probe cycle asks for the socket.
void icmp_open_early();

// How each errno is printed: as the socket error number of platform.h.
struct SocketErrorName {
    int errno_value;
    int printed;
};
constexpr std::size_t socket_error_count = 15;
extern const SocketErrorName socket_errors[socket_error_count];

int socket_error_from_errno(int error_number);

}  // namespace platform
