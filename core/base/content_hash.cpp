#include "core/base/content_hash.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <new>
#include <vector>

#include "core/base/error.h"
#include "core/base/openssl_handles.h"
#include "core/base/regular_file.h"
#include "core/base/unique_fd.h"

namespace certwright {
namespace {

// Writes two lower-case hexadecimal digits per byte of `bytes` to `out`, high nibble first.
void write_hex(std::span<const unsigned char> bytes, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const unsigned char byte : bytes) {
    *out++ = kDigits[byte >> 4];
    *out++ = kDigits[byte & 0x0F];
  }
}

std::string to_string(const HashText& hex) {
  return std::string(hex.data(), hex.size());
}

const EVP_MD* sha256_algorithm() {
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (!sha256) throw std::bad_alloc();
  return sha256;
}

// Hashing never nests, so one context per thread serves every digest in turn.
EVP_MD_CTX* reusable_context() {
  thread_local const DigestContext context(EVP_MD_CTX_new());
  if (!context) throw std::bad_alloc();
  return context.get();
}

}  // namespace

Sha256::Sha256() {
  if (EVP_DigestInit_ex2(reusable_context(), sha256_algorithm(), nullptr) != 1)
    throw std::bad_alloc();
}

void Sha256::update(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(reusable_context(), data, size) != 1) throw std::bad_alloc();
}

std::array<unsigned char, 32> Sha256::finish_bytes() {
  std::array<unsigned char, 32> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(reusable_context(), digest.data(), &size) != 1) throw std::bad_alloc();
  return digest;
}

HashText Sha256::finish_hex() {
  const std::array<unsigned char, 32> digest = finish_bytes();
  HashText hex;
  write_hex(digest, hex.data());
  return hex;
}

std::string to_hex(std::span<const unsigned char> bytes) {
  std::string hex(bytes.size() * 2, '\0');
  write_hex(bytes, hex.data());
  return hex;
}

std::string hash_bytes(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  return to_string(sha.finish_hex());
}

std::expected<std::string, std::error_code> hash_file(const std::string& path) {
  auto file = open_regular_file(path);
  if (!file) return std::unexpected(file.error());
  std::vector<std::byte> buffer(kReadBufferSize);
  const auto hash = hash_open_file(file->fd.get(), file->size, buffer);
  if (!hash) return std::unexpected(hash.error());
  return to_string(*hash);
}

std::expected<HashText, std::error_code> hash_open_file(int fd, std::size_t size,
                                                        std::span<std::byte> buffer) {
  Sha256 sha;
  std::size_t total = 0;
  for (;;) {
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_system_error());
    }
    const auto got = static_cast<std::size_t>(count);
    sha.update(buffer.data(), got);
    total += got;
    if (read_ends_file(got, total, size)) return sha.finish_hex();
  }
}

}  // namespace certwright
