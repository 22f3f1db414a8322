// The operating system as the reader needs it, on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "log_reader/os.h"

namespace qlog::os {

namespace {

FileIdentity from_stat(const struct stat& status) {
    return FileIdentity{
        true, static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
        static_cast<uint64_t>(status.st_size),
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

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
    if (!identity.exists) return false;
    // Linux lists every lock: reading the list takes none, so a watcher
    // starting at this very moment is never refused its own.
    std::ifstream locks("/proc/locks");
    if (locks) {
        char device[64];
        std::snprintf(device, sizeof device, "%02x:%02x:%llu",
                      static_cast<unsigned>(major(static_cast<dev_t>(identity.device))),
                      static_cast<unsigned>(minor(static_cast<dev_t>(identity.device))),
                      static_cast<unsigned long long>(identity.file));
        std::string line;
        while (std::getline(locks, line)) {
            std::istringstream words(line);
            std::string word, kind, mode;
            words >> word >> kind;
            if (kind == "->") words >> kind;
            if (kind != "FLOCK") continue;
            words >> word >> mode;
            while (words >> word) {
                if (word == device && mode == "WRITE") return true;
            }
        }
        return false;
    }
    // Elsewhere a shared lock is tried and given back at once.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

bool local_time(int64_t seconds, std::tm* out) {
    auto t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, out) != nullptr;
}

FileIdentity identify(std::FILE* stream) {
    struct stat status {};
    return ::fstat(fileno(stream), &status) == 0 ? from_stat(status) : FileIdentity{};
}

void sleep_ms(unsigned milliseconds) {
    timespec pause{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0) {
    }
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

bool start_command(const std::string& command, const Variables& variables) {
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child != 0) return child > 0;
    for (const auto& [name, value] : variables) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

void reap_commands() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace qlog::os
