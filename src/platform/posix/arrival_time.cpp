#include "platform/posix/arrival_time.h"

namespace platform {

namespace {

// A change smaller than this in how far the clocks stand apart is the time
// between the two calls that read them, not the time of day being set. (Both
// clocks are slewed alike: only a step moves one against the other.)
constexpr int64_t same_pace_ns = 1000000;

bool between(int64_t time, int64_t low, int64_t high) { return time >= low && time <= high; }

}  // namespace

// The stamp turned into the monotonic clock by the time of day at the read
// is off by every step of the time of day between arrival and read; turned
// by that at the send, by every step between send and arrival. While the
// clocks have kept pace since the send, both are right, and a stamp before
// the send is a datagram queued before the request went out (never its
// reply). After a step, the one reading that falls between send and read is
// right; neither does for a datagram queued before the send, which the step
// came after; and where both do, the read is the only time to be trusted.
int64_t arrival_monotonic(int64_t stamp, ClockPair sent, ClockPair now) {
    int64_t offset = now.time_of_day - now.monotonic;
    int64_t step = offset - (sent.time_of_day - sent.monotonic);
    int64_t by_read = stamp - offset;
    int64_t by_send = by_read + step;
    if (step > -same_pace_ns && step < same_pace_ns) {
        return by_read < 0 ? 0 : by_read > now.monotonic ? now.monotonic : by_read;
    }
    bool read_fits = between(by_read, sent.monotonic, now.monotonic);
    if (read_fits != between(by_send, sent.monotonic, now.monotonic)) {
        return read_fits ? by_read : by_send;
    }
    if (!read_fits && by_send < sent.monotonic) return by_send < 0 ? 0 : by_send;
    return now.monotonic;
}

// The stamp and the time of day read just before the send call are readings
// of one clock, so their order is that of the arrival and the send however
// long this thread was held up between any two readings; a hold-up between
// that reading and the call only lets in what came in meanwhile, as if just
// after the send. Only the time of day set back since the send could make a
// reply look older than its request: when the clocks have not kept pace that
// way (or a hold-up makes them seem not to), the datagram is taken to have
// come after.
bool came_before_send(int64_t stamp, ClockPair sent, ClockPair now) {
    int64_t step = (now.time_of_day - now.monotonic) - (sent.time_of_day - sent.monotonic);
    return stamp < sent.time_of_day && step > -same_pace_ns;
}

}  // namespace platform
