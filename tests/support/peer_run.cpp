#include "peer_run.h"

#include <time.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qelvor::test {
namespace {

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

[[noreturn]] void bad_line(const std::string& path, const std::string& line) {
    throw std::runtime_error("cannot read '" + line + "' in " + path);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::int64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

std::vector<SeenRequest> read_seen_requests(const std::string& path) {
    std::vector<SeenRequest> seen;
    for (const std::string& line : read_lines(path)) {
        std::istringstream in(line);
        SeenRequest r;
        int ok = -1;
        unsigned id = 0;
        unsigned seq = 0;
        if (!(in >> r.length >> ok >> id >> seq >> r.t_us >> r.data_hex) || (ok != 0 && ok != 1) ||
            id > 0xffff || seq > 0xffff) {
            bad_line(path, line);
        }
        r.checksum_ok = ok == 1;
        r.id = static_cast<std::uint16_t>(id);
        r.seq = static_cast<std::uint16_t>(seq);
        if (r.data_hex == "-") {
            r.data_hex.clear();
        }
        seen.push_back(r);
    }
    return seen;
}

std::vector<SentPacket> read_sent_packets(const std::string& path) {
    std::vector<SentPacket> sent;
    for (const std::string& line : read_lines(path)) {
        std::istringstream in(line);
        SentPacket p;
        unsigned seq = 0;
        if (!(in >> p.t_us >> p.what >> seq >> p.source) || seq > 0xffff) {
            bad_line(path, line);
        }
        p.seq = static_cast<std::uint16_t>(seq);
        sent.push_back(p);
    }
    return sent;
}

PeerRun::PeerRun(const NetnsPair& net, const std::string& peer_program, const std::string& script,
                 std::chrono::milliseconds duration) {
    static std::atomic<unsigned> counter{0};
    const std::string base = net.work_dir() + "/peer" + std::to_string(counter++);
    const std::string script_path = base + ".script";
    const std::string ready_path = base + ".ready";
    record_path_ = base + ".record";
    sent_path_ = base + ".sent";
    stderr_path_ = base + ".stderr";
    {
        std::ofstream out(script_path);
        out << script;
        if (!out) {
            throw std::runtime_error("cannot write " + script_path);
        }
    }
    process_ = net.start_in_peer(
        {peer_program, "--script", script_path, "--record", record_path_, "--sent", sent_path_,
         "--ready", ready_path, "--duration-ms", std::to_string(duration.count())},
        base + ".stdout", stderr_path_);
    if (!wait_for_file(ready_path, std::chrono::milliseconds(5000))) {
        process_.stop();
        throw std::runtime_error("icmp_peer did not get ready: " + stderr_text());
    }
}

std::string PeerRun::stderr_text() const { return read_all(stderr_path_); }

}  // namespace qelvor::test
