// Log files: opened for appending and held exclusively.
#include <share.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

// Binary mode: the line ends are made above. Denying others both reading and
// writing holds the file for the run: a second run on the same file, or a
// second -o of it in one command line, gets a sharing violation, which the
// runtime reports as EACCES.
std::FILE* log_file_open(const char* path, int* error_number) {
    errno = 0;
    std::FILE* stream = _fsopen(path, "ab", _SH_DENYRW);
    if (stream == nullptr) *error_number = errno != 0 ? errno : EACCES;
    return stream;
}

}  // namespace platform
