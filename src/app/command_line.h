// Turns the command line into the run settings.
#pragma once

#include "probe/run_settings.h"

namespace qelvor {

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

}  // namespace qelvor
