// Raised privileges at start: set-user-ID root or the file capability
// cap_net_raw, both there only for the raw ICMP socket.
//
// The socket is opened first, then every privilege is given up for good,
// before the command line is read: the log file is opened, and everything
// else runs, with the rights of the user who started the program. A
// process that cannot prove the drop ends rather than run on privileged.
#include "platform/posix/privileges.h"

#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/icmp_socket.h"

namespace platform {

namespace {

struct Identity {
    uid_t user;  // the real IDs, the ones kept
    gid_t group;
    uid_t raised_user;  // the effective IDs the program was started with
    gid_t raised_group;
};
Identity identity;

[[noreturn]] void refuse_to_run(const char* what, int error_number) {
    char message[256];
    int length =
        std::snprintf(message, sizeof message, "qelvor: cannot give up privileges (%s): %s\n", what,
                      error_number != 0 ? error_text(error_number) : "still held");
    if (length > 0) {
        error_write(message, std::min(static_cast<std::size_t>(length), sizeof message - 1));
    }
    std::_Exit(1);
}

// True when the process holds any capability in the given set, and when
// that cannot be found out, so that doubt never leaves privileges in place.
bool holds_capabilities(cap_flag_t set) {
    cap_t current = cap_get_proc();
    if (current == nullptr) return true;
    cap_t none = cap_init();
    bool holds = none == nullptr || CAP_DIFFERS(cap_compare(current, none), set);
    cap_free(none);
    cap_free(current);
    return holds;
}

// Root that is root by its real user ID has nothing to give back: its
// rights are the invoking user's own.
bool running_raised() {
    if (geteuid() != getuid() || getegid() != getgid()) return true;
    return getuid() != 0 && holds_capabilities(CAP_PERMITTED);
}

// A capability granted as permitted only (setcap cap_net_raw+p) must be
// made effective before the socket call can use it.
void make_net_raw_effective() {
    cap_t current = cap_get_proc();
    if (current == nullptr) return;
    cap_flag_value_t permitted = CAP_CLEAR;
    cap_value_t net_raw = CAP_NET_RAW;
    if (cap_get_flag(current, CAP_NET_RAW, CAP_PERMITTED, &permitted) == 0 &&
        permitted == CAP_SET) {
        cap_set_flag(current, CAP_EFFECTIVE, 1, &net_raw, CAP_SET);
        cap_set_proc(current);
    }
    cap_free(current);
}

void drop_privileges() {
    // Leaving user ID 0 must take the capabilities with it.
    if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) refuse_to_run("keep capabilities", errno);
    // The group first: once the user ID is dropped, it could not be changed.
    if (setresgid(identity.group, identity.group, identity.group) != 0) {
        refuse_to_run("group ID", errno);
    }
    if (setresuid(identity.user, identity.user, identity.user) != 0) {
        refuse_to_run("user ID", errno);
    }
    cap_t none = cap_init();
    if (none == nullptr) refuse_to_run("capabilities", errno);
    cap_clear(none);
    int cleared = cap_set_proc(none);
    int error_number = errno;
    cap_free(none);
    if (cleared != 0) refuse_to_run("capabilities", error_number);
    // Ambient capabilities would come back in any program started from here.
    if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0) {
        refuse_to_run("ambient capabilities", errno);
    }
    // Nor may anything started from here gain them through its file.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) refuse_to_run("new privileges", errno);
    // The raw socket stays open: no process of the same user may take it
    // (pidfd_getfd, ptrace) to send what it likes.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) refuse_to_run("dumpable", errno);
}

void check_dropped() {
    uid_t real_user, effective_user, saved_user;
    gid_t real_group, effective_group, saved_group;
    if (getresuid(&real_user, &effective_user, &saved_user) != 0) refuse_to_run("user ID", errno);
    if (getresgid(&real_group, &effective_group, &saved_group) != 0) {
        refuse_to_run("group ID", errno);
    }
    if (real_user != identity.user || effective_user != identity.user ||
        saved_user != identity.user) {
        refuse_to_run("user ID", 0);
    }
    if (real_group != identity.group || effective_group != identity.group ||
        saved_group != identity.group) {
        refuse_to_run("group ID", 0);
    }
    if (holds_capabilities(CAP_EFFECTIVE) || holds_capabilities(CAP_PERMITTED) ||
        holds_capabilities(CAP_INHERITABLE)) {
        refuse_to_run("capabilities", 0);
    }
    if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) refuse_to_run("dumpable", 0);
    // The proof: the IDs given up cannot be taken back.
    if (identity.raised_user != identity.user && setuid(identity.raised_user) == 0) {
        refuse_to_run("user ID", 0);
    }
    if (identity.raised_group != identity.group && setgid(identity.raised_group) == 0) {
        refuse_to_run("group ID", 0);
    }
}

}  // namespace

void give_up_privileges() {
    if (!running_raised()) return;
    identity.user = getuid();
    identity.group = getgid();
    identity.raised_user = geteuid();
    identity.raised_group = getegid();
    make_net_raw_effective();
    icmp_open_early();
    drop_privileges();
    check_dropped();
}

}  // namespace platform
