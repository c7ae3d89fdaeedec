// Verifying a certificate file: integrity, seal, the caller's policy and drift of the run.
#pragma once

#include <simdjson.h>

#include <array>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"
#include "core/evidence/stage_coverage.h"
#include "core/record/certificate.h"
#include "core/seal/public_key.h"
#include "core/verify/allowed_signers.h"
#include "core/verify/countersign_check.h"

namespace certwright {

// A file the caller asks about, by its content hash: was it produced by the certified run?
struct ArtifactQuery {
  std::string path;  // as the caller named it, in the check's name
  std::string hash;
};

// What the caller trusts and demands.
struct VerificationPolicy {
  std::vector<PublicKeyBytes> trusted_keys;    // for any signer
  std::vector<AllowedSigner> allowed_signers;  // each key for the signers its line matches
  bool integrity_only = false;                 // no key is trusted: intact and self-sealed only
  bool require_operator_key = false;
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  bool require_corpus_binding = false;
  bool require_sbom_binding = false;
  bool require_posture_binding = false;
  std::vector<std::string> required_stages;  // each recorded, and every record of it passed
  bool forbid_skipped = false;               // every record passed
  bool forbid_other_stages = false;          // no stage recorded but the required ones
  std::optional<std::string> pipeline_run_id;
  std::optional<std::string> signer_session_id;
  std::optional<std::int64_t> max_age_seconds;  // judged at `now`
  UtcTime now;
  std::vector<ArtifactQuery> artifacts;
  bool require_full_coverage = false;      // with a run directory: fail "coverage" on any uncovered
  std::vector<PlatformKey> platform_keys;  // whose countersignatures are trusted
  std::vector<RevokedKey> revoked_keys;    // operator and platform keys alike
  bool require_countersign = false;        // fail "countersign" unless one verifies
  // DER certificates of the timestamp authorities trusted (roots, and intermediates where used):
  // with any, a bundle's RFC 3161 tokens are checked (check "timestamp").
  std::vector<std::string> tsa_certificates;
  std::size_t required_timestamps = 0;  // fail "timestamp" unless this many tokens verify
};

// Whose clock gave the time a certificate's judgements of time rest on: the platform's, when
// its countersignature verified, or a timestamp authority's, when a token of its bundle verified
// (the earlier of the two when both did); otherwise only the signer's own.
enum class TrustedClock { signer, platform, timestamp_authority };

struct TrustedTime {
  UtcTime time;
  TrustedClock clock = TrustedClock::signer;
  std::string authority;  // the timestamp authority's name, for its clock
};

// "by the platform's clock", "by a timestamp authority's clock" or "by the signer's own clock".
const char* clock_text(TrustedClock clock);
// clock_text, naming the timestamp authority for its clock.
std::string clock_text(const TrustedTime& trusted);

// One RFC 3161 token of a bundle as it was checked: the authority and its time when it verified,
// the reason (raw text) otherwise.
struct TimestampVerdict {
  bool ok = false;
  std::string authority;
  UtcTime time;
  std::string detail;
};

// A bundle's tokens, checked against the trusted authorities before the certificate inside it;
// `checked` is false when no authority is trusted and the tokens were only counted.
struct TimestampEvidence {
  std::vector<TimestampVerdict> tokens;
  bool checked = false;
};

// What the certificate is compared with: inputs the caller named, never names the certificate
// carries (only the run directory's stages are). Nothing of them is read until the certificate
// has proved intact and sealed by a trusted key (with integrity_only, sealed by its own key).
struct DriftInputs {
  std::optional<std::string> run_dir;
  std::vector<std::string> business_docs;         // hashed into the requirements hash
  std::optional<std::string> corpus_attestation;  // resolved into a corpus binding
  std::optional<std::string> sbom_dir;            // resolved into an SBOM binding
};

// One check of the report, under a stable name ("well-formed", "hash", "signature",
// "countersign", "timestamp", "trusted-key", "operator-key", "signer", "stage-policy",
// "pipeline-run-id", "signer-session-id", "max-age", "artifact:PATH", "corpus-binding",
// "sbom-binding", "posture-binding", "drift-stages", "coverage", "drift-build-spec",
// "drift-requirements", "drift-corpus", "drift-sbom").
struct CheckResult {
  std::string name;
  bool ok = false;
  std::string detail;  // raw text: names in it are unescaped
};

// A stage's artifacts as the run directory holds them now, against the certificate. A missing
// stage directory has every certified artifact removed; one that was certified without
// artifacts (the emitter records a missing directory that way) has not drifted.
struct StageDrift {
  bool missing = false;
  std::vector<std::string> added;
  std::vector<std::string> removed;
  std::vector<std::string> changed;

