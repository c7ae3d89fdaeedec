#include <span>

#include "cli/error_line.h"
#include "cli/index_driver.h"

int main(int argc, char** argv) {
  // Any failure of this program, one that escapes as an exception included, exits with 2.
  return certwright::run_main(certwright::run_index_command_line,
                              std::span<char*>(argv, static_cast<std::size_t>(argc)),
                              [] { return 2; });
}
