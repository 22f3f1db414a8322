// Log files: opened for appending and held with an exclusive lock.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

std::FILE* log_file_open(const char* path, int* error_number) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error_number = errno;
        return nullptr;
    }
    // The lock belongs to this open, so a second -o of the same file in one
    // command line is refused as well. Files that cannot be locked at all
    // are still used.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        *error_number = EACCES;
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, "a");
    if (stream == nullptr) {
        *error_number = errno;
        close(fd);
    }
    return stream;
}

}  // namespace platform
