// Standard output, standard error and the console's character set.
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

char stdout_buffer[4096];
// The usage text's tail, the longest text converted, is under 4096 bytes in
// UTF-8, and shorter in CP932.
char converted[4096];

bool is_japanese_codeset(const char* codeset) {
    const char* names[] = {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS_KANJI"};
    for (const char* name : names) {
        if (strcasecmp(codeset, name) == 0) return true;
    }
    return false;
}

}  // namespace

void console_setup() {
    // On a terminal every line and mark shows at once; into a file or pipe
    // output goes in blocks, which costs nothing per request.
    int mode = isatty(STDOUT_FILENO) ? _IONBF : _IOFBF;
    std::setvbuf(stdout, mode == _IONBF ? nullptr : stdout_buffer, mode, sizeof stdout_buffer);
    // A reader that went away makes console writes fail with EPIPE instead;
    // with a log the run goes on, as the log is the record.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f, LimitFSIZE=) makes a write fail with
    // EFBIG instead: a failed log write like any other.
    std::signal(SIGXFSZ, SIG_IGN);
}

// Failed writes are ignored, but a reader that has gone (EPIPE) is gone for
// good, and the caller is told so.
bool console_write(const char* text, std::size_t length) {
    return fwrite_unlocked(text, 1, length, stdout) == length || errno != EPIPE;
}

bool console_put(char mark) { return fputc_unlocked(mark, stdout) != EOF || errno != EPIPE; }

bool console_flush() { return std::fflush(stdout) == 0 || errno != EPIPE; }

void console_write_utf8(const char* text, std::size_t length) {
    // Only the usage text is converted, so the locale is read only for it:
    // a run never loads the locale's tables. Only the character set: numbers
    // keep the C locale's form.
    std::setlocale(LC_CTYPE, "");
    bool console_is_cp932 = is_japanese_codeset(nl_langinfo(CODESET));
    if (console_is_cp932) {
        iconv_t converter = iconv_open("CP932", "UTF-8");
        if (converter != reinterpret_cast<iconv_t>(-1)) {
            char* in = const_cast<char*>(text);
            std::size_t in_left = length;
            char* stored = converted;
            std::size_t out_left = sizeof converted;
            std::size_t result = iconv(converter, &in, &in_left, &stored, &out_left);
            iconv_close(converter);
            if (result != static_cast<std::size_t>(-1)) {
                console_write(converted, sizeof converted - out_left);
                return;
            }
        }
    }
    console_write(text, length);
}

// The locale's character set, which the usage text is converted to.
void console_write_native(const char* text, std::size_t length) { console_write(text, length); }

void error_write(const char* text, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

const char* error_text(int error_number) { return strerror(error_number); }

}  // namespace platform
