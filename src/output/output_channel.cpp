#include "output/output_channel.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "output/log_file.h"
#include "platform/platform.h"
#include "record/line_text.h"

namespace qelvor {

namespace {

// Who owns the channel (the log, the console, the time held), and how:
// - Run: the main thread, one write at a time under the lock; the interrupt
//   path may take the lock, and with it the channel, between two writes.
// - RunInConsole: the same, inside a console write that may never return (a
//   stopped pipe reader, a terminal nobody reads), the lock held; the
//   interrupt path may take the channel from it meanwhile.
// - RunInLog: the same, inside a log write that may never return (a share
//   that has stalled, a FIFO nobody reads).
// - Interrupt: the interrupt path, for good, with the lock.
// - InterruptUnlocked: the interrupt path, for good, having taken the
//   channel from a main thread stuck in a console write. That thread keeps
//   the lock and the console and never comes back; neither is used again.
// - InterruptWithoutLog: the same, from a main thread stuck in a log write:
//   that thread keeps the lock and the log, which is left as it is; the
//   summary goes to the console alone.
// - RunEnd: the run's own end, on the main thread, for good, with the lock;
//   an interrupt leaves it be.
// From Interrupt on the process is ending: each log write is written out at
// once, as the console write after it may never return.
enum Owner : int {
    Run,
    RunInConsole,
    RunInLog,
    Interrupt,
    InterruptUnlocked,
    InterruptWithoutLog,
    RunEnd
};

// Nothing waits in a buffer longer than this, so that it is out within the
// second also when the wake-up that writes it out comes a little late.
constexpr uint64_t hold_ms = 900;
constexpr uint64_t nothing_held = UINT64_MAX;

struct OutputChannel {
    LogFile* log;          // the open log, or null when there is none
    int log_error;         // errno of the last failed log write
    int unreported_error;  // errno of a failed write-out between writes, for the next write
    uint64_t held_since;   // clock reading when the oldest byte not yet written out was written
    bool console_gone;     // the console's reader has gone for good
    std::atomic<int> owner;
};

OutputChannel channel;

// The lock is left to a main thread whose channel the interrupt path took.
bool lock_kept_elsewhere() {
    int owner = channel.owner.load();
    return owner == InterruptUnlocked || owner == InterruptWithoutLog;
}

void lock() {
    if (!lock_kept_elsewhere()) platform::output_lock();
}

void unlock() {
    if (!lock_kept_elsewhere()) platform::output_unlock();
}

// Around a log write or write-out that may block for good: the interrupt
// path may take the channel meanwhile, and the writer must then never come
// back to it.
int log_io_begin() {
    int owner = channel.owner.load();
    if (owner == Run) channel.owner.store(RunInLog);
    return owner;
}

void log_io_end(int owner) {
    int expected = RunInLog;
    if (owner == Run && !channel.owner.compare_exchange_strong(expected, Run)) {
        platform::wait_for_exit();
    }
}

bool ending() { return channel.owner.load() >= Interrupt; }

// Milliseconds until what is held must be written out: 0 when it is due,
// nothing_held when nothing is held.
uint64_t time_to_due(uint64_t now) {
    if (channel.held_since == nothing_held) return nothing_held;
    uint64_t age = now - channel.held_since;
    return age >= hold_ms ? 0 : hold_ms - age;
}

bool to_log(const char* text, std::size_t length, bool write_out) {
    if (channel.log == nullptr || channel.owner.load() == InterruptWithoutLog) return true;
    if (channel.unreported_error != 0) {
        channel.log_error = channel.unreported_error;
        channel.unreported_error = 0;
        return false;
    }
    int owner = log_io_begin();
    bool written = log_write(channel.log, text, length, &channel.log_error) &&
                   (!write_out || log_flush(channel.log, &channel.log_error));
    log_io_end(owner);
    return written;
}

// Writes text to the console, or writes out what it buffers when text is
// null. The interrupt path may take the channel from a write that blocks;
// the writer must then never come back to the channel.
void to_console(const char* text, std::size_t length) {
    int owner = channel.owner.load();
    if (owner == InterruptUnlocked) return;
    if (owner == Run) channel.owner.store(RunInConsole);
    bool read = true;
    if (text == nullptr) {
        read = platform::console_flush();
    } else {
        read = length == 1 ? platform::console_put(text[0]) : platform::console_write(text, length);
    }
    int expected = RunInConsole;
    if (owner == Run && !channel.owner.compare_exchange_strong(expected, Run)) {
        platform::wait_for_exit();
    }
    if (!read) channel.console_gone = true;
}

// Between two writes: a failed log write shows at the next log write; a
// console whose reader has gone is seen before the next request.
void write_out_held() {
    if (channel.log != nullptr) {
        int owner = log_io_begin();
        log_flush(channel.log, &channel.unreported_error);
        log_io_end(owner);
    }
    to_console(nullptr, 0);
    channel.held_since = nothing_held;
}

// The log first, and written out before the console is written when that is
// due: what the console holds up is then already in the record.
bool write_run_output(const char* text, std::size_t length) {
    lock();
    uint64_t now = platform::clock_ms();
    if (channel.held_since == nothing_held) channel.held_since = now;
    bool due = time_to_due(now) == 0;
    bool written = to_log(text, length, due || ending());
    to_console(text, length);
    if (due) {
        to_console(nullptr, 0);
        channel.held_since = nothing_held;
    }
    unlock();
    return written;
}

// Formats into a line buffer; a line that would not fit is cut (none of the
// program's does).
std::size_t format_line(char (&line)[record::line_buffer_size], const char* format,
                        va_list arguments) {
    int length = std::vsnprintf(line, sizeof line, format, arguments);
    if (length < 0) return 0;
    return length >= static_cast<int>(sizeof line) ? sizeof line - 1
                                                   : static_cast<std::size_t>(length);
}

}  // namespace

void output_begin() {
    log_close_all();
    channel.log = nullptr;
    channel.log_error = 0;
    channel.unreported_error = 0;
    channel.held_since = nothing_held;
    channel.console_gone = false;
    channel.owner.store(Run);
}

bool output_line(const char* format, ...) {
    char line[record::line_buffer_size];
    va_list arguments;
    va_start(arguments, format);
    std::size_t length = format_line(line, format, arguments);
    va_end(arguments);
    return write_run_output(line, length);
}

bool output_mark(char mark) { return write_run_output(&mark, 1); }

void output_console_line(const char* format, ...) {
    char line[record::line_buffer_size];
    va_list arguments;
    va_start(arguments, format);
    std::size_t length = format_line(line, format, arguments);
    va_end(arguments);
    lock();
    to_console(line, length);
    unlock();
}

void output_before_sleep(uint32_t ms) {
    lock();
    if (time_to_due(platform::clock_ms()) <= ms) write_out_held();
    unlock();
}

uint32_t output_before_wait(uint32_t ms) {
    lock();
    uint64_t due_in = time_to_due(platform::clock_ms());
    if (due_in == 0) {
        write_out_held();
        due_in = nothing_held;
    }
    unlock();
    return due_in < ms ? static_cast<uint32_t>(due_in) : ms;
}

bool output_has_reader() {
    lock();
    bool has_reader = !channel.console_gone || channel.log != nullptr;
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
    // A log that a stuck write holds is left to it, as it is.
    if (channel.log != nullptr && channel.owner.load() != InterruptWithoutLog) {
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
    to_console(nullptr, 0);
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
        channel.held_since = platform::clock_ms();
    }
    unlock();
}

void output_end_of_run() {
    platform::output_lock();
    channel.owner.store(RunEnd);
}

bool output_seize(uint32_t wait_ms) {
    if (channel.owner.load() != RunEnd && platform::output_lock_within(wait_ms)) {
        channel.owner.store(Interrupt);
        return true;
    }
    int expected = RunInConsole;
    if (channel.owner.compare_exchange_strong(expected, InterruptUnlocked)) return true;
    expected = RunInLog;
    if (channel.owner.compare_exchange_strong(expected, InterruptWithoutLog)) return true;
    if (expected == RunEnd) return false;
    platform::wait_for_exit();
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

void report_log_write_failure(const char* message) {
    // Read under the lock: the interrupt path may be writing the log.
    lock();
    int error_number = channel.log_error;
    unlock();
    report_failure(message, error_number);
}

}  // namespace qelvor
