// RFC 3161 timestamp tokens over a DSSE envelope's signature, as Sigstore bundles carry them:
// the request certwright-attest sends, its check of the authority's answer, and the verifier's
// check of a token against the authority roots it trusts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"
#include "core/base/error.h"

namespace certwright {

// The most of an authority's answer that is read.
inline constexpr std::size_t kMaxTimestampResponseBytes = std::size_t{1} << 20;

struct TimestampRequest {
  std::string der;      // the DER TimeStampReq
  std::string imprint;  // the SHA-256 of the signature, raw bytes
  std::uint64_t nonce = 0;
};

// A request for a token over the SHA-256 of `signature`, with a random 64-bit nonce and certReq
// set, so that the authority includes its certificate. Throws std::runtime_error only when
// OpenSSL cannot build it.
TimestampRequest timestamp_request(std::string_view signature);

// What a token that verified says.
struct TimestampToken {
  std::string authority;  // the signing certificate's subject (RFC 2253), raw text
  UtcTime time;           // the token's genTime, whole seconds
};

// Checks an authority's answer `response` (a DER TimeStampResp) to `request` before it is kept:
// status granted, a token whose imprint and nonce are the request's, signed by a certificate it
// carries whose extended key usage is exactly timeStamping and critical, chaining among the
// certificates it carries and valid at the token's time. The error names the first fault (the
// status and the authority's text, an imprint or nonce not ours, OpenSSL's reason).
std::expected<TimestampToken, Error> check_timestamp_reply(std::string_view response,
                                                           const TimestampRequest& request);

// Verifies `response`, a DER TimeStampResp from a bundle, for the DSSE signature `signature`:
// status granted, the imprint the SHA-256 of `signature`, the token's signature, its signer's
// chain to one of `roots` (DER certificates; intermediates among them are used to build the
// chain) at the token's time, and the signer's usage exactly timeStamping and critical. The
// error names the fault.
std::expected<TimestampToken, Error> verify_timestamp(std::string_view response,
                                                      std::string_view signature,
                                                      std::span<const std::string> roots);

// The DER certificates of the PEM text `pem`, in order; an error when a block does not parse or
// there is none.
std::expected<std::vector<std::string>, Error> read_pem_certificates(std::string_view pem);

}  // namespace certwright
