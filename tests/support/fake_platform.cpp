#include "fake_platform.h"

#include <arpa/inet.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/run_driver.h"
#include "platform/platform.h"

namespace fake {

World world;

namespace {

struct ProcessExit {
    int status;
};

void (*installed_interrupt)() = nullptr;

// Advances the clock to target, pressing Ctrl-C on the way if armed.
void advance_to(uint32_t target) {
    if (world.interrupt_armed && static_cast<int32_t>(target - world.interrupt_at) >= 0) {
        world.now = static_cast<int32_t>(world.interrupt_at - world.now) > 0 ? world.interrupt_at
                                                                             : world.now;
        world.interrupt_armed = false;
        if (installed_interrupt != nullptr) installed_interrupt();
    }
    world.now = target;
}

std::vector<uint8_t> ipv4_header(uint32_t from, std::size_t total) {
    std::vector<uint8_t> header(20, 0);
    header[0] = 0x45;
    header[2] = static_cast<uint8_t>(total >> 8);
    header[3] = static_cast<uint8_t>(total);
    header[8] = 64;
    header[9] = 1;
    std::memcpy(&header[12], &from, 4);
    return header;
}

// The earliest pending datagram due at or before limit, or end().
std::vector<Datagram>::iterator earliest_due_by(uint32_t limit) {
    auto best = world.pending.end();
    for (auto it = world.pending.begin(); it != world.pending.end(); ++it) {
        if (static_cast<int32_t>(it->due - limit) > 0) continue;
        if (best == world.pending.end() || static_cast<int32_t>(it->due - best->due) < 0) best = it;
    }
    return best;
}

int last_error = 0;

}  // namespace

void reset() {
    world = World{};
    installed_interrupt = nullptr;
    last_error = 0;
}

int run(const std::vector<std::string>& arguments) {
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    try {
        return run_program(static_cast<int>(arguments.size()), argv.data());
    } catch (const ProcessExit& exit) {
        return exit.status;
    }
}

void deliver(uint32_t due, std::vector<uint8_t> bytes, uint32_t from) {
    world.pending.push_back(Datagram{due, std::move(bytes), from, 0});
}

std::vector<uint8_t> echo_reply_for(const std::vector<uint8_t>& request) {
    uint32_t from = 0;
    std::vector<uint8_t> datagram = ipv4_header(from, 20 + request.size());
    datagram.resize(20 + request.size());
    if (!request.empty()) std::memcpy(&datagram[20], request.data(), request.size());
    datagram[20] = 0;
    return datagram;
}

std::string log_text(const std::string& path) {
    std::string text;
    const std::string& stored = world.files[path];
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
        text += stored[i];
    }
    return text;
}

}  // namespace fake

namespace platform {

using fake::world;

struct LogFile {
    std::string path;
};

namespace {
LogFile log_slots[8];
int log_slot_count = 0;
}  // namespace

void process_startup() {}

int socket_library_start() {
    ++world.library_started;
    return world.startup_error;
}
void socket_library_stop() { ++world.library_stopped; }
void timer_period_begin() { ++world.timer_begun; }
void timer_period_end() { ++world.timer_ended; }

uint32_t clock_ms() { return world.now; }

void sleep_ms(uint32_t ms) {
    world.sleeps.push_back(ms);
    auto late = world.late_wakeups.find(world.sleeps.size());
    fake::advance_to(world.now + ms + (late != world.late_wakeups.end() ? late->second : 0));
}

TimeOfDay local_time_of_day() {
    return TimeOfDay{world.hours, world.minutes, world.seconds, world.milliseconds};
}

uint32_t process_id() { return world.pid; }

uint32_t address_from_text(const char* text) { return inet_addr(text); }

void address_to_text(uint32_t address, char* out) {
    in_addr value;
    value.s_addr = address;
    inet_ntop(AF_INET, &value, out, 16);
}

bool icmp_open(uint16_t* identifier) {
    if (world.socket_open_error != 0) {
        fake::last_error = world.socket_open_error;
        return false;
    }
    if (world.socket_identifier_override != 0) *identifier = world.socket_identifier_override;
    return true;
}

bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address) {
    if (!world.send_errors.empty()) {
        int error = world.send_errors.front();
        world.send_errors.erase(world.send_errors.begin());
        if (error != 0) {
            fake::last_error = error;
            return false;
        }
    }
    std::vector<uint8_t> bytes(message, message + length);
    world.sent.push_back(fake::SentRequest{world.now, bytes, address});
    uint32_t number = static_cast<uint32_t>(world.sent.size());
    auto found = world.answers.find(number);
    fake::Answer answer = found != world.answers.end() ? found->second : world.default_answer;
    if (answer.kind == fake::Answer::reply) {
        std::vector<uint8_t> reply = fake::echo_reply_for(bytes);
        std::memcpy(&reply[12], &address, 4);
        world.pending.push_back(fake::Datagram{world.now + answer.after_ms, reply, address, 0});
    } else if (answer.kind == fake::Answer::receive_failure) {
        world.pending.push_back(fake::Datagram{world.now + answer.after_ms, {}, 0, answer.error});
    }
    return true;
}

