// The reader's needs of the system on POSIX (Linux first).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "log_reader/os.h"

extern char** environ;

namespace qlog::os {

namespace {

FileIdentity from_stat(const struct stat& status) {
    return FileIdentity{
        true, static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
        static_cast<uint64_t>(status.st_size),
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

std::string reason(int error) { return std::strerror(error); }

}  // namespace

FileIdentity identify(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return FileIdentity{};
    FileIdentity identity = from_stat(status);
    // Its creation, where the file system keeps it.
    struct statx extra {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &extra) == 0 &&
        (extra.stx_mask & STATX_BTIME) != 0) {
        identity.born_ns =
            static_cast<int64_t>(extra.stx_btime.tv_sec) * 1000000000 + extra.stx_btime.tv_nsec;
    }
    return identity;
}

bool held_by_watcher(const std::string& path, const FileIdentity& identity) {
    return held_by_writer({identity}, {path})[0].value_or(false);
}

bool local_time(int64_t seconds, std::tm* out) {
    auto t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, out) != nullptr;
}

FileIdentity identify(std::FILE* stream) {
    struct stat status {};
    return ::fstat(fileno(stream), &status) == 0 ? from_stat(status) : FileIdentity{};
}

std::FILE* open_for_reading(const std::string& path, std::string* why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
        ::close(fd);
        fd = -1;
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    }
    std::FILE* stream = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (stream == nullptr) {
        *why = errno == EINVAL ? "not a regular file" : reason(errno);
        if (fd >= 0) ::close(fd);
    }
    return stream;
}

bool read_at(std::FILE* stream, uint64_t offset, char* data, std::size_t size) {
    return ::pread(fileno(stream), data, size, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(size);
}

// qelvor holds its log with flock(LOCK_EX). Taking even a shared lock to
// look would, for that instant, make a qelvor starting on the file refuse
// it; the kernel's table of locks, /proc/locks, tells without touching it:
// "1: FLOCK  ADVISORY  WRITE 4711 fe:01:1835015 0 EOF", major and minor in
// hex.
std::vector<std::optional<bool>> held_by_writer(const std::vector<FileIdentity>& files,
                                                const std::vector<std::string>&) {
    std::ifstream table("/proc/locks");
    std::vector<std::optional<bool>> held(files.size());
    if (!table) return held;
    std::set<std::tuple<unsigned, unsigned, uint64_t>> locked;
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string word, kind, access, pid, where;
        fields >> word;
        if (fields >> word && word == "->") fields >> word;
        if (word != "FLOCK" || !(fields >> kind >> access >> pid >> where) || access != "WRITE")
            continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) == 3)
            locked.emplace(major, minor, inode);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileIdentity& file = files[i];
        held[i] =
            file.exists && locked.count({::major(static_cast<dev_t>(file.device)),
                                         ::minor(static_cast<dev_t>(file.device)), file.file}) > 0;
    }
    return held;
}

// The temporary file is made anew with O_EXCL and O_NOFOLLOW: in a folder
// that others may write to (node_exporter's belongs to its own user), a file
// or link planted at its name is never written through. One left by a
// crash, or planted, is removed (a link itself, not what it names) and the
// creation tried once more.
std::string replace_file(const std::string& path, std::string_view bytes) {
    std::string temporary = path + ".tmp";
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && (errno != EEXIST || ::unlink(temporary.c_str()) != 0)) break;
    }
    if (fd < 0) return reason(errno);
    // The mode whatever the umask: node_exporter runs as a user of its own.
    int error = ::fchmod(fd, 0644) == 0 ? 0 : errno;
    for (std::size_t done = 0; error == 0 && done < bytes.size();) {
        ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno != EINTR) error = errno;
        if (wrote > 0) done += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
    return error == 0 ? "" : reason(error);
}

void sleep_ms(unsigned milliseconds) {
    timespec pause{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0) {
    }
}

double unix_time_s() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void binary_input() {}

std::FILE* create_new(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
    return file;
}

bool replace_with(const std::string& written, const std::string& path) {
    return std::rename(written.c_str(), path.c_str()) == 0;
}

// The child closes every descriptor above the standard three, whoever
// opened it and however: close_range, or one by one up to the limit.
std::string start_command(const std::string& command, const Variables& variables,
                          Command* started) {
    std::vector<std::string> settings;
    for (const auto& [name, value] : variables) settings.push_back(name + "=" + value);
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const auto& [name, value] : variables)
            replaced = replaced || (std::strncmp(*entry, name.c_str(), name.size()) == 0 &&
                                    (*entry)[name.size()] == '=');
        if (!replaced) environment.push_back(*entry);
    }
    for (std::string& setting : settings) environment.push_back(setting.data());
    environment.push_back(nullptr);
    const char* arguments[] = {"sh", "-c", command.c_str(), nullptr};
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) return reason(errno);
    if (child > 0) {
        started->id = child;
        return "";
    }
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
    {
        struct rlimit limit {};
        rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        for (rlim_t fd = 3; fd < last && fd < 65536; ++fd) ::close(static_cast<int>(fd));
    }
    ::execve("/bin/sh", const_cast<char* const*>(arguments), environment.data());
    ::_exit(127);
}

// Woken as the child ends where the system has process descriptors;
// otherwise looked at every 10 ms.
bool wait_command(Command command, unsigned milliseconds) {
    auto pid = static_cast<pid_t>(command.id);
#ifdef SYS_pidfd_open
    int process = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (process >= 0) {
        pollfd ended{process, POLLIN, 0};
        ::poll(&ended, 1, static_cast<int>(milliseconds));
        ::close(process);
        milliseconds = 0;
    }
#endif
    for (unsigned waited = 0;; waited += 10) {
        pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
        if (ended == pid || (ended < 0 && errno == ECHILD)) return true;
        if (waited >= milliseconds) return false;
        sleep_ms(10);
    }
}

}  // namespace qlog::os
