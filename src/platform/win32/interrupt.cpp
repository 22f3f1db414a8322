// Ctrl-C through the C runtime's signal.
//
// The runtime calls a SIGINT handler from the console's control thread, a
// thread of its own, so the handler may take the output lock and use stdio
// as an ordinary thread does. The runtime also resets the handler to the
// default before calling it: a second Ctrl-C while the summary is written
// ends the process at once. When the run is already ending by itself the
// handler returns and leaves it to end so. Windows has no hang-up or
// termination signal to catch here, so on_terminate is never called.
#include <cerrno>
#include <csignal>

#include "platform/platform.h"
#include "platform/win32/icmp_helper.h"

namespace platform {

namespace {

bool (*interrupt_action)();

// A wait for a reply of the helper API is left first, so that it cannot
// hold the ending up.
void on_signal(int) {
    helper_stop_waits();
    interrupt_action();
}

}  // namespace

bool interrupt_install(bool (*on_interrupt)(), bool (*on_terminate)(), int* error_number) {
    (void)on_terminate;
    interrupt_action = on_interrupt;
    errno = 0;
    if (std::signal(SIGINT, on_signal) == SIG_ERR) {
        *error_number = errno != 0 ? errno : EINVAL;
        return false;
    }
    return true;
}

}  // namespace platform