int icmp_wait_readable(uint32_t timeout_ms) {
    world.wait_timeouts.push_back(timeout_ms);
    uint32_t limit = world.now + timeout_ms;
    auto next = fake::earliest_due_by(limit);
    if (next == world.pending.end()) {
        fake::advance_to(limit);
        return 0;
    }
    if (static_cast<int32_t>(next->due - world.now) > 0) fake::advance_to(next->due);
    return 1;
}

int icmp_receive(uint8_t* buffer, std::size_t capacity, uint32_t* from_address) {
    auto next = fake::earliest_due_by(world.now);
    if (next == world.pending.end()) {
        fake::last_error = socket_error_would_block;
        return -1;
    }
    fake::Datagram datagram = *next;
    world.pending.erase(next);
    if (datagram.error != 0) {
        fake::last_error = datagram.error;
        return -1;
    }
    std::size_t length = std::min(capacity, datagram.bytes.size());
    std::memcpy(buffer, datagram.bytes.data(), length);
    *from_address = datagram.from;
    return static_cast<int>(length);
}

int last_socket_error() { return fake::last_error; }

void console_setup() {}
void console_write(const char* text, std::size_t length) { world.console.append(text, length); }
void console_put(char mark) { world.console += mark; }
void console_flush() {}

std::size_t console_text_from_utf8(const char* text, std::size_t length, char* out,
                                   std::size_t capacity) {
    if (world.console_cp932) {
        iconv_t converter = iconv_open("CP932", "UTF-8");
        char* in = const_cast<char*>(text);
        std::size_t in_left = length;
        char* stored = out;
        std::size_t out_left = capacity;
        iconv(converter, &in, &in_left, &stored, &out_left);
        iconv_close(converter);
        return capacity - out_left;
    }
    std::size_t copied = std::min(length, capacity);
    std::memcpy(out, text, copied);
    return copied;
}

void error_write(const char* text, std::size_t length) { world.errors.append(text, length); }

const char* error_text(int error_number) { return strerror(error_number); }

LogFile* log_open(const char* path, int* error_number) {
    std::string name = path;
    if (name.empty()) {
        *error_number = EINVAL;
        return nullptr;
    }
    auto refused = world.open_errors.find(name);
    if (refused != world.open_errors.end()) {
        *error_number = refused->second;
        return nullptr;
    }
    if (std::find(world.held.begin(), world.held.end(), name) != world.held.end()) {
        *error_number = EACCES;
        return nullptr;
    }
    world.held.push_back(name);
    world.files[name];
    LogFile* log = &log_slots[log_slot_count++ % 8];
    log->path = name;
    return log;
}

bool log_write(LogFile* log, const char* text, std::size_t length, int* error_number) {
    std::string& content = world.files[log->path];
    for (std::size_t i = 0; i < length; ++i) {
        if (log->path == world.failing_log && content.size() >= world.log_fail_after) {
            *error_number = world.log_fail_error;
            return false;
        }
        if (text[i] == '\n') content += '\r';
        content += text[i];
    }
    return true;
}

bool log_put(LogFile* log, char mark, int* error_number) {
    return log_write(log, &mark, 1, error_number);
}

void log_close(LogFile* log) {
    world.closed.push_back(log->path);
    world.held.erase(std::remove(world.held.begin(), world.held.end(), log->path),
                     world.held.end());
}

void output_lock() {}
void output_unlock() {}

bool interrupt_install(void (*on_interrupt)(), void (*)(), int* error_number) {
    if (world.interrupt_install_fails) {
        *error_number = EINVAL;
        return false;
    }
    fake::installed_interrupt = on_interrupt;
    return true;
}

void process_exit(int status) { throw fake::ProcessExit{status}; }

}  // namespace platform
