// Opening a file that a user named, refusing anything that could block or is not a file.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <system_error>

#include "core/base/unique_fd.h"

namespace certwright {

struct RegularFile {
  UniqueFd fd;
  std::size_t size = 0;  // when opened; the file may still grow or shrink
};

// The regular file at `path` (links followed, as a user-given path expects) open for reading;
// the open error otherwise, EISDIR for a directory and "not a regular file" for a FIFO, socket
// or device, which is never read.
std::expected<RegularFile, std::error_code> open_regular_file(const std::string& path);

}  // namespace certwright
