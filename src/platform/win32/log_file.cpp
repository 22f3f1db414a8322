// Log files: append, exclusive, CR LF line ends, 4096-byte buffer.
#include <share.h>

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
    // Text mode stores every "\n" as CR LF. Denying others both reading and
    // writing holds the file for the run: a second run on the same file, or
    // a second -o of it in one command line, gets a sharing violation,
    // which the runtime reports as EACCES.
    errno = 0;
    log->stream = _fsopen(path, "a", _SH_DENYRW);
    if (log->stream == nullptr) {
        *error_number = errno != 0 ? errno : EACCES;
        return nullptr;
    }
    std::setvbuf(log->stream, log->buffer, _IOFBF, sizeof log->buffer);
    return log;
}

bool log_write(LogFile* log, const char* text, std::size_t length, int* error_number) {
    errno = 0;
    if (std::fwrite(text, 1, length, log->stream) == length) return true;
    *error_number = errno != 0 ? errno : EIO;
    return false;
}

bool log_put(LogFile* log, char mark, int* error_number) {
    errno = 0;
    if (std::fputc(mark, log->stream) != EOF) return true;
    *error_number = errno != 0 ? errno : EIO;
    return false;
}

void log_close(LogFile* log) {
    std::fclose(log->stream);
    // The slot stays taken: its buffer may not be reused by a later open in
    // the same process, and there is none.
}

}  // namespace platform
