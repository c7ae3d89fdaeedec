// The command line: option table, parsing, help, version and usage errors.
#pragma once

#include <span>

namespace certwright {

// Parses `argv`, prints help, version or a usage error itself, or runs the driver; returns the
// process exit code (0 help/version, 2 usage error, otherwise the driver's code).
int run_command_line(std::span<char*> argv);

}  // namespace certwright
