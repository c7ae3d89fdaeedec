#include "core/seal/public_key.h"

#include <algorithm>
#include <vector>

#include "core/base/base64.h"
#include "core/base/content_hash.h"
#include "core/base/text.h"
#include "core/seal/ed25519_point.h"

namespace certwright {
namespace {

// The DER prefix of an Ed25519 SubjectPublicKeyInfo (RFC 8410): SEQUENCE { SEQUENCE { OID
// 1.3.101.112 }, BIT STRING (0 unused bits) }, followed by the 32 key bytes.
constexpr std::array<unsigned char, 12> kSpkiPrefix = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                                       0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";

std::expected<PublicKeyBytes, std::string> checked(const PublicKeyBytes& key) {
  if (const auto weak = weak_public_key_reason(key)) return std::unexpected("the key is " + *weak);
  return key;
}

std::expected<PublicKeyBytes, std::string> from_base64(std::string_view text) {
  std::array<unsigned char, 48> decoded{};
  if (base64_decoded_size(text) > decoded.size())
    return std::unexpected("a public key is 44 characters of Base64, not " +
                           std::to_string(text.size()));
  const auto size = base64_decode(text, decoded);
  if (!size) return std::unexpected("base64: " + size.error());
  PublicKeyBytes key{};
  if (*size != key.size())
    return std::unexpected("public key length " + std::to_string(*size) + " != 32");
  std::copy_n(decoded.begin(), key.size(), key.begin());
  return checked(key);
}

std::expected<PublicKeyBytes, std::string> from_pem(std::string_view text) {
  const std::size_t end = text.find(kPemEnd);
  if (end == std::string_view::npos)
    return std::unexpected("a PEM PUBLIC KEY block without its END line");
  std::string body;
  for (const char c : text.substr(kPemBegin.size(), end - kPemBegin.size()))
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body.push_back(c);
  std::vector<unsigned char> der(base64_decoded_size(body));
  const auto size = base64_decode(body, der);
  if (!size) return std::unexpected("a PEM PUBLIC KEY block: base64: " + size.error());
  if (*size != kSpkiPrefix.size() + 32 ||
      !std::equal(kSpkiPrefix.begin(), kSpkiPrefix.end(), der.begin()))
    return std::unexpected("a PEM PUBLIC KEY block that holds no Ed25519 key");
  PublicKeyBytes key{};
  std::copy_n(der.begin() + kSpkiPrefix.size(), key.size(), key.begin());
  return checked(key);
}

// What a text that is no key of ours looks like, for the error.
std::string form_of(std::string_view text) {
  if (text.starts_with("ssh-") || text.starts_with("ecdsa-") || text.starts_with("sk-"))
    return "an OpenSSH public key line";
  if (text.starts_with("-----BEGIN ")) {
    const std::size_t end = text.find("-----", 11);
    return "a PEM " + single_line(text.substr(11, end == std::string_view::npos ? 0 : end - 11)) +
           " block";
  }
  return "";
}

}  // namespace

std::expected<PublicKeyBytes, std::string> parse_public_key(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.starts_with(kPemBegin)) return from_pem(trimmed);
  if (const std::string form = form_of(trimmed); !form.empty())
    return std::unexpected(form + ", not an Ed25519 public key in Base64 or PEM");
  // A label may follow the key, after white space.
  const std::size_t gap = trimmed.find_first_of(" \t");
  return from_base64(trimmed.substr(0, gap));
}

std::optional<std::string> non_seed_key_form(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.find(kPublicKeyLabel) != std::string_view::npos)
    return "a public key (" + std::string(kPublicKeyLabel) + ")";
  if (const std::string form = form_of(trimmed); !form.empty()) return form;
  constexpr std::size_t kBase64KeySize = 44;
  if (trimmed.size() > kBase64KeySize && trimmed.find_first_of(" \t") == kBase64KeySize)
    return "a public key followed by a label";
  return std::nullopt;
}

std::string key_fingerprint(const PublicKeyBytes& key) {
  Sha256 sha;
  sha.update(key.data(), key.size());
  std::string text = base64_encode(sha.finish_bytes());
  while (text.ends_with('='))
    text.pop_back();
  return "SHA256:" + text;
}

std::string public_key_base64(const PublicKeyBytes& key) {
  return base64_encode(key);
}

std::string public_key_pem(const PublicKeyBytes& key) {
  std::vector<unsigned char> der(kSpkiPrefix.begin(), kSpkiPrefix.end());
  der.insert(der.end(), key.begin(), key.end());
  return std::string(kPemBegin) + "\n" + base64_encode(der) + "\n" + std::string(kPemEnd) + "\n";
}

std::string labelled_public_key(const PublicKeyBytes& key) {
  return public_key_base64(key) + " " + std::string(kPublicKeyLabel);
}

}  // namespace certwright
