// The least work any verifier of one certificate does, as a floor to compare certwright-verify
// with: read the file, parse it once, write the compact hash view and signing view, hash the one
// with SHA-256 and check the Ed25519 signature over the other. It re-encodes through simdjson's
// own compact writer rather than the certificate's rules, so it is a measure of cost, not a
// verifier.
//
// usage: verify_floor CERTIFICATE   (exit 0 when hash and signature match, 1 otherwise)
#include <openssl/evp.h>
#include <simdjson.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

namespace dom = simdjson::dom;

// The top-level object compactly, with "certificateHash" (in the hash view) and "certSignature"
// emptied and "platformCountersign" left out.
std::string view(dom::object certificate, bool hash_view) {
  std::string out = "{";
  for (const auto [key, value] : certificate) {
    if (key == "platformCountersign") continue;
    if (out.size() > 1) out += ',';
    out += '"';
    out += key;
    out += "\":";
    if (key == "certSignature" || (hash_view && key == "certificateHash"))
      out += "\"\"";
    else
      out += simdjson::to_string(value);
  }
  return out + "}";
}

std::string sha256_hex(std::string_view bytes) {
  std::array<unsigned char, 32> digest{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr);
  std::string hex;
  for (const unsigned char byte : digest) {
    constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string base64_decode(std::string_view text) {
  std::string bytes(text.size(), '\0');
  const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                   reinterpret_cast<const unsigned char*>(text.data()),
                                   static_cast<int>(text.size()));
  if (size < 0) return {};
  const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
  bytes.resize(static_cast<std::size_t>(size) - padding);
  return bytes;
}

bool ed25519_verifies(std::string_view public_key, std::string_view signature,
                      std::string_view message) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                  reinterpret_cast<const unsigned char*>(public_key.data()),
                                  public_key.size()),
      EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  return key && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: verify_floor CERTIFICATE\n", stderr);
    return 2;
  }
  simdjson::padded_string text;
  dom::parser parser;
  dom::object certificate;
  if (simdjson::padded_string::load(argv[1]).get(text) ||
      parser.parse(text).get_object().get(certificate)) {
    std::fputs("verify_floor: unreadable certificate\n", stderr);
    return 2;
  }
  const std::string hash_view = view(certificate, true);
  const std::string signing_view = view(certificate, false);
  std::string_view stored_hash, public_key, signature;
  if (certificate["certificateHash"].get(stored_hash) ||
      certificate["signingPublicKey"].get(public_key) ||
      certificate["certSignature"].get(signature))
    return 1;
  const bool hash_ok = sha256_hex(hash_view) == stored_hash;
  const bool signature_ok =
      ed25519_verifies(base64_decode(public_key), base64_decode(signature), signing_view);
  std::printf("hash %s, signature %s\n", hash_ok ? "ok" : "FAIL", signature_ok ? "ok" : "FAIL");
  return hash_ok && signature_ok ? 0 : 1;
}
