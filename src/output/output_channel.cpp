#include "output/output_channel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

OutputChannel output_channel;

// Formatting happens under the lock because the message buffer is shared
// with the interrupt thread's summary.
bool output_line(const char* format, ...) {
    platform::output_lock();
    va_list arguments;
    va_start(arguments, format);
    int length =
        std::vsnprintf(output_channel.message, sizeof output_channel.message, format, arguments);
    va_end(arguments);
    bool written = output_message(length);
    platform::output_unlock();
    return written;
}

bool output_message(int length) {
    platform::output_lock();
    if (length < 0) length = 0;
    if (length >= static_cast<int>(sizeof output_channel.message)) {
        length = sizeof output_channel.message - 1;
    }
    platform::console_write(output_channel.message, static_cast<std::size_t>(length));
    bool written = true;
    if (output_channel.log != nullptr) {
        written = platform::log_write(output_channel.log, output_channel.message,
                                      static_cast<std::size_t>(length), &output_channel.log_error);
    }
    platform::output_unlock();
    return written;
}

bool output_mark(char mark) {
    platform::output_lock();
    platform::console_put(mark);
    bool written = true;
    if (output_channel.log != nullptr) {
        written = platform::log_put(output_channel.log, mark, &output_channel.log_error);
    }
    platform::output_unlock();
    return written;
}

int output_open_log(const char* path) {
    int error_number = 0;
    platform::LogFile* log = platform::log_open(path, &error_number);
    if (log == nullptr) return error_number;
    output_channel.log = log;
    return 0;
}

void output_close_log() {
    platform::output_lock();
    if (output_channel.log != nullptr) {
        platform::log_close(output_channel.log);
        output_channel.log = nullptr;
    }
    platform::output_unlock();
}

void output_log_header(int argc, char** argv) {
    platform::output_lock();
    if (output_channel.log != nullptr) {
        int ignored = 0;
        for (int i = 0; i < argc; ++i) {
            platform::log_write(output_channel.log, argv[i], std::strlen(argv[i]), &ignored);
            platform::log_put(output_channel.log, ' ', &ignored);
        }
        platform::log_put(output_channel.log, '\n', &ignored);
    }
    platform::output_unlock();
}

void report_failure(const char* message, int error_number) {
    // One write, so that the report cannot be split by other output.
    char report[256];
    const char* text = platform::error_text(error_number);
    int length = message[0] == '\0'
                     ? std::snprintf(report, sizeof report, "%s\n", text)
                     : std::snprintf(report, sizeof report, "%s: %s\n", message, text);
    if (length < 0) return;
    if (length >= static_cast<int>(sizeof report)) length = sizeof report - 1;
    platform::output_lock();
    platform::error_write(report, static_cast<std::size_t>(length));
    platform::output_unlock();
}

void report_log_write_failure(const char* message) {
    report_failure(message, output_channel.log_error);
}

void console_only(const char* text, std::size_t length) {
    platform::output_lock();
    platform::console_write(text, length);
    platform::output_unlock();
}
