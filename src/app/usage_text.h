// The usage text, printed when the command line is not acceptable.
#pragma once

namespace qelvor {

// Prints the usage text to the console in its character set, with the
// program path as typed.
void print_usage(const char* program_path);

}  // namespace qelvor
