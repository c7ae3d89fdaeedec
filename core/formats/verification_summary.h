// The SLSA verification summary (VSA) of a verifier's run: an in-toto Statement whose predicate
// says which verifier passed or failed which artifacts, when, and under which policy, signed in
// a DSSE envelope inside a Sigstore bundle.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"
#include "core/base/error.h"
#include "core/seal/public_key.h"
#include "core/seal/signing_key.h"

namespace certwright {

inline constexpr std::string_view kVerificationSummaryType =
    "https://slsa.dev/verification_summary/v1";
// The level a passed summary claims: the certificates were governed as the policy demands.
// Never an SLSA_ level: nothing here checks provenance.
inline constexpr std::string_view kGovernedLevel = "CERTWRIGHT_GOVERNED_V1";

// A thing named with its SHA-256: a subject (by name) or an input attestation (by URI).
struct DigestedName {
  std::string name;
  std::string sha256;
};

struct SummaryStatement {
  std::string verifier_id;
  UtcTime time_verified;
  std::string resource_uri;
  std::string policy_uri;
  std::string policy_sha256;
  std::vector<DigestedName> subjects;
  std::vector<DigestedName> input_attestations;
  bool passed = false;  // PASSED with kGovernedLevel, or FAILED with no level
};

// The Statement, compact. Cannot fail.
std::string encode_summary_statement(const SummaryStatement& summary);

// The summary signed with `key` as a Sigstore bundle (the form certwright-attest writes, the
// public key's hint as key material). Cannot fail but for want of memory.
std::string sign_summary_bundle(const SummaryStatement& summary, const SigningKey& key);

// "urn:certwright:run:" and the run id, every byte but ASCII letters, digits and "-._~"
// percent-encoded.
std::string run_resource_uri(std::string_view run_id);

// The summary in `text`, a bundle or envelope, once one of its signatures verifies under `key`;
// the error says what is not so: not a bundle, no signature by the key ("signed by another
// key"), not an in-toto Statement of a verification summary, or a predicate without the members
// read here (verifier.id, timeVerified, resourceUri, policy, verificationResult,
// verifiedLevels).
std::expected<SummaryStatement, Error> read_summary_bundle(std::string_view text,
                                                           const PublicKeyBytes& key);

}  // namespace certwright
