// A scripted platform for whole runs in virtual time.
//
// The clock moves only when the program sleeps or waits, or when the script
// holds it up. The network answers each request as its script says; other
// datagrams can be queued at fixed times. Console, error stream and log
// bytes are captured as written.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

// clang-format off
// What the network does with one request, by request number (1, 2, ...): the
// reply or failure reaches the host after_ms after the send.
// NotSent: the system says, after the send call returned, that the request never left the host.
struct Answer { enum Kind { Reply, Silence, ReceiveFailure, Twice, Matched, NotSent } kind = Reply; uint32_t after_ms = 2; int error = 0; };

// At clock reading due, from sender from; a non-zero error makes the receive fail. Matched: the
// system's own match of a reply to the request (Matched), no bytes; not_sent: NotSent. Its arrival
// stamp reads early by early ms (the thread held up between the clock reads that set it against the clock).
struct Datagram { uint64_t due; std::vector<uint8_t> bytes; uint32_t from; int error;
                  bool matched = false, not_sent = false; uint32_t early = 0; };

struct World {
    uint64_t now = 0x10000;  uint32_t pid = 0x5A1234;  // the echo identifier is 0x1234
    uint16_t socket_identifier = 0;  // non-zero: the socket imposes this one
    int socket_open_error = 0, startup_error = 0;
    bool interrupt_install_fails = false, console_gone = false;  // the console's reader has gone
    bool console_piped = false;  // standard output a pipe: held in a block of 4096 bytes until written out
    // The local time when the first request of a run without hold-ups goes out (the clock at
    // now + 32, after two pauses of 16 ms); it moves with the clock.
    uint16_t hours = 0, minutes = 0, seconds = 0, milliseconds = 0;

    Answer default_answer;
    std::map<uint32_t, Answer> answers;      // by request number
    std::vector<int> send_errors;            // one per send attempt, 0 = success
    std::map<uint32_t, uint32_t> stalls;     // request number -> ms lost once its send time is read
    std::map<uint32_t, uint32_t> early;      // request number -> ms its reply's stamp reads early
    std::map<std::size_t, uint64_t> late;    // sleep number (1 = first) -> ms it wakes late
    uint64_t interrupt_at = 0;               // non-zero: Ctrl-C when the clock gets there
    uint64_t snapshot_at = 0;  std::string snapshot;  // non-zero: run.log as it stands then
    std::string failing_log;  std::size_t log_fail_after = 0;  // writes to it fail, for good, past this size
    std::map<std::string, int> open_errors;  // path -> errno its open fails with
    uint64_t counts_from = 0;  bool opened = false;  // non-zero: sent and received start there
    uint64_t first_send = 0, last_send = 0;  // clock readings of the first and last send

    std::vector<Datagram> pending;
    std::vector<std::vector<uint8_t>> sent;  // every attempt, also those that failed
    std::string console, errors, console_held;
    std::map<std::string, std::string> files;  std::set<std::string> held;  // path -> bytes as stored; paths open
    int last_error = 0;  std::size_t sleeps = 0, receives = 0;  uint32_t stall = 0;
};
// clang-format on

extern World world;

void reset();
// Runs the program in-process with these arguments (the program path first)
// and returns its exit status.
int run(std::vector<std::string> arguments);

// A command line split at spaces, '' standing for an empty argument.
std::vector<std::string> words(const std::string& line);

// The datagram a host sends back for request: IPv4 header, then the reply.
std::vector<uint8_t> echo_reply_for(const std::vector<uint8_t>& request, uint32_t from);

}  // namespace fake
