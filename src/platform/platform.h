// The one door between qelvor and the operating system.
//
// The core (src/app, src/probe, src/output) includes this header, the
// record's (src/record/) and the standard library, nothing else. Each
// backend (posix/, win32/, and the scripted fake in tests/unit/) implements
// every function here. The words are the program's own: clock readings in
// milliseconds as uint64_t, durations as uint32_t, IPv4 addresses as
// uint32_t in network byte order, byte spans as pointer and length. Socket
// errors come back already numbered the way the program prints them (the
// Winsock numbers), C-library errors as the C library's errno values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// Millisecond clock: monotonic, 64-bit, so that no run, however long, sees
// it wrap.
uint64_t clock_ms();

// Sleeps until the clock reads (its current reading + ms), so that a loop
// sleeping out the rest of its period stays in phase with the clock.
void sleep_ms(uint32_t ms);

struct TimeOfDay {
    uint16_t hours;         // 0..23
    uint16_t minutes;       // 0..59
    uint16_t seconds;       // 0..59
    uint16_t milliseconds;  // 0..999
};

// Reads the clock and the local time of day together: *local is the local
// time at the instant the clock came to read what it returns, so that a
// later reading of the clock, added to it, gives the local time then.
uint64_t clock_with_local_time(TimeOfDay* local);

// The echo identifier of this run's requests: the low 16 bits of the process
// ID, which packet captures are read by, where that ID is the host's own. In
// a PID namespace of its own (a container, where qelvor is often process 1)
// it is mixed with the namespace's identity, so that runs in two namespaces
// on one network do not carry the same one.
uint16_t echo_identifier();

// ---- IPv4 addresses ----

// Text to address with the classic inet_addr reading (dotted forms with one
// to four parts, octal and hex parts). Returns address_none for text it
// cannot read, which is also what "255.255.255.255" gives.
constexpr uint32_t address_none = 0xFFFFFFFFu;
uint32_t address_from_text(const char* text);

// Dotted-quad text of an address, terminated, into out.
constexpr std::size_t address_text_size = 16;
void address_to_text(uint32_t address, char* out);

// ---- the ICMP socket ----

// Socket error numbers as the program prints them: the Windows Sockets
// codes, the same on every platform. Each backend translates its own errors
// into these; the README and the manual page list them.
constexpr int socket_error_interrupted = 10004;
constexpr int socket_error_bad_descriptor = 10009;
constexpr int socket_error_access = 10013;
constexpr int socket_error_invalid_argument = 10022;
constexpr int socket_error_too_many_open = 10024;
constexpr int socket_error_would_block = 10035;
constexpr int socket_error_message_size = 10040;
constexpr int socket_error_family_unsupported = 10047;
constexpr int socket_error_network_down = 10050;
constexpr int socket_error_network_unreachable = 10051;
constexpr int socket_error_no_buffers = 10055;
constexpr int socket_error_refused = 10061;
constexpr int socket_error_host_down = 10064;
constexpr int socket_error_host_unreachable = 10065;

// Opens the ICMP socket the probe cycle uses. identifier holds the echo
// identifier the caller wants (its value; the message carries it
// big-endian); a backend whose socket imposes another one puts that one
// there instead. wait_ms is how long the run waits for each reply, for a
// backend whose system keeps a request open for a time it must be told.
// Returns false on failure; last_socket_error() then tells why.
bool icmp_open(uint16_t* identifier, uint32_t wait_ms);

// Sends one ICMP message to address. Returns false on failure.
bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address);

enum class Receive {
    Datagram,  // one datagram stored
    Matched,   // the system matched a reply to the last request sent (the ICMP helper
               // API): no bytes stored; Datagram::from_address and receive_time are set
    TimedOut,  // none came within the time given
    Failed,    // last_socket_error() tells why
    NotSent,   // the system reports, after the send call returned, that the last request sent
               // never left the host (the ICMP helper API): a failed send, last_socket_error()
               // telling why with the number the send would have given
};

