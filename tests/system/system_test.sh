#!/bin/bash
# The real qelvor binary as a user sees it, one group of checks per run:
#   system_test.sh GROUP <qelvor> <qelvor-log>
# GROUP: socket, log, signals, privileges, reader, dates, follow, follow_logs
# or monitoring.
# A group runs in a network namespace of its own, where the kernel answers on
# loopback and each check sets up what it needs (sysctls, tc, a veth
# pair whose 192.0.2.0/24 addresses never leave the namespace).
# Exit status: 0 passed, 1 failed, 77 skipped (not root, outside CI).
set -u
group=$1
if [[ -z ${QELVOR_SYSTEM_NS:-} ]]; then
    ((EUID == 0)) && why= || why="needs root for network namespaces"
    for tool in unshare ip sysctl setpriv tc ping localedef iconv setcap timeout /usr/bin/python3 \
        $([[ $group == reader || $group == dates ]] && echo rsvg-convert) \
        $([[ $group == follow* && ${CI:-} == true ]] && echo promtool) \
        $([[ $group == socket && ${CI:-} == true ]] && echo tcpdump) \
        $([[ $group == monitoring ]] && echo prometheus prometheus-alertmanager prometheus-node-exporter); do
        command -v $tool >/dev/null || why="needs $tool"
    done
    [[ -z $why ]] || { [[ ${CI:-} == true ]] && echo "FAIL $group: $why" && exit 1; echo "SKIP: $why"; exit 77; }
    QELVOR_SYSTEM_NS=1 exec unshare -n -- bash "$0" "$@"
fi
ip link set lo up
export LC_ALL=C.UTF-8
built=$(realpath "$2") QL=$(realpath "${3:-/dev/null}") sources=$(realpath "$(dirname "$0")/../..")
here=$(dirname "$(realpath "$0")")
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fails=0
exec 9>&1 # the report, whatever a check does with standard output
# A scratch folder that nobody can enter and where set-user-ID and file
# capabilities take effect (not on a nosuid mount); the copies run are there.
for base in /tmp /var/tmp; do
    findmnt -n -o OPTIONS -T $base | grep -qw nosuid && continue
    d=$(mktemp -d $base/qelvor-system.XXXXXX) && chmod 755 "$d" && break
done
[[ -n ${d:-} ]] && cd "$d" || { echo "FAIL $group: no scratch folder without nosuid"; exit 1; }
trap 'kill -KILL $(jobs -p) 2>/dev/null; rm -rf "$d"' EXIT
install -m 755 "$built" qelvor
Q=$d/qelvor R="HH:MM:SS.mmm [1] reply from 127.0.0.1 ; rtt N ms."

fail() { echo "FAIL $group: $*" >&9; fails=$((fails + 1)); }
check() { [[ $2 == "$3" ]] || fail "$1: expected \"$2\", got \"$3\""; }
# status NAME EXPECTED COMMAND...: runs the command, checks its exit status.
status() { "${@:3}"; check "$1, status" "$2" $?; }
mask() { LC_ALL=C sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T/YYYY-MM-DDT/; s/[0-9]{2}(:[0-9]{2}){2}\.[0-9]{3}/HH:MM:SS.mmm/; s/(rtt|reply) [0-9]+ ms/\1 N ms/; s/(0:00:00\.[0-9])[0-9]{2}( watched|,)/\1NN\2/'; }
# red [SVG]: of a picture of bands, where its red begins and ends and its area (the marks under
# a band left out), in pixels of a band's width.
red() { awk -F'"' '/fill="#d62728"/ && $4 != "10" && $8 != "3" { x = $2; if (!n++ || x < a) a = x
    b = (x + $6 > b ? x + $6 : b); s += $6 * $8 } END { print a, b, s / 22 }' "$@"; }
# same NAME FILE: the file's bytes, masked, are exactly standard input's.
same() {
    mask <"$2" >"$2.m" && cat >"$2.x" && cmp -s "$2.x" "$2.m" && return
    fail "$1: bytes differ (< expected, > got, cat -A)" && diff <(cat -A "$2.x") <(cat -A "$2.m") | head -n 12 >&9
}
stats() { printf '\nqelvor statistics\n    Packets: Sent = %s, Received = %s, Lost = %s (%s %%)\n' "$@"; }
# whole NAME FILE...: each file holds one summary and ends with it, the log
# (*.log) with CR LF.
whole() {
    for f in "${@:2}"; do
        [[ $f == *.log ]] && eol=$'\r' || eol=
        last=$(tail -n 1 "$f" | grep -Ecx "    Packets: Sent = [0-9]+, Received = [0-9]+, Lost = [0-9]+ \([0-9.]+ %\)$eol")
        check "$1, $f: summaries, summary last, last byte" "1 1 " "$(grep -c 'qelvor statistics' "$f") $last $(tail -c 1 "$f")"
    done
}
# start NAME COMMAND...: runs it in the background with -o NAME.log, output in
# NAME.out; returns once the log exists: it is opened after any privilege is
# dropped and just before the signals are taken over.
start() {
    "${@:2}" -o "$1.log" >"$1.out" 2>"$1.err" & pid=$!
    for ((i = 0; i < 500; ++i)); do [[ -e $1.log ]] && return; sleep 0.01; done
}
# reap PID: its exit status; one that hangs is killed after 10 s.
reap() {
    timeout 10 tail -s 0.05 --pid="$1" -f /dev/null || { fail "pid $1 hung"; kill -KILL "$1"; }
    wait "$1"
}
# signalled NAME DELAY SIGNALS COMMAND...: started as by start, given the
# signals 2 ms apart after DELAY seconds; its exit status.
# A number among the signals is a pause of that many seconds.
signalled() {
    start "$1" "${@:4}" && sleep "$2" && for s in $3; do
        [[ $s == [0-9]* ]] && sleep $s || kill -"$s" $pid && sleep 0.002
    done
    reap $pid
}

group_socket() {
    printf -v from '%(%T)T' && started=${EPOCHREALTIME/./} && status "raw socket" 0 "$Q" 127.0.0.1 -T -n 3 -p 100 >raw
    check "raw socket: two periods of 100 ms slept at least" 1 $(((${EPOCHREALTIME/./} - started) >= 200000))
    printf -v to '%(%T)T' && stamp=$(sed -n '2s/\..*//p' raw) # -T: the time of day, unless midnight passed meanwhile
    [[ ! $stamp < $from && ! $stamp > $to || $to < $from ]] || fail "raw socket: -T stamp $stamp not within $from to $to"
    same "raw socket" raw < <(printf '\n%s\n!!' "$R" && stats 3 3 0 0.0)
    # -T: each stamp is the local time its request went out, read after the send and cut to the
    # millisecond, so never earlier than the kernel's stamp of the request on the wire, less a
    # millisecond and the odd one of the clocks' readings. tcpdump comes with tools/install-deps
    # --ci only; CI must have it.
    if command -v tcpdump >/dev/null; then
        timeout 20 tcpdump -i lo -n -tt -l -c 3 'icmp[icmptype] = icmp-echo' >wire 2>capture &
        capture=$!
        for ((i = 0; i < 500; ++i)); do grep -qs listening capture && break; sleep 0.01; done
        "$Q" 127.0.0.1 -T -a -n 3 -p 100 >stamped && wait $capture
        check "-T stamps against the wire: requests, and those stamped 2 ms early or more" "3 " \
            "$(/usr/bin/python3 -c "$early" wire stamped)"
    fi
    sysctl -qw net.ipv4.ping_group_range="0 2147483647"
    # Its identifier (the process ID's low 16 bits) held by another ping socket: the kernel's pick.
    status "ping socket" 0 bash -c '/usr/bin/python3 -c "$0" $$ & sleep 0.3 && exec "${@}"' "$hold" "${nobody[@]}" "$Q" 127.0.0.1 -n 3 -p 100 >ping
    same "ping socket, as the raw socket" ping <raw.m
    # The identifier, once bound, is not shared with a later ping socket, even one that allows it.
    "${nobody[@]}" "$Q" 127.0.0.1 -n 0 -p 100 >/dev/null & pid=$!
    for ((i = 0; i < 500; ++i)); do grep -q ":$(printf %04X $((pid % 65536))) " /proc/net/icmp && break; sleep 0.01; done
    check "ping socket: a later one binding its identifier fails" 1 "$(/usr/bin/python3 -c "$hold" $pid 2>/dev/null; echo $?)"
    kill -INT $pid && reap $pid >/dev/null

    sysctl -qw net.ipv4.icmp_echo_ignore_all=1 && status "silent host" 0 "$Q" 127.0.0.1 -n 3 -p 100 -w 100 >silent
    sysctl -qw net.ipv4.icmp_echo_ignore_all=0
    same "silent host" silent < <(printf '\nHH:MM:SS.mmm [1] no reply.\n..' && stats 3 0 3 100.0)

    ping -q -s 2000 -i 0.002 -c 300 127.0.0.1 >/dev/null & "$Q" 127.0.0.1 -n 30 -p 10 >busy && wait $!
    check "beside another ping" "    Packets: Sent = 30, Received = 30, Lost = 0 (0.0 %)" "$(tail -n 1 busy)"

    # Every send refused for want of buffers: a request is given up after
    # three attempts. The file size limit ends an endless run early.
    ip link add qa type veth peer name qb && ip link set qa arp off up && ip link set qb up &&
        ip addr add 192.0.2.1/24 dev qa && tc qdisc replace dev qa root pfifo limit 0 ||
        fail "veth with a queue of none"
    status "ENOBUFS" 0 bash -c 'ulimit -f 2048 && exec timeout 20 "$@"' - "${nobody[@]}" "$Q" 192.0.2.2 \
        -n 2 -p 0 -w 50 >nobufs
    check "ENOBUFS: reports, no-reply line, marks, last line" \
        "6 1 1     Packets: Sent = 2, Received = 0, Lost = 2 (100.0 %)" \
        "$(grep -cx 'sendto failed with error 10055' nobufs) $(grep -c '\[1\] no reply\.$' nobufs) $(grep -cx '\.' nobufs) $(tail -n 1 nobufs)"

    # Two runs, each process 1 of a PID namespace of its own, on one network, the second's
    # replies well within the first's waits: the one to the silent host takes none of them.
    tc qdisc del dev qa root
    unshare -pf "$Q" 192.0.2.2 -n 4 -p 500 -w 400 >dead & sleep 0.1 && unshare -pf "$Q" 127.0.0.1 -n 4 -p 500 -w 400 >alive
    wait $! && same "two PID namespaces, silent" dead < <(printf '\n%s\n...' "${R/reply from*/no reply.}" && stats 4 0 4 100.0)
    same "two PID namespaces, answered" alive < <(printf '\n%s\n!!!' "$R" && stats 4 4 0 0.0)

    timeout 20 "$Q" 127.0.0.1 -n 0 -p 0 | head -n 1 >/dev/null
    check "console reader gone, no log: status" 0 "${PIPESTATUS[0]}"

    # The host silent, a peer answers after 300 ms; qelvor is stopped from 50 ms after its send
    # to after its wait, and meanwhile 20 foreign echo replies come in ahead of its reply: the
    # reply counts, with the rtt it had on the wire.
    sysctl -qw net.ipv4.icmp_echo_ignore_all=1 &&
        status "stopped, foreign replies ahead" 0 /usr/bin/python3 -c "$peer" "$Q" 127.0.0.1 -a -n 1 -w 1000 >stopped
    sysctl -qw net.ipv4.icmp_echo_ignore_all=0
    same "stopped, foreign replies ahead" stopped < <(echo "$R" && stats 1 1 0 0.0)
    check "stopped, foreign replies ahead: rtt of 300 ms or more" 1 "$(awk '/ rtt / && $(NF-1) >= 300' stopped | wc -l)"

    # The host silent, the reply to request 2 comes in before request 2 goes out: no reply.
    silent 1 && /usr/bin/python3 -c "$stale" "$Q" 127.0.0.1 -a -n 2 -w 200 >stale
    case $? in
        77) ;; # the peer was held up past request 2: nothing to tell
        0) same "a reply queued before its request" stale < <(
            printf 'HH:MM:SS.mmm [%s] no reply.\n' 1 2 && stats 2 0 2 100.0) ;;
        *) fail "a reply queued before its request: status" ;;
    esac
    silent 0
}

