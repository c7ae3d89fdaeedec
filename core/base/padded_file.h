// Reading a whole file into a buffer that the JSON parser can read in place.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <expected>
#include <string>
#include <system_error>

namespace certwright {

// The whole content of the regular file at `path` (symbolic links followed, as a user-given
// path expects), with the parser's padding after it; the open or read error otherwise. A FIFO
// or device is refused rather than read, so the call cannot block. A file that holds more than
// `max_bytes` is refused with std::errc::file_too_large ("File too large").
std::expected<simdjson::padded_string, std::error_code> read_padded_file(const std::string& path,
                                                                         std::size_t max_bytes);

// The same for a path a user gives as input: "-" is standard input, and a pipe (`<(...)`,
// `/dev/stdin` from a pipe) or socket is read to its end, waiting for its writer as any reader
// of a pipe does. A directory or device is refused ("not a regular file" for a device).
std::expected<simdjson::padded_string, std::error_code> read_padded_input(const std::string& path,
                                                                          std::size_t max_bytes);

}  // namespace certwright
