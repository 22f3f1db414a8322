// Process start and end, the output lock, addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/privileges.h"

namespace platform {

namespace {

pthread_mutex_t output_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// The inode number the kernel gives the host's own PID namespace, the one
// every other namespace descends from.
constexpr ino_t initial_pid_namespace = 0xEFFFFFFC;

struct EchoIdentifier {
    bool found;
    uint16_t value;
};
EchoIdentifier echo;

// Process IDs are the host's only in the initial PID namespace; elsewhere
// process 1 of one container meets process 1 of the next on the same
// network, and with equal identifiers each would take the other's replies.
// There the namespace's inode number is mixed in. Multiplying by an odd
// number maps its low 16 bits one to one, so two namespaces numbered less
// than 65536 apart never give one process ID the same identifier. Without
// /proc the namespace cannot be told, and a chance value is mixed in instead:
// a run that cannot know its process ID to be the host's does not trust it.
uint16_t find_echo_identifier() {
    auto process = static_cast<uint16_t>(getpid());
    struct stat pid_namespace;
    uint64_t identity = 0;
    if (stat("/proc/self/ns/pid", &pid_namespace) == 0) {
        if (pid_namespace.st_ino == initial_pid_namespace) return process;
        identity = pid_namespace.st_ino;
    } else if (getrandom(&identity, sizeof identity, GRND_NONBLOCK) != sizeof identity) {
        timespec now;  // no randomness yet, so early after boot: the time will do
        clock_gettime(CLOCK_REALTIME, &now);
        identity = static_cast<uint64_t>(now.tv_nsec);
    }
    return static_cast<uint16_t>(process + identity * 40503u);
}

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
    echo_identifier();
    give_up_privileges();
}

// Found once, before any privilege is given up, so that the socket opened
// with them and the requests agree on it.
uint16_t echo_identifier() {
    if (!echo.found) echo = {true, find_echo_identifier()};
    return echo.value;
}

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
