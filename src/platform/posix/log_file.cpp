// Log files: append, exclusive, CR LF line ends, 4096-byte buffer.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

// Every -o opens one; a later -o leaves the earlier file open and held, so
// a command line can hold as many as it has -o options (at most seven).
struct LogFile {
    FILE* stream;
    char buffer[4096];
};

namespace {

LogFile logs[8];

// Writes length bytes, each "\n" as "\r\n", so a log reads the same
// wherever it was written.
bool write_crlf(FILE* stream, const char* text, std::size_t length, int* error_number) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != '\n') continue;
        std::size_t piece = i - start;
        errno = 0;
        if (piece > 0 && fwrite_unlocked(text + start, 1, piece, stream) != piece) break;
        if (i < length && fwrite_unlocked("\r\n", 1, 2, stream) != 2) break;
        start = i + 1;
        if (i == length) return true;
    }
    *error_number = errno != 0 ? errno : EIO;
    return false;
}

}  // namespace

LogFile* log_open(const char* path, int* error_number) {
    if (path[0] == '\0') {
        *error_number = EINVAL;
        return nullptr;
    }
    LogFile* log = nullptr;
    for (LogFile& slot : logs) {
        if (slot.stream == nullptr) {
            log = &slot;
            break;
        }
    }
    if (log == nullptr) {
        *error_number = EMFILE;
        return nullptr;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error_number = errno;
        return nullptr;
    }
    // Held exclusively, so two runs never interleave their records in one
    // file. The lock belongs to this open, so a second -o of the same file
    // in one command line is refused as well. Files that cannot be locked
    // at all are still used.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        *error_number = EACCES;
        return nullptr;
    }
    log->stream = fdopen(fd, "a");
    if (log->stream == nullptr) {
        *error_number = errno;
        close(fd);
        return nullptr;
    }
    std::setvbuf(log->stream, log->buffer, _IOFBF, sizeof log->buffer);
    return log;
}

bool log_write(LogFile* log, const char* text, std::size_t length, int* error_number) {
    return write_crlf(log->stream, text, length, error_number);
}

bool log_put(LogFile* log, char mark, int* error_number) {
    return write_crlf(log->stream, &mark, 1, error_number);
}

void log_close(LogFile* log) {
    std::fclose(log->stream);
    // The slot stays taken: its buffer may not be reused by a later open in
    // the same process, and there is none.
}

}  // namespace platform
