#include "fake_platform.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>

#include "app/run_driver.h"
#include "platform/platform.h"
#include "probe/run_counters.h"

namespace fake {

World world;

namespace {

bool (*interrupt)() = nullptr;

bool before(uint64_t a, uint64_t b) { return a < b; }

// Moves the clock to target, pressing Ctrl-C on the way when it is due.
void advance_to(uint64_t target) {
    if (world.snapshot_at != 0 && !before(target, world.snapshot_at)) {
        world.snapshot = world.files["run.log"], world.snapshot_at = 0;
    }
    if (world.interrupt_at != 0 && !before(target, world.interrupt_at)) {
        world.now = before(world.now, world.interrupt_at) ? world.interrupt_at : world.now;
        world.interrupt_at = 0;
        interrupt();
    }
    world.now = target;
}

// A log file is a stream whose bytes land in world.files; once full, the
// disk stays full.
ssize_t write_log(void* path, const char* bytes, std::size_t size) {
    std::string& content = world.files[*static_cast<std::string*>(path)];
    if (*static_cast<std::string*>(path) != world.failing_log ||
        content.size() + size <= world.log_fail_after) {
        return static_cast<ssize_t>(content.append(bytes, size), size);
    }
    world.log_fail_after = 0;
    errno = ENOSPC;
    return -1;
}

int close_log(void* path) {
    world.held.erase(*static_cast<std::string*>(path));
    delete static_cast<std::string*>(path);
    return 0;
}

}  // namespace

void reset() { world = World{}; }

int run(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    try {
        return qelvor::run_program(static_cast<int>(argv.size()), argv.data());
    } catch (int status) {  // the process ended
        return status;
    }
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream split(line);
    for (std::string word; split >> word;) words.push_back(word == "''" ? "" : word);
    return words;
}

std::vector<uint8_t> echo_reply_for(const std::vector<uint8_t>& request, uint32_t from) {
    std::vector<uint8_t> datagram(20 + request.size(), 0);
    datagram[0] = 0x45, datagram[9] = 1;
    std::memcpy(&datagram[12], &from, 4);
    std::copy(request.begin(), request.end(), datagram.begin() + 20);
    datagram[20] = 0;
    return datagram;
}

}  // namespace fake

namespace platform {

using fake::world;

void process_startup() {}
int socket_library_start() { return world.startup_error; }
void socket_library_stop() {}
void timer_period_begin() {}
void timer_period_end() {}
// Held up right after the reading that follows a send (the send time).
uint64_t clock_ms() { return std::exchange(world.now, world.now + std::exchange(world.stall, 0)); }
void sleep_ms(uint32_t ms) {
    // The settling pause after the socket is open: the counts are set by then.
    if (world.opened && world.counts_from != 0) {
        uint64_t from = std::exchange(world.counts_from, 0);
        qelvor::counters_begin_run_at(from, from);
    }
    fake::advance_to(world.now + ms + world.late[++world.sleeps]);
}
uint64_t clock_with_local_time(TimeOfDay* local) {
    uint64_t clock = clock_ms();
    constexpr int64_t day_ms = 86400000;
    int64_t since = static_cast<int64_t>(clock - (fake::World{}.now + 32));
    int64_t ms = ((world.hours * 60 + world.minutes) * 60 + world.seconds) * 1000 +
                 world.milliseconds + since % day_ms + day_ms;
    *local = {static_cast<uint16_t>(ms / 3600000 % 24), static_cast<uint16_t>(ms / 60000 % 60),
              static_cast<uint16_t>(ms / 1000 % 60), static_cast<uint16_t>(ms % 1000)};
    return clock;
}
uint16_t echo_identifier() { return static_cast<uint16_t>(world.pid); }
uint32_t address_from_text(const char* text) { return inet_addr(text); }
void address_to_text(uint32_t address, char* out) { inet_ntop(AF_INET, &address, out, 16); }

bool icmp_open(uint16_t* identifier, uint32_t) {
    world.last_error = world.socket_open_error;
    world.opened = true;
    if (world.socket_identifier != 0) *identifier = world.socket_identifier;
    return world.socket_open_error == 0;
}

bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address) {
    if (world.sent.size() > 100000) throw -2;  // a run that never ends
    world.sent.emplace_back(message, message + length);
    world.last_send = world.now, world.first_send = world.first_send ? world.first_send : world.now;
    if (!world.send_errors.empty()) {
        world.last_error = world.send_errors.front();
        world.send_errors.erase(world.send_errors.begin());
        if (world.last_error != 0) return false;
    }
    uint32_t number = message[6] << 8 | message[7];
    fake::Answer answer =
        world.answers.count(number) ? world.answers[number] : world.default_answer;
    uint64_t due = world.now + answer.after_ms;
    if (answer.kind == fake::Answer::ReceiveFailure)
        world.pending.push_back({due, {}, 0, answer.error});
    if (answer.kind == fake::Answer::Reply || answer.kind == fake::Answer::Twice) {
        world.pending.push_back({due, fake::echo_reply_for(world.sent.back(), address), address, 0,
                                 false, false, world.early[number]});
    }
    if (answer.kind == fake::Answer::Twice) world.pending.push_back(world.pending.back());
    if (answer.kind == fake::Answer::Matched) world.pending.push_back({due, {}, address, 0, true});
    if (answer.kind == fake::Answer::NotSent)
        world.pending.push_back({due, {}, 0, answer.error, false, true});
    world.stall = world.stalls[number];
    return true;
}