struct Datagram {
    std::size_t length;     // bytes stored: an IPv4 header of 20 bytes, then the ICMP message
    uint32_t from_address;  // the sender
    uint64_t receive_time;  // clock_ms() reading of when it reached the host, which may be
                            // earlier than when the program got round to reading it, and
                            // for one queued before the last send, earlier than that send
    bool before_send;       // it reached the host before the last send began, as far as the
                            // system's stamps tell (false where they cannot): queued then,
                            // it is never the reply to that send
};

// Receives one datagram, waiting for it at most timeout_ms. A datagram
// already queued is always taken, also with a timeout of 0, so a reply that
// came in while the program was busy is never missed. Stores at most
// capacity bytes.
Receive icmp_receive(uint32_t timeout_ms, uint8_t* buffer, std::size_t capacity,
                     Datagram* datagram);

// The code of the last failed socket call, as the program prints it.
int last_socket_error();

// ---- console, error stream and log files ----

// Called once at start-up: decides how standard output is buffered (at once
// on a terminal, in 4096-byte blocks otherwise) and the console's character
// set. From then on a write past a file-size limit fails (EFBIG) instead of
// ending the process.
void console_setup();

// Writes to standard output, or writes out what it buffers (flush). A
// failure is ignored by design, except that the result is false once the
// reader has gone for good (a closed pipe): nothing written to the console
// can be seen any more.
bool console_write(const char* text, std::size_t length);
bool console_put(char mark);
bool console_flush();

// Writes UTF-8 text (the usage text) to standard output so that the console
// shows it: in the console's character set, or as wide characters where the
// console takes them. Text that cannot be converted is written as it is.
void console_write_utf8(const char* text, std::size_t length);

// Writes text as the C runtime got it from the system (the program's path)
// to standard output, in the same encoding as console_write_utf8's text.
void console_write_native(const char* text, std::size_t length);

// Writes to the standard error stream in one piece.
void error_write(const char* text, std::size_t length);

// The C library's text for an errno value ("Permission denied", ...).
const char* error_text(int error_number);

// Opens path for appending in binary mode, created when missing and held
// exclusively while open, so that two runs never interleave their records.
// *ends_mid_line tells whether the file held bytes and the last was not a
// "\n" (false when that cannot be read). Returns null with *error_number set
// on failure (EACCES when another holder has the file).
std::FILE* log_file_open(const char* path, bool* ends_mid_line, int* error_number);

// ---- the output lock ----

// One lock around every write of run output and the closing of the log. It is
// recursive: the interrupt path takes it and keeps it while it writes.
void output_lock();
void output_unlock();
// Takes the lock if it can be had within ms; false otherwise.
bool output_lock_within(uint32_t ms);

// ---- interrupt and termination ----

// Installs the interrupt path. on_interrupt runs once, on a thread of its own,
// when the user presses Ctrl-C, and ends the process itself. on_terminate runs
// once when the process is told to end (terminal closed, service stopped);
// when it returns true, the backend ends the process by that same event.
// Either returns false when the run is already ending by itself: it is left
// to end so. Further events while either runs are absorbed, and a backend
// that can ends the process itself if the ending has not finished within a
// second and a half of time in which it could run (output that cannot move
// must not keep the process alive; time the process was stopped does not
// count): with status 1 after Ctrl-C, or 0 when the run was ending by
// itself, and by the event otherwise. An event whose inherited action is
// "ignore" stays ignored, except Ctrl-C, which is always taken. Returns false
// when the handler could not be installed, with *error_number set.
bool interrupt_install(bool (*on_interrupt)(), bool (*on_terminate)(), int* error_number);

// Ends the process with status at once. What the C runtime's streams still
// buffer is dropped: the caller has written out what can be.
[[noreturn]] void process_exit(int status);

// Never returns: for a thread whose work was taken over by the interrupt
// path, which is about to end the process.
[[noreturn]] void wait_for_exit();

}  // namespace platform
