// The summary's rounding of the loss.
#include "record/loss.h"

namespace record {

namespace {
// Wide enough for lost * 2000 at any 64-bit count.
__extension__ typedef unsigned __int128 Wide;
}  // namespace

uint64_t loss_tenths(uint64_t sent, uint64_t received) {
    if (sent == 0 || received >= sent) return 0;
    uint64_t lost = sent - received;
    return static_cast<uint64_t>((Wide{lost} * 2000 + sent) / (Wide{sent} * 2));
}

}  // namespace record
