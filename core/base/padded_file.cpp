#include "core/base/padded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "core/base/error.h"
#include "core/base/file_read.h"
#include "core/base/regular_file.h"

namespace certwright {
namespace {

std::expected<simdjson::padded_string, std::error_code> allocate(std::size_t size) {
  simdjson::padded_string buffer(size);
  if (buffer.data() == nullptr) {
    return std::unexpected(std::make_error_code(std::errc::not_enough_memory));
  }
  return buffer;
}

// A padded buffer of `capacity` bytes that starts with the first `size` bytes of `content`.
std::expected<simdjson::padded_string, std::error_code> resized(
    const simdjson::padded_string& content, std::size_t size, std::size_t capacity) {
  auto buffer = allocate(capacity);
  if (buffer && size > 0) std::memcpy(buffer->data(), content.data(), std::min(size, capacity));
  return buffer;
}

// Reads the open regular file whose size was `expected_size` when it was opened. The buffer
// is sized from that once, so the usual read copies nothing; a file that shrinks or grows
// meanwhile (or a kernel file that reports size 0) still reads whole, at the cost of a copy.
std::expected<simdjson::padded_string, std::error_code> read_sized(int fd,
                                                                   std::size_t expected_size,
                                                                   std::size_t max_bytes) {
  auto content = allocate(expected_size);
  std::size_t size = 0;
  while (content) {
    const auto filled = read_into(fd, std::span(content->data(), content->size()).subspan(size));
    if (!filled) return std::unexpected(filled.error());
    size += *filled;
    if (size < content->size()) return resized(*content, size, size);
    char probe = 0;
    const auto more = read_into(fd, std::span(&probe, 1));
    if (!more) return std::unexpected(more.error());
    if (*more == 0) return content;
    if (size >= max_bytes) return std::unexpected(std::make_error_code(std::errc::file_too_large));
    content = resized(*content, size, std::min(std::max<std::size_t>(2 * size, 4096), max_bytes));
    if (content) content->data()[size++] = probe;
  }
  return content;
}

// Whether the open descriptor is a stream to read to its end, made blocking; the refusal of
// anything else but a regular file.
std::expected<bool, std::error_code> is_stream(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(last_system_error());
  if (S_ISREG(status.st_mode)) return false;
  if (S_ISDIR(status.st_mode))
    return std::unexpected(std::make_error_code(std::errc::is_a_directory));
  if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode))
    return std::unexpected(make_error_code(FileError::not_regular_file));
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    return std::unexpected(last_system_error());
  return true;
}

}  // namespace

std::expected<simdjson::padded_string, std::error_code> read_padded_input(const std::string& path,
                                                                          std::size_t max_bytes) {
  if (path != "-" && path != "/dev/stdin") {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return std::unexpected(last_system_error());
    const auto stream = is_stream(fd.get());
    if (!stream) return std::unexpected(stream.error());
    if (*stream) return read_sized(fd.get(), 0, max_bytes);
    return read_padded_file(path, max_bytes);
  }
  const auto stream = is_stream(STDIN_FILENO);
  if (!stream) return std::unexpected(stream.error());
  return read_sized(STDIN_FILENO, 0, max_bytes);
}

std::expected<simdjson::padded_string, std::error_code> read_padded_file(const std::string& path,
                                                                         std::size_t max_bytes) {
  auto file = open_regular_file(path);
  if (!file) return std::unexpected(file.error());
  if (file->size > max_bytes)
    return std::unexpected(std::make_error_code(std::errc::file_too_large));
  return read_sized(file->fd.get(), file->size, max_bytes);
}

}  // namespace certwright
