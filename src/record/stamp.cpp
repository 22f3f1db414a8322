// Stamps to and from milliseconds.
#include "record/stamp.h"

namespace record {

Stamp stamp_of(uint64_t ms) {
    return Stamp{static_cast<uint16_t>(ms / 3600000 % 24), static_cast<uint16_t>(ms / 60000 % 60),
                 static_cast<uint16_t>(ms / 1000 % 60), static_cast<uint16_t>(ms % 1000)};
}

uint32_t ms_of(const Stamp& stamp) {
    return ((stamp.hours * 60u + stamp.minutes) * 60u + stamp.seconds) * 1000u + stamp.milliseconds;
}

}  // namespace record
