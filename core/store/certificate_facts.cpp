#include "core/store/certificate_facts.h"

#include "core/seal/public_key.h"
#include "core/verify/certificate_verification.h"

namespace certwright {
namespace {

std::vector<StoredStage> stages_of(const GovernanceCertificate& certificate) {
  std::vector<StoredStage> stages;
  stages.reserve(certificate.stages.size());
  for (const StageRecord& record : certificate.stages) {
    StoredStage stage{record.stage_id, to_text(record.status), {}};
    stage.artifacts.reserve(record.artifact_hashes.size());
    for (const auto& [name, digest] : record.artifact_hashes)
      stage.artifacts.push_back({std::string(name), std::string(digest)});
    stages.push_back(std::move(stage));
  }
  return stages;
}

}  // namespace

CertificateFacts facts_of(const GovernanceCertificate& certificate) {
  CertificateFacts facts;
  facts.certificate_hash = certificate.certificate_hash;
  facts.run_id = certificate.pipeline_run_id;
  facts.trusted_time = certificate.timestamp;
  facts.status = to_text(certificate.status);
  if (certificate.signer) {
    facts.signer_subject = certificate.signer->subject;
    facts.signer_identity_provider = certificate.signer->identity_provider;
    facts.signer_session_id = certificate.signer->session_id;
  }
  facts.public_key = certificate.signing_public_key;
  if (const auto key = decode_exact<32>("signingPublicKey", certificate.signing_public_key))
    facts.key_fingerprint = key_fingerprint(*key);
  facts.kind = to_text(certificate.signing_attestation.kind);
  facts.stages = stages_of(certificate);
  facts.requirements_hash = certificate.intent.requirements_hash;
  facts.spec_id = certificate.intent.spec_id;
  facts.spec_hash = certificate.intent.spec_hash;
  facts.build_spec_hash = certificate.build_spec.hash;
  if (certificate.agentic_posture_binding)
    facts.posture = certificate.agentic_posture_binding->posture;
  if (certificate.corpus_binding)
    facts.corpus_attestation_hash = certificate.corpus_binding->corpus_attestation_hash;
  if (certificate.sbom_artifact_binding) {
    facts.sbom_bom_hash = certificate.sbom_artifact_binding->bom_hash;
    facts.sbom_audit_hash = certificate.sbom_artifact_binding->audit_hash;
  }
  return facts;
}

}  // namespace certwright
