#include "core/verify/countersign_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>

#include "core/base/base64.h"
#include "core/seal/certificate_signature.h"
#include "core/seal/countersignature.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

SigningKey key_from(std::string_view seed_text) {
  auto seed = parse_seed(seed_text);
  EXPECT_TRUE(seed);
  auto key = SigningKey::from_seed(*seed);
  EXPECT_TRUE(key);
  return std::move(*key);
}

const SigningKey& operator_key() {
  static const SigningKey key = key_from("nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=");
  return key;
}
const SigningKey& platform_key() {
  static const SigningKey key = key_from("AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=");
  return key;
}
const SigningKey& foreign_key() {
  static const SigningKey key = key_from("ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=");
  return key;
}

constexpr std::int64_t kSealed = 1767605400;  // 2026-01-05T09:30:00Z
constexpr UtcTime kAt{kSealed + 60, 250'000'000};
constexpr UtcTime kNow{kSealed + 3600, 0};

GovernanceCertificate sealed_certificate() {
  GovernanceCertificate certificate;
  certificate.certificate_version = std::string(kCurrentCertificateVersion);
  certificate.pipeline_run_id = "run-7";
  certificate.timestamp = {kSealed, 0};
  certificate.signing_public_key = encode_public_key(operator_key());
  certificate.signing_attestation = {AttestationKind::operator_, "source=ZEM_SIGNING_KEY"};
  seal_certificate(certificate, operator_key());
  return certificate;
}

std::span<const unsigned char> bytes_of(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// A compact JWS over the given header and payload texts, as any JOSE library would sign it.
std::string sign_jws(std::string_view header, std::string_view payload, const SigningKey& key) {
  std::string jws = base64url_encode(bytes_of(header)) + "." + base64url_encode(bytes_of(payload));
  return jws + "." + base64url_encode(key.sign(jws));
}

std::string kid() {
  return key_fingerprint(platform_key().public_key());
}

struct Trust {
  std::vector<PlatformKey> keys = {platform_key_of(platform_key().public_key())};
  std::vector<RevokedKey> revoked;
};

CountersignVerdict check(const GovernanceCertificate& certificate, const Trust& trust = {}) {
  return check_countersign(certificate, trust.keys, trust.revoked, kNow);
}

TEST(Countersign, WrittenCountersignatureVerifiesWithItsFacts) {
  GovernanceCertificate certificate = sealed_certificate();
  const std::string hash = certificate.certificate_hash;
  const std::string signature = certificate.cert_signature;
  countersign_certificate(certificate, platform_key(), {kid(), "platform.example", kAt});

  EXPECT_EQ(certificate.certificate_hash, hash);
  EXPECT_EQ(certificate.cert_signature, signature);
  ASSERT_TRUE(certificate.platform_countersign);
  EXPECT_EQ(certificate.platform_countersign->kid, kid());
  EXPECT_EQ(certificate.platform_countersign->countersigned_at, kAt);
  EXPECT_EQ(countersign_header(kid()),
            R"({"alg":"EdDSA","kid":")" + kid() + R"(","typ":"certwright-countersign+jwt"})");
  EXPECT_EQ(countersign_payload(certificate, {kid(), "platform.example", kAt}),
            R"({"certificateHash":")" + hash + R"(","certSignature":")" + signature +
                R"(","runId":"run-7","countersignedAt":"2026-01-05T09:31:00.250Z",)"
                R"("iat":1767605460,"iss":"platform.example"})");

  const CountersignVerdict verdict = check(certificate);
  EXPECT_TRUE(verdict.ok) << verdict.detail;
  ASSERT_TRUE(verdict.facts);
  EXPECT_EQ(verdict.facts->issuer, "platform.example");
  EXPECT_EQ(verdict.facts->fingerprint, kid());
  EXPECT_EQ(verdict.facts->countersigned_at, kAt);
}

