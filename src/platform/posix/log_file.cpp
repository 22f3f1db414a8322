// Log files: opened for appending and held with an exclusive lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

namespace {

// Read through a descriptor of its own: the log's is for writing only.
bool last_line_unended(const char* path, int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) return false;
    char last = '\n';
    int reader = open(path, O_RDONLY | O_CLOEXEC);
    if (reader >= 0 && pread(reader, &last, 1, status.st_size - 1) != 1) last = '\n';
    if (reader >= 0) close(reader);
    return last != '\n';
}

}  // namespace

std::FILE* log_file_open(const char* path, bool* ends_mid_line, int* error_number) {
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
    *ends_mid_line = last_line_unended(path, fd);
    std::FILE* stream = fdopen(fd, "a");
    if (stream == nullptr) {
        *error_number = errno;
        close(fd);
    }
    return stream;
}

}  // namespace platform