group_log() {
    for i in 1 2; do status "log run $i" 0 "$Q" 127.0.0.1 -n 2 -p 10 -o f >out$i; done
    same "log: header, CR LF, appended" f < <(for i in 1 2; do
        printf '%s \r\n' "$Q 127.0.0.1 -n 2 -p 10 -o f" && mask <out$i | sed 's/$/\r/'
    done)

    "$Q" 127.0.0.1 -n 0 -o held >held.out & pid=$!
    for ((i = 0; i < 500; ++i)); do [[ -e held ]] && grep -q ":$(stat -c %i held) " /proc/locks && break; sleep 0.01; done
    status "held log" 1 "$Q" 127.0.0.1 -o held >out 2>err
    same "held log, stderr" err <<<"Log file open failed.: Permission denied"
    same "held log, stdout" out </dev/null
    kill -INT $pid

    status "full disk at close" 0 "$Q" 127.0.0.1 -n 2 -p 10 -o /dev/full >out 2>err
    same "full disk at close, stderr" err < <(printf 'Log file write failed.\n: No space left on device\n')
    # A file-size limit: the write past it fails like any other, and so does the summary's.
    bash -c 'ulimit -f 8 && exec "$@"' - "$Q" 127.0.0.1 -a -n 2000 -p 0 -o fs.log 2>err | cat >fs.out
    check "file size limit: status" 0 "${PIPESTATUS[0]}"
    same "file size limit, stderr" err < <(printf 'Log file write failed.\n: File too large\n%.0s' 1 2)
    whole "file size limit" fs.out

    # The record while the run goes on, in the log and in a pipe, found after
    # a generous wait (blocks of 4096 bytes would hold it for many minutes): a
    # compact run every 100 ms, and a silent host (behind a veth pair nobody
    # answers on) waited for 5000 ms. The first, killed outright mid-row, then
    # a second run on its log: that run's header starts a line of its own.
    ip link add qa type veth peer name qb && ip link set qa arp off up && ip link set qb up &&
        ip addr add 192.0.2.1/24 dev qa || fail "veth pair"
    "$Q" 127.0.0.1 -n 0 -p 100 -o live.log > >(cat >live.out) & live=$!
    "$Q" 192.0.2.2 -n 0 -o silent.log > >(cat >silent.out) & silent=$!
    for ((i = 0; i < 300; ++i)); do
        sleep 0.1 && seen="$(grep -l '\[1\] reply' live.*; grep -l '\[1\] no reply\.' silent.*) $(tail -c 1 live.log)"
        [[ $seen == $'live.log\nlive.out\nsilent.log\nsilent.out !' ]] && break
    done
    check "while running: first lines in logs and pipes, marks" $'live.log\nlive.out\nsilent.log\nsilent.out !' "$seen"
    kill -KILL $live && kill -INT $silent && wait $live 2>/dev/null
    status "after kill -9" 0 "$Q" 127.0.0.1 -n 1 -o live.log >/dev/null
    check "after kill -9: the headers start lines" 2 "$(grep -c "^$Q 127.0.0.1 -n" live.log)"
    reap $silent >/dev/null

    # More than a block of console output, so that the console is written to
    # while the run goes on.
    status "stdout and stderr closed" 0 "$Q" 127.0.0.1 -a -n 200 -p 0 -o closed >&- 2>&-
    same "stdout and stderr closed: header, the run, CR LF only" closed < <(printf '%s \r\n' "$Q 127.0.0.1 -a -n 200 -p 0 -o closed" &&
        { for i in {1..200}; do echo "${R/1/$i}"; done && stats 200 200 0 0.0; } | sed 's/$/\r/')

    # A pipe whose reader has gone before the first block went out: the
    # console is lost, the run and its log go on.
    "$Q" 127.0.0.1 -n 20 -p 100 -o gone.log | true
    check "reader gone: status, the log's summary" "0 1" "${PIPESTATUS[0]} $(grep -c 'Sent = 20, Received = 20,' gone.log)"
    # Without a log a reader gone for good ends the run at the next write-out, also when that
    # holds a few lines only.
    timeout 20 "$Q" 127.0.0.1 -n 0 -p 100 | head -n 2 >/dev/null
    check "reader gone, no log, -p 100: status" 0 "${PIPESTATUS[0]}"

    # The usage text, byte for byte (its SHA-256, for a program path typed as
    # "qelvor"), in the console's character set: CP932 under Shift_JIS.
    usage=560ab73ad6fd7a895bc32bca7c366228ab2f6efd33a0d0a7783a2186c3435225
    localedef -f SHIFT_JIS -i ja_JP "$d/ja_JP.SJIS" >/dev/null 2>&1
    [[ -d ja_JP.SJIS ]] || fail "localedef made no Shift_JIS locale"
    status "Shift_JIS" 1 env PATH="$d:$PATH" LOCPATH="$d" LC_ALL=ja_JP.SJIS qelvor >sjis
    status "UTF-8" 1 env PATH="$d:$PATH" qelvor 127.0.0.1 -p 1001 >utf8
    check "usage: UTF-8, Shift_JIS as CP932, converted" "$usage $usage 1" "$(sha256sum <utf8 | cut -c1-64) \
$(iconv -f CP932 -t UTF-8 sjis | sha256sum | cut -c1-64) $(cmp -s sjis utf8; echo $?)"
    reap $pid >/dev/null
}

