#include "core/base/file_read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/base/error.h"
#include "core/base/regular_file.h"

namespace certwright {
namespace {

constexpr std::size_t kMinimumChunk = 16 * 1024;

std::unexpected<std::error_code> too_large() {
  return std::unexpected(std::make_error_code(std::errc::file_too_large));
}

}  // namespace

std::expected<std::size_t, std::error_code> read_into(int fd, std::span<char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t count = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (count > 0) {
      filled += static_cast<std::size_t>(count);
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      return std::unexpected(last_system_error());
    }
  }
  return filled;
}

std::expected<std::string, std::error_code> read_whole_file(const std::string& path,
                                                            std::size_t max_bytes) {
  auto file = open_regular_file(path);
  if (!file) return std::unexpected(file.error());
  if (file->size > max_bytes) return too_large();
  // The size is only where the buffer starts: the file may have grown or shrunk since it was
  // measured (and kernel files report 0), so the end is where read() says it is. One byte past
  // the size lets an unchanged file end with a single zero-length read.
  std::string content;
  content.resize(std::min(std::max(file->size + 1, kMinimumChunk), max_bytes + 1));
  std::size_t filled = 0;
  for (;;) {
    const auto count = read_into(file->fd.get(), std::span(content).subspan(filled));
    if (!count) return std::unexpected(count.error());
    filled += *count;
    if (filled < content.size()) {
      content.resize(filled);
      return content;
    }
    if (filled > max_bytes) return too_large();
    content.resize(std::min(content.size() * 2, max_bytes + 1));
  }
}

}  // namespace certwright
