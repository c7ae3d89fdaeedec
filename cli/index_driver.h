// One run of `certwright-index`: the command line, then the command's driver.
#pragma once

#include <span>

namespace certwright {

// Parses `argv`, prints help, version or a usage error, or runs the command; the exit code:
// 0 done, 1 a certificate refused or disagreeing or a prefix that names none or several, 2 a
// usage error or a store or input that could not be read.
int run_index_command_line(std::span<char*> argv);

}  // namespace certwright
