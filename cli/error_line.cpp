#include "cli/error_line.h"

#include <unistd.h>

#include <string>

#include "core/text.h"
#include "core/warning.h"

namespace certwright {

void print_error(std::string_view message) {
  std::string line = "error: ";
  line.append(single_line(message)).push_back('\n');
  write_fully(STDERR_FILENO, line);
}

int refuse(std::string_view message) {
  print_error(message);
  return 2;
}

}  // namespace certwright
