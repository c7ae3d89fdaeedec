// What the index records of a verified certificate: the facts its queries select on.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/date_time.h"
#include "core/record/certificate.h"

namespace certwright {

struct StoredArtifact {
  std::string name;
  std::string digest;
  friend bool operator==(const StoredArtifact&, const StoredArtifact&) = default;
};

struct StoredStage {
  std::string stage_id;
  std::string status;                     // "passed", "failed" or "skipped"
  std::vector<StoredArtifact> artifacts;  // in name order
  friend bool operator==(const StoredStage&, const StoredStage&) = default;
};

// Each member is the certificate's own text, unchanged.
struct CertificateFacts {
  std::string certificate_hash;
  std::string run_id;
  UtcTime trusted_time;  // the certificate's timestamp, covered by its seal
  std::string status;    // "complete" or "incomplete"
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  std::optional<std::string> signer_session_id;
  std::string public_key;           // Base64, as the certificate holds it
  std::string key_fingerprint;      // "SHA256:..."
  std::string kind;                 // signingAttestation.kind: "operator", "ephemeral", ...
  std::vector<StoredStage> stages;  // in the certificate's order
  std::string requirements_hash;
  std::optional<std::string> spec_id;
  std::optional<std::string> spec_hash;
  std::string build_spec_hash;
  std::optional<std::string> posture;
  std::optional<std::string> corpus_attestation_hash;
  std::optional<std::string> sbom_bom_hash;
  std::optional<std::string> sbom_audit_hash;
  friend bool operator==(const CertificateFacts&, const CertificateFacts&) = default;
};

// The facts of a certificate that has been verified (its signing key is well-formed).
CertificateFacts facts_of(const GovernanceCertificate& certificate);

}  // namespace certwright
