#include "netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qelvor::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---------------------------------------------------------------------------------------------
// What this process has made, kept where a signal handler can read it without allocating.

enum SlotState : int { kFree = 0, kFilling = 1, kNamespace = 2, kProcess = 3 };

struct Slot {
    std::atomic<int> state{kFree};
    pid_t owner = 0;  // a forked child inherits the table but must not clean up its parent's
    pid_t pid = 0;
    char name[64] = {};  // namespace name, or for a process the client namespace of its pair
};

constexpr int kSlots = 64;
Slot g_slots[kSlots];
std::atomic<int> g_watchdog_users{0};

int claim_slot(SlotState kind, pid_t pid, const std::string& name) {
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
            Slot& s = g_slots[i];
            s.owner = getpid();
            s.pid = pid;
            std::memset(s.name, 0, sizeof s.name);
            std::strncpy(s.name, name.c_str(), sizeof s.name - 1);
            s.state.store(kind, std::memory_order_release);
            return i;
        }
    }
    throw std::runtime_error("netns: too many namespaces and processes at once");
}

void release_slot(int slot) {
    if (slot >= 0) {
        g_slots[slot].state.store(kFree, std::memory_order_release);
    }
}

// What `ip netns delete` does, in calls that are safe inside a signal handler.
void delete_netns_raw(const char* name) noexcept {
    char path[96] = "/run/netns/";
    std::strncat(path, name, sizeof path - std::strlen(path) - 1);
    umount2(path, MNT_DETACH);
    unlink(path);
}

constexpr int kCleanupSignals[] = {SIGALRM, SIGTERM, SIGINT,  SIGHUP,
                                   SIGQUIT, SIGABRT, SIGSEGV, SIGBUS};

void on_fatal_signal(int sig) {
    const int saved_errno = errno;
    cleanup_registered();
    if (sig == SIGALRM) {
        static constexpr char kMsg[] =
            "netns: watchdog expired; test namespaces removed, ending the test process\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
    }
    // SA_RESETHAND put the default action back; the signal is blocked while this handler runs,
    // so the process ends with it as soon as the handler returns.
    raise(sig);
    errno = saved_errno;
}

void install_cleanup_hooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit([] { cleanup_registered(); });
        for (const int sig : kCleanupSignals) {
            struct sigaction old {};
            sigaction(sig, nullptr, &old);
            // Leave alone anything the test or the test framework set up itself.
            if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO) != 0) {
                continue;
            }
            struct sigaction sa {};
            sa.sa_handler = on_fatal_signal;
            sa.sa_flags = SA_RESETHAND;
            sigemptyset(&sa.sa_mask);
            sigaction(sig, &sa, nullptr);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Child processes

int pidfd_open(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

struct Child {
    pid_t pid = -1;
    int pidfd = -1;
};

std::string describe(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& a : argv) {
        text += (text.empty() ? "" : " ") + a;
    }
    return text;
}

// Forks and execs argv with the given descriptors as stdin/stdout/stderr. The child gets its own
// process group (so a timeout can kill all of it) and dies with this process. Returns pid -1 and
// sets `error` when the program could not be started.
Child spawn(const std::vector<std::string>& argv, int out_fd, int err_fd, std::string& error) {
    if (argv.empty()) {
        error = "empty command";
        return {};
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    int exec_status[2];
    if (pipe2(exec_status, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return {};
    }
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec: the parent may have other threads.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        dup2(devnull, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        execvp(args[0], args.data());
        const int e = errno;
        [[maybe_unused]] const ssize_t n = write(exec_status[1], &e, sizeof e);
        _exit(127);
    }
    close(exec_status[1]);
    if (devnull >= 0) {
        close(devnull);
    }
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(exec_status[0]);
        return {};
    }
    setpgid(pid, pid);  // also here, so the group exists before anyone signals it
    int child_errno = 0;
    ssize_t n;
    do {
        n = read(exec_status[0], &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    close(exec_status[0]);
    if (n == static_cast<ssize_t>(sizeof child_errno)) {
        waitpid(pid, nullptr, 0);
        error = "cannot run '" + argv[0] + "': " + std::strerror(child_errno);
        return {};
    }
    return {pid, pidfd_open(pid)};
}

// Waits until the child has ended or the deadline passed, without reaping it.
bool wait_exit(const Child& child, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        const int wait_ms = static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
        if (child.pidfd < 0) {
            // No pidfd (very old kernel): look every few milliseconds instead.
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                    0 &&
                info.si_pid == child.pid) {
                return true;
            }
            if (wait_ms == 0) {
                return false;
            }
            std::this_thread::sleep_for(milliseconds(std::min(wait_ms, 2)));
            continue;
        }
        pollfd pfd{child.pidfd, POLLIN, 0};
        const int r = poll(&pfd, 1, wait_ms);
        if (r > 0) {
            return true;
        }
        if (r == 0 || errno != EINTR) {
            return false;
        }
    }
}

void reap(pid_t pid, CommandResult& result) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid) {
        return;
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
}

