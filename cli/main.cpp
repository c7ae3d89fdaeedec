#include <sys/prctl.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "cli/driver.h"
#include "core/text.h"
#include "core/warning.h"

namespace {

// The one place where a failure that escaped as an exception becomes an error line and an
// exit code, instead of the runtime's abort.
int report_escaped_failure(std::string_view what) {
  std::string line = "error: ";
  line.append(certwright::single_line(what)).push_back('\n');
  certwright::write_fully(STDERR_FILENO, line);
  return certwright::exit_code_for_escaped_failure();
}

}  // namespace

int main(int argc, char** argv) {
  // Before any key material is read: no core dump of this process, and no reading of its memory
  // by other processes of the same user.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  try {
    return certwright::run_command_line(std::span<char*>(argv, static_cast<std::size_t>(argc)));
  } catch (const std::bad_alloc&) {
    return report_escaped_failure("out of memory");
  } catch (const std::exception& failure) {
    return report_escaped_failure(std::string("internal failure: ") + failure.what());
  } catch (...) {
    return report_escaped_failure("internal failure");
  }
}
