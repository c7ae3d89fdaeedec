#include "core/verify/platform_keys.h"

#include "core/base/text.h"

namespace certwright {

PlatformKey platform_key_of(const PublicKeyBytes& key) {
  return {key_fingerprint(key), key, {}};
}

std::expected<std::vector<PlatformKey>, std::string> parse_platform_keys(std::string_view text) {
  std::vector<PlatformKey> keys;
  const auto read = read_key_lines(
      text, [&](std::vector<std::string>& fields) -> std::expected<void, std::string> {
        auto window = take_key_window(fields);
        if (!window) return std::unexpected(window.error());
        if (fields.size() != 2)
          return std::unexpected("expected KID KEY [valid-after=TIME] [valid-before=TIME], found " +
                                 std::to_string(fields.size()) + " fields");
        if (fields[0].empty() || !is_valid_utf8(fields[0]))
          return std::unexpected("KID: empty or not UTF-8");
        const auto key = parse_public_key(fields[1]);
        if (!key) return std::unexpected("KEY: " + key.error());
        keys.push_back({std::move(fields[0]), *key, *window});
        return {};
      });
  if (!read) return std::unexpected(read.error());
  return keys;
}

}  // namespace certwright