group_signals() {
    # Ctrl-C pressed twice in quick succession; GNU timeout signals the
    # process, then its group.
    for r in {1..10}; do
        status "SIGINT burst $r" 1 signalled burst$r 0.$((RANDOM % 300 + 100)) "INT INT" "$Q" 127.0.0.1 -n 0 -p 10
        whole "SIGINT burst $r" burst$r.out burst$r.log
    done
    for r in {1..5}; do
        status "timeout $r" 1 timeout --preserve-status -k 10 -s INT 0.3 "$Q" 127.0.0.1 -a -n 0 -p 0 \
            -o timeout$r.log >timeout$r.out
        whole "timeout $r" timeout$r.out timeout$r.log
    done

    for s in TERM:143 HUP:129; do
        status "SIG${s%:*}" ${s#*:} signalled ${s%:*} 0.3 ${s%:*} "$Q" 127.0.0.1 -n 0 -p 10
        check "SIG${s%:*}, log: header, first line, then marks only" \
            "$Q 127.0.0.1 -n 0 -p 10 -o ${s%:*}.log $(printf '\r\n\r\n%s\r' "$R")|" \
            "$(head -n 3 ${s%:*}.log | mask)|$(tail -n +4 ${s%:*}.log | tr -d '!')"
    done

    # Hang-up and termination ignored by whoever started qelvor stay ignored.
    start nohup nohup "$Q" 127.0.0.1 -n 0 -p 10 && nohup=$pid
    start trap bash -c 'trap "" HUP TERM && exec "$@"' - "$Q" 127.0.0.1 -n 0 -p 10
    sleep 0.3 && kill -HUP $nohup $pid && kill -TERM $pid && sleep 0.5
    check "SIGHUP under nohup, SIGHUP and SIGTERM under trap '': running" "0 0" \
        "$(kill -0 $nohup 2>/dev/null; echo $?) $(kill -0 $pid 2>/dev/null; echo $?)"
    kill -INT $nohup $pid
    status "nohup, then SIGINT" 1 reap $nohup
    status "trap '', then SIGINT" 1 reap $pid
    whole "then SIGINT" nohup.log trap.log

    # Standard output into a pipe that is never read (a process that only
    # holds the pipes open): it fills, and the signals must still end the run
    # with the log written out. stuckINT: stopped for 2 s right after the
    # Ctrl-C, time that is not the ending's. both.*: the console's pipe full
    # from the start, the log's with room for one block; the run stops in a
    # console write, the ending in the log's last write, and the watchdog
    # ends the process. end*: full from the start, so that a run of 80 lines
    # (4071 bytes) ends stuck in its own summary, which a signal leaves be.
    # logstuck: only the log full, as a share that has stalled: Ctrl-C
    # leaves it as it is and gives the summary on the console.
    mkfifo {stuckINT,stuckTERM,both,endINT,endTERM}.out both.log logstuck.log
    sleep 60 <>stuckINT.out 4<>stuckTERM.out 5<>both.out 6<>both.log 7<>endINT.out 8<>endTERM.out \
        3<>logstuck.log & holder=$!
    for f in both.out both.log endINT.out endTERM.out logstuck.log; do
        dd if=/dev/zero of=$f bs=4096 count=$([[ $f == *.log ]] && echo 15 || echo 16) status=none
    done
    status "console stuck, SIGINT, stopped" 1 signalled stuckINT 1 "INT STOP 2 CONT" "$Q" 127.0.0.1 -a -n 0 -p 0
    status "console stuck, SIGTERM" 143 signalled stuckTERM 1 TERM "$Q" 127.0.0.1 -a -n 0 -p 0
    status "console and log stuck, SIGTERM" 143 signalled both 1 TERM "$Q" 127.0.0.1 -a -n 0 -p 0
    status "own end stuck, SIGINT" 0 signalled endINT 1 INT "$Q" 127.0.0.1 -a -n 80 -p 0
    status "own end stuck, SIGTERM" 143 signalled endTERM 1 TERM "$Q" 127.0.0.1 -a -n 80 -p 0
    status "log stuck, SIGINT" 1 signalled logstuck 1 INT "$Q" 127.0.0.1 -a -n 0 -p 0
    whole "log stuck, SIGINT: the summary on the console" logstuck.out
    kill $holder
    # Ctrl-C while the console is stuck, its reader back 0.9 s later: what
    # the console shows, it shows once.
    mkfifo dup.out && { cat dup.out >dup.txt & reader=$!; }
    start dup "$Q" 127.0.0.1 -a -n 0 -p 0 && sleep 0.5 && kill -STOP $reader && sleep 0.5 && kill -INT $pid
    sleep 0.9 && kill -CONT $reader; status "console stuck, reader back" 1 reap $pid; wait $reader
    check "console stuck, reader back: lines shown twice" "" "$(sort dup.txt | uniq -d)"
    whole "console stuck" stuckINT.log endINT.log endTERM.log dup.log
    check "console stuck, SIGTERM: log lines without CR, last byte" "0 " \
        "$(grep -vc $'\r$' stuckTERM.log) $(tail -c 1 stuckTERM.log)"
}

# Runs argv[1:] beside a raw socket that, once the run's first request is out, stops it, sends
# 20 foreign echo replies, then 250 ms later the reply, and 1 s later lets the run go on.
peer='import os, socket, struct, subprocess, sys, time; s = socket.socket(2, 3, 1); s.settimeout(10)
run = subprocess.Popen(sys.argv[1:]); request = s.recv(100)[20:]; time.sleep(0.05); os.kill(run.pid, 19)
for n in range(2, 22): s.sendto(struct.pack("!4H", 0, 0xFFFF - n, 0, n), ("127.0.0.1", 0))
time.sleep(0.25); s.sendto(b"\0" + request[1:], ("127.0.0.1", 0)); time.sleep(1); os.kill(run.pid, 18); sys.exit(run.wait())'
# A capture of echo requests (tcpdump -tt, argv[1]) beside a run's -T lines (argv[2]): how many
# pairs, then the stamps 2 ms or more earlier than their request on the wire, in local time.
early='import re, sys, time
wire = [float(line.split()[0]) for line in open(sys.argv[1])]
stamps = re.findall(r"^(\d\d):(\d\d):(\d\d)\.(\d{3}) \[", open(sys.argv[2]).read(), re.M)
def ms(h, m, s, f): return ((h * 60 + m) * 60 + s) * 1000 + f
def offset(t, s):
    l = time.localtime(t)
    wire_ms = ms(l.tm_hour, l.tm_min, l.tm_sec, t % 1 * 1000)
    return (ms(*map(int, s)) - wire_ms + 43200000) % 86400000 - 43200000
early = [":".join(s) for t, s in zip(wire, stamps) if offset(t, s) <= -2]
print(min(len(wire), len(stamps)), " ".join(early))'
# Runs argv[1:] beside a raw socket that, 0.5 s after the run's first request, sends the reply
# its second will have; 77 when that second request went out first after all.
stale='import socket, subprocess, sys, time; s = socket.socket(2, 3, 1); s.settimeout(10)
run = subprocess.Popen(sys.argv[1:]); request = s.recv(100)[20:]; time.sleep(0.5)
s.sendto(b"\0\0\0\0" + request[4:6] + b"\0\2", ("127.0.0.1", 0))
order = [s.recv(100)[20] for _ in range(2)]; status = run.wait()
sys.exit(status if order == [0, 8] else 77)'
# Binds a ping socket, sharing allowed, to the identifier argv[1] % 65536
# and holds it for 3 s; fails if another socket has it.
hold='import socket, sys, time; s = socket.socket(2, 2, 1); s.setsockopt(1, 2, 1); s.bind(("", int(sys.argv[1]) % 65536)); time.sleep(3)'
# Copies descriptors 3 to 9 out of process argv[1] with pidfd_getfd, as any
# process of the same user may while that process is dumpable: "taken", or
# the error of the refusal (EBADF only says there is no such descriptor).
take_socket='import ctypes, errno, os, sys
libc, fd = ctypes.CDLL(None, use_errno=True), os.pidfd_open(int(sys.argv[1]))
taken = [libc.syscall(438, fd, n, 0) >= 0 or ctypes.get_errno() for n in range(3, 10)]
print("taken" if any(t is True for t in taken) else errno.errorcode[max(taken, key=lambda e: e != errno.EBADF)])'

# Runs argv[1:] as nobody with every capset call refused (EPERM); set-user-ID is still honoured.
deny_capset='import os, seccomp, sys; f = seccomp.SyscallFilter(seccomp.ALLOW); f.set_attr(seccomp.Attr.CTL_NNP, 0)
f.add_rule(seccomp.ERRNO(1), "capset"); f.load(); os.setgroups([]); os.setresgid(*[65534] * 3); os.setresuid(*[65534] * 3)
os.execv(sys.argv[1], sys.argv[1:])'

group_privileges() {
    sysctl -qw net.ipv4.ping_group_range="1 0" && mkdir -m 1777 open && mkdir -m 755 closed
    install -m 6755 qelvor qelvor-suid && install -m 2755 qelvor qelvor-sgid && install -m 755 qelvor qelvor-cap
    setcap cap_net_raw+ep qelvor-cap || fail "setcap"
    for n in ambient suid cap; do
        run=("${nobody[@]}" "$d/qelvor-$n")
        [[ $n == ambient ]] && run=("${nobody[@]}" --inh-caps=+net_raw --ambient-caps=+net_raw "$Q")
        start open/$n "${run[@]}" 127.0.0.1 -n 0 -p 100
        check "$n: ids, capabilities, no new privileges" "$(printf 'Uid: %s\nGid: %s\n' "65534 65534 65534 65534"{,} &&
            printf 'Cap%s: 0000000000000000\n' Inh Prm Eff Amb && echo 'NoNewPrivs: 1')" \
            "$(grep -E '^(Uid|Gid|Cap(Inh|Prm|Eff|Amb)|NoNewPrivs):' /proc/$pid/status | tr -s '\t' ' ')"
        check "$n: the socket taken by the same user" EPERM "$("${nobody[@]}" /usr/bin/python3 -c "$take_socket" $pid)"
        sleep 0.3 && kill -INT $pid && status "$n" 1 reap $pid
        check "$n: first reply" 1 "$(grep -c '\[1\] reply from 127\.0\.0\.1' open/$n.out)"
        status "$n: log where only root may write" 1 "${run[@]}" 127.0.0.1 -n 1 -o closed/log 2>err
        same "$n: log where only root may write, stderr" err <<<"Log file open failed.: Permission denied"
    done
    status "capabilities that cannot be given up" 1 /usr/bin/python3 -c "$deny_capset" "$d/qelvor-suid" 127.0.0.1 -n 1 >drop 2>&1
    same "capabilities that cannot be given up: output" drop <<<"qelvor: cannot give up privileges (capabilities): Operation not permitted"
    # Neither socket allowed: the raw socket's refusal, also when it came before a privilege drop.
    for q in "$Q" "$d/qelvor-sgid"; do
        status "no socket allowed, $q" 0 "${nobody[@]}" "$q" 127.0.0.1 -n 3 -p 100 >none
        same "no socket allowed, $q" none < <(echo "socket function failed with error 10013" && stats 0 0 0 0.0)
    done
    sysctl -qw net.ipv4.ping_group_range="0 2147483647" && start open/plain "${nobody[@]}" "$Q" 127.0.0.1 -n 0
    check "without privileges: stays dumpable" taken "$("${nobody[@]}" /usr/bin/python3 -c "$take_socket" $pid)"
    kill -INT $pid && reap $pid >/dev/null
}

