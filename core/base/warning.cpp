#include "core/base/warning.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/base/text.h"

namespace certwright {

void write_fully(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void warn(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 10);
  line.append("warning: ").append(single_line(message)).push_back('\n');
  // One write keeps the line whole when standard error is shared with other writers.
  write_fully(STDERR_FILENO, line);
}

void warn_unbound(std::string_view message) {
  std::string line(message);
  warn(line.append(" (cert unbound)"));
}

}  // namespace certwright
