#include "output/output_channel.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "output/log_file.h"
#include "platform/platform.h"

namespace {

// Where the writing thread stands, as far as the interrupt path must know.
enum Stage : int {
    Idle,
    InConsole,  // inside a console write, which may never come back
    Seized,     // the interrupt path took the channel; the console is left alone
};

struct OutputChannel {
    char message[128];  // the buffer every formatted line passes through
    LogFile* log;       // the open log, or null when there is none
    int log_error;      // errno of the last failed log write
    // The console's reader has gone for good (a closed pipe).
    std::atomic<bool> console_gone;
    std::atomic<int> stage;
    // Taken by the interrupt path from a thread stuck in a console write,
    // which still holds the lock: the lock is no longer taken.
    std::atomic<bool> stolen;
    // The process is ending: every log write is written out at once, as
    // the console write after it may never return.
    bool ending;
    std::atomic<bool> run_ended;  // the run's own end holds the channel
};

OutputChannel channel;

void lock() {
    if (!channel.stolen.load()) platform::output_lock();
}

void unlock() {
    if (!channel.stolen.load()) platform::output_unlock();
}

bool to_log(const char* text, std::size_t length) {
    if (channel.log == nullptr) return true;
    bool written = log_write(channel.log, text, length, &channel.log_error);
    if (written && channel.ending) written = log_flush(channel.log, &channel.log_error);
    return written;
}

// A console write that blocks for good (a stopped pipe reader, a terminal
// nobody reads) holds the lock, so the interrupt path may take the channel
// from it meanwhile; the writer must then never come back to the channel.
void to_console(const char* text, std::size_t length, bool mark) {
    int expected = Idle;
    if (!channel.stage.compare_exchange_strong(expected, InConsole)) return;
    bool read = mark ? platform::console_put(text[0]) : platform::console_write(text, length);
    if (!read) channel.console_gone.store(true);
    expected = InConsole;
    if (!channel.stage.compare_exchange_strong(expected, Idle)) platform::wait_for_exit();
}

}  // namespace

void output_begin() {
    log_close_all();
    std::memset(channel.message, 0, sizeof channel.message);
    channel.log = nullptr;
    channel.log_error = 0;
    channel.console_gone.store(false);
    channel.stage.store(Idle);
    channel.stolen.store(false);
    channel.ending = false;
    channel.run_ended.store(false);
}

// The log is written before the console: a line that the console holds up
// is then already in the record. The console gets a copy, which leaves the
// message buffer to the interrupt path if the console write never returns.
bool output_line(const char* format, ...) {
    lock();
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(channel.message, sizeof channel.message, format, arguments);
    va_end(arguments);
    if (length < 0) length = 0;
    if (length >= static_cast<int>(sizeof channel.message)) length = sizeof channel.message - 1;
    char copy[sizeof channel.message];
    std::memcpy(copy, channel.message, static_cast<std::size_t>(length));
    bool written = to_log(copy, static_cast<std::size_t>(length));
    to_console(copy, static_cast<std::size_t>(length), false);
    unlock();
    return written;
}

bool output_mark(char mark) {
    lock();
    bool written = to_log(&mark, 1);
    to_console(&mark, 1, true);
    unlock();
    return written;
}

void output_console_only(const char* text, std::size_t length) {
    lock();
    to_console(text, length, false);
    unlock();
}

bool output_has_reader() {
    lock();
    bool has_reader = !channel.console_gone.load() || channel.log != nullptr;
    unlock();
    return has_reader;
}

int output_open_log(const char* path) {
    int error_number = 0;
    LogFile* log = log_open(path, &error_number);
    if (log == nullptr) return error_number;
    channel.log = log;
    return 0;
}

void output_close_log() {
    lock();
    if (channel.log != nullptr) {
        int error_number = 0;
        bool closed = log_close(channel.log, &error_number);
        channel.log = nullptr;
        // What was still buffered is lost: say so, as a failed block write is.
        if (!closed) report_failure("Log file write failed.\n", error_number);
    }
    unlock();
}

void output_flush_console() {
    lock();
    if (!channel.stolen.load()) platform::console_flush();
    unlock();
}

void output_log_header(int argc, char** argv) {
    lock();
    if (channel.log != nullptr) {
        int ignored = 0;
        if (log_ends_mid_line(channel.log)) log_put(channel.log, '\n', &ignored);
        for (int i = 0; i < argc; ++i) {
            log_write(channel.log, argv[i], std::strlen(argv[i]), &ignored);
            log_put(channel.log, ' ', &ignored);
        }
        log_put(channel.log, '\n', &ignored);
    }
    unlock();
}

void output_end_of_run() {
    platform::output_lock();
    channel.run_ended.store(true);
}

bool output_seize(uint32_t wait_ms) {
    bool seized = platform::output_lock_within(wait_ms);
    if (!seized && !channel.run_ended.load()) {
        int expected = InConsole;
        seized = channel.stage.compare_exchange_strong(expected, Seized);
        if (seized) channel.stolen.store(true);
    }
    if (seized) channel.ending = true;
    return seized;
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
    lock();
    platform::error_write(report, static_cast<std::size_t>(length));
    unlock();
}

void report_log_write_failure(const char* message) { report_failure(message, channel.log_error); }
