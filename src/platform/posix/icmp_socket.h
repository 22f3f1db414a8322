// Inside the POSIX backend: between the ICMP socket and the privilege drop at
// process start.
#pragma once

namespace platform {

// Opens the ICMP socket while the process still holds the privileges it was
// started with, for the echo identifier the probe cycle will ask for
// (echo_identifier()). A failure is kept: icmp_open reports it
// when the probe cycle asks for the socket.
void icmp_open_early();

}  // namespace platform