# The host silent (1) or answering (0) from inside the namespace.
silent() { sysctl -qw net.ipv4.icmp_echo_ignore_all=$1; }
# oracle outages|requests LOG...: what the logs' own stamped lines say, as
# qelvor-log's CSV rows; -T stamps count on past midnight.
oracle() {
    LC_ALL=C awk -F'[][ :.]+' -v want=$1 '{ sub(/\r$/, "") } / -o [^ ]+ $/ { ++run; last = 0 }
        /^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] \[/ { t = (($1 * 60 + $2) * 60 + $3) * 1000 + $4
            while (t < last) t += 86400000; last = t; reply = / reply from /
            if (want == "requests") print run "," $5 "," t "," (reply ? "reply," $(NF - 2) : "none,")
            if (!reply && !down) { down = 1; first = $5; start = t } else if (reply && down) { down = 0
                if (want == "outages") print run "," first "," $5 - 1 "," start "," t "," t - start "," $5 - first } }' "${@:2}"
}
# summaries LOG...: "run,sent,received" from each summary.
summaries() { awk -F'[ =,]+' '/ -o [^ ]+ \r$/ { ++run } /Packets:/ { print run "," $4 "," $6 }' "$@"; }

group_reader() {
    # A compact run with an outage, ended by Ctrl-C; a verbose -T run counted
    # out, silent for a while; a run killed and another appended after it.
    start c "$Q" 127.0.0.1 -n 0 -p 100 -w 200 && sleep 0.5 && silent 1 && sleep 1 && silent 0 && sleep 0.7
    kill -INT $pid && status "compact, Ctrl-C" 1 reap $pid
    (sleep 0.4 && silent 1 && sleep 0.5 && silent 0) & "$Q" 127.0.0.1 -a -T -n 30 -p 50 -w 100 -o v.log >v.out && wait $!
    start k "$Q" 127.0.0.1 -a -n 0 -p 0 && sleep 0.5 && kill -KILL $pid && reap $pid >/dev/null
    status "appended after a kill" 0 "$Q" 127.0.0.1 -n 3 -p 10 -o k.log >/dev/null
    for f in c v; do "$QL" --csv outages $f.log >$f.outages && "$QL" --csv requests $f.log >$f.requests &&
        "$QL" --csv runs --svg $f.svg $f.log >$f.runs || fail "$f.log: status $?"; done
    check "compact: outages as the log's stamps, lost line" "$(oracle outages c.log)" "$(tail -n +2 c.outages | cut -d, -f1-7)"
    check "compact: one outage of 5 or more requests" 1 "$(awk -F, 'NR > 1 && $7 >= 5' c.outages | wc -l)"
    IFS=, read -r _ sent received < <(summaries c.log)
    check "compact: runs" "run,command,start_ms,sent,received,lost,loss_percent,ended,host
1,$Q 127.0.0.1 -n 0 -p 100 -w 200 -o c.log,0,$sent,$received,$((sent - received)),$(sed -n 's/.*(\(.*\) %).*/\1/p' c.log),interrupt,127.0.0.1" \
        "$(cut -d, -f1-9 c.runs)"
    check "compact: requests, replies, stamped rows" "$sent $received $(oracle requests c.log | cut -d, -f1-4 | paste -sd' ')" \
        "$(($(wc -l <c.requests) - 1)) $(grep -c ,reply, c.requests) $(grep -Ff <(oracle requests c.log | cut -d, -f1-4) c.requests | cut -d, -f1-4 | paste -sd' ')"
    check "verbose -T: every request as stamped" "$(oracle requests v.log)" "$(tail -n +2 v.requests | cut -d, -f1-5)"
    check "verbose -T: outages, start, ending" "$(oracle outages v.log) $(sed -n 2p v.requests | cut -d, -f3),count" \
        "$(tail -n +2 v.outages | cut -d, -f1-7) $(sed -n 2p v.runs | cut -d, -f3,8)"
    # (The start is the first request's stamp: 1 ms, not 0, when the start-up took that long.)
    check "killed (cut, maybe torn), then appended" "cut|2,$Q 127.0.0.1 -n 3 -p 10 -o k.log,3,3,0,0.0,count" \
        "$("$QL" --csv runs k.log 2>/dev/null | cut -d, -f1,2,4-8 | sed -n '2s/.*,//p;3p' | paste -sd'|')"

    # The picture: along run 1's band, red exactly where the outage is.
    for f in c v; do rsvg-convert $f.svg -o $f.png || fail "rsvg-convert $f.svg"; done
    IFS=, read -r _ _ _ start end _ < <(tail -n 1 c.outages)
    last=$(tail -n 1 c.requests | awk -F, '{ print $3 + ($4 == "none" ? 200 : $5) }')
    check "SVG: the red span in pixels, to one" "1 1" "$(awk -v s=$start -v e=$end -v l=$last '{ a = $1 - 40 - s * 920 / l
        b = $2 - 40 - e * 920 / l; print (a * a <= 1), (b * b <= 1) }' <<<"$(/usr/bin/python3 -c 'import sys, zlib, struct
