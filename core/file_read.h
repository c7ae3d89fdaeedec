// Reading whole files into memory.
#pragma once

#include <expected>
#include <string>
#include <system_error>

namespace certwright {

// The whole content of the regular file at `path` (symbolic links followed, as a user-given
// path expects); the open or read error otherwise. A FIFO or device is refused rather than
// read, so the call cannot block.
std::expected<std::string, std::error_code> read_whole_file(const std::string& path);

}  // namespace certwright
