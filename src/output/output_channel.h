// The one writer of run output: every line and mark goes to the log and to
// the console, under one lock. Its state is its own: the rest of the program
// reaches it only through these functions.
//
// Both are buffered in blocks, but nothing written waits in a buffer for
// more than a second: a write, or the main thread before it waits, writes
// out what is older.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelvor {

// Program start: no log (one left open by an earlier run in this process is
// closed), a console that is read.
void output_begin();

// Formats a line and writes it. Returns false when the log write failed (the
// console write is never checked).
bool output_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one mark character. Returns false when the log write failed.
bool output_mark(char mark);

// Formats a line and writes it to the console only (start-up and socket
// failures).
void output_console_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For the main thread before it sleeps for ms: what would otherwise wait in
// a buffer past its second meanwhile is written out first.
void output_before_sleep(uint32_t ms);

// For the main thread before it waits up to ms for something that mostly
// comes sooner (a reply): writes out what is due, and returns how long it may
// wait before more falls due; the caller then comes back here. A failed
// write-out is reported by the next write.
uint32_t output_before_wait(uint32_t ms);

// False once nothing written can be seen any more: the console's reader has
// gone for good and there is no log.
bool output_has_reader();

// Opens path as the log; 0 on success, otherwise the errno. A log opened
// earlier stays open and held, unwritten, until the process ends.
int output_open_log(const char* path);

// Closes the log if one is open, reporting a failure to write it out; from
// then on there is none.
void output_close_log();

// Writes out what the console buffers, unless the console was left to a
// thread stuck in it.
void output_flush_console();

// Writes the log's header line: every argument followed by one space, then
// a line end; first a line end when the file ends mid-line (an earlier run
// cut short). Goes to the log only; failures are ignored.
void output_log_header(int argc, char** argv);

// The run's own end: takes the channel for good. An interrupt from here on
// leaves the run to end by itself, with its own summary.
void output_end_of_run();

// For the interrupt path: takes the channel for good. Waits up to wait_ms
// for the lock; when the main thread holds it while stuck in a console write
// (a stopped pipe reader, an unread terminal), the channel is taken from it
// instead: from then on lines go to the log only, and that thread never
// returns from its write. The same when it is stuck in a log write (a share
// that has stalled): lines then go to the console only, and the log is left
// as it is. False when the run's own end holds the channel.
// Does not return when neither could be done (a log write that cannot move).
bool output_seize(uint32_t wait_ms);

// Reports a failure on the error stream the way perror does: the message,
// ": ", the C library's text for error_number, a line end.
void report_failure(const char* message, int error_number);

// Reports the last failed log write with message.
void report_log_write_failure(const char* message);

}  // namespace qelvor