d = open(sys.argv[1], "rb").read(); w, h, depth, kind = struct.unpack(">IIBB", d[16:26]); n = {2: 3, 6: 4}[kind]
i, raw = 8, b""
while i < len(d): size, tag = struct.unpack(">I4s", d[i:i + 8]); raw += d[i + 8:i + 8 + size] if tag == b"IDAT" else b""; i += 12 + size
raw, rows, prev = zlib.decompress(raw), [], bytearray(w * n)
for y in range(136):
    f, line = raw[y * (w * n + 1)], bytearray(raw[y * (w * n + 1) + 1:(y + 1) * (w * n + 1)])
    for x in range(len(line)):
        a, b = line[x - n] if x >= n else 0, prev[x]; c = prev[x - n] if x >= n else 0
        p = a + b - c; pr = min((abs(p - a), a), (abs(p - b), b), (abs(p - c), c))[1]
        line[x] = (line[x] + [0, a, b, (a + b) // 2, pr][f]) & 255
    prev = line
red = [x for x in range(w) if tuple(prev[x * n:x * n + 3]) == (0xd6, 0x27, 0x28)]
print(red[0], red[-1] + 1)' c.png)")"
    # The report an operator reads first, of a log whose path has spaces, written by a program
    # started from "./": every run whole, by its count, on one host.
    mkdir "sp dir" && for n in 5 3; do (cd "$d" && ./qelvor 127.0.0.1 -n $n -p 100 -o "sp dir/x.log" >/dev/null); done
    LC_ALL=C "$QL" "sp dir/x.log" >report; check "report: status" 0 $?
    same "report: the text" report <<<"run 1: ./qelvor 127.0.0.1 -n 5 -p 100 -o sp dir/x.log
  date unknown (before YYYY-MM-DDTHH:MM:SS.mmm+00:00)
  started HH:MM:SS.mmm, lasted 0:00:00.4NN, ended: count
  sent 5, received 5, lost 0 (0.0 %)
run 2: ./qelvor 127.0.0.1 -n 3 -p 100 -o sp dir/x.log
  started YYYY-MM-DDTHH:MM:SS.mmm+00:00, lasted 0:00:00.2NN, ended: count
  sent 3, received 3, lost 0 (0.0 %)
all runs of 127.0.0.1: 2 run(s), 0 outage(s), the longest 0:00:00.000
  down 0:00:00.000 of 0:00:00.6NN watched, availability 100.000 %"
    # The legend names only what is drawn: no outage, none in compact output, both.
    "$QL" --svg - "sp dir/x.log" >x.svg
    check "SVG: the legend" "0 0|1 0|1 1" "$(for f in x c v; do echo $(grep -c '>down<' $f.svg) $(grep -c '>round trip (' $f.svg); done | paste -sd'|')"
    # The band's axis: four or more ticks at equal steps, each with its own time below its mark.
    tick='s/.*y2="\([0-9]*\)" stroke="#333333"\/><text x="\([0-9.]*\)" y="\([0-9]*\)"'
    check "SVG: the axis" 1 "$(sed -n "$tick"'.*">\([^<]*\)<.*/\2 \4 \1 \3/p' c.svg | awk '{
        d = $1 - x; ok += (NR < 3 || (d - step < 0.05 && step - d < 0.05)); step = d; x = $1
        ok -= (seen[$2]++ > 0 || $4 <= $3) } END { print (NR >= 4 && ok == NR) }')"
    # Read from standard input, its bins not sized by a first reading: the red span and area
    # (in pixels) as from the file, to one.
    "$QL" --svg - - <c.log >stdin.svg
    check "SVG from standard input: the red as from the file" 1 "$(paste -d' ' <(red c.svg) \
        <(red stdin.svg) | awk '{ print (($1 - $4) ^ 2 <= 1 && ($2 - $5) ^ 2 <= 1 && \
            ($3 - $6) ^ 2 <= 1) }')"
    # Forty logs read with 24 descriptors: each closed once read.
    mkdir many && for n in {1..40}; do cp c.log many/$n.log; done
    (ulimit -n 24 && exec "$QL" --csv runs --svg many.svg many/*.log >many.runs)
    check "40 logs, 24 descriptors: status, runs" "0 41" "$? $(wc -l <many.runs)"
    # A log path of a byte that is not UTF-8 and a 4-byte character: "?" for the byte only.
    p=$'\xff\xf0\x9f\x93\x88.log' && "$Q" 127.0.0.1 -n 1 -o "$p" >/dev/null
    check "SVG: a path not UTF-8" 1 "$("$QL" --svg - "$p" | grep -cF -- "-o ?"$'\xf0\x9f\x93\x88'".log<")"
    # A rotated set, the oldest part compressed as logrotate leaves it, read in the order written
    # whatever order the names come in; two hosts read together, each with its own totals.
    for n in 3 4 5; do
        (sleep 0.2 && silent 1 && sleep 0.3 && silent 0) & "$Q" 127.0.0.$((n - 2)) -n $n -p 300 -w 250 -o r.log >/dev/null; wait $!
        [[ $n == 5 ]] || { [[ -e r.log.1 ]] && mv r.log.1 r.log.2 && gzip r.log.2; mv r.log r.log.1; }
    done
    "$QL" --csv runs r.log r.log.1 r.log.2.gz >r.runs; check "rotated: status" 0 $?
    check "rotated, .gz first: runs in order, hosts" "1,3,127.0.0.1 2,4,127.0.0.2 3,5,127.0.0.3" \
        "$(tail -n +2 r.runs | awk -F, '{ print $1 "," $4 "," $9 }' | paste -sd' ')"
    check "rotated: outages as the logs' stamps" "$(oracle outages <(zcat r.log.2.gz) r.log.1 r.log | cut -d, -f2-7)" \
        "$("$QL" --csv outages r.log* | tail -n +2 | cut -d, -f2-7)"
    head -c -12 r.log.2.gz >cut.gz && status "a .gz cut short" 2 "$QL" cut.gz 2>err >/dev/null
    check "a .gz cut short: said" "qelvor-log: cut.gz: unexpected end of file" "$(head -n 1 err)"
    check "two hosts: totals of each" "all runs of 127.0.0.1: 1 run(s)|all runs of 127.0.0.2: 1 run(s)" \
        "$("$QL" r.log.2.gz r.log.1 | grep -o '^all runs of .*: 1 run(s)' | paste -sd'|')"
    # Nothing read is no figure; what could not be read, or was skipped, is in the status.
    : >empty.log && mkdir dir.log
    check "empty: no runs read, status" "no runs read 0" "$("$QL" empty.log) $?"
    check "a directory: no runs read, status" "no runs read 2" "$("$QL" dir.log 2>/dev/null) $?"
    head -c -9 c.log >torn.log && "$QL" torn.log >/dev/null 2>&1; check "a line cut short: status" 3 $?
    # What the reader writes never replaces what it reads.
    cp c.log c.keep && status "--svg on an input" 1 "$QL" --svg c.log c.log 2>err
    check "--svg on an input: the log kept, message" "qelvor-log: c.log: is also read; give --svg another file" "$(cmp c.log c.keep && cat err)"
    status "no such file" 2 "$QL" nothing.log 2>err >/dev/null && same "no such file: message" err <<<"qelvor-log: nothing.log: No such file or directory"
    status "unknown option" 1 "$QL" --tables 2>err && check "unknown option: usage text" "usage: qelvor-log" "$(head -c 17 err)"
    check "empty input: the header row, status" "run,request,time_ms,outcome,rtt_ms,time_iso 0" "$("$QL" --csv requests </dev/null) $?"
}

# dates LOG...: "ended start_iso end_iso" of each run, as --csv runs gives them.
dates() { "$QL" --csv runs "$@" | tail -n +2 | awk -F, '{ print $8, $14, $15 }'; }

group_dates() {
    # Runs dated from their file's last write and their own stamps. The
    # watcher and the reader share a zone of +05:30; the -T stamps are local.
    export TZ=Asia/Kolkata
    # Elapsed stamps: the run ends at the file's last write.
    "$Q" 127.0.0.1 -n 3 -p 100 -o e.log >/dev/null && touch -d '2026-03-01T12:00:00+05:30' e.log
    read -r ended start end < <(dates e.log)
    check "elapsed: ends at the file's time, starts as long before" "count 2026-03-01T12:00:00.000+05:30 \
$(date -d "@$(awk -F, 'NR == 2 { printf "%.3f", 1772346600 - $11 / 1000 }' <("$QL" --csv runs e.log))" +%FT%T.%3N%:z)" \
        "$ended $end $start"
    # -T, the file moved to another day at the same time of day: that day, the stamps' time;
    # an hour off (a copy, a zone changed), no date and why.
    "$Q" 127.0.0.1 -T -n 3 -p 100 -o t.log >/dev/null && cp -p t.log h.log
    first=$(grep -oEm1 '^[0-9]{2}:[0-9:.]+' t.log)
    touch -d "2026-03-01 $(date -r t.log +%T.%N)" t.log && touch -d "$(date -r h.log) + 1 hour" h.log
    check "-T on another day: that day, the stamps' time" "count 2026-03-01T$first+05:30" "$(dates t.log | cut -d' ' -f1,2)"
    check "-T an hour off: no date, why" "count  |date unknown (the time of day of its stamps does not match" \
        "$(dates h.log)|$("$QL" h.log | grep -o 'date unknown (the time of day of its stamps does not match')"
    # A corrupt lost line that puts the last reply 2.7 million years back: no date, and the
    # figures by day and the picture come at once, not a row for each of those days.
    printf '%s\r\n' "$Q 127.0.0.1 -p 1000 -w 1000 -o old.log " '' \
        '00:00:00.000 [1] reply from 127.0.0.1 ; rtt 0 ms.' '00:00:01.000 [2] no reply.' \
        '00:00:05.000 [3] reply from 127.0.0.1 ; rtt 0 ms.' \
        '    1 request(s) have been lost since the last reply 86400000000005000 ms ago.' >old.log
    check "a start before 1970: no date, why; by day; the picture" \
        "date unknown (its length puts its start before 1970)|note: 1 run(s) left out|1" \
        "$("$QL" old.log | grep -o 'date unknown.*')|$(timeout 60 "$QL" --by day old.log |
            grep -o '.*left out')|$(timeout 60 "$QL" --svg - old.log | grep -c '</svg>')"
    # Three runs in one file: the first (elapsed) only bounded by the second's start; the second
    # (-T) dated where the file's creation leaves it one day (not every file system tells it).
    for t in "" -T -T; do "$Q" 127.0.0.1 $t -n 3 -p 100 -o three.log >/dev/null; done
    mapfile -t runs < <(dates three.log)
    read -r _ second _ <<<"${runs[1]}" && read -r _ third _ <<<"${runs[2]}"
    stamp=$(grep -oE '^[0-9]{2}:[0-9:.]+ \[1\]' three.log | sed -n '2s/ .*//p')
    [[ $(stat -c %W three.log) == 0 ]] && stamp= || stamp="$(date +%F)T$stamp+05:30"
    check "three runs: the first bounded, the second by the file's creation" \
        "date unknown (before ${stamp:-$third})|count  |$stamp" \
        "$("$QL" three.log | grep -o 'date unknown (before .*')|${runs[0]}|$second"
    # A log its watcher holds: running, ending now.
    start live "$Q" 127.0.0.1 -n 0 -p 100 && sleep 1.5
    read -r ended start end < <(dates live.log)
    check "held: running, ends now (to 2 s)" "running 1" "$ended $(($(date +%s) - $(date -d "$end" +%s) <= 2))"
    kill -INT $pid && reap $pid >/dev/null

    # Generated watches of a week (a 3-hour outage, a drop each night at 02:00) and of a month
    # across a change of the clocks, at -p 1000: per day, the figures of --by day and the red
    # share of the picture's row are those of the log (red within 1 percentage point).
    gen="/usr/bin/python3 $here/long_log.py" share="/usr/bin/python3 $here/red_share.py"
    $gen week.log "$(date -d '2026-03-02 07:30' +%s)" 7 3600+10800 20000+300 100000+60 257400+3600 \
        $(for n in {0..6}; do echo $((n * 86400 + 66600))+180; done) >week.truth
    month=$(for n in {0..30}; do echo $((n * 86400 + n * 7919 % 80000 + 100))+$((n * 37 % 600 + 1)); done)
    TZ=Europe/Berlin $gen month.log "$(TZ=Europe/Berlin date -d '2026-03-10 13:20' +%s)" 31 $month >month.truth
    for w in week month; do
        [[ $w == month ]] && export TZ=Europe/Berlin
        "$QL" --by day $w.log | awk 'function ms(t, p) { split(t, p, ":"); return ((p[1] * 60 + p[2]) * 60 + p[3]) * 1000 }
            NR > 2 { print $1, $3, $4, ms($5), ms($6) }' >$w.by
        check "$w: --by day as the log" "$(cat $w.truth)" "$(cat $w.by)"
        "$QL" --svg - $w.log >$w.svg && rsvg-convert $w.svg -o $w.png || fail "$w: --svg - | rsvg-convert"
        check "$w: the red share of each day's row, to 1 point" "$(awk '{ print $1, 1 }' $w.truth)" \
            "$(paste -d' ' $w.truth <($share $w.svg $w.png) | awk '{ d = ($5 ? 100 * $4 / $5 : 0) - $7; print $1, d * d < 1 }')"
    done
    export TZ=Asia/Kolkata
    # The 3-hour outage: a red block from 08:30 (325.8 px) to 11:30 (440.8 px) on its day, whole
    # pixels 326 to 439, and labelled.
    red=$($share week.svg week.png 2026-03-02 | awk '/^x=/ { for (i = 2; i <= NF; ++i) if ($i > 0.95) { s = s ? s : i - 2; e = i - 2 } else if (s) break
        print s, e }')
    check "week: the long outage, its block and its label" "326 439 1" "$red $(grep -c '>08:30 3:00:00<' week.svg)"
    # Every outage of a minute or more is solid, the band's height: the minute at 11:16:40 too.
    check "week: outages of a minute or more drawn solid" "11 1 1" \
        "$(grep -c 'height="18" fill="#d62728"' week.svg) $(grep -c '>11:16 0:01:00<' week.svg
        ) $(grep -c '<rect x="552.315" y="98" width="0.639" height="18"' week.svg)"
    # Read from standard input, undated: one band, its bins widened as the run grows. A solid
    # outage, then short ones far apart: the red area is their 145 s in pixels.
    $gen short.log "$(date -d '2026-03-02 00:00' +%s)" 0.5 300+90 600+20 20000+30 40000+5 >/dev/null
    check "outages read from standard input: the red area" 1 "$("$QL" --svg - - <short.log |
        red | awk '{ d = $3 - 145000 * 920 / 43199000; print (d * d < 0.0025) }')"
    # Two hosts: a heading and rows of days each.
    sed 's/127\.0\.0\.1/127.0.0.2/g' week.log >week2.log && touch -r week.log week2.log
    "$QL" --svg - week.log week2.log >hosts.svg
    check "two hosts: a heading each, their days" "1 1 16" \
        "$(grep -c '>127.0.0.1</text>' hosts.svg) $(grep -c '>127.0.0.2</text>' hosts.svg) $(grep -c 'data-day=' hosts.svg)"
    check "week: --by hour, the hour outage split from its neighbours" \
        "2026-03-05T06:00+05:30 0 0:00:00.000|2026-03-05T07:00+05:30 1 1:00:00.000|2026-03-05T08:00+05:30 0 0:00:00.000" \
        "$("$QL" --by hour --since 2026-03-05T06:00 --until 2026-03-05T09:00 week.log | awk 'NR > 2 { print $1, $3, $4 }' | paste -sd'|')"
    # Reports without requests hold a file's outages until its end (in a temporary file past
    # 16384), others (the picture's round trips) read it twice; both tell the same, also of a run cut in two by a rotation
    # (its date from the first part) and of the last one, still running.
    $gen flaps.log "$(date -d '2026-03-02 00:00' +%s)" 5 $(for n in {1..20000}; do echo $((n * 20))+1; done) >/dev/null
    head -c 300000 week.log >cut.1 && tail -c +300001 week.log >cut.2 && touch -r week.log cut.2
    touch -d "$(date -r week.log) - 3 days" cut.1
    start held "$Q" 127.0.0.1 -n 0 -p 100 -T && sleep 1.5 && kill -STOP $pid  # held, not growing
    for set in flaps.log "cut.1 cut.2" "three.log held.log"; do
        check "$set: held to the end of each file, or read twice" "$("$QL" --csv outages --svg twice.svg $set |
            md5sum) $("$QL" --csv runs --svg twice.svg $set | cut -d, -f1-8,14 | md5sum)" \
            "$("$QL" --csv outages $set | md5sum) $("$QL" --csv runs $set | cut -d, -f1-8,14 | md5sum)"
    done
    check "flaps: 20000 outages; held: running" "20000 running" \
        "$("$QL" --csv outages flaps.log | grep -c ',1000,1,') $(dates held.log | cut -d' ' -f1)"
    kill -CONT $pid && kill -INT $pid && reap $pid >/dev/null
    # A window cuts the outages at its edges; the JSON holds the facts of the CSV.
    check "--since, --until: outages cut" "2026-03-02T10:00:00.000+05:30,2026-03-02T11:30:00.000+05:30 \
2026-03-05T07:00:00.000+05:30,2026-03-05T07:30:00.000+05:30" \
        "$("$QL" --csv outages --since 2026-03-02T10:00 --until '2026-03-05 07:30' week.log | sed -n '2p;$p' | cut -d, -f10,11 | paste -sd' ')"
    check "--since, --until: the requests inside, to the one sent at the start" "250200" \
        "$("$QL" --csv runs --since 2026-03-02T10:00 --until '2026-03-05 07:30' week.log | sed -n 2p | cut -d, -f4)"
    check "dated outages in the report; --by leaves out a run without a date" \
        "  outage  start                         end                           down         requests    lost|note: 1 run(s) left out: their date is unknown (see the report)" \
        "$("$QL" week.log | grep '^  outage')|$("$QL" --by day three.log | tail -n 1)"
    printf 'q 127.0.0.1 -o \303\251\377"\\.log \r\n\r\n00:00:00.000 [1] reply from 127.0.0.1 ; rtt 0 ms.\r\n' >odd.log
    check "--json: a command with UTF-8, a byte that is not, a quote, a backslash" 'q 127.0.0.1 -o é?"\.log' \
        "$("$QL" --json odd.log | /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["runs"][0]["command"])')"
    check "--json: the outages of the CSV" "$("$QL" --csv outages week.log | tail -n +2 | cut -d, -f2-7,9-)" \
        "$("$QL" --json week.log | /usr/bin/python3 -c 'import json, sys
