// Echo requests through the ICMP helper API (iphlpapi), for the users whom
// Windows refuses the raw ICMP socket. Used by the ICMP socket's functions
// and by the Ctrl-C handler; nothing outside the Windows backend sees it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

// Gets the API's handle and the events its requests and waits need; false
// when any of them cannot be had. wait_ms becomes every request's time-out.
bool helper_open(uint32_t wait_ms);

// Sends the request's data (the bytes after its 8-byte header) to address;
// the API adds a header of its own. On failure *error holds the Winsock
// number that stands for the API's reason.
bool helper_send(const uint8_t* message, std::size_t length, uint32_t address, int* error);

// Waits at most timeout_ms for the API's reply to the last request sent.
Receive helper_receive(uint32_t timeout_ms, Datagram* datagram, int* error);

// Ctrl-C: a wait in helper_receive ends at once, and its thread stays out of
// the way while the interrupt path ends the process.
void helper_stop_waits();

}  // namespace platform
