// Ctrl-C through the C runtime's signal.
//
// The runtime calls a SIGINT handler from the console's control thread, a
// thread of its own, so the handler may take the output lock and use stdio
// as an ordinary thread does. The runtime resets the handler to the default
// before calling it; it is put back at once, so that more Ctrl-C presses
// while the ending runs are absorbed: the default would end the process
// through ExitProcess, which waits on the streams the ending may be stuck
// behind. When the run is already ending by itself the handler returns and
// leaves it to end so. Windows has no hang-up or termination signal to catch
// here, so on_terminate is never called.
//
// The first Ctrl-C also starts a watchdog. If the ending has not finished
// after a second and a half in which it could run (a log on a share that has
// stalled holds the output), the watchdog ends the process without it.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "platform/platform.h"
#include "platform/win32/icmp_helper.h"

namespace platform {

namespace {

constexpr uint64_t ending_deadline_ms = 1500;
constexpr DWORD tick_ms = 100;

bool (*interrupt_action)();
std::atomic<bool> interrupted{false};
// The run was already ending by itself: the ending is its own.
std::atomic<bool> left_to_run{false};

// Counted in ticks: a step of the clock longer than a tick is time the
// process was suspended, when the ending could not run either, and counts
// as one tick. Then straight to the kernel, as the C runtime's exit would
// wait on what holds the ending up.
DWORD WINAPI watch_ending(void*) {
    uint64_t counted = 0;
    for (uint64_t last = clock_ms(), now; counted < ending_deadline_ms; last = now) {
        Sleep(tick_ms);
        now = clock_ms();
        counted += now - last < tick_ms ? now - last : tick_ms;
    }
    TerminateProcess(GetCurrentProcess(), left_to_run.load() ? 0 : 1);
    return 0;
}

void on_signal(int) {
    std::signal(SIGINT, on_signal);
    if (interrupted.exchange(true)) return;
    HANDLE watchdog = CreateThread(nullptr, 0, watch_ending, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);
    // A wait for a reply of the helper API is left first, so that it cannot
    // hold the ending up.
    helper_stop_waits();
    if (!interrupt_action()) left_to_run.store(true);
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
