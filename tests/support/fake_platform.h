// A scripted platform for whole runs in virtual time.
//
// The clock moves only when the program sleeps or waits. The network is a
// list of datagrams due at given instants: replies scheduled when a request
// goes out, per the script of its request number, and foreign datagrams at
// fixed times. Console, error stream and log bytes are captured as written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake {

// What the network does with one request, by request number (1, 2, ...).
struct Answer {
    enum Kind { reply, silence, receive_failure } kind = reply;
    uint32_t after_ms = 0;  // reply or failure this long after the send
    int error = 0;          // the code of a receive failure
};

struct Datagram {
    uint32_t due;  // clock reading at which it can be received
    std::vector<uint8_t> bytes;
    uint32_t from;  // sender, network byte order
    int error = 0;  // non-zero: the receive fails with this code
};

struct SentRequest {
    uint32_t time;
    std::vector<uint8_t> bytes;
    uint32_t address;
};

struct World {
    uint32_t now = 0x10000;
    uint32_t pid = 0x1234;
    uint16_t socket_identifier_override = 0;  // non-zero: the socket imposes this one
    int socket_open_error = 0;                // non-zero: opening the socket fails
    int startup_error = 0;                    // non-zero: the socket library won't start
    bool interrupt_install_fails = false;
    uint16_t hours = 0, minutes = 0, seconds = 0, milliseconds = 0;  // local time at start
    bool console_cp932 = false;

    Answer default_answer;               // for requests not in answers
    std::map<uint32_t, Answer> answers;  // by request number
    std::vector<int> send_errors;        // consumed one per send attempt; 0 = success
    std::vector<Datagram> pending;

    std::vector<SentRequest> sent;
    std::vector<uint32_t> wait_timeouts;  // every timeout the program waited with
    std::string console;
    std::string errors;

    // Log files by path. Content holds the bytes as stored (CR LF).
    std::map<std::string, std::string> files;
    std::map<std::string, int> open_errors;  // path -> errno its open fails with
    std::string failing_log;                 // writes to this path fail...
    std::size_t log_fail_after = 0;          // ...once it holds this many bytes
    int log_fail_error = 28;                 // ENOSPC
    std::vector<std::string> held;           // paths open and held exclusively
    std::vector<std::string> closed;         // paths closed, in order

    // Ctrl-C pressed when the clock first reaches this reading while the
    // program sleeps or waits.
    bool interrupt_armed = false;
    uint32_t interrupt_at = 0;

    int timer_begun = 0, timer_ended = 0, library_started = 0, library_stopped = 0;
    std::vector<uint32_t> sleeps;
    // Sleeps that wake late, by the number of the sleep (1 = the first of
    // the run) and how many milliseconds late.
    std::map<std::size_t, uint32_t> late_wakeups;
};

extern World world;

// A fresh world: nothing sent, nothing captured, every setting as above.
void reset();

// Runs the program in-process with these arguments (the program path first)
// and returns its exit status; an exit from the interrupt path is caught.
int run(const std::vector<std::string>& arguments);

// Queues a datagram received at clock reading due.
void deliver(uint32_t due, std::vector<uint8_t> bytes, uint32_t from);

// The datagram a host sends back for request: IPv4 header, then the reply.
std::vector<uint8_t> echo_reply_for(const std::vector<uint8_t>& request);

// Console and log text with CR LF shown as LF, for comparisons.
std::string log_text(const std::string& path);

}  // namespace fake
