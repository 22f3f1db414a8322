// Process start and end, the output lock, addresses, the socket library.
#include <winsock2.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

CRITICAL_SECTION output_section;

// A critical section has no static initializer. This runs before main, so
// the lock is ready before the Ctrl-C thread can exist; the section is
// recursive by nature, as the interrupt path needs.
bool output_section_ready = [] {
    InitializeCriticalSection(&output_section);
    return true;
}();

}  // namespace

void process_startup() {}

// Process IDs are the host's own on Windows, also inside a container.
uint16_t echo_identifier() { return static_cast<uint16_t>(GetCurrentProcessId()); }

int socket_library_start() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

// Also called when the start failed or never happened; WSACleanup then
// just reports WSANOTINITIALISED, which nobody needs to hear.
void socket_library_stop() { WSACleanup(); }

void output_lock() { EnterCriticalSection(&output_section); }
void output_unlock() { LeaveCriticalSection(&output_section); }

bool output_lock_within(uint32_t ms) {
    DWORD started = GetTickCount();
    while (!TryEnterCriticalSection(&output_section)) {
        if (GetTickCount() - started >= ms) return false;
        Sleep(1);
    }
    return true;
}

// Straight to the kernel: the C runtime's exit (ExitProcess) waits on the
// streams, which a thread stuck in a log write on a stalled share holds.
void process_exit(int status) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    _exit(status);
}

void wait_for_exit() {
    for (;;) Sleep(INFINITE);
}

// inet_addr and inet_ntoa are plain conversions: they work before
// WSAStartup, which matters as the command line is read first.
uint32_t address_from_text(const char* text) { return inet_addr(text); }

void address_to_text(uint32_t address, char* out) {
    in_addr value;
    value.s_addr = address;
    const char* text = inet_ntoa(value);
    if (text == nullptr) text = "";
    std::strncpy(out, text, address_text_size - 1);
    out[address_text_size - 1] = '\0';
}

}  // namespace platform
