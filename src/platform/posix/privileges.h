// Inside the POSIX backend: raised privileges at start.
#pragma once

namespace platform {

// Run set-user-ID root or with a capability: opens the ICMP socket, then
// gives every privilege up for good and proves it, or ends the process.
// Does nothing for a process started without privileges.
void give_up_privileges();

}  // namespace platform
