// The check of a platform's countersignature: the compact JWS that certwright-countersign
// writes into "platformCountersign", judged against the platform keys the caller trusts.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "core/base/date_time.h"
#include "core/record/certificate.h"
#include "core/verify/platform_keys.h"
#include "core/verify/revoked_keys.h"

namespace certwright {

// The largest countersignature read; a longer one fails unread.
inline constexpr std::size_t kMaxCountersignBytes = 64 * 1024;

// How far a countersignature may lie before the certificate's own timestamp, or after now:
// clocks drift, by minutes at most.
inline constexpr std::int64_t kClockSkewSeconds = 5 * 60;

// What a countersignature that verified says.
struct CountersignFacts {
  std::string issuer;       // the payload's "iss"
  std::string kid;          // the header's and the record's "kid"
  std::string fingerprint;  // of the platform key that verified it
  UtcTime countersigned_at;
};

// The countersignature's verdict: the facts when it verified, the reason (raw text) otherwise.
struct CountersignVerdict {
  bool ok = false;
  std::string detail;
  std::optional<CountersignFacts> facts;
};

// Checks the certificate's "platformCountersign", which must be present: exactly the header
// {"alg":"EdDSA","kid","typ":"certwright-countersign+jwt"} (members in any order, nothing else:
// no key is ever fetched), its kid the record's and a trusted platform key's, in that key's
// window at the countersignature's time and not revoked, the EdDSA signature valid, the payload
// exactly the six members with the certificate's hash, signature and run id and the record's
// time, "iat" that time's whole seconds, and the time no earlier than the certificate's own
// timestamp less kClockSkewSeconds nor later than `now` plus that.
CountersignVerdict check_countersign(const GovernanceCertificate& certificate,
                                     std::span<const PlatformKey> platform_keys,
                                     std::span<const RevokedKey> revoked, UtcTime now);

}  // namespace certwright
