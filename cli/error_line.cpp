#include "cli/error_line.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <string>

#include "core/base/text.h"
#include "core/base/warning.h"

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

int run_main(int (*program)(std::span<char*>), std::span<char*> argv, int (*escaped_exit_code)()) {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  try {
    return program(argv);
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  } catch (const std::exception& failure) {
    print_error(std::string("internal failure: ") + failure.what());
  } catch (...) {
    print_error("internal failure");
  }
  return escaped_exit_code();
}

}  // namespace certwright
