#include "output/log_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "record/options.h"

namespace qelvor {

// Every -o opens one; a later -o leaves the earlier file open and held, so
// a command line can hold as many as it has -o options.
struct LogFile {
    std::FILE* stream;
    bool ends_mid_line;
    char buffer[4096];
};

namespace {

LogFile logs[record::max_logs];

// Writes length bytes, each "\n" as "\r\n".
bool write_crlf(std::FILE* stream, const char* text, std::size_t length, int* error_number) {
    errno = 0;
    const char* end = text + length;
    while (text < end) {
        auto* newline = static_cast<const char*>(std::memchr(text, '\n', end - text));
        const char* stop = newline != nullptr ? newline : end;
        auto piece = static_cast<std::size_t>(stop - text);
        if (std::fwrite(text, 1, piece, stream) != piece ||
            (newline != nullptr && std::fwrite("\r\n", 1, 2, stream) != 2)) {
            *error_number = errno != 0 ? errno : EIO;
            return false;
        }
        text = stop == end ? end : stop + 1;
    }
    return true;
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

}  // namespace qelvor
