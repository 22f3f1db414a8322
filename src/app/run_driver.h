// The program from its arguments to its exit status.
#pragma once

namespace qelvor {

// Runs the program and returns its exit status. On return the output lock is
// held for good, so an interrupt arriving now can no longer write.
int run_program(int argc, char** argv);

}  // namespace qelvor
