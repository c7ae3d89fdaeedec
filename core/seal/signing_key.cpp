#include "core/seal/signing_key.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <variant>

#include "core/base/base64.h"
#include "core/base/environment.h"
#include "core/base/file_read.h"
#include "core/base/openssl_handles.h"
#include "core/base/regular_file.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/seal/public_key.h"

namespace certwright {
namespace {

constexpr std::size_t kSeedLength = 32;

// Decoded secret bytes: one fixed allocation (nothing can reallocate and leave a copy behind),
// wiped before it is freed.
class SecretBuffer {
 public:
  explicit SecretBuffer(std::size_t size) : bytes_(new unsigned char[size]()), size_(size) {}
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() { OPENSSL_cleanse(bytes_.get(), size_); }

  std::span<unsigned char> span() { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
  std::size_t size_;
};

std::string openssl_error_text() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

ResolvedSigningKey derive_key(const Seed& seed, std::string note, AttestationKind kind) {
  auto key = SigningKey::from_seed(seed);
  // Every 32-byte string is a valid seed: only OpenSSL running out of memory ends up here,
  // which, like any allocation failure, `main` reports.
  if (!key) throw std::bad_alloc();
  return ResolvedSigningKey{std::move(*key), std::move(note), kind};
}

std::expected<ResolvedSigningKey, KeyError> key_from_variable(std::string_view seed_text) {
  auto seed = parse_seed(seed_text);
  if (!seed)
    return std::unexpected(KeyError{KeyError::Kind::env_malformed,
                                    "ZEM_SIGNING_KEY is set but malformed: " + seed.error()});
  return derive_key(*seed, "source=ZEM_SIGNING_KEY", AttestationKind::operator_);
}

// A key file holds a 44-character seed text and perhaps white space around it; anything past
// 4 KiB is no key file, and is refused before more than that is read.
constexpr std::size_t kMaxKeyFileBytes = 4 * 1024;

// Warns, once per process however often the key is resolved, when the key file may be read by
// other users. The key's text is never shown.
void warn_if_readable_by_others(int fd, const std::string& shown) {
  static bool warned = false;
  struct stat status {};
  if (warned || ::fstat(fd, &status) != 0 || (status.st_mode & (S_IRGRP | S_IROTH)) == 0) return;
  warned = true;
  warn(shown + " is readable by group or others; restrict it to its owner (chmod 600)");
}

enum class PublicKeys { refused, accepted };

// The seed in the file at `path`, its messages beginning with `shown`; with
// PublicKeys::accepted, a public key in a form no seed has is returned as that key, and a file
// holding one draws no warning about who may read it.
std::expected<SeedOrPublicKey, KeyError> read_key_file(std::string_view path,
                                                       const std::string& shown,
                                                       PublicKeys public_keys) {
  const auto unreadable = [&shown](const std::string& error) {
    return std::unexpected(
        KeyError{KeyError::Kind::path_unreadable, shown + " unreadable: " + error});
  };
  const std::string too_large = std::make_error_code(std::errc::file_too_large).message();
  const auto file = open_regular_file(std::string(path));
  if (!file) return unreadable(file.error().message());
  if (file->size > kMaxKeyFileBytes) return unreadable(too_large);
  if (public_keys == PublicKeys::refused) warn_if_readable_by_others(file->fd.get(), shown);
  // One fixed buffer, one byte past the cap to tell a full file from a larger one; wiped on
  // every path out.
  SecretBuffer content(kMaxKeyFileBytes + 1);
  const std::span<char> bytes(reinterpret_cast<char*>(content.span().data()),
                              content.span().size());
  const auto count = read_into(file->fd.get(), bytes);
  if (!count) return unreadable(count.error().message());
  if (*count > kMaxKeyFileBytes) return unreadable(too_large);
  const std::string_view text(bytes.data(), *count);
  if (!is_valid_utf8(text)) return unreadable("stream did not contain valid UTF-8");
  if (public_keys == PublicKeys::accepted) {
    if (non_seed_key_form(text)) {
      const auto key = parse_public_key(text);
      if (!key)
        return std::unexpected(
            KeyError{KeyError::Kind::path_malformed, shown + " content malformed: " + key.error()});
      return *key;
    }
    warn_if_readable_by_others(file->fd.get(), shown);
  }
  auto seed = parse_seed(text);
  if (!seed)
    return std::unexpected(
        KeyError{KeyError::Kind::path_malformed, shown + " content malformed: " + seed.error()});
  return std::move(*seed);
}

std::expected<Seed, KeyError> seed_from_file(std::string_view path, const std::string& shown) {
  auto read = read_key_file(path, shown, PublicKeys::refused);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(std::get<Seed>(*read));
}

std::expected<ResolvedSigningKey, KeyError> key_from_file(std::string_view path) {
  const auto seed = seed_from_file(path, "ZEM_SIGNING_KEY_PATH=" + std::string(path));
  if (!seed) return std::unexpected(seed.error());
  return derive_key(*seed, "source=ZEM_SIGNING_KEY_PATH", AttestationKind::operator_);
}

// Fills `out` from the kernel's random source; the system's error text when it fails.
std::expected<void, std::string> fill_random(std::span<unsigned char> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(std::generic_category().message(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  return {};
}

std::expected<ResolvedSigningKey, KeyError> ephemeral_key() {
  const auto seed = random_seed();
  if (!seed) return std::unexpected(seed.error());
  return derive_key(*seed, "auto-generated for pipeline run", AttestationKind::ephemeral);
}

}  // namespace

std::expected<Seed, KeyError> random_seed() {
  Seed seed;
  if (const auto filled = fill_random(seed.bytes()); !filled)
    return std::unexpected(
        KeyError{KeyError::Kind::rng_unavailable, "OS RNG unavailable: " + filled.error()});
  return seed;
}

std::expected<Seed, KeyError> read_seed_file(const std::string& path) {
  return seed_from_file(path, path);
}

std::expected<SeedOrPublicKey, KeyError> read_seed_or_public_key_file(const std::string& path) {
  return read_key_file(path, path, PublicKeys::accepted);
}

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

// OpenSSL copies the seed into the key, derives the public point on the spot and wipes the
// expanded (hashed) key it used for that; the key's copy is wiped when it is freed.
std::expected<SigningKey, std::string> SigningKey::from_seed(const Seed& seed) {
  EVP_PKEY* raw = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.bytes().data(),
                                               seed.bytes().size());
  if (raw == nullptr) return std::unexpected(openssl_error_text());
  SigningKey key(raw);
  std::size_t length = key.public_key_.size();
  if (EVP_PKEY_get_raw_public_key(raw, key.public_key_.data(), &length) != 1 ||
      length != key.public_key_.size())
    return std::unexpected(openssl_error_text());
  return key;
}

std::array<unsigned char, 64> SigningKey::sign(std::string_view message) const {
  const DigestContext context(EVP_MD_CTX_new());
  std::array<unsigned char, 64> signature{};
  std::size_t length = signature.size();
  // No digest and no context string: plain Ed25519 over the whole message. With a valid key
  // OpenSSL fails here only out of memory.
  if (context == nullptr ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != signature.size())
    throw std::bad_alloc();
  return signature;
}

std::optional<std::expected<ResolvedSigningKey, KeyError>> resolve_operator_key() {
  if (const auto seed_text = unicode_variable("ZEM_SIGNING_KEY"))
    return key_from_variable(*seed_text);
  if (const auto path = unicode_variable("ZEM_SIGNING_KEY_PATH")) return key_from_file(*path);
  return std::nullopt;
}

std::expected<ResolvedSigningKey, KeyError> resolve_signing_key() {
  if (auto operator_key = resolve_operator_key()) return std::move(*operator_key);
  return ephemeral_key();
}

std::expected<Seed, std::string> parse_seed(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  // A public key taken for a seed would sign certificates that anyone holding the public key
  // could forge: every form a public key is printed or written in is refused by name.
  if (const auto form = non_seed_key_form(trimmed))
    return std::unexpected("this is " + *form + ", not a seed");
  SecretBuffer decoded(base64_decoded_size(trimmed));
  const auto length = base64_decode(trimmed, decoded.span());
  if (!length) return std::unexpected("base64: " + length.error());
  if (*length != kSeedLength)
    return std::unexpected("seed length " + std::to_string(*length) + " != 32");
  Seed seed;
  std::copy_n(decoded.span().begin(), kSeedLength, seed.bytes().begin());
  return seed;
}

}  // namespace certwright
