// Building, finalising and sealing the certificate.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/evidence/run_inputs.h"
#include "core/evidence/stage_walk.h"
#include "core/record/certificate.h"

namespace certwright {

// Everything of a certificate except what finalisation sets.
class UnsealedCertificate {
 public:
  UnsealedCertificate(const RunInputs& inputs, std::string requirements_hash);

  void set_stages(std::vector<StageRecord> stages) { stages_ = std::move(stages); }
  void set_signer(SignerIdentity signer) { signer_ = std::move(signer); }
  void set_posture_binding(std::optional<AgenticPostureBinding> binding) {
    posture_ = std::move(binding);
  }
  void set_corpus_binding(std::optional<CorpusBinding> binding) { corpus_ = std::move(binding); }
  void set_sbom_binding(std::optional<SbomArtifactBinding> binding) { sbom_ = std::move(binding); }

  const std::vector<StageRecord>& stages() const { return stages_; }
  bool has_signer() const { return signer_.has_value(); }

 private:
  friend std::expected<GovernanceCertificate, Error> finalise_certificate(UnsealedCertificate);
  std::string pipeline_run_id_;
  std::string requirements_hash_;
  std::string build_spec_hash_;
  std::vector<StageRecord> stages_;
  std::optional<SignerIdentity> signer_;
  std::optional<CorpusBinding> corpus_;
  std::optional<SbomArtifactBinding> sbom_;
  std::optional<AgenticPostureBinding> posture_;
};

// Status, key, public key, version, timestamp, attestation, hash, signature, in that order;
// the KeyError text when the key material cannot be resolved.
std::expected<GovernanceCertificate, Error> finalise_certificate(UnsealedCertificate unsealed);

// The finalised certificate, or the "tenant emission requires a signer" error without a signer.
std::expected<GovernanceCertificate, Error> seal_signed_certificate(UnsealedCertificate unsealed);

// A finalised certificate without signer or bindings over the given stages (empty: discover);
// the walk's error when it ran short of descriptors or memory (collect_stages).
std::expected<GovernanceCertificate, Error> build_plain_certificate(
    const std::string& run_dir, const RunInputs& inputs, const std::string& requirements_hash,
    const StageList& stages);

struct AssemblyInputs {
  std::string run_dir;
  RunInputs run;
  std::string requirements_hash;
  std::optional<std::string> stage_ids;
  bool tenant_mode = false;
  std::optional<SignerIdentity> signer;
  std::optional<CorpusBinding> corpus_binding;
  std::optional<SbomArtifactBinding> sbom_binding;
  std::optional<AgenticPostureBinding> posture_binding;
};

// The sealed certificate of one emission on the plain or the tenant (signer) path; the walk's
// or the key material's error otherwise.
std::expected<GovernanceCertificate, Error> assemble_certificate(AssemblyInputs inputs);

}  // namespace certwright