  bool drifted() const { return !added.empty() || !removed.empty() || !changed.empty(); }
};

// An input's hash as certified and as found now.
struct InputDrift {
  std::string certified;
  std::string found;
};

struct VerificationReport {
  std::vector<CheckResult> checks;
  bool canonical = false;  // the file is byte for byte the certificate's pretty encoding
  // Facts for the reader of the report that are no check: what was not trusted, not
  // authenticated or not looked at.
  std::vector<std::string> notes;
  std::map<std::string, StageDrift> stages;  // every stage walked, by stage id
  std::map<std::string, InputDrift> inputs;  // "buildSpec", "requirements", "corpus", "sbom"
  // With a run directory: what each walked stage's record cannot cover, by stage id, and the
  // run directory's entries that no stage record covers.
  std::map<std::string, StageCoverage> coverage;
  RunDirectoryCoverage run_directory_coverage;
  bool coverage_checked = false;
  std::optional<GovernanceCertificate> certificate;  // when well-formed
  bool integrity_only = false;  // nothing was trusted: the seal is only the certificate's own
  std::optional<CountersignFacts> countersign;  // when a countersignature verified
  std::optional<TrustedTime> trusted_time;      // when well-formed
  std::vector<TimestampVerdict> timestamps;     // the bundle's tokens, when they were checked

  // True exactly when every check passed.
  bool verified() const;
  std::size_t failed_count() const;
};

// Runs the checks in their order on the certificate file's bytes. Policy and drift checks are
// added only when the policy or the inputs ask for them; the drift inputs are read only after
// the well-formed, hash, signature and trusted-key checks have passed (with integrity_only,
// after the signature), and each distinct stage directory is walked once. Stage walks print
// the walk's warnings. `timestamps` are the tokens of the bundle the certificate came in (none
// for a bare certificate): checked ones make the check "timestamp", and the earliest that
// verified, lying between the certificate's own timestamp and now (each give or take
// kClockSkewSeconds), is a trusted time.
VerificationReport verify_certificate(
    simdjson::padded_string_view file, const VerificationPolicy& policy, const DriftInputs& inputs,
    const std::optional<TimestampEvidence>& timestamps = std::nullopt);

// The bytes of the Base64 member `name` (`text`) when it holds exactly `Size` bytes; the reason
// it does not otherwise ("<name>: base64: ..." or "<name>: <n> bytes, not <Size>").
template <std::size_t Size>
std::expected<std::array<unsigned char, Size>, std::string> decode_exact(std::string_view name,
                                                                         std::string_view text);
extern template std::expected<std::array<unsigned char, 32>, std::string> decode_exact<32>(
    std::string_view, std::string_view);
extern template std::expected<std::array<unsigned char, 64>, std::string> decode_exact<64>(
    std::string_view, std::string_view);

// RFC 8032 Ed25519 (plain, no context) verification of `signature` over `message`; false for
// a signature that does not verify and for a key OpenSSL refuses.
bool ed25519_verifies(const PublicKeyBytes& public_key, std::string_view message,
                      const std::array<unsigned char, 64>& signature);

// verify_certificate's "hash" and "signature" checks of a certificate already read.
std::array<CheckResult, 2> seal_checks(const GovernanceCertificate& certificate);

// True when `stage_id` names a place inside the run directory: not empty, not absolute, no
// ".." component and no NUL byte.
bool is_safe_stage_id(std::string_view stage_id);

}  // namespace certwright
