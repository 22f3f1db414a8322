// qelvor-log's reading of hand-made odd logs: the outages and runs it tells
// and the messages it gives, as CSV rows and "file:line: text".
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "log_reader/calendar.h"
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
    struct { const char* name; std::string log; const char* outages; std::string runs; const char* messages; } cases[] = {
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
         H + R1 + std::string("\x00\x01\xff", 3) + "\r\nhello -o a -o b z \r\n" + std::string(9000, 'x') + "\r\n!\r\nsendto failed with error 10051\r\n" + S,
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
        {"a program named like a line of the log is no torn line",
         "qelvor statistics 127.0.0.1 -n 1 \r\n" + R1, "",
         "1,qelvor statistics 127.0.0.1 -n 1,0,1,1,0,0.0,cut,127.0.0.1,0,0,0,,,\n", ""},
        {"an -o path of 127 bytes is a path, of 128 none",
         "q 127.0.0.1 -o " + std::string(127, 'a') + " \r\n" + R1 + "q 127.0.0.1 -o " +
             std::string(128, 'a') + " \r\n", "",
         "1,q 127.0.0.1 -o " + std::string(127, 'a') + ",0,1,1,0,0.0,cut,127.0.0.1,0,0,0,,,\n",
         "x.log:4: not a line of a qelvor log\n"},
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

// A header's address is read as qelvor's inet_addr reads its argument: the same value, or none.
TEST(LogReader, AddressAsInetAddr) {
    for (const char* text :
         {"127.0.0.1",  "1.2.3.255",  "1.2.3.256",  "255.1.2.3",  "256.1.2.3",  "0x7f.1",
          "0X7F.0xaBc", "0x7g.1",     "017.0.0.1",  "018.0.0.1",  "1.2.65535",  "1.2.65536",
          "1.16777215", "1.16777216", "4294967295", "4294967296", "1.2.3.4.5",  "1..2",
          "1.2.3.",     ".1",         "",           "0xffffffff", "0x100000000"}) {
        uint32_t address = 0;
        bool read = qlog::read_address(text, &address);
        in_addr expected{};
        EXPECT_EQ(read ? htonl(address) : 0u, inet_aton(text, &expected) ? expected.s_addr : 0u)
            << text;
    }
}

}  // namespace

// Runs dated from their file, in a zone whose clocks go forward on 2026-03-29
// at 02:00: what each run's start is in calendar time, or why it is not.
namespace {

qlog::Run shaped(bool time_of_day, int64_t start_ms, int64_t end_ms) {
    qlog::Run run;
    run.settings.time_of_day = time_of_day;
    run.settings.period_ms = run.settings.wait_ms = 1000;
    run.start_ms = start_ms;
    run.last_ms = end_ms;
    return run;
}

std::string starts(const std::vector<qlog::Run>& runs, const qlog::FileTimes& file) {
    std::string text;
    std::deque<qlog::Dating> dates = qlog::date_runs(runs, file);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const qlog::Dating& date = dates[i];
        text += (date.offset_ms ? qlog::iso_text(*runs[i].start_ms + *date.offset_ms)
                                : date.unknown.substr(0, 40)) +
                (date.running ? " running" : "") + '|';
    }
    return text;
}

}  // namespace

// clang-format off
TEST(Calendar, RunsDatedFromTheirFile) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const int64_t h = 3600000, at_11 = *qlog::parse_when("2026-03-01T11:00:00.400");
    const int64_t born = at_11 - 5 * h, dst_end = *qlog::parse_when("2026-03-29T04:00");
    struct { const char* name; std::vector<qlog::Run> runs; qlog::FileTimes file; const char* starts; } cases[] = {
        {"elapsed: ends at the last write", {shaped(false, 0, h)}, {at_11, false, {}, ""}, "2026-03-01T10:00:00.400+01:00|"},
        {"-T agreeing: its stamps' time", {shaped(true, 10 * h, 11 * h)}, {at_11, true, {}, ""}, "2026-03-01T10:00:00.000+01:00 running|"},
        {"-T an hour off", {shaped(true, 9 * h, 10 * h)}, {at_11, false, {}, ""}, "date unknown (the time of day of its sta|"},
        {"-T across the clocks' change", {shaped(true, h, 4 * h)}, {dst_end, false, {}, ""}, "date unknown (the time of day of its sta|"},
        {"earlier: -T on the one day since the file's creation; elapsed never",
         {shaped(false, 0, h), shaped(true, 8 * h, 9 * h), shaped(true, 10 * h, 11 * h)}, {at_11, false, born, ""},
         "date unknown (before 2026-03-01T08:00:00|2026-03-01T08:00:00.000+01:00|2026-03-01T10:00:00.000+01:00|"},
        {"earlier -T, the file's creation unknown", {shaped(true, 8 * h, 9 * h), shaped(true, 10 * h, 11 * h)},
         {at_11, false, {}, ""}, "date unknown (before 2026-03-01T10:00:00|2026-03-01T10:00:00.000+01:00|"},
        {"earlier -T, created two days before", {shaped(true, 8 * h, 9 * h), shaped(true, 10 * h, 11 * h)},
         {at_11, false, born - 48 * h, ""}, "date unknown (before 2026-03-01T10:00:00|2026-03-01T10:00:00.000+01:00|"},
        {"standard input", {shaped(false, 0, h)}, {{}, false, {}, "date unknown (read from standard input)"},
         "date unknown (read from standard input)|"},
    };
    for (const auto& c : cases) EXPECT_EQ(starts(c.runs, c.file), c.starts) << c.name;

    struct { const char* text; const char* iso; } whens[] = {
        {"2026-03-29", "2026-03-29T00:00:00.000+01:00"}, {"2026-03-29T03:30", "2026-03-29T03:30:00.000+02:00"},
        {"2026-03-01 10:00:30.250Z", "2026-03-01T11:00:30.250+01:00"}, {"2026-03-01T10:00+05:30", "2026-03-01T05:30:00.000+01:00"},
        {"2028-02-29T23:30Z", "2028-03-01T00:30:00.000+01:00"}, {"2026-3-01", ""},
        {"2026-03-01T24:00", ""}, {"2026-03-01T10", ""}, {"2026-03-01T10:00+5", ""},
        {"2026-03-01T10:00-05:00", "2026-03-01T16:00:00.000+01:00"},
    };
    for (const auto& w : whens) {
        std::optional<int64_t> when = qlog::parse_when(w.text);
        EXPECT_EQ(when ? qlog::iso_text(*when) : "", w.iso) << w.text;
    }
    unsetenv("TZ");
    tzset();
}
// clang-format on
