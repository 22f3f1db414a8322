// Network namespaces and child processes for the real-network tests.
//
// A NetnsPair is two namespaces joined by a veth pair: the client side, where the program under
// test runs, and the peer side, where a scripted ICMP peer answers (the peer's kernel is told to
// ignore echo requests, so only the peer answers). Everything a pair creates is removed when it is
// destroyed, when the process exits, and when a fatal or watchdog signal arrives, so a failing or
// hanging test leaves no namespaces behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qelvor::test {

struct CommandResult {
    int exit_code = -1;      // exit status when the command exited by itself, else -1
    int term_signal = 0;     // the signal that ended it, 0 when it exited
    bool timed_out = false;  // it outlived its time and was killed
    std::string out;         // captured stdout (empty for background processes)
    std::string err;         // captured stderr, or why it could not be started
    bool exited_ok() const { return exit_code == 0; }
};

// Runs argv (argv[0] searched in PATH, no shell involved) with stdin from /dev/null, capturing
// stdout and stderr. After `timeout` the command's whole process group is killed; anything it
// leaves running in its group when it ends is killed too. A program that cannot be started gives
// exit_code 127 and the reason in err.
CommandResult run_command(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// Polls for a file to exist, every few milliseconds, up to `timeout`.
bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout);

// A child process running in the background. It is killed if the test process dies, and stopped
// (SIGTERM, then SIGKILL) when this object is destroyed.
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    BackgroundProcess(BackgroundProcess&& other) noexcept;
    BackgroundProcess& operator=(BackgroundProcess&& other) noexcept;
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    ~BackgroundProcess();

    pid_t pid() const { return pid_; }
    // True while the process has not ended.
    bool running();
    // SIGTERM to its process group, then SIGKILL if it has not ended after `grace`.
    CommandResult stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // Waits for it to end by itself; killed (and timed_out set) if it takes longer.
    CommandResult wait(std::chrono::milliseconds timeout);

private:
    friend BackgroundProcess start_background(const std::vector<std::string>& argv,
                                              const std::string& stdout_path,
                                              const std::string& stderr_path);
    void release();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int slot_ = -1;
    bool reaped_ = false;
    CommandResult result_;
};

// Starts argv with stdout and stderr sent to the given files (truncated). Throws
// std::runtime_error when it cannot be started. The child is killed when the thread that started
// it ends, so start it from a thread that outlives it (the test's own thread).
BackgroundProcess start_background(const std::vector<std::string>& argv,
                                   const std::string& stdout_path, const std::string& stderr_path);

class NetnsPair {
public:
    // Creates both namespaces, the veth pair and the addresses. Throws std::runtime_error, after
    // removing whatever was made, if any step fails. A watchdog of more than zero seconds arms
    // alarm(): when it goes off, everything is removed and the process dies of SIGALRM.
    explicit NetnsPair(std::chrono::seconds watchdog = std::chrono::seconds(60));
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    const std::string& client_ns() const { return client_ns_; }
    const std::string& peer_ns() const { return peer_ns_; }
    const std::string& client_addr() const { return client_addr_; }      // 10.x.y.1
    const std::string& peer_addr() const { return peer_addr_; }          // 10.x.y.2
    const std::string& peer_alt_addr() const { return peer_alt_addr_; }  // 10.x.y.3, same link
    // A scratch directory for scripts and records, removed with the pair unless
    // QELVOR_KEEP_NET_FILES is set.
    const std::string& work_dir() const { return work_dir_; }

    CommandResult run_in_client(const std::vector<std::string>& argv,
                                std::chrono::milliseconds timeout) const;
    CommandResult run_in_peer(const std::vector<std::string>& argv,
                              std::chrono::milliseconds timeout) const;
    BackgroundProcess start_in_client(const std::vector<std::string>& argv,
                                      const std::string& stdout_path,
                                      const std::string& stderr_path) const;
    BackgroundProcess start_in_peer(const std::vector<std::string>& argv,
                                    const std::string& stdout_path,
                                    const std::string& stderr_path) const;

    // Opens a socket that lives in the client namespace (the calling thread stays where it is),
    // so a test can send and watch traffic there itself. Throws std::runtime_error on failure.
    int socket_in_client(int domain, int type, int protocol) const;

    // Removes everything now; also done by the destructor. Safe to call twice.
    void destroy();

private:
    std::string client_ns_;
    std::string peer_ns_;
    std::string client_addr_;
    std::string peer_addr_;
    std::string peer_alt_addr_;
    std::string work_dir_;
    std::vector<int> slots_;
    bool armed_watchdog_ = false;
    bool destroyed_ = false;
};

// Runs argv inside the named namespace (`ip netns exec NAME argv...`).
CommandResult run_in_netns(const std::string& ns, const std::vector<std::string>& argv,
                           std::chrono::milliseconds timeout);

// Removes the namespaces and kills the background processes this process registered. Only uses
// async-signal-safe calls; the signal handlers and the atexit hook call it.
void cleanup_registered() noexcept;

// Removes namespaces named like ours (qv<pid>a<n>, qv<pid>b<n>) and scratch directories
// (/tmp/qelvor-net-<pid>-*) whose process no longer exists: the leftovers of a test that was
// killed outright, which no handler can catch. Every NetnsPair calls it first.
void sweep_stale();

// The namespaces that `ip netns list` shows.
std::vector<std::string> list_namespaces();

}  // namespace qelvor::test
