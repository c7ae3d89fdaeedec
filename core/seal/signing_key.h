// Ed25519 signing key material: operator keys from the environment, or an ephemeral key.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/record/certificate.h"
#include "core/seal/public_key.h"

namespace certwright {

// A 32-byte Ed25519 seed; wiped on destruction; cannot be copied.
class Seed {
 public:
  Seed() = default;
  Seed(const Seed&) = delete;
  Seed& operator=(const Seed&) = delete;
  Seed(Seed&& other) noexcept;
  Seed& operator=(Seed&& other) noexcept;
  ~Seed();

  std::array<unsigned char, 32>& bytes() { return bytes_; }
  const std::array<unsigned char, 32>& bytes() const { return bytes_; }

 private:
  std::array<unsigned char, 32> bytes_{};
};

// An Ed25519 key pair. OpenSSL holds the secret and erases it when the key is freed; the key
// cannot be copied, so the secret has exactly one owner.
class SigningKey {
 public:
  // The key pair derived from `seed` as RFC 8032 prescribes, or OpenSSL's error text (any 32
  // bytes are a valid seed, so only a failing OpenSSL, out of memory, gets there).
  static std::expected<SigningKey, std::string> from_seed(const Seed& seed);

  SigningKey(SigningKey&&) noexcept = default;
  SigningKey& operator=(SigningKey&&) noexcept = default;
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // The RFC 8032 encoding of the public point; cannot fail.
  const std::array<unsigned char, 32>& public_key() const { return public_key_; }
  // The RFC 8032 (plain Ed25519) signature of `message`. Throws std::bad_alloc if OpenSSL
  // fails, which for a key from from_seed means it ran out of memory.
  std::array<unsigned char, 64> sign(std::string_view message) const;

 private:
  struct Free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };
  explicit SigningKey(EVP_PKEY* key) : key_(key) {}
  std::unique_ptr<EVP_PKEY, Free> key_;
  std::array<unsigned char, 32> public_key_{};
};

struct ResolvedSigningKey {
  SigningKey key;
  std::string note;  // "source=ZEM_SIGNING_KEY", "source=ZEM_SIGNING_KEY_PATH", or
                     // "auto-generated for pipeline run"
  AttestationKind kind = AttestationKind::ephemeral;
};

struct KeyError {
  enum class Kind { env_malformed, path_unreadable, path_malformed, rng_unavailable };
  Kind kind;
  std::string message;  // the full message, e.g. "ZEM_SIGNING_KEY is set but malformed: ..."
};

// The key from ZEM_SIGNING_KEY, else from the file named by ZEM_SIGNING_KEY_PATH, else a fresh
// ephemeral key (a variable counts when it is set and valid UTF-8); a KeyError with its message
// when the chosen source fails. A key file over 4 KiB is unreadable ("File too large") and is
// not read; one readable by group or others is used after a warning, printed once per process.
// Every copy of secret bytes it makes is wiped before it returns. Throws std::bad_alloc only if
// OpenSSL cannot build the key (out of memory).
std::expected<ResolvedSigningKey, KeyError> resolve_signing_key();

// The operator key from ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH by the rules and messages of
// resolve_signing_key; none when neither variable counts (no ephemeral key is made).
std::optional<std::expected<ResolvedSigningKey, KeyError>> resolve_operator_key();

// 32 bytes from the operating system's random source; RngUnavailable when it fails.
std::expected<Seed, KeyError> random_seed();

// The seed in the file at `path`, read and parsed as ZEM_SIGNING_KEY_PATH's file is, with the
// messages "{path} unreadable: {error}" and "{path} content malformed: {message}"; the file's
// text is wiped once parsed.
std::expected<Seed, KeyError> read_seed_file(const std::string& path);

// What `certwright-keygen --public FILE` reads: the seed in a seed file, or the key in a public
// key file.
using SeedOrPublicKey = std::variant<Seed, PublicKeyBytes>;

// The key in the file at `path`: a public key when the file holds one in a form no seed has
// (labelled or PEM; see non_seed_key_form), with parse_public_key's error after "{path} content
// malformed: " when that key is not valid; otherwise the seed as read_seed_file reads it, with
// its messages and warning. Bare Base64 is a seed's form, so it is always read as a seed.
std::expected<SeedOrPublicKey, KeyError> read_seed_or_public_key_file(const std::string& path);

// The 32-byte seed in `text` (trimmed of Unicode white space, strict Base64), or the message
// "base64: <decoder description>" or "seed length {n} != 32"; a public key or another key file
// in a form no seed has is refused as "this is <form>, not a seed" (see non_seed_key_form).
std::expected<Seed, std::string> parse_seed(std::string_view text);

}  // namespace certwright
