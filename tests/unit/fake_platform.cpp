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

void (*interrupt)() = nullptr;
int last_error = 0;
std::size_t sleeps = 0;
uint32_t stall = 0;

// Moves the clock to target, pressing Ctrl-C on the way when it is due.
void advance_to(uint32_t target) {
    uint32_t at = world.interrupt_at;
    if (at != 0 && static_cast<int32_t>(target - at) >= 0) {
        if (static_cast<int32_t>(at - world.now) > 0) world.now = at;
        world.interrupt_at = 0;
        interrupt();
    }
    world.now = target;
}

std::vector<Datagram>::iterator earliest_due_by(uint32_t limit) {
    auto best = world.pending.end();
    for (auto it = world.pending.begin(); it != world.pending.end(); ++it) {
        if (static_cast<int32_t>(it->due - limit) > 0) continue;
        if (best == world.pending.end() || static_cast<int32_t>(it->due - best->due) < 0) best = it;
    }
    return best;
}

ssize_t write_log(void* path, const char* bytes, std::size_t size) {
    std::string& content = world.files[*static_cast<std::string*>(path)];
    // Once full, the disk stays full.
    if (*static_cast<std::string*>(path) == world.failing_log &&
        content.size() + size > world.log_fail_after) {
        world.log_fail_after = 0;
        errno = ENOSPC;
        return -1;
    }
    content.append(bytes, size);
    return static_cast<ssize_t>(size);
}

int close_log(void* path) {
    world.held.erase(*static_cast<std::string*>(path));
    delete static_cast<std::string*>(path);
    return 0;
}

}  // namespace

void reset() {
    world = World{};
    last_error = 0;
    sleeps = 0;
    stall = 0;
}

int run(const std::vector<std::string>& arguments) {
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    try {
        return run_program(static_cast<int>(argv.size()), argv.data());
    } catch (const ProcessExit& exit) {
        return exit.status;
    }
}

std::vector<uint8_t> echo_reply_for(const std::vector<uint8_t>& request, uint32_t from) {
    std::vector<uint8_t> datagram(20 + request.size(), 0);
    datagram[0] = 0x45;
    datagram[9] = 1;
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
uint32_t clock_ms() { return world.now; }

void sleep_ms(uint32_t ms) {
    auto late = world.late.find(++fake::sleeps);
    fake::advance_to(world.now + ms + (late != world.late.end() ? late->second : 0));
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
    fake::last_error = world.socket_open_error;
    if (world.socket_identifier != 0) *identifier = world.socket_identifier;
    return world.socket_open_error == 0;
}

bool icmp_send(const uint8_t* message, std::size_t length, uint32_t address) {
    if (!world.send_errors.empty()) {
        fake::last_error = world.send_errors.front();
        world.send_errors.erase(world.send_errors.begin());
        if (fake::last_error != 0) return false;
    }
    world.sent.emplace_back(message, message + length);
    world.send_times.push_back(world.now);
    uint32_t number = static_cast<uint32_t>(world.sent.size());
    auto found = world.answers.find(number);
    fake::Answer answer = found != world.answers.end() ? found->second : world.default_answer;
    uint32_t due = world.now + answer.after_ms;
    if (answer.kind == fake::Answer::ReceiveFailure) {
        world.pending.push_back({due, {}, 0, answer.error});
    } else if (answer.kind != fake::Answer::Silence) {
        world.pending.push_back(
            {due, fake::echo_reply_for(world.sent.back(), address), address, 0});
        if (answer.kind == fake::Answer::Twice) world.pending.push_back(world.pending.back());
    }
    auto stall = world.stalls.find(number);
    fake::stall = stall != world.stalls.end() ? stall->second : 0;
    return true;
}

Receive icmp_receive(uint32_t timeout_ms, uint8_t* buffer, std::size_t capacity,
                     Datagram* datagram) {
    world.now += fake::stall;  // the program was held up right after its send
    fake::stall = 0;
    world.waits.push_back(timeout_ms);
    auto next = fake::earliest_due_by(world.now + timeout_ms);
    if (next == world.pending.end()) {
        fake::advance_to(world.now + timeout_ms);
        return Receive::TimedOut;
    }
    if (static_cast<int32_t>(next->due - world.now) > 0) fake::advance_to(next->due);
    fake::Datagram taken = *next;
    world.pending.erase(next);
    fake::last_error = taken.error;
    if (taken.error != 0) return Receive::Failed;
    datagram->length = std::min(capacity, taken.bytes.size());
    std::memcpy(buffer, taken.bytes.data(), datagram->length);
    datagram->from_address = taken.from;
    datagram->receive_time = taken.due;
    return Receive::Datagram;
}

int last_socket_error() { return fake::last_error; }

void console_setup() {}

bool console_write(const char* text, std::size_t length) {
    if (!world.console_gone) world.console.append(text, length);
    return !world.console_gone;
}

bool console_put(char mark) { return console_write(&mark, 1); }
void console_flush() {}

std::size_t console_text_from_utf8(const char* text, std::size_t length, char* out,
                                   std::size_t capacity) {
    if (!world.console_cp932) {
        std::memcpy(out, text, std::min(length, capacity));
        return std::min(length, capacity);
    }
    iconv_t converter = iconv_open("CP932", "UTF-8");
    char* in = const_cast<char*>(text);
    char* stored = out;
    std::size_t out_left = capacity;
    iconv(converter, &in, &length, &stored, &out_left);
    iconv_close(converter);
    return capacity - out_left;
}

void error_write(const char* text, std::size_t length) { world.errors.append(text, length); }
const char* error_text(int error_number) { return strerror(error_number); }

std::FILE* log_file_open(const char* path, int* error_number) {
    auto refused = world.open_errors.find(path);
    *error_number = refused != world.open_errors.end() ? refused->second : EACCES;
    if (refused != world.open_errors.end() || !world.held.insert(path).second) return nullptr;
    world.files[path];
    cookie_io_functions_t io = {nullptr, fake::write_log, nullptr, fake::close_log};
    return fopencookie(new std::string(path), "a", io);
}

void output_lock() {}
void output_unlock() {}
bool output_lock_within(uint32_t) { return true; }

bool interrupt_install(void (*on_interrupt)(), void (*)(), int* error_number) {
    *error_number = EINVAL;
    fake::interrupt = on_interrupt;
    return !world.interrupt_install_fails;
}

void process_exit(int status) { throw fake::ProcessExit{status}; }
void wait_for_exit() { throw fake::ProcessExit{-1}; }

}  // namespace platform
