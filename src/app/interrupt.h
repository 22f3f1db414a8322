// What happens when the user presses Ctrl-C, or the process is told to end.
#pragma once

namespace qelvor {

// Installs both paths below. Returns false with *error_number set when that
// failed.
bool install_interrupt_handler(int* error_number);

}  // namespace qelvor
