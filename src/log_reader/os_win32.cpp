// The operating system as the reader needs it, on Windows.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "log_reader/os.h"

namespace qlog::os {

namespace {

FileIdentity from_handle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
    // File times count 100 ns from 1601.
    uint64_t written = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                       info.ftLastWriteTime.dwLowDateTime;
    uint64_t born = (static_cast<uint64_t>(info.ftCreationTime.dwHighDateTime) << 32) |
                    info.ftCreationTime.dwLowDateTime;
    return FileIdentity{true,
                        info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                        (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                        (static_cast<int64_t>(written) - 116444736000000000) * 100,
                        (static_cast<int64_t>(born) - 116444736000000000) * 100};
}

}  // namespace

FileIdentity identify(const std::string& path) {
    HANDLE handle =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    FileIdentity identity = from_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return identity;
}

// The watcher opens its log denying others even reading: while it runs, the
// log cannot be read at all, so a log that is read is never held.
bool held_by_watcher(const std::string&, const FileIdentity&) { return false; }

bool local_time(int64_t seconds, std::tm* out) {
    auto t = static_cast<time_t>(seconds);
    return localtime_s(out, &t) == 0;
}

FileIdentity identify(std::FILE* stream) {
    return from_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

void binary_input() { _setmode(_fileno(stdin), _O_BINARY); }

std::FILE* create_new(const std::string& path) {
    int fd = -1;
    if (_sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYWR,
                 _S_IREAD | _S_IWRITE) != 0) {
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) _close(fd);
    return file;
}

bool replace_with(const std::string& written, const std::string& path) {
    return MoveFileExA(written.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool start_command(const std::string& command, const Variables& variables) {
    std::fflush(nullptr);
    // The child inherits this process's environment as it is when started.
    for (const auto& [name, value] : variables)
        SetEnvironmentVariableA(name.c_str(), value.c_str());
    std::string line = "cmd.exe /c " + command;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    bool started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process) != 0;
    for (const auto& variable : variables) SetEnvironmentVariableA(variable.first.c_str(), nullptr);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return started;
}

void reap_commands() {}

}  // namespace qlog::os