for o in json.load(sys.stdin)["runs"][0]["outages"]:
    print(",".join(str(o[k]) for k in ("first_request last_request start_ms end_ms duration_ms lost last_reply_ms "
                                           "start_iso end_iso").split()))')"
}

# metric NAME [LABELS]: its value in m.prom, empty when it has no sample.
metric() { sed -n "s/^$1{host=\"${2:-127.0.0.1}\"} //p" m.prom; }
# eventually NAME EXPECTED COMMAND...: checks what the command prints once
# it prints that, or after 10 s.
eventually() {
    for ((i = 0; i < 100; ++i)); do [[ $("${@:3}") == "$2" ]] && break; sleep 0.1; done
    check "$1" "$2" "$("${@:3}")"
}
# until_seen FILE PATTERN COUNT: waits at most 10 s for that many lines.
until_seen() {
    for ((i = 0; i < 100; ++i)); do
        [[ $(grep -c -- "$2" "$1" 2>/dev/null) == "$3" ]] && return; sleep 0.1
    done
    fail "follow: not $3 '$2' in $1 within 10 s"
}

group_follow() {
    # Followed from before the log exists; the log is rotated between two
    # runs, the second starting in an outage. Each change must show while
    # its run goes on; the hooks, slow and failing, run in order of the
    # changes. A link planted at the metrics file's temporary name is
    # never written through.
    echo keep >victim && ln -s victim m.prom.tmp
    (umask 077 && exec "$QL" --follow f.log --metrics m.prom --on-change "exec >>$d/hooks
        printf '%s fds ' \"\$(env | sort | paste -sd' ' |
            grep -Eo 'QELVOR_(STATE|HOST|REQUEST|TIME_MS|DOWN_MS|SEQ|LOG|CLOCK)=[^ ]*' | paste -sd' ')\"
        ls -m /proc/\$\$/fd
        echo \$QELVOR_WALLTIME |
            grep -Eqx '20[0-9-]{8}T[0-9:]{8}[.][0-9]{3}[+-][0-9]{2}:[0-9]{2}' || echo bad time
        sleep 0.2; exit 3" >follow.out 2>follow.err 9>&-) & follower=$!
    for r in 1 2; do
        [[ $r == 2 ]] && mv f.log f.log.1 && silent 1
        start f "$Q" 127.0.0.1 -n 0 -p 100 -w 200 && sleep 0.5 && silent 1 &&
            until_seen follow.out '127.0.0.1 down' $r && silent 0 &&
            until_seen follow.out ' up after ' $r
        [[ $r == 2 ]] && eventually "follow: running" 1 metric qelvor_running
        kill -INT $pid && reap $pid >/dev/null
    done
    until_seen hooks . 5 && sleep 0.5
    ms() { printf '%02d:%02d:%02d.%03d' $(($1 / 3600000)) $(($1 / 60000 % 60)) $(($1 / 1000 % 60)) \
        $(($1 % 1000)); }
    echo "00:00:00.000 127.0.0.1 up (run 1, request 1)" >changes
    hook() { echo "QELVOR_CLOCK=elapsed ${1}QELVOR_HOST=127.0.0.1 QELVOR_LOG=f.log" \
        "QELVOR_REQUEST=$2 QELVOR_SEQ=$3" \
        "QELVOR_STATE=$4 QELVOR_TIME_MS=$5 fds 0, 1, 2"; }
    hook "" 1 1 up 0 >hooks.expected
    seq=1 && while IFS=, read -r run first last start end down lost; do
        echo "$(ms $start) 127.0.0.1 down (run $run, request $first)" >>changes
        echo "$(ms $end) 127.0.0.1 up after $(ms $down | cut -c2-) down (run $run," \
            "request $((last + 1)))" >>changes
        hook "" $first $((++seq)) down $start
        hook "QELVOR_DOWN_MS=$down " $((last + 1)) $((++seq)) up $end
    done < <(oracle outages f.log.1 f.log) >>hooks.expected
    check "follow: the changes, each at its local time" "$(cat changes)" \
        "$(sed -E 's/ at 20[0-9-]{8}T[0-9:]{8}[.][0-9]{3}[+-][0-9]{2}:[0-9]{2}$//' follow.out)"
    check "follow: hooks, in order" "$(cat hooks.expected)" "$(cat hooks)"
    check "follow: the last change and reply within the last minute, in seconds" "1 1" "$(for m in \
        change reply; do metric qelvor_last_${m}_timestamp_seconds; done | awk -v now=$(date +%s) \
        '{ printf "%s%d", (NR > 1 ? " " : ""), ($1 > now - 60 && $1 <= now + 1) }')"
    # promtool comes with tools/install-deps --ci only; CI must have it.
    ! command -v promtool >/dev/null || promtool check metrics <m.prom || fail "promtool"
    counts=$(summaries f.log.1 f.log | awk -F, '{ s += $2; r += $3 } END { print s, r }')
    down=$(oracle outages f.log.1 f.log | awk -F, '{ s += $6 } END { printf "%.3f", s / 1000 }')
    figures() {
        echo "$(grep -E '^qelvor_(up|running|[a-z_]+_total)\{' m.prom | cut -d' ' -f2 | paste -sd' ')" \
            "$(cat follow.err) $(cat victim) $(stat -c %A m.prom)"
    }
    eventually "follow: metrics, stderr, the planted link" "1 0 $counts 2 $down  keep -rw-r--r--" figures

    # Restarted after a rotation, the new log holding an outage: the new
    # follower counts from zero and tells no change it did not see. Then a
    # run stopped while a request waits for its reply: the requests counted
    # are the summary's Sent.
    mv f.log f.log.2 && start f "$Q" 127.0.0.1 -n 0 -p 100 -w 200 &&
        sleep 0.3 && silent 1 && sleep 0.6 && silent 0
    until_seen f.log '\[[0-9]*\] reply' 2 && sleep 1.2 && kill $follower
    "$QL" --follow f.log --metrics m.prom >follow.out 2>&1 & follower=$!
    restarted() {
        echo "$(metric qelvor_up) $(metric qelvor_running) $(metric qelvor_outages_total)" \
            "$(metric qelvor_down_seconds_total) $(metric qelvor_last_change_timestamp_seconds)" \
            "$(cat follow.out)"
    }
    eventually "follow: restarted, no phantom down time" "1 1 0 0.000  " restarted
    kill -INT $pid && reap $pid >/dev/null
    eventually "follow: the run ended" 0 metric qelvor_running
    before=$(metric qelvor_requests_total) && mv f.log f.log.3
    start f "$Q" 127.0.0.1 -n 0 -p 100 -w 1000 && sleep 0.5 && silent 1 && sleep 0.5
    kill -INT $pid && reap $pid >/dev/null
    IFS=, read -r _ sent _ < <(summaries f.log)
    counted() { echo "$(($(metric qelvor_requests_total) - before)) $(metric qelvor_running)"; }
    eventually "follow: stopped while a request waits, counted as its summary" "$sent 0" counted
    kill $follower && wait $follower
}

