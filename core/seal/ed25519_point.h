// Ed25519 public keys that prove nothing.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace certwright {

// Why the raw Ed25519 public key `key` cannot stand for a signer, or none when it can: a
// non-canonical encoding (its y coordinate not below 2^255 - 19), or one of the eight points of
// small order, under which a signature that verifies can be made without any private key (a
// cofactorless check such as OpenSSL's accepts it).
std::optional<std::string> weak_public_key_reason(std::span<const unsigned char, 32> key);

}  // namespace certwright
