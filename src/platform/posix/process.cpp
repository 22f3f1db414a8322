// Process start and end, the output lock, addresses.
#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

pthread_mutex_t output_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

}  // namespace

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

// The socket library needs no starting on POSIX.
int socket_library_start() { return 0; }
void socket_library_stop() {}

void output_lock() { pthread_mutex_lock(&output_mutex); }
void output_unlock() { pthread_mutex_unlock(&output_mutex); }

void process_exit(int status) { std::exit(status); }

uint32_t address_from_text(const char* text) { return inet_addr(text); }

void address_to_text(uint32_t address, char* out) {
    in_addr value;
    value.s_addr = address;
    inet_ntop(AF_INET, &value, out, 16);
}

}  // namespace platform
