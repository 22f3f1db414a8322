// The reader's needs of the system on Windows.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log_reader/os.h"

namespace qlog::os {

namespace {

// 100 ns ticks from 1601 to 1970.
constexpr uint64_t epoch_ticks = 116444736000000000ULL;

double unix_from(FILETIME time) {
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks - epoch_ticks) / 1e7;
}

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

std::string reason(DWORD error) {
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        text[--length] = '\0';
    return length > 0 ? text : "error " + std::to_string(error);
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

FileIdentity identify(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    FileIdentity identity = from_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return identity;
}

// The watcher opens its log denying others even reading: while it runs, the
// log cannot be read at all, so a log that is read is never held.
bool held_by_watcher(const std::string& path, const FileIdentity& identity) {
    return held_by_writer({identity}, {path})[0].value_or(false);
}

bool local_time(int64_t seconds, std::tm* out) {
    auto t = static_cast<time_t>(seconds);
    return localtime_s(out, &t) == 0;
}

FileIdentity identify(std::FILE* stream) {
    return from_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

// CreateFile's handles are not inherited unless asked for.
std::FILE* open_for_reading(const std::string& path, std::string* why) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *why = "Is a directory";
        return nullptr;
    }
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = reason(GetLastError());
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    std::FILE* stream = fd >= 0 ? _fdopen(fd, "rb") : nullptr;
    if (stream == nullptr) {
        *why = "cannot be opened";
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
    }
    return stream;
}

bool read_at(std::FILE* stream, uint64_t offset, char* data, std::size_t size) {
    int64_t at = _ftelli64(stream);
    bool got = _fseeki64(stream, static_cast<int64_t>(offset), SEEK_SET) == 0 &&
               std::fread(data, 1, size, stream) == size;
    _fseeki64(stream, at, SEEK_SET);
    return got;
}

// qelvor holds its log with no sharing at all: a file that will not open
// even for reading alongside writers is held.
std::vector<std::optional<bool>> held_by_writer(const std::vector<FileIdentity>& files,
                                                const std::vector<std::string>& paths) {
    std::vector<std::optional<bool>> held(files.size());
    for (std::size_t i = 0; i < files.size() && i < paths.size(); ++i) {
        HANDLE handle = CreateFileA(paths[i].c_str(), GENERIC_READ, share_all, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() == ERROR_SHARING_VIOLATION)
            held[i] = handle == INVALID_HANDLE_VALUE;
    }
    return held;
}

// CREATE_NEW never opens what is already at the name, file or link.
std::string replace_file(const std::string& path, std::string_view bytes) {
    std::string temporary = path + ".tmp";
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE &&
            (GetLastError() != ERROR_FILE_EXISTS || !DeleteFileA(temporary.c_str())))
            break;
    }
    if (file == INVALID_HANDLE_VALUE) return reason(GetLastError());
    DWORD error = 0;
    for (std::size_t done = 0; error == 0 && done < bytes.size();) {
        DWORD wrote = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr)) error = GetLastError();
        done += wrote;
    }
    if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
    CloseHandle(file);
    if (error == 0 && !MoveFileExA(temporary.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0) DeleteFileA(temporary.c_str());
    return error == 0 ? "" : reason(error);
}

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

double unix_time_s() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return unix_from(now);
}

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

// The child gets an environment block of its own, and of this process's
// handles only the standard ones: a list of them is all it may inherit.
std::string start_command(const std::string& command, const Variables& variables,
                          Command* started) {
    std::string block;
    if (char* current = GetEnvironmentStringsA(); current != nullptr) {
        for (const char* entry = current; *entry != '\0'; entry += std::strlen(entry) + 1) {
            bool replaced = false;
            for (const auto& variable : variables) {
                const std::string& name = variable.first;
                replaced = replaced || (_strnicmp(entry, name.c_str(), name.size()) == 0 &&
                                        entry[name.size()] == '=');
            }
            if (!replaced) block.append(entry).push_back('\0');
        }
        FreeEnvironmentStringsA(current);
    }
    for (const auto& [name, value] : variables) block.append(name + "=" + value).push_back('\0');
    block.push_back('\0');

    HANDLE standard[3];
    DWORD count = 0;
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        bool known = false;
        for (DWORD i = 0; i < count; ++i) known = known || standard[i] == handle;
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && !known &&
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
            standard[count++] = handle;
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string list_space(size, '\0');
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_space.data());
    bool listed = count > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, standard,
                                            count * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = listed ? list : nullptr;
    std::string line = "cmd.exe /c " + command;
    PROCESS_INFORMATION process{};
    std::fflush(nullptr);
    bool ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, listed ? TRUE : FALSE,
                             EXTENDED_STARTUPINFO_PRESENT, block.data(), nullptr,
                             &startup.StartupInfo, &process) != 0;
    DWORD error = GetLastError();
    if (listed) DeleteProcThreadAttributeList(list);
    if (!ok) return reason(error);
    CloseHandle(process.hThread);
    started->id = reinterpret_cast<intptr_t>(process.hProcess);
    return "";
}

bool wait_command(Command command, unsigned milliseconds) {
    auto process = reinterpret_cast<HANDLE>(command.id);
    if (WaitForSingleObject(process, milliseconds) == WAIT_TIMEOUT) return false;
    CloseHandle(process);
    return true;
}

}  // namespace qlog::os
