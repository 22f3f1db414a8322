// What the reader needs of the operating system beyond the standard
// library: a file's identity, opening for reading, whether a qelvor holds a
// log, replacing a file safely, sleeping, local time, and running a command
// with variables added to its environment. os_posix.cpp and os_win32.cpp
// hold the two.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlog::os {

// Which file a path or an open stream is, and its size and last
// modification now.
struct FileIdentity {
    bool exists = false;
    uint64_t device = 0;
    uint64_t file = 0;
    uint64_t size = 0;
    int64_t modified_ns = 0;  // the last modification, in ns since the epoch
    int64_t born_ns = 0;      // its creation, where the system tells it (0 when not)
    bool same_file(const FileIdentity& other) const {
        return exists && other.exists && device == other.device && file == other.file;
    }
};
FileIdentity identify(const std::string& path);
FileIdentity identify(std::FILE* stream);

// A regular file opened for reading, with a descriptor that no command
// started later inherits; nullptr with the reason otherwise.
std::FILE* open_for_reading(const std::string& path, std::string* why);
// Reads size bytes at offset without moving the stream; false when fewer
// were there.
bool read_at(std::FILE* stream, uint64_t offset, char* data, std::size_t size);

// Whether a process holds each of these files open for writing under its
// lock, as a running qelvor holds its log, found without touching the lock.
// None where the system cannot tell.
std::vector<std::optional<bool>> held_by_writer(const std::vector<FileIdentity>& files,
                                                const std::vector<std::string>& paths);

// Puts bytes in place of the file at path as one step: a file created anew
// beside it (never an existing file or link), mode 0644, written and synced,
// then renamed over path. The reason when it could not; empty when it did.
std::string replace_file(const std::string& path, std::string_view bytes);

// Whether a running qelvor holds this log now: the watcher keeps an
// exclusive lock on its log for as long as it runs.
bool held_by_watcher(const std::string& path, const FileIdentity& identity);

// The local time (TZ honoured) of a time in seconds since the epoch.
bool local_time(int64_t seconds, std::tm* out);

void sleep_ms(unsigned milliseconds);

// Seconds since the epoch, to the millisecond.
double unix_time_s();

// Creates a file that did not exist, for writing, without following a
// link at the path; null with errno set when it cannot.
std::FILE* create_new(const std::string& path);
// A file written whole beside the one it replaces, put in its place in one
// step.
bool replace_with(const std::string& written, const std::string& path);

// Standard input as bytes, untranslated.
void binary_input();

// A command run through the system's shell with these variables added to
// its environment and no descriptor of this process but the standard three.
using Variables = std::vector<std::pair<std::string, std::string>>;
struct Command {
    intptr_t id = 0;  // the process; 0: none
};
// Empty when it started, else why not (too many processes, say).
std::string start_command(const std::string& command, const Variables& variables, Command* started);
// Waits for it at most this long; true when it has ended (and is gone).
bool wait_command(Command command, unsigned milliseconds);

}  // namespace qlog::os
