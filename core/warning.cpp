#include "core/warning.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace certwright {

void warn(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 10);
  line.append("warning: ").append(message).push_back('\n');
  // One write keeps the line whole when standard error is shared with other writers.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return;
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace certwright
