// Process start and end, the output lock, addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/privileges.h"

namespace platform {

namespace {

pthread_mutex_t output_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// A process started with standard output or error closed would get them
// back as the log's descriptor, and console lines would land in the log.
void open_missing_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDWR);
    }
}

}  // namespace

// Before anything else is opened.
void process_startup() {
    open_missing_standard_descriptors();
    give_up_privileges();
}

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

// The socket library needs no starting on POSIX.
int socket_library_start() { return 0; }
void socket_library_stop() {}

void output_lock() { pthread_mutex_lock(&output_mutex); }
void output_unlock() { pthread_mutex_unlock(&output_mutex); }

// Tried once a millisecond: the wait is short, taken once, on the way out.
bool output_lock_within(uint32_t ms) {
    for (uint32_t tried = 0; pthread_mutex_trylock(&output_mutex) != 0; ++tried) {
        if (tried >= ms) return false;
        usleep(1000);
    }
    return true;
}

void process_exit(int status) { _exit(status); }

void wait_for_exit() {
    for (;;) pause();
}

uint32_t address_from_text(const char* text) { return inet_addr(text); }

void address_to_text(uint32_t address, char* out) {
    in_addr value;
    value.s_addr = address;
    inet_ntop(AF_INET, &value, out, address_text_size);
}

}  // namespace platform
