// Keys bound to the signers they may seal certificates for.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/record/certificate.h"
#include "core/seal/public_key.h"
#include "core/verify/key_lines.h"

namespace certwright {

// One line of an allowed-signers file: "SUBJECT IDENTITY-PROVIDER KEY", optionally followed by
// "valid-after=TIME" and "valid-before=TIME" (the key's window). Each pattern is exact
// text in which "*" matches any run of characters; "-" as both patterns is a key for plain
// certificates, which name no signer ("*" never matches a missing signer).
struct AllowedSigner {
  std::string subject;
  std::string identity_provider;
  PublicKeyBytes key{};
  bool plain = false;
  KeyWindow window;  // judged at the certificate's trusted time
};

// The lines of an allowed-signers file's text, in key_lines.h's format, KEY the 44-character
// Base64 key. Anything else is an error naming its line ("line 3: ...").
std::expected<std::vector<AllowedSigner>, std::string> parse_allowed_signers(std::string_view text);

// Whether `line` allows its key to seal a certificate with `signer` (none: a plain certificate).
bool allows(const AllowedSigner& line, const std::optional<SignerIdentity>& signer);

// Whether `pattern` matches all of `text`, "*" standing for any run of characters.
bool matches_pattern(std::string_view pattern, std::string_view text);

}  // namespace certwright
