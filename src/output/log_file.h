// Log files: appended to, held exclusively, every "\n" stored as CR LF so
// that a log reads the same wherever it was written, buffered in 4096 bytes.
#pragma once

#include <cstddef>

namespace qelvor {

struct LogFile;

// Closes every log still open: a program run starts with none.
void log_close_all();

// Opens path. Returns null on failure with *error_number set: EINVAL for an
// empty path, EACCES when another holder has the file, EMFILE past the
// most logs one command line can name.
LogFile* log_open(const char* path, int* error_number);

// Each returns false when the write failed, with *error_number set.
bool log_write(LogFile* log, const char* text, std::size_t length, int* error_number);
bool log_put(LogFile* log, char mark, int* error_number);

// True when the file held bytes at its opening and the last was not a line
// end: a run before this one was cut short mid-line.
bool log_ends_mid_line(const LogFile* log);

// Writes out what is buffered; false when that failed.
bool log_flush(LogFile* log, int* error_number);

// Writes out what is buffered and closes the file; false when that failed.
bool log_close(LogFile* log, int* error_number);

}  // namespace qelvor
