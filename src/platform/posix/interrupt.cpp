// Ctrl-C, hang-up and termination, handled on a thread of their own.
//
// The signals are blocked in the main thread before any other thread exists,
// so every thread inherits the block, and one thread takes them with sigwait.
// It is then an ordinary thread: it may take the output lock and use stdio,
// which an asynchronous handler could not.
//
// The first signal starts the ending on a thread of its own; the signal
// thread stays behind as its watchdog. It absorbs the rest of a burst (GNU
// timeout signals the process and then its group; a user presses Ctrl-C
// twice), so that one summary is written whole. If the ending has not
// finished after a second and a half in which it could run, output that
// cannot move holds it up, and the watchdog ends the process without it.
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr uint64_t ending_deadline_ms = 1500;
constexpr uint64_t tick_ms = 100;

bool (*interrupt_action)();
bool (*terminate_action)();
sigset_t watched;
int ending_signal;
// The run was already ending by itself: the ending is its own.
std::atomic<bool> left_to_run;

// Restores the signal's default action, unblocks it for this thread only and
// raises it: the process ends by it, so the parent sees how it ended.
[[noreturn]] void end_by(int signal_number) {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal_number);
    _exit(1);
}

void* run_ending(void*) {
    // Ctrl-C ends the process itself; hang-up or termination writes out what
    // was reported, then ends it by the same signal.
    bool ended = ending_signal == SIGINT ? interrupt_action() : terminate_action();
    if (ended) end_by(ending_signal);
    left_to_run.store(true);
    return nullptr;
}

void* wait_for_signals(void*) {
    int signal_number = 0;
    while (sigwait(&watched, &signal_number) != 0) {
    }
    ending_signal = signal_number;
    pthread_t worker;
    if (pthread_create(&worker, nullptr, run_ending, nullptr) != 0) run_ending(nullptr);
    pthread_detach(worker);
    // Counted in ticks: a step of the clock longer than a tick is time the
    // process was stopped (SIGSTOP, a suspended job), when the ending could
    // not run either, and counts as one tick.
    uint64_t counted = 0;
    for (uint64_t last = clock_ms(), now; counted < ending_deadline_ms; last = now) {
        timespec tick = {0, static_cast<long>(tick_ms * 1000000)};
        sigtimedwait(&watched, nullptr, &tick);
        now = clock_ms();
        counted += now - last < tick_ms ? now - last : tick_ms;
    }
    // Straight to the kernel: the C library's exit processing may wait on
    // what holds the ending up.
    if (ending_signal == SIGINT) syscall(SYS_exit_group, left_to_run.load() ? 0 : 1);
    end_by(ending_signal);
}

// An action of "ignore" inherited from the parent (nohup, trap '' HUP) is
// kept: such a signal is left out of the watched set, since Linux would
// still queue it for sigwait while it is blocked.
void watch_unless_ignored(int signal_number) {
    struct sigaction inherited = {};
    if (sigaction(signal_number, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
        return;
    }
    sigaddset(&watched, signal_number);
}

}  // namespace

bool interrupt_install(bool (*on_interrupt)(), bool (*on_terminate)(), int* error_number) {
    interrupt_action = on_interrupt;
    terminate_action = on_terminate;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    watch_unless_ignored(SIGTERM);
    watch_unless_ignored(SIGHUP);
    int result = pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    // Ctrl-C is always ours, also when the shell that started us in the
    // background set it to be ignored: an ignored signal is discarded before
    // sigwait could take it.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    if (result == 0) sigaction(SIGINT, &default_action, nullptr);
    if (result == 0) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        result = pthread_create(&thread, &attributes, wait_for_signals, nullptr);
        pthread_attr_destroy(&attributes);
    }
    if (result != 0) {
        *error_number = result;
        return false;
    }
    return true;
}

}  // namespace platform
