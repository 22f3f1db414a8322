// The operating system as the reader needs it, on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

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
    return ::stat(path.c_str(), &status) == 0 ? from_stat(status) : FileIdentity{};
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
