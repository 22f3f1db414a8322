// The one writer of run output: every line and mark goes to the console
// first and then, when a log is open, to the log, under one lock.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct OutputChannel {
    char message[128];       // the buffer every formatted line passes through
    platform::LogFile* log;  // the open log, or null when there is none
    int log_error;           // errno of the last failed log write
};

extern OutputChannel output_channel;

// Formats a line into the message buffer and writes it. Returns false when
// the log write failed (the console write is never checked).
bool output_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the first length bytes of the message buffer, formatted there by
// the caller while holding the output lock. Returns false when the log
// write failed.
bool output_message(int length);

// Writes one mark character. Returns false when the log write failed.
bool output_mark(char mark);

// Opens path as the log; 0 on success, otherwise the errno. A log opened
// earlier stays open and held, unwritten, until the process ends.
int output_open_log(const char* path);

// Closes the log if one is open; from then on there is none.
void output_close_log();

// Writes the log's header line: every argument followed by one space, then
// a line end. Goes to the log only; failures are ignored.
void output_log_header(int argc, char** argv);

// Reports a failure on the error stream the way perror does: the message,
// ": ", the C library's text for error_number, a line end.
void report_failure(const char* message, int error_number);

// Reports the last failed log write with message.
void report_log_write_failure(const char* message);

// Writes text to the console only, under the output lock.
void console_only(const char* text, std::size_t length);
