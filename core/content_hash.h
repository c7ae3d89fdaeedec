// SHA-256 content hashes: 64 lower-case hexadecimal characters, no prefix.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace certwright {

// Size of the one read buffer a walk streams every file through.
inline constexpr std::size_t kReadBufferSize = 64 * 1024;

// A content hash's 64 characters held inline, so that hashing a file allocates nothing.
using HashText = std::array<char, 64>;

// The content hash of a byte sequence.
std::string hash_bytes(std::string_view bytes);

// The content hash of the regular file at `path` (links followed, as for a path a user names),
// streamed through a 64 KiB buffer; the open or read error otherwise, "not a regular file" for a
// FIFO, socket or device, which is never read, so the call cannot block.
std::expected<std::string, std::error_code> hash_file(const std::string& path);

// The content hash of the entry `name` of the directory open as `dir_fd`, streamed through
// `buffer`; the open or read error otherwise (special files and links fail to open).
std::expected<HashText, std::error_code> hash_file_at(int dir_fd, const char* name,
                                                      std::span<std::byte> buffer);

// Lower-case hexadecimal text of `bytes`, high nibble first.
std::string to_hex(std::span<const unsigned char> bytes);

}  // namespace certwright
