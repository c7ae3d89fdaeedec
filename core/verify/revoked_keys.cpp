#include "core/verify/revoked_keys.h"

#include <cctype>

#include "core/base/text.h"
#include "core/verify/key_lines.h"

namespace certwright {
namespace {

constexpr std::string_view kFingerprintPrefix = "SHA256:";
// The unpadded Base64 of a SHA-256 digest.
constexpr std::size_t kFingerprintDigits = 43;

bool is_fingerprint(std::string_view text) {
  if (!text.starts_with(kFingerprintPrefix)) return false;
  const std::string_view digits = text.substr(kFingerprintPrefix.size());
  if (digits.size() != kFingerprintDigits) return false;
  for (const char c : digits)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/')) return false;
  return true;
}

}  // namespace

std::expected<std::vector<RevokedKey>, std::string> parse_revoked_keys(std::string_view text) {
  std::vector<RevokedKey> revoked;
  const auto read = read_key_lines(
      text, [&](std::vector<std::string>& fields) -> std::expected<void, std::string> {
        RevokedKey entry;
        if (is_fingerprint(fields[0])) {
          entry.fingerprint = fields[0];
        } else {
          const auto key = parse_public_key(fields[0]);
          if (!key)
            return std::unexpected("expected KEY-OR-FINGERPRINT [revoked-at=TIME] [reason ...]: " +
                                   key.error());
          entry.fingerprint = key_fingerprint(*key);
        }
        std::size_t next = 1;
        constexpr std::string_view kRevokedAt = "revoked-at=";
        if (next < fields.size() && fields[next].starts_with(kRevokedAt)) {
          const std::string_view time_text =
              std::string_view(fields[next]).substr(kRevokedAt.size());
          entry.revoked_at = parse_time_text(time_text);
          if (!entry.revoked_at)
            return std::unexpected("revoked-at: not a time (RFC 3339, or YYYYMMDD[HHMM[SS]]Z): " +
                                   single_line(time_text));
          ++next;
        }
        for (; next < fields.size(); ++next) {
          if (!entry.reason.empty()) entry.reason.push_back(' ');
          entry.reason += fields[next];
        }
        revoked.push_back(std::move(entry));
        return {};
      });
  if (!read) return std::unexpected(read.error());
  return revoked;
}

std::optional<RevokedKey> find_revocation(std::span<const RevokedKey> revoked,
                                          const PublicKeyBytes& key) {
  const std::string fingerprint = key_fingerprint(key);
  std::optional<RevokedKey> found;
  for (const RevokedKey& entry : revoked) {
    if (entry.fingerprint != fingerprint) continue;
    if (!entry.revoked_at) return entry;
    if (!found || is_before(*entry.revoked_at, *found->revoked_at)) found = entry;
  }
  return found;
}

}  // namespace certwright
