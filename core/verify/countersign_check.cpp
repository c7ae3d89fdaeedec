#include "core/verify/countersign_check.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <map>
#include <string_view>

#include "core/base/base64.h"
#include "core/base/text.h"
#include "core/seal/countersignature.h"
#include "core/verify/certificate_verification.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;

// The members of one JSON object, each key once and only the keys listed; the reason
// otherwise. `what` names the object in messages ("header", "payload").
class StrictObject {
 public:
  StrictObject(dom::parser& parser, std::string_view what, std::string_view text,
               std::span<const std::string_view> keys)
      : what_(what) {
    dom::element root;
    if (parser.parse(text.data(), text.size()).get(root)) {
      error_ = std::string(what) + ": not JSON";
      return;
    }
    dom::object object;
    if (root.get_object().get(object)) {
      error_ = std::string(what) + ": not a JSON object";
      return;
    }
    for (const auto [key, value] : object) {
      if (std::ranges::find(keys, key) == keys.end()) {
        error_ = std::string(what) + ": member " + quoted_excerpt(key) + " is not allowed";
        return;
      }
      if (!members_.try_emplace(std::string(key), value).second) {
        error_ = std::string(what) + ": duplicate member " + quoted_excerpt(key);
        return;
      }
    }
    for (const std::string_view key : keys)
      if (!members_.contains(std::string(key))) {
        error_ = std::string(what) + ": member " + quoted_excerpt(key) + " is missing";
        return;
      }
  }

  const std::optional<std::string>& error() const { return error_; }

  // The string member `key`; the reason it is not one otherwise.
  std::expected<std::string_view, std::string> string(std::string_view key) const {
    std::string_view text;
    if (members_.at(std::string(key)).get_string().get(text))
      return std::unexpected(what_ + ": " + std::string(key) + " is not a string");
    return text;
  }
  std::expected<std::int64_t, std::string> integer(std::string_view key) const {
    const dom::element value = members_.at(std::string(key));
    std::int64_t number = 0;
    if (!value.is_int64() || value.get_int64().get(number))
      return std::unexpected(what_ + ": " + std::string(key) + " is not an integer");
    return number;
  }

 private:
  std::string what_;
  std::map<std::string, dom::element> members_;
  std::optional<std::string> error_;
};

struct Segments {
  std::string_view header;
  std::string_view payload;
  std::string_view signature;
};

std::expected<Segments, std::string> split_compact(std::string_view jws) {
  const std::size_t first = jws.find('.');
  const std::size_t second = first == std::string_view::npos ? first : jws.find('.', first + 1);
  if (second == std::string_view::npos || jws.find('.', second + 1) != std::string_view::npos)
    return std::unexpected("countersignJws: not a compact JWS (three segments joined by \".\")");
  return Segments{jws.substr(0, first), jws.substr(first + 1, second - first - 1),
                  jws.substr(second + 1)};
}

std::expected<std::string, std::string> decode_segment(std::string_view name,
                                                       std::string_view segment) {
  auto bytes = base64url_decode(segment);
  if (!bytes) return std::unexpected(std::string(name) + ": base64url: " + bytes.error());
  return bytes;
}

CountersignVerdict fail(std::string reason) {
  return {false, std::move(reason), std::nullopt};
}

// The platform key the header's kid names and may use at `at`, or why there is none.
std::expected<const PlatformKey*, std::string> trusted_platform_key(
    std::string_view kid, std::span<const PlatformKey> platform_keys,
    std::span<const RevokedKey> revoked, UtcTime at, UtcTime now) {
  std::string refusal;
  for (const PlatformKey& candidate : platform_keys) {
    if (candidate.kid != kid) continue;
    const std::string shown = "platform key " + key_fingerprint(candidate.key);
    if (!candidate.window.contains(at)) {
      refusal = shown + " is " + candidate.window.describe() + ", and the countersignature is of " +
                format_date_time(at);
      continue;
    }
    if (const auto revocation = find_revocation(revoked, candidate.key)) {
      if (!revocation->revoked_at) {
        refusal = shown + " is revoked";
        continue;
      }
      // A revocation dated after the time judged at does not count yet.
      if (!is_before(now, *revocation->revoked_at)) {
        refusal = shown + " was revoked at " + format_date_time(*revocation->revoked_at) +
                  ", and only the platform's own clock says when it countersigned";
        continue;
      }
    }
    return &candidate;
  }
  if (!refusal.empty()) return std::unexpected(refusal);
  return std::unexpected("kid " + quoted_excerpt(kid) + " names no trusted platform key");
}

UtcTime plus_seconds(UtcTime time, std::int64_t seconds) {
  return {time.unix_seconds + seconds, time.nanos};
}

}  // namespace

