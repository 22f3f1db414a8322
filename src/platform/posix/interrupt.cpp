// Ctrl-C, hang-up and termination, handled on a thread of their own.
//
// The signals are blocked in the main thread before any other thread exists,
// so every thread inherits the block, and one thread takes them with sigwait.
// It is then an ordinary thread: it may take the output lock and use stdio,
// which an asynchronous handler could not.
#include <pthread.h>
#include <signal.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

namespace {

void (*interrupt_action)();
void (*terminate_action)();
sigset_t watched;

// Restores the signal's default action and unblocks it for this thread only:
// the next one of its kind then ends the process at once.
void let_default_happen(int signal_number) {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
}

void* wait_for_signals(void*) {
    for (;;) {
        int signal_number = 0;
        if (sigwait(&watched, &signal_number) != 0) continue;
        if (signal_number == SIGINT) {
            // A second Ctrl-C while the summary is written ends the process.
            let_default_happen(SIGINT);
            interrupt_action();
        }
        // Hang-up or termination: write out what was reported, then end by
        // the same signal, so the parent sees how the process ended.
        terminate_action();
        let_default_happen(signal_number);
        raise(signal_number);
    }
    return nullptr;
}

}  // namespace

bool interrupt_install(void (*on_interrupt)(), void (*on_terminate)(), int* error_number) {
    interrupt_action = on_interrupt;
    terminate_action = on_terminate;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGHUP);
    int result = pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    // Ctrl-C is always ours, also when the shell that started us in the
    // background set it to be ignored: an ignored signal is discarded before
    // sigwait could take it. Hang-up and termination keep an inherited
    // "ignore", so that a run started under nohup survives its terminal.
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
