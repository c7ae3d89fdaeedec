// The governance certificate and every record nested in it.
//
// Member order here is the order of the keys in the JSON text. Each member's key and presence
// rule are given once, in certificate_members.h, which the encoder and the reader both walk.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"
#include "core/base/json_value.h"
#include "core/base/string_map.h"

namespace certwright {

// The "certificateVersion" this program writes, and the only one its reader accepts.
inline constexpr std::string_view kCurrentCertificateVersion = "1.5.0";

enum class CertificateStatus { complete, incomplete };
enum class CheckStatus { passed, failed, skipped };
enum class ChainIntegrity { verified, unverified, empty };
enum class AttestationKind { unsigned_, ephemeral, operator_, sigstore_rekor };

// JSON text of each enumeration value ("complete", "sigstore-rekor", ...).
const char* to_text(CertificateStatus status);
const char* to_text(CheckStatus status);
const char* to_text(ChainIntegrity integrity);
const char* to_text(AttestationKind kind);
// "Complete" or "Incomplete", as the summary line shows it.
const char* display_name(CertificateStatus status);

struct IntentRecord {
  std::string requirements_hash;
  std::optional<std::string> spec_id;
  std::optional<std::string> spec_hash;
};

struct ApprovalRecord {
  std::optional<std::string> approved_by;
  UtcTime approved_at;
  std::string gate_type;
};

struct BuildSpecRecord {
  std::string hash;
  std::optional<ApprovalRecord> approval_record;
};

struct GateResult {
  bool passed = false;
  std::uint32_t checks_run = 0;
  std::uint32_t checks_failed = 0;
};

struct ResourcePeak {
  std::uint32_t cpu_milli_peak = 0;
  std::uint64_t memory_bytes_peak = 0;
  std::uint32_t pid_peak = 0;
};

struct SandboxExecution {
  std::vector<std::string> command;
  StringMap input_artifact_hashes;
  StringMap output_artifact_hashes;
  ResourcePeak resource_peak;
  std::uint8_t isolation_tier = 0;
  std::string runtime_descriptor;
  bool deadline_hit = false;
  std::int32_t exit_code = 0;
};

struct StageRecord {
  std::string stage_id;
  CheckStatus status = CheckStatus::skipped;
  StringMap artifact_hashes;
  std::optional<GateResult> gate_result;
  std::optional<std::uint64_t> duration_ms;
  std::optional<SandboxExecution> sandbox_execution;
};

struct VerificationSummary {
  CheckStatus compile = CheckStatus::skipped;
  CheckStatus test = CheckStatus::skipped;
  CheckStatus lint = CheckStatus::skipped;
  CheckStatus typecheck = CheckStatus::skipped;
  CheckStatus security_scan = CheckStatus::skipped;
};

struct ProofChainSummary {
  std::uint64_t record_count = 0;
  std::optional<std::string> first_record_hash;
  std::optional<std::string> last_record_hash;
  ChainIntegrity chain_integrity = ChainIntegrity::empty;
};

struct ComplianceMapping {
  std::string control;
  std::string mechanism;
  std::string status;
};

struct ComplianceRecord {
  std::vector<std::string> frameworks;
  std::vector<ComplianceMapping> mappings;
};

struct SignerIdentity {
  std::string subject;
  std::string identity_provider;
  std::optional<std::string> session_id;
};

struct StageKey {
  std::string stage_id;
  std::string ephemeral_public_key_b64;
  std::string key_fingerprint;
};

struct KeyChain {
  std::string run_id;
  std::string root_public_key_b64;
  std::map<std::string, StageKey> stage_keys;
};

struct ManifestSigner {
  std::string agent_id;
  std::string ephemeral_key_id;
};

struct StageManifest {
  std::string run_id;
  std::string from_stage;
  std::string to_stage;
  UtcTime produced_at;
  StringMap artifact_hashes;
  JsonObject metadata;
  ManifestSigner signer;
  std::string signature;
};

struct InterStageChain {
  KeyChain key_chain;
  std::vector<StageManifest> manifests;
};

struct ConsumedOverride {
  std::string artifact_id;
  std::string path;
  std::string content_hash;
  std::optional<std::string> author;
  std::optional<std::string> modified_at;  // free text
  bool verified = false;
  std::optional<std::string> verified_by;
};

struct CorpusBinding {
  std::string corpus_attestation_hash;
  std::string varrow_version;
};

struct SbomArtifactBinding {
  std::string bom_hash;
  std::string audit_hash;
  std::string bom_tool_version;
};

struct SurfaceBinding {
  std::string kind;
  std::optional<std::string> description;
  std::optional<JsonValue> governance_envelope;  // may hold null
};

struct AgenticPostureBinding {
  std::string posture;
  bool defaulted = false;
  std::vector<SurfaceBinding> surfaces;
};

struct SigningAttestation {
  AttestationKind kind = AttestationKind::unsigned_;
  std::optional<std::string> note;
};

struct PlatformCountersign {
  std::string countersign_jws;
  std::string kid;
  UtcTime countersigned_at;
};

struct GovernanceCertificate {
  std::string certificate_version;
  std::string pipeline_run_id;
  UtcTime timestamp;
  CertificateStatus status = CertificateStatus::complete;
  IntentRecord intent;
  BuildSpecRecord build_spec;
  std::vector<StageRecord> stages;
  VerificationSummary verification;
  ProofChainSummary proof_chain;
  std::optional<ComplianceRecord> compliance;
  std::optional<SignerIdentity> signer;
  std::optional<InterStageChain> inter_stage_chain;
  std::optional<std::string> admitted_envelope_hash;
  std::optional<std::string> goal_id;
  std::optional<std::string> intent_capsule_hash;
  std::vector<ConsumedOverride> consumed_overrides;
  std::optional<CorpusBinding> corpus_binding;
  std::optional<SbomArtifactBinding> sbom_artifact_binding;
  std::optional<AgenticPostureBinding> agentic_posture_binding;
  std::string certificate_hash;
  std::string signing_public_key;
  std::string cert_signature;
  SigningAttestation signing_attestation;
  std::optional<PlatformCountersign> platform_countersign;
};

}  // namespace certwright