CountersignVerdict check_countersign(const GovernanceCertificate& certificate,
                                     std::span<const PlatformKey> platform_keys,
                                     std::span<const RevokedKey> revoked, UtcTime now) {
  const PlatformCountersign& record = *certificate.platform_countersign;
  const std::string_view jws = record.countersign_jws;
  if (jws.size() > kMaxCountersignBytes)
    return fail("countersignJws: over " + std::to_string(kMaxCountersignBytes) + " bytes");
  const auto segments = split_compact(jws);
  if (!segments) return fail(segments.error());

  // One parser each: the header's members stay readable while the payload is parsed.
  dom::parser header_parser;
  dom::parser payload_parser;
  const auto header_text = decode_segment("header", segments->header);
  if (!header_text) return fail(header_text.error());
  static constexpr std::array<std::string_view, 3> kHeaderKeys = {"alg", "kid", "typ"};
  const StrictObject header(header_parser, "header", *header_text, kHeaderKeys);
  if (header.error()) return fail(*header.error());
  const auto alg = header.string("alg");
  const auto kid = header.string("kid");
  const auto typ = header.string("typ");
  if (!alg) return fail(alg.error());
  if (!kid) return fail(kid.error());
  if (!typ) return fail(typ.error());
  if (*alg != "EdDSA") return fail("header: alg " + quoted_excerpt(*alg) + " is not \"EdDSA\"");
  if (*typ != kCountersignType)
    return fail("header: typ " + quoted_excerpt(*typ) + " is not " +
                quoted_excerpt(kCountersignType));
  if (*kid != record.kid)
    return fail("header: kid " + quoted_excerpt(*kid) + " is not the record's kid " +
                quoted_excerpt(record.kid));
  const std::string kid_text(*kid);

  const auto key =
      trusted_platform_key(kid_text, platform_keys, revoked, record.countersigned_at, now);
  if (!key) return fail(key.error());
  const auto signature_bytes = decode_segment("signature", segments->signature);
  if (!signature_bytes) return fail(signature_bytes.error());
  if (signature_bytes->size() != 64)
    return fail("signature: " + std::to_string(signature_bytes->size()) + " bytes, not 64");
  std::array<unsigned char, 64> signature{};
  std::ranges::copy(*signature_bytes, signature.begin());
  const std::string_view signing_input =
      jws.substr(0, segments->header.size() + 1 + segments->payload.size());
  if (!ed25519_verifies((*key)->key, signing_input, signature))
    return fail("the signature does not verify under platform key " + key_fingerprint((*key)->key));

  const auto payload_text = decode_segment("payload", segments->payload);
  if (!payload_text) return fail(payload_text.error());
  static constexpr std::array<std::string_view, 6> kPayloadKeys = {
      "certificateHash", "certSignature", "runId", "countersignedAt", "iat", "iss"};
  const StrictObject payload(payload_parser, "payload", *payload_text, kPayloadKeys);
  if (payload.error()) return fail(*payload.error());
  struct Bound {
    std::string_view key;
    std::string_view expected;
    std::string_view what;
  };
  const Bound bound[] = {
      {"certificateHash", certificate.certificate_hash, "the certificate's hash"},
      {"certSignature", certificate.cert_signature, "the certificate's signature"},
      {"runId", certificate.pipeline_run_id, "the certificate's run id"},
  };
  for (const Bound& member : bound) {
    const auto value = payload.string(member.key);
    if (!value) return fail(value.error());
    if (*value != member.expected)
      return fail("payload: " + std::string(member.key) + " is not " + std::string(member.what));
  }
  const auto at_text = payload.string("countersignedAt");
  if (!at_text) return fail(at_text.error());
  const auto at = parse_date_time(*at_text);
  if (!at)
    return fail("payload: countersignedAt " + quoted_excerpt(*at_text) + " is not a date-time");
  if (*at != record.countersigned_at)
    return fail("payload: countersignedAt " + quoted_excerpt(*at_text) + " is not the record's " +
                format_date_time(record.countersigned_at));
  const auto iat = payload.integer("iat");
  if (!iat) return fail(iat.error());
  if (*iat != at->unix_seconds) return fail("payload: iat is not countersignedAt's whole seconds");
  const auto issuer = payload.string("iss");
  if (!issuer) return fail(issuer.error());

  if (is_before(*at, plus_seconds(certificate.timestamp, -kClockSkewSeconds)))
    return fail("countersigned at " + format_date_time(*at) + ", before the certificate's own " +
                "timestamp " + format_date_time(certificate.timestamp));
  if (is_before(plus_seconds(now, kClockSkewSeconds), *at))
    return fail("countersigned at " + format_date_time(*at) + ", in the future");

  CountersignFacts facts{std::string(*issuer), kid_text, key_fingerprint((*key)->key), *at};
  std::string detail = "countersigned by " + quoted_excerpt(facts.issuer) + " (kid " +
                       quoted_excerpt(facts.kid) + ", platform key " + facts.fingerprint + ") at " +
                       format_date_time(*at);
  return {true, std::move(detail), std::move(facts)};
}

}  // namespace certwright
