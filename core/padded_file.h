// Reading a whole file into a buffer that the JSON parser can read in place.
#pragma once

#include <simdjson.h>

#include <expected>
#include <string>
#include <system_error>

namespace certwright {

// The whole content of the regular file at `path` (symbolic links followed, as a user-given
// path expects), with the parser's padding after it; the open or read error otherwise. A FIFO
// or device is refused rather than read, so the call cannot block.
std::expected<simdjson::padded_string, std::error_code> read_padded_file(const std::string& path);

}  // namespace certwright
