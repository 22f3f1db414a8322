#include "output/log_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

// Every -o opens one; a later -o leaves the earlier file open and held, so
// a command line can hold as many as it has -o options (at most seven).
struct LogFile {
    std::FILE* stream;
    bool ends_mid_line;
    char buffer[4096];
};

namespace {

LogFile logs[8];

// Writes length bytes, each "\n" as "\r\n".
bool write_crlf(std::FILE* stream, const char* text, std::size_t length, int* error_number) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != '\n') continue;
        std::size_t piece = i - start;
        errno = 0;
        if (piece > 0 && std::fwrite(text + start, 1, piece, stream) != piece) break;
        if (i < length && std::fwrite("\r\n", 1, 2, stream) != 2) break;
        start = i + 1;
        if (i == length) return true;
    }
    *error_number = errno != 0 ? errno : EIO;
    return false;
}

}  // namespace

void log_close_all() {
    for (LogFile& slot : logs) {
        if (slot.stream != nullptr) std::fclose(slot.stream);
        slot.stream = nullptr;
    }
}

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
    log->stream = platform::log_file_open(path, &log->ends_mid_line, error_number);
    if (log->stream == nullptr) return nullptr;
    std::setvbuf(log->stream, log->buffer, _IOFBF, sizeof log->buffer);
    return log;
}

bool log_write(LogFile* log, const char* text, std::size_t length, int* error_number) {
    return write_crlf(log->stream, text, length, error_number);
}

bool log_put(LogFile* log, char mark, int* error_number) {
    return write_crlf(log->stream, &mark, 1, error_number);
}

bool log_ends_mid_line(const LogFile* log) { return log->ends_mid_line; }

bool log_flush(LogFile* log, int* error_number) {
    errno = 0;
    if (std::fflush(log->stream) == 0) return true;
    *error_number = errno != 0 ? errno : EIO;
    return false;
}

bool log_close(LogFile* log, int* error_number) {
    errno = 0;
    bool closed = std::fclose(log->stream) == 0;
    if (!closed) *error_number = errno != 0 ? errno : EIO;
    log->stream = nullptr;
    return closed;
}
