#include "core/requirements_hash.h"

#include <array>
#include <cstdint>

#include "core/content_hash.h"
#include "core/file_read.h"
#include "core/warning.h"

namespace certwright {
namespace {

// One SHA-256 state fed document by document.
class DocumentDigest {
 public:
  // The length prefix keeps document boundaries in the hash: "ab" + "c" differs from "a" + "bc".
  void add_document(std::string_view bytes) {
    std::array<unsigned char, 8> length{};
    std::uint64_t size = bytes.size();
    for (unsigned char& byte : length) {
      byte = static_cast<unsigned char>(size & 0xFF);
      size >>= 8;
    }
    sha_.update(length.data(), length.size());
    sha_.update(bytes);
  }

  std::string finish_hex() {
    const HashText hex = sha_.finish_hex();
    return std::string(hex.data(), hex.size());
  }

 private:
  Sha256 sha_;
};

}  // namespace

std::expected<std::string, DocumentReadError> hash_business_docs(
    const std::vector<std::string>& paths) {
  DocumentDigest digest;
  for (const std::string& path : paths) {
    // One document in memory at a time: it is released at the end of this iteration.
    const auto document = read_whole_file(path);
    if (!document) return std::unexpected(DocumentReadError{path, document.error()});
    digest.add_document(*document);
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
