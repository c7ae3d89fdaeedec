#include "core/base/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "core/base/error.h"

namespace certwright {

std::expected<RegularFile, std::error_code> open_regular_file(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::unexpected(last_system_error());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return std::unexpected(last_system_error());
  if (S_ISDIR(status.st_mode)) {
    return std::unexpected(std::make_error_code(std::errc::is_a_directory));
  }
  if (!S_ISREG(status.st_mode)) {
    return std::unexpected(make_error_code(FileError::not_regular_file));
  }
  return RegularFile{std::move(fd), static_cast<std::size_t>(status.st_size)};
}

}  // namespace certwright
