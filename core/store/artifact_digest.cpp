#include "core/store/artifact_digest.h"

#include <span>

#include "core/base/content_hash.h"

namespace certwright {
namespace {

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_digest_hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text)
    if (nibble(c) < 0) return false;
  return true;
}

}  // namespace

std::string digest_bytes(std::string_view hex) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
    bytes.push_back(static_cast<char>(nibble(hex[at]) * 16 + nibble(hex[at + 1])));
  return bytes;
}

DigestColumns digest_columns(std::string_view text) {
  if (is_digest_hex(text)) return {digest_bytes(text), std::monostate{}};
  return {std::monostate{}, std::string(text)};
}

std::string digest_text_of(const SqlValue& digest, const SqlValue& digest_text) {
  if (std::holds_alternative<std::monostate>(digest)) return bytes_of(digest_text);
  const std::string& bytes = bytes_of(digest);
  return to_hex(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

}  // namespace certwright
