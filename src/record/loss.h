// The loss a summary shows: requests lost of requests sent, in tenths of a
// percent.
#pragma once

#include <cstdint>

namespace record {

// lost / sent * 1000 rounded half up, in integers, so that an exact half
// (16 sent, 15 received: 62.5 tenths) is a half and rounds up; 0 when
// nothing was sent or nothing lost.
uint64_t loss_tenths(uint64_t sent, uint64_t received);

}  // namespace record
