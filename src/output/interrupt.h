// What happens when the user presses Ctrl-C, or the process is told to end.
#pragma once

// Ctrl-C: the summary, the services taken down, the log closed, status 1.
// Runs on the interrupt thread; keeps the output lock to the end, so the main
// thread can write nothing after it began.
[[noreturn]] void interrupt_run();

// Terminal closed or service stopped: no summary, but everything reported so
// far reaches the console and the log before the process ends. Returns with
// the output lock held; the caller ends the process.
void terminate_run();

// Installs both. Returns false with *error_number set when that failed.
bool install_interrupt_handler(int* error_number);
