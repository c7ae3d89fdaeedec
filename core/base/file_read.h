// Reading files that a user named: whole into memory under a stated cap, or piece by piece.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <system_error>

namespace certwright {

// Reads from `fd` until `buffer` is full or the file ends, retrying interrupted reads; the
// count read (less than the buffer only at the end of the file), or the read error.
std::expected<std::size_t, std::error_code> read_into(int fd, std::span<char> buffer);

// The whole content of the regular file at `path` (symbolic links followed, as a user-given
// path expects); the open or read error otherwise. A FIFO or device is refused rather than
// read, so the call cannot block. A file that holds more than `max_bytes` is refused with
// std::errc::file_too_large ("File too large"), whatever size it reported, and never more than
// `max_bytes` + 1 bytes are held.
std::expected<std::string, std::error_code> read_whole_file(const std::string& path,
                                                            std::size_t max_bytes);

}  // namespace certwright
