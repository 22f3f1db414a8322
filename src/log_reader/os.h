// What the reader needs of the operating system beyond the standard
// library: a file's identity, sleeping, starting a command with variables
// added to its environment. os_posix.cpp and os_win32.cpp hold the two.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace qlog::os {

// Which file a path or an open stream is, and its size now.
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

// Whether a running qelvor holds this log now: the watcher keeps an
// exclusive lock on its log for as long as it runs.
bool held_by_watcher(const std::string& path, const FileIdentity& identity);

// The local time (TZ honoured) of a time in seconds since the epoch.
bool local_time(int64_t seconds, std::tm* out);

void sleep_ms(unsigned milliseconds);

// Creates a file that did not exist, for writing, without following a
// link at the path; null with errno set when it cannot.
std::FILE* create_new(const std::string& path);
// A file written whole beside the one it replaces, put in its place in one
// step.
bool replace_with(const std::string& written, const std::string& path);

// Standard input as bytes, untranslated.
void binary_input();

// Starts command through the system's shell with these variables added to
// its environment, and does not wait for it. False when it could not start.
using Variables = std::vector<std::pair<std::string, std::string>>;
bool start_command(const std::string& command, const Variables& variables);
// Collects the commands that have ended.
void reap_commands();

}  // namespace qlog::os
