// qelvor-log's reading of hand-made odd logs: the outages and runs it tells
// and the messages it gives, as CSV rows and "file:line: text".
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "log_reader/csv_report.h"
#include "log_reader/log_scanner.h"

namespace {

// CSV rows without their header row, and the messages.
std::string read_log(const std::string& log, qlog::CsvKind kind, std::string* messages) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    char* said = nullptr;
    std::size_t said_size = 0;
    std::FILE* err = open_memstream(&said, &said_size);
    {
        qlog::CsvReport csv(out, kind);
        qlog::LogScanner scanner(csv, err);
        scanner.begin_file("x.log");
        scanner.feed(log.data(), log.size());
        scanner.end_of_file();
        scanner.finish();
    }
    std::fclose(out);
    std::fclose(err);
    std::string rows(text, size);
    *messages = std::string(said, said_size);
    std::free(text);
    std::free(said);
    return rows.substr(rows.find('\n') + 1);
}

const std::string H = "/usr/bin/qelvor 127.0.0.1 -n 0 -p 100 -w 300 -o x.log \r\n";
const std::string R1 = "\r\n00:00:00.000 [1] reply from 127.0.0.1 ; rtt 0 ms.\r\n";
const std::string S =
    "\r\nqelvor statistics\r\n    Packets: Sent = 2, Received = 2, Lost = 0 (0.0 %)\r\n";

