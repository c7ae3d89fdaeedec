#include "core/record/certificate_encoding.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/memory_pages.h"

namespace certwright {
namespace {

// Every record's writer is declared up front so the container and member templates below find
// them all by ordinary lookup, whatever order the definitions come in.
void put(JsonWriter& writer, std::string_view text);
void put(JsonWriter& writer, bool value);
void put(JsonWriter& writer, std::uint8_t value);
void put(JsonWriter& writer, std::uint32_t value);
void put(JsonWriter& writer, std::uint64_t value);
void put(JsonWriter& writer, std::int32_t value);
void put(JsonWriter& writer, UtcTime time);
void put(JsonWriter& writer, const JsonValue& value);
void put(JsonWriter& writer, CertificateStatus status);
void put(JsonWriter& writer, CheckStatus status);
void put(JsonWriter& writer, ChainIntegrity integrity);
void put(JsonWriter& writer, AttestationKind kind);
void put(JsonWriter& writer, const IntentRecord& intent);
void put(JsonWriter& writer, const ApprovalRecord& approval);
void put(JsonWriter& writer, const BuildSpecRecord& build_spec);
void put(JsonWriter& writer, const GateResult& gate);
void put(JsonWriter& writer, const ResourcePeak& peak);
void put(JsonWriter& writer, const SandboxExecution& sandbox);
void put(JsonWriter& writer, const StageRecord& stage);
void put(JsonWriter& writer, const VerificationSummary& verification);
void put(JsonWriter& writer, const ProofChainSummary& proof_chain);
void put(JsonWriter& writer, const ComplianceMapping& mapping);
void put(JsonWriter& writer, const ComplianceRecord& compliance);
void put(JsonWriter& writer, const SignerIdentity& signer);
void put(JsonWriter& writer, const StageKey& stage_key);
void put(JsonWriter& writer, const KeyChain& key_chain);
void put(JsonWriter& writer, const ManifestSigner& signer);
void put(JsonWriter& writer, const StageManifest& manifest);
void put(JsonWriter& writer, const InterStageChain& chain);
void put(JsonWriter& writer, const ConsumedOverride& override_);
void put(JsonWriter& writer, const CorpusBinding& binding);
void put(JsonWriter& writer, const SbomArtifactBinding& binding);
void put(JsonWriter& writer, const SurfaceBinding& surface);
void put(JsonWriter& writer, const AgenticPostureBinding& binding);
void put(JsonWriter& writer, const SigningAttestation& attestation);
void put(JsonWriter& writer, const PlatformCountersign& countersign);

template <class T>
void put(JsonWriter& writer, const std::vector<T>& list) {
  writer.begin_array();
  for (const T& element : list)
    put(writer, element);
  writer.end_array();
}

// StringMap iterates in ascending byte-wise key order, as the encoding requires.
void put(JsonWriter& writer, const StringMap& map) {
  writer.begin_object();
  for (const auto& [name, value] : map) {
    writer.key(name);
    writer.string(value);
  }
  writer.end_object();
}

// Maps are std::map, so iteration is already ascending byte-wise key order.
template <class T>
void put(JsonWriter& writer, const std::map<std::string, T>& map) {
  writer.begin_object();
  for (const auto& [name, value] : map) {
    writer.key(name);
    put(writer, value);
  }
  writer.end_object();
}

// One JSON object, written member by member in the order of the calls; each call names the
// member's key and its presence rule. The object closes when this goes out of scope.
class Members {
 public:
  explicit Members(JsonWriter& writer) : writer_(writer) { writer_.begin_object(); }
  ~Members() { writer_.end_object(); }
  Members(const Members&) = delete;
  Members& operator=(const Members&) = delete;

  template <class T>
  void always(std::string_view key, const T& value) {
    writer_.key(key);
    put(writer_, value);
  }
  template <class T>
  void if_present(std::string_view key, const std::optional<T>& value) {
    if (value) always(key, *value);
  }
  template <class Container>
  void if_not_empty(std::string_view key, const Container& values) {
    if (!values.empty()) always(key, values);
  }
  template <class T>
  void null_if_absent(std::string_view key, const std::optional<T>& value) {
    if (value) {
      always(key, *value);
    } else {
      writer_.key(key);
      writer_.null();
    }
  }

