// Each record's members, described once: the JSON key, the member and its presence rule, in the
// order the keys are written. The encoder, the strict reader and the schema's test all walk these
// descriptions, so a member added here is written, read and checked alike.
//
// describe(record, visit) calls, for each member in key order, one of
//   visit.always(key, member)          written every time
//   visit.if_present(key, member)      an optional, left out when absent
//   visit.if_not_empty(key, member)    a list or map, left out when empty
//   visit.null_if_absent(key, member)  an optional, written as null when absent
// `record` is const when it is written and mutable when it is read.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "core/record/certificate.h"

namespace certwright {

// `Record` is `T`, or `T` read-only.
template <class Record, class T>
concept RecordOf = std::same_as<std::remove_const_t<Record>, T>;

template <RecordOf<IntentRecord> Record, class Visitor>
void describe(Record& intent, Visitor& visit) {
  visit.always("requirementsHash", intent.requirements_hash);
  visit.if_present("specId", intent.spec_id);
  visit.if_present("specHash", intent.spec_hash);
}

template <RecordOf<ApprovalRecord> Record, class Visitor>
void describe(Record& approval, Visitor& visit) {
  visit.if_present("approvedBy", approval.approved_by);
  visit.always("approvedAt", approval.approved_at);
  visit.always("gateType", approval.gate_type);
}

// The hash is written even when empty (a run without a build spec).
template <RecordOf<BuildSpecRecord> Record, class Visitor>
void describe(Record& build_spec, Visitor& visit) {
  visit.always("hash", build_spec.hash);
  visit.if_present("approvalRecord", build_spec.approval_record);
}

template <RecordOf<GateResult> Record, class Visitor>
void describe(Record& gate, Visitor& visit) {
  visit.always("passed", gate.passed);
  visit.always("checksRun", gate.checks_run);
  visit.always("checksFailed", gate.checks_failed);
}

template <RecordOf<ResourcePeak> Record, class Visitor>
void describe(Record& peak, Visitor& visit) {
  visit.always("cpuMilliPeak", peak.cpu_milli_peak);
  visit.always("memoryBytesPeak", peak.memory_bytes_peak);
  visit.always("pidPeak", peak.pid_peak);
}

template <RecordOf<SandboxExecution> Record, class Visitor>
void describe(Record& sandbox, Visitor& visit) {
  visit.always("command", sandbox.command);
  visit.always("inputArtifactHashes", sandbox.input_artifact_hashes);
  visit.always("outputArtifactHashes", sandbox.output_artifact_hashes);
  visit.always("resourcePeak", sandbox.resource_peak);
  visit.always("isolationTier", sandbox.isolation_tier);
  visit.always("runtimeDescriptor", sandbox.runtime_descriptor);
  visit.always("deadlineHit", sandbox.deadline_hit);
  visit.always("exitCode", sandbox.exit_code);
}

// The artifact map is written even when empty ({}).
template <RecordOf<StageRecord> Record, class Visitor>
void describe(Record& stage, Visitor& visit) {
  visit.always("stageId", stage.stage_id);
  visit.always("status", stage.status);
  visit.always("artifactHashes", stage.artifact_hashes);
  visit.null_if_absent("gateResult", stage.gate_result);
  visit.if_present("durationMs", stage.duration_ms);
  visit.if_present("sandboxExecution", stage.sandbox_execution);
}

template <RecordOf<VerificationSummary> Record, class Visitor>
void describe(Record& verification, Visitor& visit) {
  visit.always("compile", verification.compile);
  visit.always("test", verification.test);
  visit.always("lint", verification.lint);
  visit.always("typecheck", verification.typecheck);
  visit.always("securityScan", verification.security_scan);
}

template <RecordOf<ProofChainSummary> Record, class Visitor>
void describe(Record& proof_chain, Visitor& visit) {
  visit.always("recordCount", proof_chain.record_count);
  visit.if_present("firstRecordHash", proof_chain.first_record_hash);
  visit.if_present("lastRecordHash", proof_chain.last_record_hash);
  visit.always("chainIntegrity", proof_chain.chain_integrity);
}

template <RecordOf<ComplianceMapping> Record, class Visitor>
void describe(Record& mapping, Visitor& visit) {
  visit.always("control", mapping.control);
  visit.always("mechanism", mapping.mechanism);
  visit.always("status", mapping.status);
}

template <RecordOf<ComplianceRecord> Record, class Visitor>
void describe(Record& compliance, Visitor& visit) {
  visit.always("frameworks", compliance.frameworks);
  visit.if_not_empty("mappings", compliance.mappings);
}

template <RecordOf<SignerIdentity> Record, class Visitor>
void describe(Record& signer, Visitor& visit) {
  visit.always("subject", signer.subject);
  visit.always("identityProvider", signer.identity_provider);
  visit.if_present("sessionId", signer.session_id);
}

template <RecordOf<StageKey> Record, class Visitor>
void describe(Record& stage_key, Visitor& visit) {
  visit.always("stageId", stage_key.stage_id);
  visit.always("ephemeralPublicKeyB64", stage_key.ephemeral_public_key_b64);
  visit.always("keyFingerprint", stage_key.key_fingerprint);
}

template <RecordOf<KeyChain> Record, class Visitor>
void describe(Record& key_chain, Visitor& visit) {
  visit.always("runId", key_chain.run_id);
  visit.always("rootPublicKeyB64", key_chain.root_public_key_b64);
  visit.always("stageKeys", key_chain.stage_keys);
}

template <RecordOf<ManifestSigner> Record, class Visitor>
void describe(Record& signer, Visitor& visit) {
  visit.always("agentId", signer.agent_id);
  visit.always("ephemeralKeyId", signer.ephemeral_key_id);
}

template <RecordOf<StageManifest> Record, class Visitor>
void describe(Record& manifest, Visitor& visit) {
  visit.always("runId", manifest.run_id);
  visit.always("fromStage", manifest.from_stage);
  visit.always("toStage", manifest.to_stage);
  visit.always("producedAt", manifest.produced_at);
  visit.always("artifactHashes", manifest.artifact_hashes);
  visit.if_not_empty("metadata", manifest.metadata);
  visit.always("signer", manifest.signer);
  visit.always("signature", manifest.signature);
}

template <RecordOf<InterStageChain> Record, class Visitor>
void describe(Record& chain, Visitor& visit) {
  visit.always("keyChain", chain.key_chain);
  visit.always("manifests", chain.manifests);
}

// "modifiedAt" is free text, not a date-time.
template <RecordOf<ConsumedOverride> Record, class Visitor>
void describe(Record& override_, Visitor& visit) {
  visit.always("artifactId", override_.artifact_id);
  visit.always("path", override_.path);
  visit.always("contentHash", override_.content_hash);
  visit.if_present("author", override_.author);
  visit.if_present("modifiedAt", override_.modified_at);
  visit.always("verified", override_.verified);
  visit.if_present("verifiedBy", override_.verified_by);
}

template <RecordOf<CorpusBinding> Record, class Visitor>
void describe(Record& binding, Visitor& visit) {
  visit.always("corpusAttestationHash", binding.corpus_attestation_hash);
  visit.always("varrowVersion", binding.varrow_version);
}

template <RecordOf<SbomArtifactBinding> Record, class Visitor>
void describe(Record& binding, Visitor& visit) {
  visit.always("bomHash", binding.bom_hash);
  visit.always("auditHash", binding.audit_hash);
  visit.always("bomToolVersion", binding.bom_tool_version);
}

// A present envelope may hold JSON null: it is then written and read back as null, and only an
// absent one is left out.
template <RecordOf<SurfaceBinding> Record, class Visitor>
void describe(Record& surface, Visitor& visit) {
  visit.always("kind", surface.kind);
  visit.if_present("description", surface.description);
  visit.if_present("governanceEnvelope", surface.governance_envelope);
}

template <RecordOf<AgenticPostureBinding> Record, class Visitor>
void describe(Record& binding, Visitor& visit) {
  visit.always("posture", binding.posture);
  visit.always("defaulted", binding.defaulted);
  visit.if_not_empty("surfaces", binding.surfaces);
}

template <RecordOf<SigningAttestation> Record, class Visitor>
void describe(Record& attestation, Visitor& visit) {
  visit.always("kind", attestation.kind);
  visit.if_present("note", attestation.note);
}

template <RecordOf<PlatformCountersign> Record, class Visitor>
void describe(Record& countersign, Visitor& visit) {
  visit.always("countersignJws", countersign.countersign_jws);
  visit.always("kid", countersign.kid);
  visit.always("countersignedAt", countersign.countersigned_at);
}

// The certificate itself. Its hash and signing views (certificate_encoding.h) write some of
// these members otherwise; the description is the full certificate's.
template <RecordOf<GovernanceCertificate> Record, class Visitor>
void describe(Record& certificate, Visitor& visit) {
  visit.always("certificateVersion", certificate.certificate_version);
  visit.always("pipelineRunId", certificate.pipeline_run_id);
  visit.always("timestamp", certificate.timestamp);
  visit.always("status", certificate.status);
  visit.always("intent", certificate.intent);
  visit.always("buildSpec", certificate.build_spec);
  visit.always("stages", certificate.stages);
  visit.always("verification", certificate.verification);
  visit.always("proofChain", certificate.proof_chain);
  visit.if_present("compliance", certificate.compliance);
  visit.if_present("signer", certificate.signer);
  visit.if_present("interStageChain", certificate.inter_stage_chain);
  visit.if_present("admittedEnvelopeHash", certificate.admitted_envelope_hash);
  visit.if_present("goalId", certificate.goal_id);
  visit.if_present("intentCapsuleHash", certificate.intent_capsule_hash);
  visit.if_not_empty("consumedOverrides", certificate.consumed_overrides);
  visit.if_present("corpusBinding", certificate.corpus_binding);
  visit.if_present("sbomArtifactBinding", certificate.sbom_artifact_binding);
  visit.if_present("agenticPostureBinding", certificate.agentic_posture_binding);
  visit.always("certificateHash", certificate.certificate_hash);
  visit.always("signingPublicKey", certificate.signing_public_key);
  visit.always("certSignature", certificate.cert_signature);
  visit.always("signingAttestation", certificate.signing_attestation);
  visit.if_present("platformCountersign", certificate.platform_countersign);
}

enum class Presence { always, if_present, if_not_empty, null_if_absent };

struct MemberKey {
  std::string_view key;
  Presence presence;
};

// A record's keys and presence rules in key order, as its description gives them.
class MemberKeys {
 public:
  // The most members a record has (the certificate's 24).
  static constexpr std::size_t kMax = 24;

  std::span<const MemberKey> keys() const { return {keys_.data(), count_}; }

  template <class T>
  void always(std::string_view key, const T&) {
    add(key, Presence::always);
  }
  template <class T>
  void if_present(std::string_view key, const T&) {
    add(key, Presence::if_present);
  }
  template <class T>
  void if_not_empty(std::string_view key, const T&) {
    add(key, Presence::if_not_empty);
  }
  template <class T>
  void null_if_absent(std::string_view key, const T&) {
    add(key, Presence::null_if_absent);
  }

 private:
  void add(std::string_view key, Presence presence) {
    if (count_ == kMax) throw std::length_error("a record with more members than MemberKeys holds");
    keys_[count_++] = {key, presence};
  }

  std::array<MemberKey, kMax> keys_{};
  std::size_t count_ = 0;
};

// The records that have a description.
template <class Record>
concept DescribedRecord = requires(const Record& record, MemberKeys& keys) {
  describe(record, keys);
};

// `Record`'s keys, collected from its description once.
template <DescribedRecord Record>
std::span<const MemberKey> member_keys() {
  static const MemberKeys keys = [] {
    const Record record{};
    MemberKeys collected;
    describe(record, collected);
    return collected;
  }();
  return keys.keys();
}

}  // namespace certwright
