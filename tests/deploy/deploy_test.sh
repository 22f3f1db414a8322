#!/bin/bash
# qelvor as it is deployed, one case per run:
#   deploy_test.sh <case> <qelvor> <build dir> <source dir> <hold_ping_identifier>
#
# Every qelvor runs in a network namespace of its own (unshare --net), with
# only loopback up and its own net.ipv4.ping_group_range, and is pointed at
# 127.0.0.1. The namespace goes away with the process, also on failure.
# Exit status: 0 passed, 1 failed, 77 skipped (not root, outside CI).
set -u

case_name=$1
qelvor=$2
build_dir=$3
source_dir=$4
holder=$5

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
ping_nobody="1 0"              # no group may open a ping socket
ping_everyone="0 2147483647"   # every group may
failures=0
scratch=

package_installed_here=false
remove_package() {
    if $package_installed_here; then
        dpkg -r qelvor >/dev/null || fail "dpkg -r qelvor"
        package_installed_here=false
    fi
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

skip_or_fail() {
    if [[ ${CI:-} == true ]]; then
        echo "FAIL: $* (not skipped, as CI=true)"
        exit 1
    fi
    echo "SKIP: $*"
    exit 77
}

finish() {
    remove_package
    [[ -n $scratch ]] && rm -rf "$scratch"
    if ((failures > 0)); then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "passed"
    exit 0
}

need_root() {
    ((EUID == 0)) || skip_or_fail "needs root for network namespaces"
    local tool
    for tool in unshare setpriv ip sysctl timeout "$@"; do
        command -v "$tool" >/dev/null || skip_or_fail "needs $tool"
    done
}

# A scratch folder that user nobody can reach and where set-user-ID and
# file capabilities take effect (not on a nosuid mount).
make_scratch() {
    local base
    for base in /tmp /var/tmp "$build_dir"; do
        [[ -d $base ]] || continue
        findmnt -n -o OPTIONS -T "$base" 2>/dev/null | grep -qw nosuid && continue
        scratch=$(mktemp -d "$base/qelvor-deploy.XXXXXX") || continue
        chmod 755 "$scratch"
        if "${nobody[@]}" test -x "$scratch"; then return 0; fi
        rm -rf "$scratch"
        scratch=
    done
    fail "no folder both reachable by nobody and mounted without nosuid"
    finish
}

# For the cases that run no qelvor.
make_plain_scratch() {
    scratch=$(mktemp -d) || {
        fail "mktemp -d"
        finish
    }
}

# in_netns <ping_group_range> <script> [args...]: runs script with bash as
# root in a fresh network namespace; the script gets args as "$@".
in_netns() {
    local range=$1 script=$2
    shift 2
    timeout 60 unshare --net -- bash -c '
        ip link set lo up || exit 98
        sysctl -qw net.ipv4.ping_group_range="$1" || exit 99
        shift
        '"$script" in_netns "$range" "$@"
}

# The parts of a run that change from one run to the next: stamps, rtt.
mask() {
    sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[/hh:mm:ss.mmm [/;
            s/; rtt [0-9]+ ms\./; rtt N ms./'
}

# expect_text <what> <expected> <file>
expect_text() {
    if ! diff -u <(printf '%s' "$2") "$3" >"$scratch/diff"; then
        fail "$1:"
        cat "$scratch/diff"
    fi
}

# expect_status <what> <expected> <actual>
expect_status() {
    [[ $3 == "$2" ]] || fail "$1: exit status $3, expected $2"
}

summary() {
    printf '\nqelvor statistics\n    Packets: Sent = %s, Received = %s, Lost = %s (%s %%)\n' "$@"
}

# The copy of qelvor the user nobody runs.
copy_qelvor() {
    cp "$qelvor" "$scratch/qelvor"
    chown root:root "$scratch/qelvor"
    chmod 755 "$scratch/qelvor"
}

# Without privileges and without the ping socket, the raw socket's refusal
# is what the user sees, and the run still ends normally.
case_ping_socket_refused() {
    need_root
    make_scratch
    copy_qelvor
    in_netns "$ping_nobody" 'exec "$@"' "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 -n 3 -p 100 \
        >"$scratch/out" 2>"$scratch/err"
    expect_status "ping socket refused" 0 $?
    expect_text "ping socket refused, stdout" \
        "socket function failed with error 10013
$(summary 0 0 0 0.0)
" "$scratch/out"
    expect_text "ping socket refused, stderr" "" "$scratch/err"
}

# Through the ping socket, as nobody, the output is the raw socket's, line
# for line, once the timing figures are masked.
case_ping_socket_output() {
    need_root
    make_scratch
    copy_qelvor
    local stamp="hh:mm:ss.mmm" reply="reply from 127.0.0.1 ; rtt N ms."
    local -a names=(compact verbose)
    local -a arguments=("-n 3 -p 100" "-a -n 3 -p 100")
    local -a expected=(
        "
$stamp [1] $reply
!!
qelvor statistics
    Packets: Sent = 3, Received = 3, Lost = 0 (0.0 %)
"
        "$stamp [1] $reply
$stamp [2] $reply
$stamp [3] $reply

qelvor statistics
    Packets: Sent = 3, Received = 3, Lost = 0 (0.0 %)
")
    local i status
    for i in "${!names[@]}"; do
        # shellcheck disable=SC2086 # the arguments are words
        in_netns "$ping_nobody" 'exec "$@"' "$scratch/qelvor" 127.0.0.1 ${arguments[i]} \
            >"$scratch/raw"
        expect_status "${names[i]}, raw socket as root" 0 $?
        # shellcheck disable=SC2086
        in_netns "$ping_everyone" 'exec "$@"' "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 \
            ${arguments[i]} >"$scratch/ping" 2>"$scratch/err"
        status=$?
        expect_status "${names[i]}, ping socket as nobody" 0 $status
        mask <"$scratch/raw" >"$scratch/raw.masked"
        mask <"$scratch/ping" >"$scratch/ping.masked"
        expect_text "${names[i]}, raw socket as root" "${expected[i]}" "$scratch/raw.masked"
        expect_text "${names[i]}, ping socket as nobody, against the raw socket's" \
            "$(cat "$scratch/raw.masked")
" "$scratch/ping.masked"
        expect_text "${names[i]}, ping socket as nobody, stderr" "" "$scratch/err"
    done
}

# Another ping socket holds the identifier qelvor asks for (its process
# ID): the kernel's pick must be used for the requests, or no reply would
# ever match them.
case_ping_identifier_taken() {
    need_root
    make_scratch
    copy_qelvor
    in_netns "$ping_everyone" 'exec "$@"' "$holder" "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 \
        -n 3 -p 100 >"$scratch/out" 2>"$scratch/err"
    expect_status "identifier taken" 0 $?
    expect_text "identifier taken, stderr" "" "$scratch/err"
    mask <"$scratch/out" >"$scratch/out.masked"
    expect_text "identifier taken" "
hh:mm:ss.mmm [1] reply from 127.0.0.1 ; rtt N ms.
!!
qelvor statistics
    Packets: Sent = 3, Received = 3, Lost = 0 (0.0 %)
" "$scratch/out.masked"
}

# check_raised_copy <what>: $scratch/qelvor carries privileges; run by
# nobody where the ping socket is refused, it must get replies through the
# raw socket, give up every privilege before it opens the log, and open it
# with nobody's rights.
check_raised_copy() {
    local what=$1
    rm -rf "$scratch/open" "$scratch/closed"
    mkdir -m 1777 "$scratch/open"
    mkdir -m 700 "$scratch/closed"

    # The log is opened after the drop, so once it exists the process
    # shows what it runs with for the rest of the run.
    in_netns "$ping_nobody" '
        log=$1 status=$2
        shift 2
        "$@" &
        pid=$!
        for ((i = 0; i < 100; ++i)); do
            [[ -e $log ]] && break
            sleep 0.02
        done
        cat /proc/$pid/status >"$status"
        wait $pid' "$scratch/open/log.txt" "$scratch/proc_status" \
        "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 -n 3 -p 500 -o "$scratch/open/log.txt" \
        >"$scratch/out" 2>"$scratch/err"
    expect_status "$what" 0 $?
    mask <"$scratch/out" >"$scratch/out.masked"
    expect_text "$what, stdout" "
hh:mm:ss.mmm [1] reply from 127.0.0.1 ; rtt N ms.
!!
qelvor statistics
    Packets: Sent = 3, Received = 3, Lost = 0 (0.0 %)
" "$scratch/out.masked"
    expect_text "$what, stderr" "" "$scratch/err"

    local field
    for field in Uid Gid; do
        grep -qP "^$field:\t65534\t65534\t65534\t65534$" "$scratch/proc_status" ||
            fail "$what: $(grep "^$field:" "$scratch/proc_status"), expected 65534 four times"
    done
    for field in CapInh CapPrm CapEff CapAmb; do
        grep -qP "^$field:\t0+$" "$scratch/proc_status" ||
            fail "$what: $(grep "^$field:" "$scratch/proc_status"), expected none"
    done
    [[ $(stat -c %u:%g "$scratch/open/log.txt" 2>&1) == 65534:65534 ]] ||
        fail "$what: log owned by $(stat -c %u:%g "$scratch/open/log.txt" 2>&1), expected nobody"
    tr -d '\r' <"$scratch/open/log.txt" | tail -n +2 | mask >"$scratch/log.masked"
    expect_text "$what, log after its header" "$(cat "$scratch/out.masked")
" "$scratch/log.masked"

    in_netns "$ping_nobody" 'exec "$@"' "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 -n 1 -p 0 \
        -o "$scratch/closed/log.txt" >"$scratch/out" 2>"$scratch/err"
    expect_status "$what, log in a folder only root may write" 1 $?
    expect_text "$what, log in a folder only root may write, stderr" \
        "Log file open failed.: Permission denied
" "$scratch/err"
    expect_text "$what, log in a folder only root may write, stdout" "" "$scratch/out"
    [[ ! -e $scratch/closed/log.txt ]] || fail "$what: log created where nobody may not write"
}

case_setuid_root() {
    need_root
    make_scratch
    copy_qelvor
    chmod 4755 "$scratch/qelvor"
    check_raised_copy "set-user-ID root"
}

case_file_capability() {
    need_root setcap
    make_scratch
    local capabilities
    # Permitted only: the program must raise it for the socket itself.
    for capabilities in cap_net_raw+ep cap_net_raw+p; do
        copy_qelvor
        setcap "$capabilities" "$scratch/qelvor" || fail "setcap $capabilities"
        check_raised_copy "file capability $capabilities"
    done

    # A capability that is not cap_net_raw still means an early open and a
    # drop; the socket opened then is the ping socket, or none.
    copy_qelvor
    setcap cap_net_admin+ep "$scratch/qelvor" || fail "setcap cap_net_admin+ep"
    in_netns "$ping_everyone" 'exec "$@"' "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 -n 3 -p 100 \
        >"$scratch/out" 2>"$scratch/err"
    expect_status "cap_net_admin, ping socket allowed" 0 $?
    mask <"$scratch/out" >"$scratch/out.masked"
    expect_text "cap_net_admin, ping socket allowed" "
hh:mm:ss.mmm [1] reply from 127.0.0.1 ; rtt N ms.
!!
qelvor statistics
    Packets: Sent = 3, Received = 3, Lost = 0 (0.0 %)
" "$scratch/out.masked"
    expect_text "cap_net_admin, ping socket allowed, stderr" "" "$scratch/err"
    in_netns "$ping_nobody" 'exec "$@"' "${nobody[@]}" "$scratch/qelvor" 127.0.0.1 -n 3 -p 100 \
        >"$scratch/out" 2>"$scratch/err"
    expect_status "cap_net_admin, ping socket refused" 0 $?
    expect_text "cap_net_admin, ping socket refused" "socket function failed with error 10013
$(summary 0 0 0 0.0)
" "$scratch/out"
}

case_package() {
    need_root cpack dpkg dpkg-deb dpkg-shlibdeps getcap setcap man
    if dpkg-query -W -f '${Status}' qelvor 2>/dev/null | grep -q installed; then
        skip_or_fail "a qelvor package is installed already; not touching it"
    fi
    make_scratch
    trap 'remove_package' EXIT

    cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch/package" \
        >"$scratch/cpack.log" 2>&1 || {
        cat "$scratch/cpack.log"
        fail "cpack -G DEB"
        finish
    }
    local deb
    deb=$(ls "$scratch"/package/qelvor_*.deb 2>/dev/null | head -n 1)
    [[ -n $deb ]] || {
        fail "no package made"
        finish
    }
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $6}' | sort >"$scratch/contents"
    expect_text "package contents" "-rw-r--r-- ./usr/share/bash-completion/completions/qelvor
-rw-r--r-- ./usr/share/man/man1/qelvor.1
-rwxr-xr-x ./usr/bin/qelvor
" "$scratch/contents"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    # Computed from the binary: libc6 always; libcap2 only where libcap
    # could not be linked in statically.
    [[ $depends == *libc6* ]] || fail "package dependencies \"$depends\" lack libc6"
    if ldd "$qelvor" | grep -q libcap; then
        [[ $depends == *libcap2* ]] || fail "package dependencies \"$depends\" lack libcap2"
    fi

    package_installed_here=true
    dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || {
        cat "$scratch/dpkg.log"
        fail "dpkg -i"
    }
    [[ $(getcap /usr/bin/qelvor) == *cap_net_raw=ep* ]] ||
        fail "getcap /usr/bin/qelvor: \"$(getcap /usr/bin/qelvor)\", expected cap_net_raw=ep"

    # The ping socket is refused, so it is the capability that lets nobody in.
    in_netns "$ping_nobody" 'exec "$@"' "${nobody[@]}" /usr/bin/qelvor 127.0.0.1 -n 1 -p 0 \
        >"$scratch/out" 2>"$scratch/err"
    expect_status "installed, as nobody" 0 $?
    mask <"$scratch/out" >"$scratch/out.masked"
    expect_text "installed, as nobody" "
hh:mm:ss.mmm [1] reply from 127.0.0.1 ; rtt N ms.

qelvor statistics
    Packets: Sent = 1, Received = 1, Lost = 0 (0.0 %)
" "$scratch/out.masked"

    MANWIDTH=80 man --warnings -E UTF-8 -l /usr/share/man/man1/qelvor.1 \
        >"$scratch/man.txt" 2>"$scratch/man.err"
    expect_status "man -l of the installed page" 0 $?
    expect_text "man -l of the installed page, warnings" "" "$scratch/man.err"
    grep -q "qelvor - watch whether an IPv4 host answers ICMP echo requests" \
        "$scratch/man.txt" || fail "the installed page does not render its name line"
    [[ -f /usr/share/bash-completion/completions/qelvor ]] || fail "no completion installed"

    remove_package
    [[ ! -e /usr/bin/qelvor ]] || fail "/usr/bin/qelvor is left after dpkg -r"
}

# The page renders without a warning and documents every option and every
# error number the program prints.
case_manual_page() {
    command -v groff >/dev/null || skip_or_fail "needs groff"
    make_plain_scratch
    local page=$source_dir/docs/qelvor.1
    groff -man -Tutf8 -ww "$page" >"$scratch/page.txt" 2>"$scratch/groff.err"
    expect_status "groff" 0 $?
    expect_text "groff warnings" "" "$scratch/groff.err"
    local option number
    for option in a T h; do
        grep -qx "\.B \\\\-$option" "$page" || fail "manual page: no entry for -$option"
    done
    for option in n p w Q; do
        grep -qx "\.BI \\\\-$option \" number\"" "$page" || fail "manual page: no entry for -$option"
    done
    grep -qx '\.BI \\-o " file"' "$page" || fail "manual page: no entry for -o"
    for number in 10004 10009 10013 10022 10024 10035 10040 10047 10050 10051 10055 10061 \
        10064 10065; do
        grep -q "^$number$" "$page" || fail "manual page: error $number missing"
    done
    grep -qF '    3 request(s) have been lost since the last reply 15998 ms ago.' "$page" ||
        fail "manual page: no lost line"
}

# complete_words <words...>: the candidates for the last word.
complete_words() {
    bash -c '
        source "$1"
        shift
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        _qelvor
        ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}"' complete "$source_dir/data/qelvor.bash-completion" "$@"
}

case_bash_completion() {
    make_plain_scratch
    mkdir "$scratch/logs"
    touch "$scratch/logs/run-1.log"
    expect_text "options" "-a
-T
-n
-p
-w
-Q
-o
-h
" <(complete_words qelvor -)
    expect_text "options after -a and -T" "-n
-p
-w
-Q
-o
-h
" <(complete_words qelvor 127.0.0.1 -a -T -)
    expect_text "file after -o" "$scratch/logs/run-1.log
" <(complete_words qelvor 127.0.0.1 -o "$scratch/logs/r")
    expect_text "number after -n" "" <(complete_words qelvor 127.0.0.1 -n "")
}

case "$case_name" in
    ping_socket_refused | ping_socket_output | ping_identifier_taken | setuid_root | \
        file_capability | package | manual_page | bash_completion)
        "case_$case_name"
        ;;
    *)
        echo "unknown case $case_name"
        exit 2
        ;;
esac
finish