 private:
  JsonWriter& writer_;
};

void put(JsonWriter& writer, std::string_view text) {
  writer.string(text);
}
void put(JsonWriter& writer, bool value) {
  writer.boolean(value);
}
void put(JsonWriter& writer, std::uint8_t value) {
  writer.unsigned_integer(value);
}
void put(JsonWriter& writer, std::uint32_t value) {
  writer.unsigned_integer(value);
}
void put(JsonWriter& writer, std::uint64_t value) {
  writer.unsigned_integer(value);
}
void put(JsonWriter& writer, std::int32_t value) {
  writer.signed_integer(value);
}
void put(JsonWriter& writer, UtcTime time) {
  writer.string(format_date_time(time));
}
void put(JsonWriter& writer, const JsonValue& value) {
  writer.value(value);
}
void put(JsonWriter& writer, CertificateStatus status) {
  writer.string(to_text(status));
}
void put(JsonWriter& writer, CheckStatus status) {
  writer.string(to_text(status));
}
void put(JsonWriter& writer, ChainIntegrity integrity) {
  writer.string(to_text(integrity));
}
void put(JsonWriter& writer, AttestationKind kind) {
  writer.string(to_text(kind));
}

void put(JsonWriter& writer, const IntentRecord& intent) {
  Members object(writer);
  object.always("requirementsHash", intent.requirements_hash);
  object.if_present("specId", intent.spec_id);
  object.if_present("specHash", intent.spec_hash);
}

void put(JsonWriter& writer, const ApprovalRecord& approval) {
  Members object(writer);
  object.if_present("approvedBy", approval.approved_by);
  object.always("approvedAt", approval.approved_at);
  object.always("gateType", approval.gate_type);
}

void put(JsonWriter& writer, const BuildSpecRecord& build_spec) {
  Members object(writer);
  object.always("hash", build_spec.hash);
  object.if_present("approvalRecord", build_spec.approval_record);
}

void put(JsonWriter& writer, const GateResult& gate) {
  Members object(writer);
  object.always("passed", gate.passed);
  object.always("checksRun", gate.checks_run);
  object.always("checksFailed", gate.checks_failed);
}

void put(JsonWriter& writer, const ResourcePeak& peak) {
  Members object(writer);
  object.always("cpuMilliPeak", peak.cpu_milli_peak);
  object.always("memoryBytesPeak", peak.memory_bytes_peak);
  object.always("pidPeak", peak.pid_peak);
}

void put(JsonWriter& writer, const SandboxExecution& sandbox) {
  Members object(writer);
  object.always("command", sandbox.command);
  object.always("inputArtifactHashes", sandbox.input_artifact_hashes);
  object.always("outputArtifactHashes", sandbox.output_artifact_hashes);
  object.always("resourcePeak", sandbox.resource_peak);
  object.always("isolationTier", sandbox.isolation_tier);
  object.always("runtimeDescriptor", sandbox.runtime_descriptor);
  object.always("deadlineHit", sandbox.deadline_hit);
  object.always("exitCode", sandbox.exit_code);
}

void put(JsonWriter& writer, const StageRecord& stage) {
  Members object(writer);
  object.always("stageId", stage.stage_id);
  object.always("status", stage.status);
  object.always("artifactHashes", stage.artifact_hashes);
  object.null_if_absent("gateResult", stage.gate_result);
  object.if_present("durationMs", stage.duration_ms);
  object.if_present("sandboxExecution", stage.sandbox_execution);
}

void put(JsonWriter& writer, const VerificationSummary& verification) {
  Members object(writer);
  object.always("compile", verification.compile);
  object.always("test", verification.test);
  object.always("lint", verification.lint);
  object.always("typecheck", verification.typecheck);
  object.always("securityScan", verification.security_scan);
}

void put(JsonWriter& writer, const ProofChainSummary& proof_chain) {
  Members object(writer);
  object.always("recordCount", proof_chain.record_count);
  object.if_present("firstRecordHash", proof_chain.first_record_hash);
  object.if_present("lastRecordHash", proof_chain.last_record_hash);
  object.always("chainIntegrity", proof_chain.chain_integrity);
}

void put(JsonWriter& writer, const ComplianceMapping& mapping) {
  Members object(writer);
  object.always("control", mapping.control);
  object.always("mechanism", mapping.mechanism);
  object.always("status", mapping.status);
}

void put(JsonWriter& writer, const ComplianceRecord& compliance) {
  Members object(writer);
  object.always("frameworks", compliance.frameworks);
  object.if_not_empty("mappings", compliance.mappings);
}

void put(JsonWriter& writer, const SignerIdentity& signer) {
  Members object(writer);
  object.always("subject", signer.subject);
  object.always("identityProvider", signer.identity_provider);
  object.if_present("sessionId", signer.session_id);
}

void put(JsonWriter& writer, const StageKey& stage_key) {
  Members object(writer);
  object.always("stageId", stage_key.stage_id);
  object.always("ephemeralPublicKeyB64", stage_key.ephemeral_public_key_b64);
  object.always("keyFingerprint", stage_key.key_fingerprint);
}

void put(JsonWriter& writer, const KeyChain& key_chain) {
  Members object(writer);
  object.always("runId", key_chain.run_id);
  object.always("rootPublicKeyB64", key_chain.root_public_key_b64);
  object.always("stageKeys", key_chain.stage_keys);
}

void put(JsonWriter& writer, const ManifestSigner& signer) {
  Members object(writer);
  object.always("agentId", signer.agent_id);
  object.always("ephemeralKeyId", signer.ephemeral_key_id);
}

void put(JsonWriter& writer, const StageManifest& manifest) {
  Members object(writer);
  object.always("runId", manifest.run_id);
  object.always("fromStage", manifest.from_stage);
  object.always("toStage", manifest.to_stage);
  object.always("producedAt", manifest.produced_at);
  object.always("artifactHashes", manifest.artifact_hashes);
  object.if_not_empty("metadata", manifest.metadata);
  object.always("signer", manifest.signer);
  object.always("signature", manifest.signature);
}

void put(JsonWriter& writer, const InterStageChain& chain) {
  Members object(writer);
  object.always("keyChain", chain.key_chain);
  object.always("manifests", chain.manifests);
}

void put(JsonWriter& writer, const ConsumedOverride& override_) {
  Members object(writer);
  object.always("artifactId", override_.artifact_id);
  object.always("path", override_.path);
  object.always("contentHash", override_.content_hash);
  object.if_present("author", override_.author);
  object.if_present("modifiedAt", override_.modified_at);
  object.always("verified", override_.verified);
  object.if_present("verifiedBy", override_.verified_by);
}

void put(JsonWriter& writer, const CorpusBinding& binding) {
  Members object(writer);
  object.always("corpusAttestationHash", binding.corpus_attestation_hash);
  object.always("varrowVersion", binding.varrow_version);
}

void put(JsonWriter& writer, const SbomArtifactBinding& binding) {
  Members object(writer);
  object.always("bomHash", binding.bom_hash);
  object.always("auditHash", binding.audit_hash);
  object.always("bomToolVersion", binding.bom_tool_version);
}

void put(JsonWriter& writer, const SurfaceBinding& surface) {
  Members object(writer);
  object.always("kind", surface.kind);
  object.if_present("description", surface.description);
  // A present envelope holding JSON null is written as null; only an absent one is left out.
  object.if_present("governanceEnvelope", surface.governance_envelope);
}

void put(JsonWriter& writer, const AgenticPostureBinding& binding) {
  Members object(writer);
  object.always("posture", binding.posture);
  object.always("defaulted", binding.defaulted);
  object.if_not_empty("surfaces", binding.surfaces);
}

void put(JsonWriter& writer, const SigningAttestation& attestation) {
  Members object(writer);
  object.always("kind", attestation.kind);
  object.if_present("note", attestation.note);
}

void put(JsonWriter& writer, const PlatformCountersign& countersign) {
  Members object(writer);
  object.always("countersignJws", countersign.countersign_jws);
  object.always("kid", countersign.kid);
  object.always("countersignedAt", countersign.countersigned_at);
}

// Allowance for everything but the artifact maps.
constexpr std::size_t kFixedPart = 4096;

// Bytes the encoding will take, closely enough that a certificate with a hundred thousand
// artifact hashes is written into one allocation. Artifact maps dominate every real certificate;
// the per-entry allowance covers quotes, ": ", the comma, the line break and the indentation.
std::size_t estimated_size(const GovernanceCertificate& certificate) {
  constexpr std::size_t kPerStage = 256;
  constexpr std::size_t kPerEntry = 16;
  std::size_t size = kFixedPart;
  for (const StageRecord& stage : certificate.stages) {
    size += kPerStage + stage.stage_id.size();
    for (const auto& [name, hash] : stage.artifact_hashes)
      size += name.size() + hash.size() + kPerEntry;
  }
  return size;
}

// The buffer the next encoding writes into. A run encodes one large certificate several times
// (hash view, signing view, file); writing each into the pages the previous one already touched
// spares a fresh allocation's page faults every time. Single-threaded use only.
std::string& spare_buffer() {
  static std::string spare;
  return spare;
}

// Writes the certificate in `view`.
void write_members(JsonWriter& writer, const GovernanceCertificate& certificate,
                   CertificateView view) {
  // The views override members while writing; the certificate itself is never copied.
  const std::string_view certificate_hash =
      view == CertificateView::hash ? std::string_view() : certificate.certificate_hash;
  const std::string_view cert_signature =
      view == CertificateView::full ? certificate.cert_signature : std::string_view();

  Members object(writer);
  object.always("certificateVersion", certificate.certificate_version);
  object.always("pipelineRunId", certificate.pipeline_run_id);
  object.always("timestamp", certificate.timestamp);
  object.always("status", certificate.status);
  object.always("intent", certificate.intent);
  object.always("buildSpec", certificate.build_spec);
  object.always("stages", certificate.stages);
  object.always("verification", certificate.verification);
  object.always("proofChain", certificate.proof_chain);
  object.if_present("compliance", certificate.compliance);
  object.if_present("signer", certificate.signer);
  object.if_present("interStageChain", certificate.inter_stage_chain);
  object.if_present("admittedEnvelopeHash", certificate.admitted_envelope_hash);
  object.if_present("goalId", certificate.goal_id);
  object.if_present("intentCapsuleHash", certificate.intent_capsule_hash);
  object.if_not_empty("consumedOverrides", certificate.consumed_overrides);
  object.if_present("corpusBinding", certificate.corpus_binding);
  object.if_present("sbomArtifactBinding", certificate.sbom_artifact_binding);
  object.if_present("agenticPostureBinding", certificate.agentic_posture_binding);
  object.always("certificateHash", certificate_hash);
  object.always("signingPublicKey", certificate.signing_public_key);
  object.always("certSignature", cert_signature);
  object.always("signingAttestation", certificate.signing_attestation);
  if (view == CertificateView::full)
    object.if_present("platformCountersign", certificate.platform_countersign);
}

std::string encode(const GovernanceCertificate& certificate, Layout layout, CertificateView view) {
  std::string out = std::move(spare_buffer());
  out.clear();
  const std::size_t capacity = out.capacity();
  out.reserve(estimated_size(certificate));
  // A fresh buffer is backed by huge pages: the 12 MB encoding of 120,000 artifacts then takes
  // a few page faults instead of 2,900 (see docs/performance.md for what that saves).
  if (out.capacity() != capacity) advise_huge_pages(out.data(), out.capacity());
  JsonWriter writer(layout, out);
  write_members(writer, certificate, view);
  return out;
}

}  // namespace

void recycle_encoding(std::string&& bytes) {
  if (bytes.capacity() > spare_buffer().capacity()) spare_buffer() = std::move(bytes);
}

std::string take_encoding_buffer() {
  std::string buffer = std::move(spare_buffer());
  buffer.clear();
  return buffer;
}

std::string encode_compact(const GovernanceCertificate& certificate, CertificateView view) {
  return encode(certificate, Layout::compact, view);
}

std::string encode_pretty(const GovernanceCertificate& certificate) {
  return encode(certificate, Layout::pretty, CertificateView::full);
}

std::string compute_certificate_hash(const GovernanceCertificate& certificate) {
  std::string view = encode_compact(certificate, CertificateView::hash);
  std::string hash = hash_bytes(view);
  recycle_encoding(std::move(view));
  return hash;
}

void write_json(JsonWriter& writer, const GovernanceCertificate& certificate) {
  write_members(writer, certificate, CertificateView::full);
}
void write_json(JsonWriter& writer, const StageRecord& stage) {
  put(writer, stage);
}
void write_json(JsonWriter& writer, const SignerIdentity& signer) {
  put(writer, signer);
}
void write_json(JsonWriter& writer, const AgenticPostureBinding& binding) {
  put(writer, binding);
}

}  // namespace certwright
