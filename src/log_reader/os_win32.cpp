#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "log_reader/os.h"

namespace qlog::os {

namespace {

FileIdentity from_handle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
    return FileIdentity{true, info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                        (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
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

FileIdentity identify(std::FILE* stream) {
    return from_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

void binary_input() { _setmode(_fileno(stdin), _O_BINARY); }

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
