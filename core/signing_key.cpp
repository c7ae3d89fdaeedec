#include "core/signing_key.h"

#include <openssl/crypto.h>

namespace certwright {

Seed::Seed(Seed&& other) noexcept : bytes_(other.bytes_) {
  OPENSSL_cleanse(other.bytes_.data(), other.bytes_.size());
}
Seed& Seed::operator=(Seed&& other) noexcept {
  bytes_ = other.bytes_;
  OPENSSL_cleanse(other.bytes_.data(), other.bytes_.size());
  return *this;
}
Seed::~Seed() {
  OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

std::expected<SigningKey, std::string> SigningKey::from_seed(const Seed&) {
  return std::unexpected(std::string("not implemented"));
}
std::array<unsigned char, 32> SigningKey::public_key() const {
  return {};
}
std::array<unsigned char, 64> SigningKey::sign(std::string_view) const {
  return {};
}

std::expected<ResolvedSigningKey, KeyError> resolve_signing_key() {
  return std::unexpected(KeyError{KeyError::Kind::rng_unavailable, "not implemented"});
}
std::expected<Seed, std::string> parse_seed(std::string_view) {
  return std::unexpected(std::string("not implemented"));
}

}  // namespace certwright