# A verbose log's line of request N (stamped N-1 tenths of a second in):
# reply or none.
outcome() {
    printf '00:00:%02d.%d00 [%d] %s\r\n' $((($1 - 1) / 10 % 60)) $((($1 - 1) % 10)) $1 \
        "$([[ $2 == up ]] && echo 'reply from 127.0.0.1 ; rtt 1 ms.' || echo 'no reply.')"
}
# by_turns I: down or up, by turns.
by_turns() { (($1 % 2)) && echo up || echo down; }
header() { printf '/usr/bin/qelvor %s -a -n 0 -p 100 -w 100 -o %s \r\n' "$1" "$2"; }

group_follow_logs() {
    # Logs written here, read by a follower started after their header:
    # bursts of changes, each burst's hooks in order, the slow down hooks
    # too; then more changes at once than the hooks may wait.
    { header 127.0.0.1 f.log && outcome 1 up; } >f.log
    "$QL" --follow f.log --metrics m.prom --on-change "exec >>$d/hooks
        echo \$QELVOR_SEQ \$QELVOR_STATE \$QELVOR_REQUEST
        [ \$QELVOR_STATE = up ] || sleep 0.01" >follow.out 2>follow.err & follower=$!
    until_seen m.prom '^qelvor_up{' 1
    for ((b = 0, n = 1, s = 0; b < 100; ++b)); do
        for ((i = 0; i < 6; ++i)); do
            outcome $((++n)) $(by_turns $i) >&3 && echo "$((++s)) $(by_turns $i) $n"
        done 3>>f.log >>hooks.expected
        sleep 0.06
    done
    until_seen hooks . 600
    six() { paste -d, - - - - - - <"$1"; }
    check "follow: bursts whose hooks ran in order" 100 \
        "$(paste -d'|' <(six hooks.expected) <(six hooks) | awk -F'|' '$1 == $2' | wc -l)"
    for ((i = 0; i < 150; ++i)); do
        outcome $((++n)) $(by_turns $i) >&3 && echo "$((++s)) $(by_turns $i) $n"
    done 3>burst >>hooks.expected
    cat burst >>f.log && until_seen hooks . 700
    check "follow: 150 changes at once: the oldest 50 hooks dropped and said, the last state last" \
        "50 $(sed -n '651,$p' hooks.expected | paste -sd,)" \
        "$(grep -c 'oldest waiting.*dropped' follow.err) $(sed -n '601,$p' hooks | paste -sd,)"

    # A file with history put at the path (a restore) sets the state only;
    # then one cut by a copytruncate and written past its old size is read
    # again from its start.
    shown=$(wc -l <follow.out) && requests=$(metric qelvor_requests_total)
    { header 127.0.0.1 h.log && outcome 1 up && outcome 2 down && outcome 3 down; } >h.log
    mv h.log f.log
    restored() { echo "$(wc -l <follow.out) $(wc -l <hooks) $(metric qelvor_requests_total)" \
        "$(metric qelvor_up)"; }
    sleep 0.5 && eventually "follow: restored history: no line, no hook, counts kept, its state" \
        "$shown 700 $requests 0" restored
    for ((i = 4; i < 60; ++i)); do outcome $i down; done >>f.log && sleep 0.5
    { outcome 60 up && for ((i = 61; i < 130; ++i)); do outcome $i up; done; } >cut && cp cut f.log
    until_seen follow.out 'up after .* request 60)' 1

    # A log nobody else may read: said once, and again when it can be read.
    { header 127.0.0.1 f.log && outcome 1 up; } >secret.log && chmod 600 secret.log
    "${nobody[@]}" "$QL" --follow secret.log >/dev/null 2>secret.err & reader=$!
    sleep 1 && chmod 644 secret.log && sleep 0.5 && kill $reader
    check "follow: unreadable, said once, then read" "qelvor-log: secret.log: Permission denied
qelvor-log: secret.log: read again" "$(cat secret.err)"

    # A folder: every *.log in it, one appearing later; two logs of one host
    # are told apart by their path. A folder removed is said once.
    mkdir logs gone && for l in a:127.0.0.1 b:127.0.0.1 c:127.0.0.2; do
        { header ${l#*:} logs/${l%:*}.log && outcome 1 up; } >logs/${l%:*}.log
    done
    kill $follower && wait $follower
    "$QL" --follow logs gone --metrics m.prom >folder.out 2>follow.err & follower=$!
    sleep 0.5 && rmdir gone && { header 127.0.0.3 d.log && outcome 1 down; } >logs/d.log
    folder() { echo "$(grep ^qelvor_up m.prom | sort)$(cat follow.err)"; }
    eventually "follow: a folder's logs" 'qelvor_up{host="127.0.0.1",log="logs/a.log"} 1
qelvor_up{host="127.0.0.1",log="logs/b.log"} 1
qelvor_up{host="127.0.0.2"} 1
qelvor_up{host="127.0.0.3"} 0qelvor-log: gone: No such file or directory' folder
    ! command -v promtool >/dev/null || promtool check metrics <m.prom || fail "promtool: a folder"
    # A change is told at once, into a file too, with no hook to run.
    outcome 2 down >>logs/a.log && until_seen folder.out ' down (run 1, request 2)' 1
    kill $follower && wait $follower

    # A -T run followed as it is written: its change at the calendar time its stamp gives (stamps
    # of now, in TZ's zone), and QELVOR_CLOCK tells what QELVOR_TIME_MS counts from.
    stamp=$(TZ=UTC date +%H:%M:%S) day=$(TZ=UTC date +%F)
    printf '/usr/bin/qelvor 127.0.0.1 -T -a -n 0 -o t.log \r\n%s.000 [1] reply from 127.0.0.1 ; rtt 1 ms.\r\n' \
        "$stamp" >t.log
    TZ=UTC "$QL" --follow t.log --on-change "echo \$QELVOR_CLOCK \$QELVOR_WALLTIME >>$d/t.hooks" >t.out &
    follower=$! && sleep 0.2 && printf '%s.100 [2] no reply.\r\n' "$stamp" >>t.log
    until_seen t.hooks . 1 && kill $follower && wait $follower
    check "follow: a -T run's change at the time its stamp gives" "$stamp.100 127.0.0.1 down (run 1, \
request 2) at ${day}T$stamp.100+00:00 time_of_day ${day}T$stamp.100+00:00" "$(cat t.out t.hooks | paste -sd" ")"
}

# receiver PORT FILE: a webhook receiver for Alertmanager, one line per
# alert received: "firing|resolved ALERTNAME HOST". Run in the background, it
# is the python process itself, so that ending the job ends it.
receiver() {
    exec /usr/bin/python3 -c 'import http.server, json, sys
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        with open(sys.argv[2], "a") as out:
            for a in body["alerts"]:
                print(a["status"], a["labels"]["alertname"], a["labels"].get("host", ""), file=out)
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args): pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Hook).serve_forever()' "$@"
}
# query PROMQL: the values of the result, as Prometheus answers now.
query() {
    /usr/bin/python3 -c 'import json, sys, urllib.request, urllib.parse
url = "http://127.0.0.1:9090/api/v1/query?query=" + urllib.parse.quote(sys.argv[1])
try: r = json.load(urllib.request.urlopen(url))
except OSError: r = {"data": {"result": []}}
print(" ".join(s["value"][1] for s in r["data"]["result"]))' "$1"
}