// ---------------------------------------------------------------------------------------------
// Namespaces

std::string ns_path(const std::string& ns) { return "/run/netns/" + ns; }

// Runs `fn` on a short-lived thread that has joined namespace `ns`, so the caller's own thread
// never changes namespace.
template <typename Fn>
void in_netns(const std::string& ns, Fn fn) {
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            const int fd = open(ns_path(ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                throw std::runtime_error("netns: open " + ns_path(ns) + ": " +
                                         std::strerror(errno));
            }
            const int r = setns(fd, CLONE_NEWNET);
            const int e = errno;
            close(fd);
            if (r != 0) {
                throw std::runtime_error("netns: setns " + ns + ": " + std::strerror(e));
            }
            fn();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void write_sysctl(const std::string& path, const std::string& value, bool required) {
    std::ofstream out(path);
    out << value;
    out.flush();
    if (!out && required) {
        throw std::runtime_error("netns: cannot write " + path);
    }
}

void check(const CommandResult& r, const std::vector<std::string>& argv) {
    if (!r.exited_ok()) {
        throw std::runtime_error("netns: '" + describe(argv) + "' failed (exit " +
                                 std::to_string(r.exit_code) + ", signal " +
                                 std::to_string(r.term_signal) + "): " + r.err);
    }
}

void run_checked(const std::vector<std::string>& argv) {
    check(run_command(argv, milliseconds(10'000)), argv);
}

// Parses "qv<pid>a<n>" / "qv<pid>b<n>"; returns the pid, or 0 when the name is not one of ours.
pid_t owner_of_name(const std::string& name) {
    if (name.size() < 5 || name.compare(0, 2, "qv") != 0) {
        return 0;
    }
    std::size_t i = 2;
    pid_t pid = 0;
    while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) && i < 12) {
        pid = pid * 10 + (name[i] - '0');
        ++i;
    }
    if (i == 2 || i >= name.size() || (name[i] != 'a' && name[i] != 'b') || i + 1 == name.size()) {
        return 0;
    }
    for (std::size_t j = i + 1; j < name.size(); ++j) {
        if (!std::isdigit(static_cast<unsigned char>(name[j]))) {
            return 0;
        }
    }
    return pid;
}

bool registered_here(const std::string& name) {
    for (const Slot& s : g_slots) {
        if (s.state.load(std::memory_order_acquire) == kNamespace && s.owner == getpid() &&
            name == s.name) {
            return true;
        }
    }
    return false;
}

bool process_gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

constexpr char kWorkDirPrefix[] = "qelvor-net-";

}  // namespace

// ---------------------------------------------------------------------------------------------

CommandResult run_command(const std::vector<std::string>& argv, milliseconds timeout) {
    CommandResult result;
    const auto deadline = Clock::now() + timeout;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        result.exit_code = 127;
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        result.exit_code = 127;
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::string error;
    const Child child = spawn(argv, out_pipe[1], err_pipe[1], error);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (child.pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        result.exit_code = 127;
        result.err = error;
        return result;
    }

    // Reading goes on until both pipes close; once the command itself has ended, whatever it left
    // in its process group is killed so the pipes do close.
    constexpr std::size_t kMaxCapture = 16 << 20;
    int fds[2] = {out_pipe[0], err_pipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    bool exited = false;
    char buf[8192];
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd pfds[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {child.pidfd, POLLIN, 0}};
        const int nfds = exited ? 2 : 3;
        const int r = poll(pfds, static_cast<nfds_t>(nfds), static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (r <= 0) {
            continue;
        }
        if (!exited && (pfds[2].revents & POLLIN) != 0) {
            exited = true;
            kill(-child.pid, SIGKILL);
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || (pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0) {
                if (sinks[i]->size() < kMaxCapture) {
                    sinks[i]->append(buf, static_cast<std::size_t>(n));
                }
            } else if (n == 0 || errno != EINTR) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    if (result.timed_out) {
        kill(-child.pid, SIGKILL);
    } else if (!exited) {
        // Both pipes closed first; the exit follows, bounded by what is left of the deadline.
        if (!wait_exit(child, deadline)) {
            result.timed_out = true;
        }
        kill(-child.pid, SIGKILL);
    }
    for (const int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
    reap(child.pid, result);
    if (child.pidfd >= 0) {
        close(child.pidfd);
    }
    return result;
}

bool wait_for_file(const std::string& path, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (access(path.c_str(), F_OK) == 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

// ---------------------------------------------------------------------------------------------

BackgroundProcess::BackgroundProcess(BackgroundProcess&& other) noexcept
    : pid_(other.pid_),
      pidfd_(other.pidfd_),
      slot_(other.slot_),
      reaped_(other.reaped_),
      result_(std::move(other.result_)) {
    other.pid_ = -1;
    other.pidfd_ = -1;
    other.slot_ = -1;
}

BackgroundProcess& BackgroundProcess::operator=(BackgroundProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !reaped_) {
            stop(milliseconds(1000));
        }
        release();
        pid_ = other.pid_;
        pidfd_ = other.pidfd_;
        slot_ = other.slot_;
        reaped_ = other.reaped_;
        result_ = std::move(other.result_);
        other.pid_ = -1;
        other.pidfd_ = -1;
        other.slot_ = -1;
    }
    return *this;
}

BackgroundProcess::~BackgroundProcess() {
    if (pid_ > 0 && !reaped_) {
        stop(milliseconds(1000));
    }
    release();
}

void BackgroundProcess::release() {
    if (pidfd_ >= 0) {
        close(pidfd_);
        pidfd_ = -1;
    }
    release_slot(slot_);
    slot_ = -1;
}

bool BackgroundProcess::running() {
    if (pid_ <= 0 || reaped_) {
        return false;
    }
    return !wait_exit(Child{pid_, pidfd_}, Clock::now());
}

CommandResult BackgroundProcess::wait(milliseconds timeout) {
    if (pid_ <= 0 || reaped_) {
        return result_;
    }
    Child child{pid_, pidfd_};
    if (!wait_exit(child, Clock::now() + timeout)) {
        result_.timed_out = true;
        kill(-pid_, SIGKILL);
    }
    reap(pid_, result_);
    reaped_ = true;
    // The pid may be reused from now on: nothing may signal it any more.
    release_slot(slot_);
    slot_ = -1;
    return result_;
}

CommandResult BackgroundProcess::stop(milliseconds grace) {
    if (pid_ <= 0 || reaped_) {
        return result_;
    }
    kill(-pid_, SIGTERM);
    Child child{pid_, pidfd_};
    if (!wait_exit(child, Clock::now() + grace)) {
        kill(-pid_, SIGKILL);
    }
    return wait(milliseconds(5000));
}

BackgroundProcess start_background(const std::vector<std::string>& argv,
                                   const std::string& stdout_path, const std::string& stderr_path) {
    install_cleanup_hooks();
    const int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        const std::string why = std::strerror(errno);
        if (out >= 0) close(out);
        if (err >= 0) close(err);
        throw std::runtime_error("background: cannot open output files: " + why);
    }
    std::string error;
    const Child child = spawn(argv, out, err, error);
    close(out);
    close(err);
    if (child.pid < 0) {
        throw std::runtime_error("background: " + error);
    }
    BackgroundProcess p;
    p.pid_ = child.pid;
    p.pidfd_ = child.pidfd;
    p.slot_ = claim_slot(kProcess, child.pid, "");
    return p;
}

// ---------------------------------------------------------------------------------------------

void cleanup_registered() noexcept {
    const pid_t self = getpid();
    // Processes first: a namespace lives on while anything runs inside it.
    for (Slot& s : g_slots) {
        if (s.state.load(std::memory_order_acquire) == kProcess && s.owner == self && s.pid > 0) {
            kill(-s.pid, SIGKILL);
        }
    }
    for (Slot& s : g_slots) {
        if (s.state.load(std::memory_order_acquire) == kNamespace && s.owner == self) {
            delete_netns_raw(s.name);
            s.state.store(kFree, std::memory_order_release);
        }
    }
}

void sweep_stale() {
    if (DIR* dir = opendir("/run/netns")) {
        while (const dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            const pid_t owner = owner_of_name(name);
            if (owner <= 0) {
                continue;
            }
            if ((owner == getpid() && !registered_here(name)) ||
                (owner != getpid() && process_gone(owner))) {
                delete_netns_raw(name.c_str());
            }
        }
        closedir(dir);
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kWorkDirPrefix, 0) != 0) {
            continue;
        }
        const pid_t owner = std::atoi(name.c_str() + sizeof kWorkDirPrefix - 1);
        if (owner > 0 && owner != getpid() && process_gone(owner)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
}

std::vector<std::string> list_namespaces() {
    const CommandResult r = run_command({"ip", "netns", "list"}, milliseconds(5000));
    check(r, {"ip", "netns", "list"});
    std::vector<std::string> names;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name;
        if (words >> name) {
            names.push_back(name);
        }
    }
    return names;
}

CommandResult run_in_netns(const std::string& ns, const std::vector<std::string>& argv,
                           milliseconds timeout) {
    std::vector<std::string> full{"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    return run_command(full, timeout);
}

// ---------------------------------------------------------------------------------------------

NetnsPair::NetnsPair(std::chrono::seconds watchdog) {
    install_cleanup_hooks();
    sweep_stale();

    static std::atomic<unsigned> counter{0};
    const unsigned n = counter++ % 1000;
    const auto pid = static_cast<unsigned>(getpid());
    client_ns_ = "qv" + std::to_string(pid) + "a" + std::to_string(n);
    peer_ns_ = "qv" + std::to_string(pid) + "b" + std::to_string(n);
    // 10.64.0.0 - 10.191.255.0: a /24 per pair, varied by process and pair. Each pair is a
    // network of its own, so this only keeps captures and logs of different tests apart.
    const unsigned key = (pid * 7 + n) % (128 * 256);
    const std::string prefix =
        "10." + std::to_string(64 + key / 256) + "." + std::to_string(key % 256) + ".";
    client_addr_ = prefix + "1";
    peer_addr_ = prefix + "2";
    peer_alt_addr_ = prefix + "3";

    try {
        std::string dir = "/tmp/" + std::string(kWorkDirPrefix) + std::to_string(pid) + "-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) {
            throw std::runtime_error("netns: mkdtemp: " + std::string(std::strerror(errno)));
        }
        work_dir_ = dir;

        for (const std::string* ns : {&client_ns_, &peer_ns_}) {
            // Registered before it exists, so that a signal arriving mid-way still removes it.
            slots_.push_back(claim_slot(kNamespace, 0, *ns));
            run_checked({"ip", "netns", "add", *ns});
            // Before the veth exists, so the defaults apply to it: IPv6 would only add router
            // solicitations and DAD to every capture.
            in_netns(*ns, [] {
                write_sysctl("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1", false);
                write_sysctl("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1", false);
            });
        }
        // The peer's kernel must stay quiet: every answer has to come from the scripted peer.
        in_netns(peer_ns_,
                 [] { write_sysctl("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1", true); });

        const std::string client_if = client_ns_;
        const std::string peer_if = peer_ns_;
        // Both ends are created directly inside their namespaces, never in the host's.
        run_checked({"ip", "link", "add", client_if, "netns", client_ns_, "type", "veth", "peer",
                     "name", peer_if, "netns", peer_ns_});
        run_checked(
            {"ip", "-n", client_ns_, "addr", "add", client_addr_ + "/24", "dev", client_if});
        run_checked({"ip", "-n", peer_ns_, "addr", "add", peer_addr_ + "/24", "dev", peer_if});
        run_checked({"ip", "-n", peer_ns_, "addr", "add", peer_alt_addr_ + "/24", "dev", peer_if});
        for (const auto& [ns, dev] :
             {std::pair{client_ns_, client_if}, std::pair{peer_ns_, peer_if}}) {
            run_checked({"ip", "-n", ns, "link", "set", "lo", "up"});
            run_checked({"ip", "-n", ns, "link", "set", dev, "up"});
        }
    } catch (...) {
        destroy();
        throw;
    }

    if (watchdog.count() > 0) {
        armed_watchdog_ = true;
        ++g_watchdog_users;
        alarm(static_cast<unsigned>(watchdog.count()));
    }
}

NetnsPair::~NetnsPair() { destroy(); }

void NetnsPair::destroy() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    const pid_t self = getpid();
    // Whatever still runs in the pair goes first; its BackgroundProcess reaps it later.
    for (Slot& s : g_slots) {
        if (s.state.load(std::memory_order_acquire) == kProcess && s.owner == self &&
            client_ns_ == s.name) {
            kill(-s.pid, SIGKILL);
        }
    }
    for (const int slot : slots_) {
        delete_netns_raw(g_slots[slot].name);
        release_slot(slot);
    }
    slots_.clear();
    if (!work_dir_.empty() && std::getenv("QELVOR_KEEP_NET_FILES") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(work_dir_, ec);
    }
    if (armed_watchdog_ && --g_watchdog_users == 0) {
        alarm(0);
    }
    armed_watchdog_ = false;
}

CommandResult NetnsPair::run_in_client(const std::vector<std::string>& argv,
                                       milliseconds timeout) const {
    return run_in_netns(client_ns_, argv, timeout);
}

CommandResult NetnsPair::run_in_peer(const std::vector<std::string>& argv,
                                     milliseconds timeout) const {
    return run_in_netns(peer_ns_, argv, timeout);
}

namespace {

BackgroundProcess start_in(const std::string& ns, const std::string& tag,
                           const std::vector<std::string>& argv, const std::string& out,
                           const std::string& err) {
    std::vector<std::string> full{"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    BackgroundProcess p = start_background(full, out, err);
    // Tag it with its pair, so that destroying the pair can stop it.
    const int slot = [&] {
        for (int i = 0; i < kSlots; ++i) {
            if (g_slots[i].state.load() == kProcess && g_slots[i].pid == p.pid()) {
                return i;
            }
        }
        return -1;
    }();
    if (slot >= 0) {
        std::strncpy(g_slots[slot].name, tag.c_str(), sizeof g_slots[slot].name - 1);
    }
    return p;
}

}  // namespace

BackgroundProcess NetnsPair::start_in_client(const std::vector<std::string>& argv,
                                             const std::string& stdout_path,
                                             const std::string& stderr_path) const {
    return start_in(client_ns_, client_ns_, argv, stdout_path, stderr_path);
}

BackgroundProcess NetnsPair::start_in_peer(const std::vector<std::string>& argv,
                                           const std::string& stdout_path,
                                           const std::string& stderr_path) const {
    return start_in(peer_ns_, client_ns_, argv, stdout_path, stderr_path);
}

int NetnsPair::socket_in_client(int domain, int type, int protocol) const {
    int fd = -1;
    int error = 0;
    in_netns(client_ns_, [&] {
        fd = socket(domain, type | SOCK_CLOEXEC, protocol);
        error = errno;
    });
    if (fd < 0) {
        throw std::runtime_error("netns: socket in " + client_ns_ + ": " + std::strerror(error));
    }
    return fd;
}

}  // namespace qelvor::test
