// The one way a program's driver reports the error that ends it.
#pragma once

#include <span>
#include <string_view>

namespace certwright {

// Prints "error: {message}" as one line on standard error (control characters escaped).
void print_error(std::string_view message);

// Prints the error and gives exit code 2, that of a run refused or an input that could not be
// read.
int refuse(std::string_view message);

// Runs `program` on `argv` as a process's main function. Core dumps, and reading this process's
// memory from other processes of the same user, are disabled first, before any key material is
// read. A failure that escapes as an exception becomes one error line ("out of memory" for a
// failed allocation) and the exit code `escaped_exit_code` gives, never the runtime's abort.
int run_main(int (*program)(std::span<char*>), std::span<char*> argv, int (*escaped_exit_code)());

}  // namespace certwright
