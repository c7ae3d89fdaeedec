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

// One SHA-256 computation as OpenSSL implements it (with the CPU's SHA extensions where
// present). The algorithm is fetched once and one digest context per thread is reused, so
// hashing many small files costs no per-file lookup or allocation; hence two live `Sha256`
// objects on one thread must not interleave. OpenSSL fails here only out of memory, which
// throws std::bad_alloc.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, std::size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  HashText finish_hex();
  std::array<unsigned char, 32> finish_bytes();
};

// The content hash of a byte sequence.
std::string hash_bytes(std::string_view bytes);

// The content hash of the regular file at `path` (links followed, as for a path a user names),
// streamed through a 64 KiB buffer; the open or read error otherwise, "not a regular file" for a
// FIFO, socket or device, which is never read, so the call cannot block.
std::expected<std::string, std::error_code> hash_file(const std::string& path);

// Whether a read that returned `got` bytes, bringing the bytes read so far to `total`, ends a
// file that measured `size` bytes when it was opened: a read of nothing ends it, and so do the
// bytes read reaching the measured size, which saves the read that would only confirm the end.
// A short read alone never ends a file; one that gives more than it measured, or that measured
// empty, is read on until a read gives nothing.
constexpr bool read_ends_file(std::size_t got, std::size_t total, std::size_t size) {
  return got == 0 || (size > 0 && total == size);
}

// The content hash of the open regular file `fd` that measured `size` bytes when opened, read
// from its current position through `buffer`; the read error otherwise.
std::expected<HashText, std::error_code> hash_open_file(int fd, std::size_t size,
                                                        std::span<std::byte> buffer);

// Lower-case hexadecimal text of `bytes`, high nibble first.
std::string to_hex(std::span<const unsigned char> bytes);

}  // namespace certwright
