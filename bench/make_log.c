// make_log: writes a qelvor log of about SIZE bytes to standard output, as a
// long watch at a period of 1000 ms leaves it: the host down for 5 requests
// every OUTAGE_EVERY requests, everything else answered.
//
//   make_log compact|verbose SIZE OUTAGE_EVERY
//
// Compact output puts the answered requests between two outages on one row
// of marks; verbose output gives every request its line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned long long written;

static void put(const char* text) {
    written += strlen(text);
    fputs(text, stdout);
}

static void stamped(unsigned long long request, const char* what) {
    unsigned long long ms = (request - 1) * 1000;  // the period; an outage's waits are shorter
    char line[128];
    snprintf(line, sizeof line, "%02llu:%02llu:%02llu.000 [%llu] %s\r\n", ms / 3600000 % 24,
             ms / 60000 % 60, ms / 1000 % 60, request, what);
    put(line);
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    int verbose = strcmp(argv[1], "verbose") == 0;
    unsigned long long size = strtoull(argv[2], NULL, 10), every = strtoull(argv[3], NULL, 10);
    static char marks[1 << 16];
    memset(marks, '!', sizeof marks);
    put(verbose ? "/usr/bin/qelvor 192.0.2.1 -a -n 0 -w 1000 -o watch.log \r\n"
                : "/usr/bin/qelvor 192.0.2.1 -n 0 -w 1000 -o watch.log \r\n\r\n");
    const char* reply = "reply from 192.0.2.1 ; rtt 2 ms.";
    unsigned long long request = 1, lost = 0;
    stamped(request++, reply);
    while (written < size) {
        // Answered: marks (compact) or lines (verbose).
        for (unsigned long long i = 1; i < every;) {
            if (verbose) {
                stamped(request++, reply);
                ++i;
                continue;
            }
            unsigned long long run = every - i < sizeof marks ? every - i : sizeof marks;
            fwrite(marks, 1, run, stdout);
            written += run;
            request += run;
            i += run;
        }
        // Down for five requests, then answered again.
        put(verbose ? "" : "\r\n");
        stamped(request++, "no reply.");
        for (int i = 1; i < 5; ++i, ++request) {
            if (verbose) stamped(request, "no reply.");
            else put(".");
        }
        lost += 5;
        if (!verbose) put("\r\n");
        stamped(request++, reply);
        if (!verbose) put("    5 request(s) have been lost since the last reply 5998 ms ago.\r\n");
    }
    char summary[160];
    snprintf(summary, sizeof summary,
             "\r\nqelvor statistics\r\n    Packets: Sent = %llu, Received = %llu, Lost = %llu (0.0 %%)\r\n",
             request - 1, request - 1 - lost, lost);
    put(summary);
    return 0;
}
