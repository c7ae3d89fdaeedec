#include "core/file_read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/error.h"
#include "core/regular_file.h"

namespace certwright {
namespace {

constexpr std::size_t kMinimumChunk = 16 * 1024;

// Reads `fd` to its end. `size_hint` is only where the buffer starts: the file may have grown
// or shrunk since it was measured, so the end is where read() says it is.
std::expected<std::string, std::error_code> read_to_end(int fd, std::size_t size_hint) {
  std::string content;
  // One byte past the hint lets an unchanged file end with a single zero-length read.
  content.resize(std::max(size_hint + 1, kMinimumChunk));
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2);
    const ssize_t count = ::read(fd, content.data() + filled, content.size() - filled);
    if (count > 0) {
      filled += static_cast<std::size_t>(count);
    } else if (count == 0) {
      content.resize(filled);
      return content;
    } else if (errno != EINTR) {
      return std::unexpected(last_system_error());
    }
  }
}

}  // namespace

std::expected<std::string, std::error_code> read_whole_file(const std::string& path) {
  auto file = open_regular_file(path);
  if (!file) return std::unexpected(file.error());
  return read_to_end(file->fd.get(), file->size);
}

}  // namespace certwright