group_monitoring() {
    # The chain an operator runs, from Debian's packages, on this namespace's
    # 127.0.0.1: qelvor watching a host in a namespace of its own, the
    # follower writing into node_exporter's textfile folder, Prometheus with
    # the example rules (their "for" shortened to 2 s, scraping every
    # second) and Alertmanager posting to a receiver here.
    unshare -n sleep 300 & host=$!
    sleep 0.2 && ip link add qa type veth peer name qb netns $host && ip link set qa up &&
        ip addr add 192.0.2.1/24 dev qa && nsenter -t $host -n sh -c 'ip link set lo up &&
        ip link set qb up && ip addr add 192.0.2.2/24 dev qb' || fail "a host in a namespace"
    # Made before anything runs in the background: the watcher's log goes there.
    mkdir logs textfiles && : >alerts
    receiver 9095 alerts &
    sed -E 's/^( +for:).*/\1 2s/' "$sources/data/examples/qelvor-alerts.yml" >rules.yml
    echo "global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: [rules.yml]
alerting: {alertmanagers: [{static_configs: [{targets: ['127.0.0.1:9093']}]}]}
scrape_configs: [{job_name: node, static_configs: [{targets: ['127.0.0.1:9100']}]}]" >prometheus.yml
    echo "route: {receiver: hook, group_by: [alertname, host], group_wait: 0s, group_interval: 1s}
receivers:
  - name: hook
    webhook_configs: [{url: 'http://127.0.0.1:9095/', send_resolved: true}]" >alertmanager.yml
    prometheus-alertmanager --config.file=alertmanager.yml --storage.path=am \
        --cluster.listen-address= --web.listen-address=127.0.0.1:9093 2>am.log &
    prometheus-node-exporter --web.listen-address=127.0.0.1:9100 --collector.disable-defaults \
        --collector.textfile --collector.textfile.directory=textfiles 2>node.log &
    prometheus --config.file=prometheus.yml --storage.tsdb.path=tsdb \
        --web.listen-address=127.0.0.1:9090 --rules.alert.resend-delay=1s 2>prometheus.log &
    start logs/192.0.2.2 "$Q" 192.0.2.2 -T -n 0 -p 200 -w 300 && watcher=$pid
    "$QL" --follow logs --metrics textfiles/qelvor.prom >follow.out & follower=$!
    # alert LINE: waits at most 60 s for the receiver to have had it.
    alert() {
        for ((i = 0; i < 300; ++i)); do grep -qx "$1" alerts && return; sleep 0.2; done
        fail "monitoring: no \"$1\" within 60 s: $(paste -sd'|' alerts)"
    }
    eventually "monitoring: the host up, as Prometheus has it" 1 query 'qelvor_up{host="192.0.2.2"}'
    down=$SECONDS && nsenter -t $host -n ip link set qb down
    alert "firing QelvorHostDown 192.0.2.2"
    check "monitoring: down at least the rule's 2 s before it fired" 1 $((SECONDS - down >= 2))
    nsenter -t $host -n ip link set qb up && alert "resolved QelvorHostDown 192.0.2.2"
    kill -INT $watcher && reap $watcher >/dev/null
    alert "firing QelvorWatcherGone 192.0.2.2"
    kill $(jobs -p) 2>/dev/null && wait
}

case $group in
    socket | log | signals | privileges | reader | dates | follow | follow_logs | monitoring)
        group_$group ;;
    *) fail "no group $group" ;;
esac
((fails == 0)) || exit 1
