#include <span>

#include "cli/command_line.h"

int main(int argc, char** argv) {
  return certwright::run_keygen_command_line(
      std::span<char*>(argv, static_cast<std::size_t>(argc)));
}
