#include <span>

#include "cli/command_line.h"
#include "cli/driver.h"
#include "cli/error_line.h"

int main(int argc, char** argv) {
  return certwright::run_main(certwright::run_command_line,
                              std::span<char*>(argv, static_cast<std::size_t>(argc)),
                              certwright::exit_code_for_escaped_failure);
}
