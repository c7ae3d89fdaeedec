// The platform keys a verifier trusts for countersignatures, each known by the kid it signs
// under.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/seal/public_key.h"
#include "core/verify/key_lines.h"

namespace certwright {

struct PlatformKey {
  std::string kid;
  PublicKeyBytes key{};
  KeyWindow window;  // judged at the countersignature's time
};

// A key given alone (--platform-key): known by its fingerprint, "SHA256:...".
PlatformKey platform_key_of(const PublicKeyBytes& key);

// The lines of a platform-keys file, "KID KEY [valid-after=TIME] [valid-before=TIME]" in
// key_lines.h's format (KID quoted when it holds white space; KEY the 44-character Base64 key).
// Anything else is an error naming its line ("line 3: ...").
std::expected<std::vector<PlatformKey>, std::string> parse_platform_keys(std::string_view text);

}  // namespace certwright