Receive icmp_receive(uint32_t timeout_ms, uint8_t* buffer, std::size_t capacity,
                     Datagram* datagram) {
    if (++world.receives > 100000) throw -2;  // a run that never ends
    auto next = std::min_element(world.pending.begin(), world.pending.end(),
                                 [](auto& a, auto& b) { return fake::before(a.due, b.due); });
    if (next == world.pending.end() || fake::before(world.now + timeout_ms, next->due)) {
        fake::advance_to(world.now + timeout_ms);
        return Receive::TimedOut;
    }
    if (fake::before(world.now, next->due)) fake::advance_to(next->due);
    fake::Datagram taken = *next;
    world.pending.erase(next);
    world.last_error = taken.error;
    datagram->length = std::min(capacity, taken.bytes.size());
    std::copy_n(taken.bytes.begin(), datagram->length, buffer);
    datagram->from_address = taken.from;
    datagram->receive_time = taken.due - taken.early;
    datagram->before_send = fake::before(taken.due, world.last_send);
    if (taken.matched) return Receive::Matched;
    if (taken.not_sent) return Receive::NotSent;
    return taken.error != 0 ? Receive::Failed : Receive::Datagram;
}

int last_socket_error() { return world.last_error; }
void console_setup() {}
bool console_flush() {
    if (!world.console_gone) world.console += world.console_held;
    bool held = !world.console_held.empty();
    world.console_held.clear();
    return !world.console_gone || !held;
}
bool console_write(const char* text, std::size_t length) {
    world.console_held.append(text, length);
    return world.console_piped && world.console_held.size() < 4096 ? true : console_flush();
}
bool console_put(char mark) { return console_write(&mark, 1); }
void console_write_utf8(const char* text, std::size_t length) { console_write(text, length); }
void console_write_native(const char* text, std::size_t length) { console_write(text, length); }
void error_write(const char* text, std::size_t length) { world.errors.append(text, length); }
const char* error_text(int error_number) { return strerror(error_number); }

std::FILE* log_file_open(const char* path, bool* ends_mid_line, int* error_number) {
    *error_number = world.open_errors.count(path) ? world.open_errors[path] : EACCES;
    if (world.open_errors.count(path) || !world.held.insert(path).second) return nullptr;
    *ends_mid_line = !world.files[path].empty() && world.files[path].back() != '\n';
    return fopencookie(new std::string(path), "a",
                       {nullptr, fake::write_log, nullptr, fake::close_log});
}

void output_lock() {}
void output_unlock() {}
bool output_lock_within(uint32_t) { return true; }

bool interrupt_install(bool (*on_interrupt)(), bool (*)(), int* error_number) {
    *error_number = EINVAL;
    fake::interrupt = on_interrupt;
    return !world.interrupt_install_fails;
}

void process_exit(int status) { throw status; }
void wait_for_exit() { throw -1; }

}  // namespace platform
