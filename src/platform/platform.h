// The one door between qelvor and the operating system.
//
// The core (src/app, src/probe, src/output) includes this header and the
// standard library, nothing else. Each backend (posix/, win32/, and the
// scripted fake under tests/support/) implements every function here. The
// words are the program's own: milliseconds as uint32_t, IPv4 addresses as
// uint32_t in network byte order, byte spans as pointer and length. Socket
// errors come back already numbered the way the program prints them (the
// Winsock numbers), C-library errors as the C library's errno values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- process start ----

// Called first thing in main, before the command line is read. A backend
// running with raised privileges opens what needs them here and then drops
// them for good; any failure is kept and reported where it would have been.
void process_startup();

// ---- services brought up and taken down by the run driver ----

// Starts the socket library; 0 on success, otherwise the code to print.
int socket_library_start();
void socket_library_stop();

// Asks for a 1 ms timer period for the clock and for sleeping.
void timer_period_begin();
void timer_period_end();

// ---- time ----

// Millisecond clock: unsigned 32-bit, wrapping, monotonic. Durations are
// differences taken in unsigned 32-bit arithmetic.
uint32_t clock_ms();

// Sleeps until the clock reads (its current reading + ms), so that a loop
// sleeping out the rest of its period stays in phase with the clock.
void sleep_ms(uint32_t ms);

struct TimeOfDay {
    uint16_t hours;         // 0..23
    uint16_t minutes;       // 0..59
    uint16_t seconds;       // 0..59
    uint16_t milliseconds;  // 0..999
};
TimeOfDay local_time_of_day();

uint32_t process_id();

// ---- IPv4 addresses ----

// Text to address with the classic inet_addr reading (dotted forms with one
// to four parts, octal and hex parts). Returns address_none for text it
// cannot read, which is also what "255.255.255.255" gives.
constexpr uint32_t address_none = 0xFFFFFFFFu;
uint32_t address_from_text(const char* text);

// Dotted-quad text of an address, into out (at least 16 bytes).
void address_to_text(uint32_t address, char* out);

// ---- the ICMP socket ----

// Socket error numbers as the program prints them.
constexpr int socket_error_interrupted = 10004;
constexpr int socket_error_access = 10013;
constexpr int socket_error_would_block = 10035;
constexpr int socket_error_no_buffers = 10055;

// Opens the ICMP socket the probe cycle uses. identifier holds the echo
// identifier the caller wants (its value; the message carries it big-endian);
// a backend whose socket imposes another one puts that one there instead. Returns false
// on failure; last_socket_error() then tells why.
bool icmp_open(uint16_t* identifier);

// Sends one ICMP message to address. Returns false on failure.
bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address);

// Waits until a datagram can be received or timeout_ms has passed.
// Returns 1 when readable, 0 when the time ran out, -1 on failure.
int icmp_wait_readable(uint32_t timeout_ms);

// Receives one datagram: an IPv4 header of 20 bytes, then the ICMP message.
// Returns the number of bytes stored (at most capacity) and the sender's
// address, or -1 on failure.
int icmp_receive(uint8_t* buffer, std::size_t capacity, uint32_t* from_address);

// The code of the last failed socket call, as the program prints it.
int last_socket_error();

// ---- console, error stream and log files ----

// Called once at start-up: decides how standard output is buffered (at once
// on a terminal, in 4096-byte blocks otherwise) and the console's character set.
void console_setup();

// Writes to standard output. Failures are ignored by design.
void console_write(const char* text, std::size_t length);
void console_put(char mark);
void console_flush();

// Converts UTF-8 text into the console's character set. Returns the number
// of bytes stored in out; text that cannot be converted is copied as it is.
std::size_t console_text_from_utf8(const char* text, std::size_t length, char* out,
                                   std::size_t capacity);

// Writes to the standard error stream in one piece.
void error_write(const char* text, std::size_t length);

// The C library's text for an errno value ("Permission denied", ...).
const char* error_text(int error_number);

// An open log file. The backend owns what it points to.
struct LogFile;

// Opens path for appending, created when missing, held exclusively, every
// "\n" stored as CR LF, buffered in 4096 bytes. Returns null on failure with
// *error_number set (EACCES when another holder has the file, EINVAL for an
// empty path).
LogFile* log_open(const char* path, int* error_number);

// Appends to the log. Returns false when the write failed, with
// *error_number set.
bool log_write(LogFile* log, const char* text, std::size_t length, int* error_number);
bool log_put(LogFile* log, char mark, int* error_number);
void log_close(LogFile* log);

// ---- the output lock ----

// One lock around every write of run output and the closing of the log. It is
// recursive: the interrupt path takes it and keeps it while it writes.
void output_lock();
void output_unlock();

// ---- interrupt and termination ----

// Installs the interrupt path. on_interrupt runs once, on a thread of its own,
// when the user presses Ctrl-C; it does not return. on_terminate runs when the
// process is told to end (terminal closed, service stopped); when it returns,
// the backend ends the process by that same event. Returns false when the
// handler could not be installed, with *error_number set.
bool interrupt_install(void (*on_interrupt)(), void (*on_terminate)(), int* error_number);

// Ends the process with status after the C runtime's exit processing.
[[noreturn]] void process_exit(int status);

}  // namespace platform
