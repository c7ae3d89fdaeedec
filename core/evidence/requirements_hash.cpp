#include "core/evidence/requirements_hash.h"

#include <array>
#include <cstdint>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/error.h"
#include "core/base/file_read.h"
#include "core/base/regular_file.h"
#include "core/base/warning.h"

namespace certwright {
namespace {

// One SHA-256 state fed document by document, each streamed through one fixed buffer.
class DocumentDigest {
 public:
  // Hashes the document at `path`: its length as a 64-bit little-endian number, then its bytes.
  // The length prefix keeps document boundaries in the hash ("ab" + "c" differs from "a" +
  // "bc"). The prefix is the size the open file reports, and exactly that many bytes must then
  // be read before the end: a file that grows or shrinks while it is read is an error, never a
  // hash of bytes that do not match their prefix.
  std::expected<void, std::error_code> add_document(const std::string& path) {
    const auto file = open_regular_file(path);
    if (!file) return std::unexpected(file.error());
    std::array<unsigned char, 8> length{};
    std::uint64_t size = file->size;
    for (unsigned char& byte : length) {
      byte = static_cast<unsigned char>(size & 0xFF);
      size >>= 8;
    }
    sha_.update(length.data(), length.size());
    std::uint64_t remaining = file->size;
    for (;;) {
      const auto count = read_into(file->fd.get(), buffer_);
      if (!count) return std::unexpected(count.error());
      if (*count > remaining)
        return std::unexpected(make_error_code(FileError::changed_while_read));
      sha_.update(buffer_.data(), *count);
      remaining -= *count;
      if (*count < buffer_.size()) break;  // the end of the file
    }
    if (remaining != 0) return std::unexpected(make_error_code(FileError::changed_while_read));
    return {};
  }

  std::string finish_hex() {
    const HashText hex = sha_.finish_hex();
    return std::string(hex.data(), hex.size());
  }

 private:
  Sha256 sha_;
  std::vector<char> buffer_ = std::vector<char>(kReadBufferSize);
};

}  // namespace

std::expected<std::string, DocumentReadError> hash_business_docs(
    const std::vector<std::string>& paths) {
  DocumentDigest digest;
  for (const std::string& path : paths) {
    if (auto added = digest.add_document(path); !added)
      return std::unexpected(DocumentReadError{path, added.error()});
  }
  return digest.finish_hex();
}

std::expected<std::string, DocumentReadError> resolve_requirements_hash(
    const std::vector<std::string>& business_docs,
    const std::optional<std::string>& requirements_hash) {
  if (!business_docs.empty()) return hash_business_docs(business_docs);
  if (requirements_hash && !requirements_hash->empty()) return *requirements_hash;
  warn(
      "neither --requirements-hash nor --business-docs supplied; intent.requirementsHash will be "
      "empty");
  return std::string();
}

}  // namespace certwright
