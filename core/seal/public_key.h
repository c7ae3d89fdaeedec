// Trusted Ed25519 public keys as users write them, and their fingerprints.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace certwright {

using PublicKeyBytes = std::array<unsigned char, 32>;

// The label that marks a public-key file written by certwright-keygen ("<BASE64> <label>"): a
// seed reader refuses a text that carries it, so a public key is never taken for a seed.
inline constexpr std::string_view kPublicKeyLabel = "certwright-ed25519-public-key";

// The raw key that `text` holds, white space around it ignored, in one of three forms: 44
// characters of strict Base64; the same followed by white space and a label (any text); a PEM
// "PUBLIC KEY" block holding an Ed25519 SubjectPublicKeyInfo, as `openssl pkey -pubout` writes
// it. Keys of small order and non-canonical encodings are refused. The error names the form it
// saw ("an OpenSSH public key line", "a PEM PRIVATE KEY block", ...) and why it is not a key.
std::expected<PublicKeyBytes, std::string> parse_public_key(std::string_view text);

// What `text` (white space around it ignored) is when it has the form of a key that no seed
// has: "a public key (certwright-ed25519-public-key)" for a text carrying the label, "a public key
// followed by a label" for 44 characters and a label after white space, "a PEM <TYPE> block",
// "an OpenSSH public key line"; none for anything else, bare Base64 (a seed's own form)
// included. Only the form is judged, not whether the key is valid.
std::optional<std::string> non_seed_key_form(std::string_view text);

// "SHA256:" and the unpadded Base64 of the SHA-256 of the raw key, as ssh-keygen -l shows keys.
std::string key_fingerprint(const PublicKeyBytes& key);

// The key as 44 characters of Base64, and as a PEM "PUBLIC KEY" block ending in a line feed.
std::string public_key_base64(const PublicKeyBytes& key);
std::string public_key_pem(const PublicKeyBytes& key);
// The key as certwright-keygen prints and writes it: its Base64, a space and kPublicKeyLabel (no
// line break), a form no seed reader accepts.
std::string labelled_public_key(const PublicKeyBytes& key);

}  // namespace certwright
