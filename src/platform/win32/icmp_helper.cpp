// Echo requests through the ICMP helper API.
//
// Windows lets every user send echo requests through IcmpSendEcho2, where
// only an elevated one may open a raw ICMP socket. The API builds the
// request with an identifier and sequence of its own and hands back what it
// matched to it: the reply, an ICMP error about it (an unreachable or an
// expired TTL, with the router's address) or its own time-out. There are no
// datagrams for the reply rule to test, so a reply goes to the probe cycle
// as Receive::Matched; everything else is not a reply, and the wait goes on.
//
// Each request is made with an event, so that the waiting is the program's
// own: it waits on the reply and on Ctrl-C together, never inside the API.
#include <winsock2.h>
// The helper API's types need those of winsock2.h.
#include <iphlpapi.h>
// And icmpapi.h needs those of iphlpapi.h.
#include <icmpapi.h>

#include <atomic>
#include <cstring>

#include "platform/win32/icmp_helper.h"

namespace platform {

namespace {

// A request stays with the API until its reply or its time-out, which may
// come a little after the program's own wait has ended; the next request
// then goes out from the next slot. A slot still taken when its turn comes
// round again is a request the API has not let go of after three more.
constexpr int slot_count = 4;

// One ICMP_ECHO_REPLY with the request's 18 data bytes, the 8 more of an
// ICMP error, and room for what the system keeps beside them.
constexpr std::size_t reply_size = 256;

struct Slot {
    HANDLE event;        // set by the API when the request is finished
    bool out;            // sent, and the API may still write into reply
    uint64_t send_time;  // clock_ms() right after the call returned
    ULONG status;        // once finished: IP_SUCCESS for a reply, otherwise why there is none
    uint32_t from;
    ULONG round_trip;  // in milliseconds, measured by the API
    alignas(8) unsigned char reply[reply_size];
};

struct Helper {
    HANDLE handle;
    DWORD wait_ms;
    Slot slots[slot_count];
    int next;       // the slot of the next request
    Slot* current;  // the last request's, until its outcome has been handed over
};

Helper helper;

// Set by the Ctrl-C handler, on a thread of its own; it stays set.
std::atomic<HANDLE> stop_event{nullptr};

// What the API reports about a request it could not send, as the Winsock
// number the program prints for the same failure of sendto. Any other code
// is printed as it is. IP_GENERAL_FAILURE is all the API says for most
// local failures (wine gives it for every one but a host unreachable):
// taken for the commonest of them, a host without a route, where sendto
// fails with WSAENETUNREACH.
int socket_error_for(DWORD code) {
    struct Translation {
        DWORD code;
        int error;
    };
    constexpr Translation table[] = {
        {ERROR_NOT_ENOUGH_MEMORY, socket_error_no_buffers},
        {ERROR_OUTOFMEMORY, socket_error_no_buffers},
        {ERROR_NO_SYSTEM_RESOURCES, socket_error_no_buffers},
        {IP_NO_RESOURCES, socket_error_no_buffers},
        {ERROR_ACCESS_DENIED, socket_error_access},
        {ERROR_NETWORK_ACCESS_DENIED, socket_error_access},
        {ERROR_INVALID_PARAMETER, socket_error_invalid_argument},
        {IP_BAD_DESTINATION, socket_error_invalid_argument},
        {IP_HW_ERROR, socket_error_network_down},
        {ERROR_GEN_FAILURE, socket_error_network_down},
        {IP_GENERAL_FAILURE, socket_error_network_unreachable},
        {IP_BAD_ROUTE, socket_error_network_unreachable},
        {ERROR_NETWORK_UNREACHABLE, socket_error_network_unreachable},
        {IP_DEST_NET_UNREACHABLE, socket_error_network_unreachable},
        {ERROR_HOST_UNREACHABLE, socket_error_host_unreachable},
        {IP_DEST_HOST_UNREACHABLE, socket_error_host_unreachable},
    };
    for (const Translation& translation : table) {
        if (translation.code == code) return translation.error;
    }
    return static_cast<int>(code);
}

// Reads the outcome of a request the API has finished. Why there is no
// reply is read as Microsoft documents it, from the last error once the
// parse found none; the buffer's own status only when that says nothing.
// The reply buffer was zeroed before the request, so a request the API
// ended without writing a reply counts as none; without any reason either
// (wine's, when its helper can open no socket), the API itself failed.
void finish(Slot& slot) {
    slot.out = false;
    SetLastError(ERROR_SUCCESS);
    DWORD replies = IcmpParseReplies(slot.reply, sizeof slot.reply);
    DWORD reason = replies > 0 ? IP_SUCCESS : GetLastError();
    ICMP_ECHO_REPLY reply;
    std::memcpy(&reply, slot.reply, sizeof reply);
    slot.status = replies > 0                  ? reply.Status
                  : reason != IP_SUCCESS       ? reason
                  : reply.Status != IP_SUCCESS ? reply.Status
                                               : ERROR_GEN_FAILURE;
    slot.from = reply.Address;
    slot.round_trip = reply.RoundTripTime;
}

// A request the system finished before it could have left the host: no
// reply, not the API's time-out, and no address an ICMP error came from.
bool failed_locally(const Slot& slot) {
    return slot.status != IP_SUCCESS && slot.status != IP_REQ_TIMED_OUT && slot.from == 0;
}

}  // namespace

bool helper_open(uint32_t wait_ms) {
    // Manual-reset events: a finished request and a Ctrl-C stay seen.
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop == nullptr) return false;
    for (Slot& slot : helper.slots) {
        slot.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (slot.event == nullptr) return false;
    }
    helper.handle = IcmpCreateFile();
    if (helper.handle == INVALID_HANDLE_VALUE) return false;
    helper.wait_ms = wait_ms;
    stop_event.store(stop);
    return true;
}

