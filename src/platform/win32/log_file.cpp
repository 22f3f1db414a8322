// Log files: opened for appending and held exclusively.
#include <share.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

namespace {

// Read through a stream of its own before the file is held: once held, no
// second open succeeds, not even this program's.
bool last_line_unended(const char* path) {
    std::FILE* reader = _fsopen(path, "rb", _SH_DENYNO);
    if (reader == nullptr) return false;
    int last = std::fseek(reader, -1, SEEK_END) == 0 ? std::fgetc(reader) : '\n';
    std::fclose(reader);
    return last != EOF && last != '\n';
}

}  // namespace

// Binary mode: the line ends are made above. Denying others both reading and
// writing holds the file for the run: a second run on the same file, or a
// second -o of it in one command line, gets a sharing violation, which the
// runtime reports as EACCES.
std::FILE* log_file_open(const char* path, bool* ends_mid_line, int* error_number) {
    *ends_mid_line = last_line_unended(path);
    errno = 0;
    std::FILE* stream = _fsopen(path, "ab", _SH_DENYRW);
    if (stream == nullptr) *error_number = errno != 0 ? errno : EACCES;
    return stream;
}

}  // namespace platform
