// Turns the command line into the run settings.
#pragma once

#include <cstdint>

#include "probe/run_settings.h"

enum class ParseResult {
    Accepted,
    Usage,          // the caller prints the usage text and ends with status 1
    LogOpenFailed,  // already reported; the caller ends with status 1
};

// Reads the arguments after the program name into the run settings. "-o"
// opens its log at once, so an error after it leaves that file created and
// empty.
ParseResult parse_command_line(int argc, char** argv);

// What the last command line read asked for; written by nothing else.
const RunSettings& run_settings();

// Reads a decimal number the way strtoul does with a 32-bit unsigned long:
// leading white space, an optional sign, digits; too large reads as
// 4294967295; a minus negates modulo 2^32 after that. True only when the
// whole text was read, which the empty text passes as 0.
bool read_number(const char* text, uint32_t* value);