bool helper_send(const uint8_t* message, std::size_t length, uint32_t address, int* error) {
    Slot& slot = helper.slots[helper.next];
    helper.current = nullptr;
    if (slot.out && WaitForSingleObject(slot.event, 0) != WAIT_OBJECT_0) {
        *error = socket_error_no_buffers;
        return false;
    }
    helper.next = (helper.next + 1) % slot_count;
    ResetEvent(slot.event);
    std::memset(slot.reply, 0, sizeof slot.reply);
    DWORD replies = IcmpSendEcho2(helper.handle, slot.event, nullptr, nullptr, address,
                                  const_cast<uint8_t*>(message) + 8, static_cast<WORD>(length - 8),
                                  nullptr, slot.reply, sizeof slot.reply, helper.wait_ms);
    DWORD code = GetLastError();
    slot.send_time = clock_ms();
    if (replies == 0 && code != ERROR_IO_PENDING) {
        slot.out = false;
        *error = socket_error_for(code);
        return false;
    }
    slot.out = true;
    helper.current = &slot;
    // Finished already, in the call or by the time it returned: a failure
    // of the host's own (no route, no buffers) is the send's, as sendto
    // would have reported it.
    if (replies != 0 || WaitForSingleObject(slot.event, 0) == WAIT_OBJECT_0) {
        finish(slot);
        if (failed_locally(slot)) {
            helper.current = nullptr;
            *error = socket_error_for(slot.status);
            return false;
        }
    }
    return true;
}

Receive helper_receive(uint32_t timeout_ms, Datagram* datagram, int* error) {
    uint64_t start = clock_ms();
    for (;;) {
        Slot* slot = helper.current;
        if (slot != nullptr && !slot->out) {
            helper.current = nullptr;
            if (slot->status == IP_SUCCESS) {
                datagram->length = 0;
                datagram->from_address = slot->from;
                datagram->receive_time = slot->send_time + slot->round_trip;
                return Receive::Matched;
            }
            // The request never left the host, however late the API says
            // so: a failed send, as sendto would have reported it.
            if (failed_locally(*slot)) {
                *error = socket_error_for(slot->status);
                return Receive::NotSent;
            }
            // An ICMP error, or the API's time-out: no reply, and the rest
            // of the wait is waited out, as on the raw socket.
            continue;
        }
        uint64_t spent = clock_ms() - start;
        DWORD left = spent >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - spent);
        // Ctrl-C first: when both are set, the run is ending.
        HANDLE events[2] = {stop_event.load(), slot != nullptr ? slot->event : nullptr};
        DWORD woken = WaitForMultipleObjects(slot != nullptr ? 2 : 1, events, FALSE, left);
        if (woken == WAIT_OBJECT_0) wait_for_exit();
        if (woken == WAIT_TIMEOUT) return Receive::TimedOut;
        if (woken != WAIT_OBJECT_0 + 1) {
            *error = socket_error_for(GetLastError());
            return Receive::Failed;
        }
        finish(*slot);
    }
}

void helper_stop_waits() {
    HANDLE stop = stop_event.load();
    if (stop != nullptr) SetEvent(stop);
}

}  // namespace platform
