#include "cli/verify_args.h"

#include <algorithm>
#include <array>

#include "core/base64.h"
#include "core/ed25519_point.h"
#include "core/text.h"

namespace certwright {

std::expected<std::array<unsigned char, 32>, std::string> parse_public_key(std::string_view text) {
  std::array<unsigned char, 48> decoded{};
  const std::string_view trimmed = trim_white_space(text);
  if (base64_decoded_size(trimmed) > decoded.size())
    return std::unexpected("a public key is 44 characters of Base64, not " +
                           std::to_string(trimmed.size()));
  const auto size = base64_decode(trimmed, decoded);
  if (!size) return std::unexpected("base64: " + size.error());
  std::array<unsigned char, 32> key{};
  if (*size != key.size())
    return std::unexpected("public key length " + std::to_string(*size) + " != 32");
  std::copy_n(decoded.begin(), key.size(), key.begin());
  if (const auto weak = weak_public_key_reason(key)) return std::unexpected("the key is " + *weak);
  return key;
}

std::optional<std::string> check_verify_args(const VerifyArgs& args) {
  if (args.format != "text" && args.format != "json")
    return "invalid value '" + single_line(args.format) +
           "' for '--format <FORMAT>': expected 'text' or 'json'";
  const bool has_keys = !args.public_keys.empty() || !args.public_key_files.empty();
  if (args.integrity_only && has_keys)
    return "'--integrity-only' trusts no key and cannot be used with '--public-key' or "
           "'--public-key-file'";
  if (!args.integrity_only && !has_keys)
    return "trust must be stated: give the trusted keys with '--public-key' or "
           "'--public-key-file', or '--integrity-only' to check integrity alone";
  if (args.allow_ephemeral && args.require_operator_key)
    return "'--allow-ephemeral' cannot be used with '--require-operator-key'";
  for (const std::string& key : args.public_keys)
    if (const auto parsed = parse_public_key(key); !parsed)
      return "invalid value '" + single_line(key) + "' for '--public-key <B64>': " + parsed.error();
  return std::nullopt;
}

}  // namespace certwright
