// The one way a program's driver reports the error that ends it.
#pragma once

#include <string_view>

namespace certwright {

// Prints "error: {message}" as one line on standard error (control characters escaped).
void print_error(std::string_view message);

// Prints the error and gives exit code 2, that of a run refused or an input that could not be
// read.
int refuse(std::string_view message);

}  // namespace certwright
