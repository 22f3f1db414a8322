#!/usr/bin/python3
# long_log.py LOG START DAYS OUTAGE...: writes LOG, the compact log of a watch
# of DAYS days at -p 1000 -w 1000 begun at START (seconds since the epoch),
# the host down for each OUTAGE "AT+SECONDS" (seconds since the start); sets
# its last write to the run's end. Prints the truth per local day (TZ):
# "date requests outage_pieces down_ms watched_ms".
import os, sys, time

log, start, days, outages = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4:]
total = int(days * 86400)  # requests, one a second; request k is sent at k - 1 s
down = sorted((int(a), int(b)) for a, b in (o.split("+") for o in outages))
stamp = lambda k: "%02d:%02d:%02d.000 [%d] " % ((k - 1) // 3600 % 24, (k - 1) // 60 % 60, (k - 1) % 60, k)
out, lost, done = [], 0, 1
out.append("/usr/bin/qelvor 127.0.0.1 -n 0 -p 1000 -w 1000 -o %s \r\n\r\n" % log)
out.append(stamp(1) + "reply from 127.0.0.1 ; rtt 0 ms.\r\n")
for at, length in down:
    first, back = at + 1, at + 1 + length  # the first unanswered request, the first answered again
    out.append("!" * (first - done - 1) + "\r\n" + stamp(first) + "no reply.\r\n" + "." * (length - 1))
    out.append("\r\n" + stamp(back) + "reply from 127.0.0.1 ; rtt 0 ms.\r\n")
    out.append("    %d request(s) have been lost since the last reply %d ms ago.\r\n" % (length, (length + 1) * 1000))
    lost, done = lost + length, back
out.append("!" * (total - done) + "\r\n\r\nqelvor statistics\r\n    Packets: Sent = %d, Received = %d, Lost = %d (%d.%d %%)\r\n"
           % (total, total - lost, lost, (lost * 1000 + total // 2) // total // 10, (lost * 1000 + total // 2) // total % 10))
with open(log, "w", newline="") as f:
    f.write("".join(out))
end_ms = start * 1000 + (total - 1) * 1000
os.utime(log, ns=(end_ms * 1000000, end_ms * 1000000))
# The truth, by local day: requests sent, pieces of outages, down and watched ms.
day = lambda ms: time.strftime("%Y-%m-%d", time.localtime(ms // 1000))
def midnight_after(ms):
    t = time.localtime(ms // 1000)
    return int(time.mktime((t.tm_year, t.tm_mon, t.tm_mday + 1, 0, 0, 0, 0, 0, -1))) * 1000
truth = {}
def spread(a, b, field):  # [a, b) in ms, split at local midnights
    while a < b:
        figures = truth.setdefault(day(a), [0, 0, 0, 0])
        figures[1] += field == 2
        figures[field] += min(b, midnight_after(a)) - a
        a = min(b, midnight_after(a))
spread(start * 1000, (start + total) * 1000, 0)  # a request each whole second: 1000 ms each
spread(start * 1000, end_ms, 3)
for at, length in down:
    spread((start + at) * 1000, (start + at + length) * 1000, 2)
for d in sorted(truth):
    print(d, truth[d][0] // 1000, *truth[d][1:])
