// How qelvor reads the number of a value option, and so how a header line's
// numbers are read back.
#pragma once

#include <cstdint>
#include <string_view>

namespace record {

// Reads a decimal number the way strtoul does with a 32-bit unsigned long:
// leading white space, an optional sign, digits; too large reads as
// 4294967295; a minus negates modulo 2^32 after that. True only when the
// whole text was read, which the empty text passes as 0.
bool read_number(std::string_view text, uint32_t* value);

}  // namespace record
