// Keys their owners have revoked, each from a time or for good.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"
#include "core/seal/public_key.h"

namespace certwright {

struct RevokedKey {
  std::string fingerprint;            // "SHA256:...", as key_fingerprint writes it
  std::optional<UtcTime> revoked_at;  // none: never trusted
  std::string reason;                 // free text, may be empty
};

// The lines of a revocation file, "KEY-OR-FINGERPRINT [revoked-at=TIME] [reason ...]" in
// key_lines.h's format: the 44-character Base64 key or its "SHA256:" fingerprint, the time as
// parse_time_text reads it, the reason the remaining fields joined by one space. Anything else
// is an error naming its line ("line 3: ...").
std::expected<std::vector<RevokedKey>, std::string> parse_revoked_keys(std::string_view text);

// The revocation of `key` that counts: one without a time if any, else the earliest; none when
// the key is not revoked.
std::optional<RevokedKey> find_revocation(std::span<const RevokedKey> revoked,
                                          const PublicKeyBytes& key);

}  // namespace certwright
