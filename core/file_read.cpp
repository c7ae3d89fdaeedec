#include "core/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/error.h"
#include "core/unique_fd.h"

namespace certwright {
namespace {

constexpr std::size_t kMinimumChunk = 16 * 1024;

std::error_code last_error() {
  return {errno, std::system_category()};
}

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
      return std::unexpected(last_error());
    }
  }
}

}  // namespace

std::expected<std::string, std::error_code> read_whole_file(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::unexpected(last_error());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return std::unexpected(last_error());
  if (S_ISDIR(status.st_mode))
    return std::unexpected(std::make_error_code(std::errc::is_a_directory));
  if (!S_ISREG(status.st_mode))
    return std::unexpected(make_error_code(FileError::not_regular_file));
  return read_to_end(fd.get(), static_cast<std::size_t>(status.st_size));
}

}  // namespace certwright
