// The text of every line qelvor writes to its console and log, and so of
// every line qelvor-log reads back. Each is a printf format: the watcher
// formats it, the reader matches lines against the same characters. A line
// is held without its line ends; the forms *_row below are what the watcher
// writes, with the line ends around it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace record {

// Every line the watcher formats fits in this buffer, terminator included.
constexpr std::size_t line_buffer_size = 128;

// A format put together from pieces at compile time.
struct LineText {
    char text[line_buffer_size] = {};
    std::size_t length = 0;
    constexpr const char* c_str() const { return text; }
    constexpr std::string_view view() const { return {text, length}; }
};

constexpr LineText join(std::initializer_list<std::string_view> pieces) {
    LineText line;
    for (std::string_view piece : pieces) {
        for (char c : piece) line.text[line.length++] = c;
    }
    return line;
}

// A repeated outcome in compact output: one character, no line end.
constexpr char reply_mark = '!';
constexpr char no_reply_mark = '.';

// hours (modulo 24), minutes, seconds, milliseconds of a request's send time.
constexpr std::string_view stamp_text = "%02u:%02u:%02u.%03u";
// stamp, request number, sender, round trip in ms.
constexpr LineText reply = join({stamp_text, " [%llu] reply from %s ; rtt %u ms."});
// stamp, request number.
constexpr LineText no_reply = join({stamp_text, " [%llu] no reply."});
// After the first reply of a compact row that ends a silence: the requests
// lost since the last reply, and how long before this request's send it came.
constexpr std::string_view lost =
    "    %llu request(s) have been lost since the last reply %llu ms ago.";
constexpr std::string_view statistics_title = "qelvor statistics";
// sent, received, lost, and the loss in whole percent and tenths.
constexpr std::string_view packets =
    "    Packets: Sent = %llu, Received = %llu, Lost = %llu (%llu.%u %%)";
// The socket code of a failed send or receive.
constexpr std::string_view send_failure = "sendto failed with error %d";
constexpr std::string_view receive_failure = "recvfrom failed with error %d";
// The code of a send refused for want of buffers: the request is sent
// again, so this failure does not end a run.
constexpr int send_failure_retried = 10055;
// Console only: the run ends before its first request.
constexpr std::string_view socket_failure = "socket function failed with error %d";
constexpr std::string_view startup_failure = "WSAStartup failed: %d";

// As written: verbose lines alone, compact ones with a line end first that
// ends a row of marks; the summary and the failures stand apart from what
// precedes them by an empty line.
constexpr LineText reply_row = join({reply.view(), "\n"});
constexpr LineText no_reply_row = join({no_reply.view(), "\n"});
constexpr LineText reply_after_marks = join({"\n", reply.view(), "\n"});
constexpr LineText no_reply_after_marks = join({"\n", no_reply.view(), "\n"});
constexpr LineText lost_row = join({lost, "\n"});
constexpr LineText summary_rows = join({"\n", statistics_title, "\n", packets, "\n"});
constexpr LineText send_failure_rows = join({"\n", send_failure, "\n\n"});
constexpr LineText receive_failure_rows = join({"\n", receive_failure, "\n\n"});
constexpr LineText socket_failure_row = join({socket_failure, "\n"});
constexpr LineText startup_failure_row = join({startup_failure, "\n"});

}  // namespace record
