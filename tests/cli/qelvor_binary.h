// Runs the real qelvor binary the way a user does, on a loopback-only
// network namespace of its own.
#pragma once

#include <string>
#include <vector>

#include "support/netns.h"

namespace qelvor::test {

inline const std::string qelvor_binary = QELVOR_BINARY;

// qelvor with arguments, in a fresh network namespace whose loopback is up:
// its traffic cannot leave it, and the namespace goes away with the process.
// unshare and sh both exec, so the process started is qelvor itself.
inline std::vector<std::string> on_loopback(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {
        "unshare", "-n", "--", "sh", "-c", "ip link set lo up && exec \"$@\"", "sh", qelvor_binary};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

inline std::vector<std::string> qelvor(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {qelvor_binary};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

// A scratch directory for logs, removed when the test ends.
struct ScratchDir {
    std::string path;
    ScratchDir();
    ~ScratchDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// True while another process holds an exclusive lock on path.
bool held_by_another(const std::string& path);

}  // namespace qelvor::test
