// The platform's countersignature: a compact JWS (RFC 7515) signed with EdDSA over Ed25519
// (RFC 8037) that vouches for one sealed certificate, its hash and its signature, at a time the
// platform's clock gives.
#pragma once

#include <string>
#include <string_view>

#include "core/base/date_time.h"
#include "core/record/certificate.h"
#include "core/seal/signing_key.h"

namespace certwright {

// The JWS header's "typ".
inline constexpr std::string_view kCountersignType = "certwright-countersign+jwt";

// What the platform vouches for, and who it is.
struct CountersignRequest {
  std::string kid;     // the header's and the record's "kid"
  std::string issuer;  // the payload's "iss"
  UtcTime at;          // "countersignedAt", and "iat" in whole seconds
};

// The header text: exactly {"alg":"EdDSA","kid":KID,"typ":"certwright-countersign+jwt"}.
std::string countersign_header(std::string_view kid);

// The payload text: {"certificateHash","certSignature","runId","countersignedAt","iat","iss"}
// of `certificate` (sealed) and `request`.
std::string countersign_payload(const GovernanceCertificate& certificate,
                                const CountersignRequest& request);

// Sets the certificate's "platformCountersign" (replacing any): the compact JWS over the header
// and payload above, signed by `key`, with its kid and time. The hash and signature are not
// touched (neither covers the member). Throws only when OpenSSL fails (see SigningKey::sign).
void countersign_certificate(GovernanceCertificate& certificate, const SigningKey& key,
                             const CountersignRequest& request);

}  // namespace certwright