// Each case changes the written countersignature (or the trust) and names the reason.
TEST(Countersign, EveryTamperingFailsWithItsReason) {
  const GovernanceCertificate base = sealed_certificate();
  const std::string header = countersign_header(kid());
  const std::string payload = countersign_payload(base, {kid(), "platform.example", kAt});
  const auto replace = [](std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const auto resigned = [&](std::string_view h, std::string_view p) {
    return [h = std::string(h), p = std::string(p)](GovernanceCertificate& certificate, Trust&) {
      certificate.platform_countersign->countersign_jws = sign_jws(h, p, platform_key());
    };
  };
  using Change = std::function<void(GovernanceCertificate&, Trust&)>;
  struct Case {
    std::string_view name;
    Change change;
    std::string reason;
  };
  GovernanceCertificate other = base;
  other.pipeline_run_id = "run-8";
  seal_certificate(other, operator_key());
  const std::string swapped_signature = other.cert_signature;
  const Case cases[] = {
      {"alg none", resigned(replace(header, "EdDSA", "none"), payload),
       "header: alg \"none\" is not \"EdDSA\""},
      {"alg HMAC", resigned(replace(header, "EdDSA", "HS256"), payload),
       "header: alg \"HS256\" is not \"EdDSA\""},
      {"jku", resigned(replace(header, "{", R"({"jku":"https://x.example/k",)"), payload),
       "header: member \"jku\" is not allowed"},
      {"jwk", resigned(replace(header, "{", R"({"jwk":{},)"), payload),
       "header: member \"jwk\" is not allowed"},
      {"crit", resigned(replace(header, "{", R"({"crit":["b64"],)"), payload),
       "header: member \"crit\" is not allowed"},
      {"duplicate alg", resigned(replace(header, "{", R"({"alg":"EdDSA",)"), payload),
       "header: duplicate member \"alg\""},
      {"no typ", resigned(replace(header, R"(,"typ":"certwright-countersign+jwt")", ""), payload),
       "header: member \"typ\" is missing"},
      {"other typ", resigned(replace(header, "certwright-countersign+jwt", "JWT"), payload),
       "header: typ \"JWT\" is not \"certwright-countersign+jwt\""},
      {"header not an object", resigned("[1]", payload), "header: not a JSON object"},
      {"kid with a control character", resigned(replace(header, kid(), "k\\u001b[2J"), payload),
       "header: kid \"k\\x1b[2J\" is not the record's kid \"" + kid() + "\""},
      {"kid of no trusted key",
       [&](GovernanceCertificate& certificate, Trust&) {
         certificate.platform_countersign->countersign_jws =
             sign_jws(replace(header, kid(), "other"), payload, platform_key());
         certificate.platform_countersign->kid = "other";
       },
       "kid \"other\" names no trusted platform key"},
      {"payload member added", resigned(header, replace(payload, "}", R"(,"exp":1})")),
       "payload: member \"exp\" is not allowed"},
      {"payload member missing",
       resigned(header, replace(payload, R"(,"iss":"platform.example")", "")),
       "payload: member \"iss\" is missing"},
      {"payload not an object", resigned(header, "\"x\""), "payload: not a JSON object"},
      {"payload not JSON", resigned(header, "{"), "payload: not JSON"},
      {"swapped certSignature",
       resigned(header, replace(payload, base.cert_signature, swapped_signature)),
       "payload: certSignature is not the certificate's signature"},
      {"another certificate's countersignature",
       [&](GovernanceCertificate& certificate, Trust&) {
         countersign_certificate(other, platform_key(), {kid(), "platform.example", kAt});
         certificate.platform_countersign = other.platform_countersign;
       },
       "payload: certificateHash is not the certificate's hash"},
      {"countersignedAt in another form",
       resigned(header, replace(payload, "09:31:00.250Z", "09:31:00.25Z")),
       "payload: countersignedAt \"2026-01-05T09:31:00.25Z\" is not a date-time"},
      {"iat off", resigned(header, replace(payload, "1767605460", "1767605461")),
       "payload: iat is not countersignedAt's whole seconds"},
      {"signature changed",
       [](GovernanceCertificate& certificate, Trust&) {
         std::string& jws = certificate.platform_countersign->countersign_jws;
         jws[jws.size() - 5] = jws[jws.size() - 5] == 'A' ? 'B' : 'A';
       },
       "the signature does not verify under platform key " + kid()},
      {"signed by a foreign key",
       [&](GovernanceCertificate& certificate, Trust&) {
         certificate.platform_countersign->countersign_jws =
             sign_jws(header, payload, foreign_key());
       },
       "the signature does not verify under platform key " + kid()},
      {"padded segment",
       [](GovernanceCertificate& certificate, Trust&) {
         certificate.platform_countersign->countersign_jws += "==";
       },
       "signature: base64url: Invalid symbol 61, offset 86."},
      {"four segments",
       [](GovernanceCertificate& certificate, Trust&) {
         certificate.platform_countersign->countersign_jws += ".e30";
       },
       "countersignJws: not a compact JWS (three segments joined by \".\")"},
      {"huge",
       [](GovernanceCertificate& certificate, Trust&) {
         certificate.platform_countersign->countersign_jws.append(kMaxCountersignBytes, 'A');
       },
       "countersignJws: over 65536 bytes"},
      {"record time changed",
       [](GovernanceCertificate& certificate, Trust&) {
         certificate.platform_countersign->countersigned_at.unix_seconds += 1;
       },
       "payload: countersignedAt \"2026-01-05T09:31:00.250Z\" is not the record's "
       "2026-01-05T09:31:01.250Z"},
      {"older than the certificate",
       [&](GovernanceCertificate& certificate, Trust&) {
         countersign_certificate(certificate, platform_key(),
                                 {kid(), "platform.example", {kSealed - 301, 0}});
       },
       "countersigned at 2026-01-05T09:24:59Z, before the certificate's own timestamp "
       "2026-01-05T09:30:00Z"},
      {"from the future",
       [&](GovernanceCertificate& certificate, Trust&) {
         countersign_certificate(certificate, platform_key(),
                                 {kid(), "platform.example", {kNow.unix_seconds + 301, 0}});
       },
       "countersigned at 2026-01-05T10:35:01Z, in the future"},
      {"key outside its window",
       [](GovernanceCertificate&, Trust& trust) {
         trust.keys[0].window.valid_before = UtcTime{kSealed, 0};
       },
       "platform key " + kid() +
           " is valid before 2026-01-05T09:30:00Z, and the countersignature is of "
           "2026-01-05T09:31:00.250Z"},
      {"key revoked for good",
       [](GovernanceCertificate&, Trust& trust) {
         trust.revoked.push_back({kid(), std::nullopt, "leaked"});
       },
       "platform key " + kid() + " is revoked"},
      {"key revoked before now",
       [](GovernanceCertificate&, Trust& trust) {
         trust.revoked.push_back({kid(), UtcTime{kSealed + 120, 0}, ""});
       },
       "platform key " + kid() +
           " was revoked at 2026-01-05T09:32:00Z, and only the platform's own clock says when it "
           "countersigned"},
  };
  for (const Case& c : cases) {
    GovernanceCertificate certificate = base;
    countersign_certificate(certificate, platform_key(), {kid(), "platform.example", kAt});
    Trust trust;
    c.change(certificate, trust);
    const CountersignVerdict verdict = check(certificate, trust);
    EXPECT_FALSE(verdict.ok) << c.name;
    EXPECT_EQ(verdict.detail, c.reason) << c.name;
    EXPECT_FALSE(verdict.facts) << c.name;
  }
}

TEST(Countersign, RevocationDatedAfterNowDoesNotCountYet) {
  GovernanceCertificate certificate = sealed_certificate();
  countersign_certificate(certificate, platform_key(), {kid(), "platform.example", kAt});
  Trust trust;
  trust.revoked.push_back({kid(), UtcTime{kNow.unix_seconds + 1, 0}, "rotated"});
  trust.keys[0].window = {UtcTime{kSealed, 0}, UtcTime{kNow.unix_seconds, 0}};
  EXPECT_TRUE(check(certificate, trust).ok);
}

}  // namespace
}  // namespace certwright