// clang-format off
TEST(LogReader, OddInputs) {
    struct { const char* name; std::string log; const char* outages; const char* runs; const char* messages; } cases[] = {
        {"a header glued onto a torn row of marks", H + R1 + "!!!!!!/usr/bin/qelvor 127.0.0.1 -n 2 -o x.log \r\n" + R1 + "!" + S,
         "", "1,/usr/bin/qelvor 127.0.0.1 -n 0 -p 100 -w 300 -o x.log,0,7,7,0,0.0,cut,127.0.0.1,600,600,0,100.000,,\n"
             "2,/usr/bin/qelvor 127.0.0.1 -n 2 -o x.log,0,2,2,0,0.0,count,127.0.0.1,1000,1000,0,100.000,,\n", ""},
        {"a torn line glued before a header", H + R1 + "\r\n00:00:00.100 [2] no re/usr/bin/qelvor 127.0.0.1 -n 2 -o x.log \r\n",
         "", "1,/usr/bin/qelvor 127.0.0.1 -n 0 -p 100 -w 300 -o x.log,0,1,1,0,0.0,cut,127.0.0.1,0,0,0,,,\n"
             "2,/usr/bin/qelvor 127.0.0.1 -n 2 -o x.log,,0,0,0,0.0,cut,127.0.0.1,,0,0,,,\n", "x.log:5: a torn line before this header\n"},
        {"a last line cut short, CR LF and LF mixed, a program path with spaces",
         "C:\\Program Files\\q.exe 127.0.0.1 -p 100 -w 300 -Q 1 \r\n\n00:00:00.000 [1] reply from 127.0.0.1 ; rtt 0 ms.\n!\r\n00:00:00.200 [3] no reply.\n..\r\n00:00:01.100 [6] reply from 127.0.0.1 ; rtt 1 ms.\n    3 request(s) have been lost since the last reply 900 ms ago.\r\n!\n\nqelvor stat",
         "1,3,5,200,1100,900,3,127.0.0.1,200,,\n",
         "1,C:\\Program Files\\q.exe 127.0.0.1 -p 100 -w 300 -Q 1,0,7,4,3,42.9,cut,127.0.0.1,1200,1200,900,25.000,,\n",
         "x.log:11: a last line cut short\n"},
        {"binary bytes, a stranger's line, an overlong line; a send failure ends it",
         H + R1 + std::string("\x00\x01\xff", 3) + "\r\nhello\r\n" + std::string(9000, 'x') + "\r\n!\r\nsendto failed with error 10051\r\n" + S,
         "", "1,/usr/bin/qelvor 127.0.0.1 -n 0 -p 100 -w 300 -o x.log,0,2,2,0,0.0,failure,127.0.0.1,100,100,0,100.000,,\n",
         "x.log:4: bytes that are not text\nx.log:5: not a line of a qelvor log\nx.log:6: a line longer than any qelvor writes\n"},
        {"-T past midnight, a receive failure inside the outage, -Q passed",
         "q 127.0.0.1 -T -n 0 -Q 1 -p 1000 -w 1000 \r\n\r\n23:59:59.000 [1] no reply.\r\n\r\nrecvfrom failed with error 10035\r\n\r\n\r\n00:00:01.000 [3] reply from 127.0.0.1 ; rtt 1 ms.\r\n"
         "    2 request(s) have been lost since the last reply 2000 ms ago.\r\n\r\nqelvor statistics\r\n    Packets: Sent = 3, Received = 1, Lost = 2 (66.7 %)\r\n",
         "1,1,2,86399000,86401000,2000,2,127.0.0.1,,,\n",
         "1,q 127.0.0.1 -T -n 0 -Q 1 -p 1000 -w 1000,86399000,3,1,2,66.7,changes,127.0.0.1,86401001,2001,2000,0.050,,\n", ""},
        {"no header, a day of marks at -p 1000 before a line, an outage open at the end",
         "\r\n00:00:00.000 [1] reply from 127.0.0.1 ; rtt 0 ms.\r\n" + std::string(86399, '!') + "\r\n00:00:00.000 [86401] no reply.\r\n..",
         "1,86401,86403,86400000,,,3,,,,\n", "1,,0,86403,86400,3,0.0,cut,,86415000,86415000,15000,99.983,,\n",
         "x.log:2: no header before this line: read as a run with qelvor's defaults\n"},
        {"an -o path with spaces and a program path from \"./\": a whole run, ended by its count",
         "./qelvor 127.0.0.1 -n 2 -p 100 -o sp dir/x.log \r\n" + R1 + "!" + S, "",
         "1,./qelvor 127.0.0.1 -n 2 -p 100 -o sp dir/x.log,0,2,2,0,0.0,count,127.0.0.1,100,100,0,100.000,,\n", ""},
        {"-o \"my log 7\" is a path, not the address 0.0.0.7; marks, then a program path from \"../\" or \"..\\\"",
         "q 127.0.0.1 -o my log 7 \r\n" + R1 + "!..../b/q 127.0.0.2 -n 1 \r\n" + R1 + "!...\\q.exe 127.0.0.3 \r\n", "1,3,4,2000,,,2,127.0.0.1,,,\n2,3,3,2000,,,1,127.0.0.2,,,\n",
         "1,q 127.0.0.1 -o my log 7,0,4,2,2,50.0,cut,127.0.0.1,12000,12000,10000,16.667,,\n2,../b/q 127.0.0.2 -n 1,0,3,2,1,33.3,cut,127.0.0.2,7000,7000,5000,28.571,,\n"
         "3,..\\q.exe 127.0.0.3,,0,0,0,0.0,cut,127.0.0.3,,0,0,,,\n", ""},
        {"a verbose line cut right before its rtt is no header", H + "00:00:00.472 [5] reply from 127.0.0.1 \r\n" + H, "",
         "1,/usr/bin/qelvor 127.0.0.1 -n 0 -p 100 -w 300 -o x.log,,0,0,0,0.0,cut,127.0.0.1,,0,0,,,\n"
         "2,/usr/bin/qelvor 127.0.0.1 -n 0 -p 100 -w 300 -o x.log,,0,0,0,0.0,cut,127.0.0.1,,0,0,,,\n", "x.log:2: a line cut short\n"},
        {"a silence of 2^32 ms placed by its lost line; the summary's own loss (an older writer's rounding)",
         "q 127.0.0.1 -n 0 -T -w 500 \r\n\r\n12:00:00.000 [1] reply from 127.0.0.1 ; rtt 2 ms.\r\n\r\n12:00:01.000 [2] no reply.\r\n"
         "\r\n05:02:49.296 [3] reply from 127.0.0.1 ; rtt 2 ms.\r\n    1 request(s) have been lost since the last reply 4294969294 ms ago.\r\n"
         "\r\nqelvor statistics\r\n    Packets: Sent = 2000, Received = 1993, Lost = 7 (0.3 %)\r\n",
         "1,2,2,43201000,4338169296,4294968296,1,127.0.0.1,43200002,,\n",
         "1,q 127.0.0.1 -n 0 -T -w 500,43200000,2000,1993,7,0.3,interrupt,127.0.0.1,4338169298,4294969298,4294968296,0.000,,\n", ""},
    };
    for (const auto& c : cases) {
        std::string messages, ignored;
        EXPECT_EQ(read_log(c.log, qlog::CsvKind::Outages, &messages), c.outages) << c.name;
        EXPECT_EQ(read_log(c.log, qlog::CsvKind::Runs, &ignored), c.runs) << c.name;
        EXPECT_EQ(messages, c.messages) << c.name;
    }
}
// clang-format on

}  // namespace
