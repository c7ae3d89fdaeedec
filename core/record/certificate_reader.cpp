#include "core/record/certificate_reader.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/text.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;

// A key or value as a message shows it: escaped, on one line, and cut short when long.
std::string quote(std::string_view text) {
  constexpr std::size_t kShown = 80;
  if (text.size() <= kShown) return "\"" + single_line(text) + "\"";
  return "\"" + single_line(text.substr(0, kShown)) + "...\"";
}

// The walk's position for messages, and its first failure. Every read returns false once a
// failure is recorded, so the first one reaches the caller unchanged.
class Reader {
 public:
  bool fail(std::string_view reason) {
    if (!failure_) failure_ = where() + ": " + std::string(reason);
    return false;
  }
  std::string take_failure() { return std::move(failure_).value_or("certificate: unreadable"); }

  void enter(std::string segment) { path_.push_back(std::move(segment)); }
  void leave() { path_.pop_back(); }

 private:
  std::string where() const {
    if (path_.empty()) return "certificate";
    std::string text;
    for (const std::string& segment : path_)
      text.append(segment);
    return text.starts_with('.') ? text.substr(1) : text;
  }

  std::vector<std::string> path_;
  std::optional<std::string> failure_;
};

// Names one member or element in the messages of the reads made while it lives.
class Within {
 public:
  Within(Reader& reader, std::string segment) : reader_(reader) {
    reader_.enter(std::move(segment));
  }
  ~Within() { reader_.leave(); }
  Within(const Within&) = delete;
  Within& operator=(const Within&) = delete;

 private:
  Reader& reader_;
};

// Keys in free-form values are any text; the path shows them as one line.
Within member(Reader& reader, std::string_view key) {
  constexpr std::size_t kShown = 80;
  return Within(reader, "." + single_line(key.substr(0, kShown)));
}
Within element(Reader& reader, std::size_t index) {
  return Within(reader, "[" + std::to_string(index) + "]");
}

// The separators outside strings (",", ":", "[", "{"): every value but the first follows one,
// so they count the values to within one. The scan is linear and allocates nothing, so a text
// too dense to parse within bounds is refused before the parser spends memory on it.
std::size_t count_separators(std::string_view text) {
  std::size_t count = 0;
  bool in_string = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (in_string) {
      if (c == '\\')
        ++at;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == ',' || c == ':' || c == '[' || c == '{') {
      ++count;
    }
  }
  return count;
}

// Every record's reader is declared before the templates that call them.
bool read(Reader& r, dom::element e, std::string& out);
bool read(Reader& r, dom::element e, bool& out);
template <std::unsigned_integral T>
requires(!std::same_as<T, bool>) bool read(Reader& r, dom::element e, T& out);
bool read(Reader& r, dom::element e, std::int32_t& out);
bool read(Reader& r, dom::element e, UtcTime& out);
bool read(Reader& r, dom::element e, JsonValue& out);
bool read(Reader& r, dom::element e, StringMap& out);
bool read(Reader& r, dom::element e, CertificateStatus& out);
bool read(Reader& r, dom::element e, CheckStatus& out);
bool read(Reader& r, dom::element e, ChainIntegrity& out);
bool read(Reader& r, dom::element e, AttestationKind& out);
bool read(Reader& r, dom::element e, IntentRecord& out);
bool read(Reader& r, dom::element e, ApprovalRecord& out);
bool read(Reader& r, dom::element e, BuildSpecRecord& out);
bool read(Reader& r, dom::element e, GateResult& out);
bool read(Reader& r, dom::element e, ResourcePeak& out);
bool read(Reader& r, dom::element e, SandboxExecution& out);
bool read(Reader& r, dom::element e, StageRecord& out);
bool read(Reader& r, dom::element e, VerificationSummary& out);
bool read(Reader& r, dom::element e, ProofChainSummary& out);
bool read(Reader& r, dom::element e, ComplianceMapping& out);
bool read(Reader& r, dom::element e, ComplianceRecord& out);
bool read(Reader& r, dom::element e, SignerIdentity& out);
bool read(Reader& r, dom::element e, StageKey& out);
bool read(Reader& r, dom::element e, KeyChain& out);
bool read(Reader& r, dom::element e, ManifestSigner& out);
bool read(Reader& r, dom::element e, StageManifest& out);
bool read(Reader& r, dom::element e, InterStageChain& out);
bool read(Reader& r, dom::element e, ConsumedOverride& out);
bool read(Reader& r, dom::element e, CorpusBinding& out);
bool read(Reader& r, dom::element e, SbomArtifactBinding& out);
bool read(Reader& r, dom::element e, SurfaceBinding& out);
bool read(Reader& r, dom::element e, AgenticPostureBinding& out);
bool read(Reader& r, dom::element e, SigningAttestation& out);
bool read(Reader& r, dom::element e, PlatformCountersign& out);

template <class T>
bool read(Reader& r, dom::element e, std::vector<T>& out) {
  dom::array array;
  if (e.get_array().get(array)) return r.fail("expected an array");
  out.reserve(array.size());
  std::size_t index = 0;
  for (const dom::element item : array) {
    const Within within = element(r, index++);
    if (!read(r, item, out.emplace_back())) return false;
  }
  return true;
}

template <class T>
bool read(Reader& r, dom::element e, std::map<std::string, T>& out) {
  dom::object object;
  if (e.get_object().get(object)) return r.fail("expected an object");
  for (const auto [key, value] : object) {
    const auto [entry, inserted] = out.try_emplace(std::string(key));
    if (!inserted) return r.fail("duplicate key " + quote(key));
    const Within within = member(r, key);
    if (!read(r, value, entry->second)) return false;
  }
  return true;
}

// The members of one record's object, found by the keys the record allows. A key the record
// does not have, or a key given twice, is refused here: the record model would drop it, so it
// would not be covered by the re-encoded hash and signature.
class Fields {
 public:
  static constexpr std::size_t kMaxKeys = 24;

  Fields(Reader& r, dom::element e, std::initializer_list<std::string_view> keys)
      : reader_(r), key_count_(keys.size()) {
    std::ranges::copy(keys, keys_.begin());
    dom::object object;
    if (e.get_object().get(object)) {
      ok_ = r.fail("expected an object");
      return;
    }
    for (const auto [key, value] : object) {
      const std::size_t at = index_of(key);
      if (at == key_count_) {
        ok_ = r.fail("unknown key " + quote(key));
        return;
      }
      if (found_[at]) {
        ok_ = r.fail("duplicate key " + quote(key));
        return;
      }
      found_[at] = true;
      values_[at] = value;
    }
  }

  bool ok() const { return ok_; }

  template <class T>
  bool always(std::string_view key, T& out) {
    const std::size_t at = index_of(key);
    if (!found_[at]) return reader_.fail("missing key " + quote(key));
    const Within within = member(reader_, key);
    return read(reader_, values_[at], out);
  }
  template <class T>
  bool if_present(std::string_view key, std::optional<T>& out) {
    if (!found_[index_of(key)]) return true;
    // Assigned rather than emplaced: clang cannot default-emplace the recursive JsonValue.
    out = T{};
    return always(key, *out);
  }
  // The encoder leaves an empty list or map out, so one written empty is not its text.
  template <class Container>
  bool if_not_empty(std::string_view key, Container& out) {
    if (!found_[index_of(key)]) return true;
    if (!always(key, out)) return false;
    if (!out.empty()) return true;
    const Within within = member(reader_, key);
    return reader_.fail("an empty value is left out, never written");
  }
  template <class T>
  bool null_if_absent(std::string_view key, std::optional<T>& out) {
    const std::size_t at = index_of(key);
    if (found_[at] && values_[at].is_null()) return true;
    out = T{};
    return always(key, *out);
  }

 private:
  std::size_t index_of(std::string_view key) const {
    const auto end = keys_.begin() + static_cast<std::ptrdiff_t>(key_count_);
    return static_cast<std::size_t>(std::find(keys_.begin(), end, key) - keys_.begin());
  }

  Reader& reader_;
  // The list's own array lives only as long as the constructor's call, so the keys are kept.
  std::array<std::string_view, kMaxKeys> keys_{};
  std::size_t key_count_;
  std::bitset<kMaxKeys> found_;
  std::array<dom::element, kMaxKeys> values_{};
  bool ok_ = true;
};

bool read(Reader& r, dom::element e, std::string& out) {
  std::string_view text;
  if (e.get_string().get(text)) return r.fail("expected a string");
  out.assign(text);
  return true;
}

bool read(Reader& r, dom::element e, bool& out) {
  if (e.get_bool().get(out)) return r.fail("expected true or false");
  return true;
}

template <std::unsigned_integral T>
requires(!std::same_as<T, bool>) bool read(Reader& r, dom::element e, T& out) {
  std::uint64_t value = 0;
  if (e.type() == dom::element_type::INT64) {
    const std::int64_t signed_value = e.get_int64().value_unsafe();
    if (signed_value < 0) return r.fail("expected an unsigned integer");
    value = static_cast<std::uint64_t>(signed_value);
  } else if (e.type() == dom::element_type::UINT64) {
    value = e.get_uint64().value_unsafe();
  } else {
    return r.fail("expected an integer");
  }
  if (value > std::numeric_limits<T>::max()) return r.fail("integer out of range");
  out = static_cast<T>(value);
  return true;
}

bool read(Reader& r, dom::element e, std::int32_t& out) {
  if (e.type() != dom::element_type::INT64 && e.type() != dom::element_type::UINT64)
    return r.fail("expected an integer");
  std::int64_t value = 0;
  if (e.get_int64().get(value) || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    return r.fail("integer out of range");
  out = static_cast<std::int32_t>(value);
  return true;
}

bool read(Reader& r, dom::element e, UtcTime& out) {
  std::string_view text;
  if (e.get_string().get(text)) return r.fail("expected a date-time string");
  const auto time = parse_date_time(text);
  if (!time) return r.fail("not a date-time in the certificate's form: " + quote(text));
  out = *time;
  return true;
}

// Free-form values keep each number in the kind its text gives it: digits alone are an
// integer, a fraction or exponent makes a double. The parser has bounded the depth already.
bool read(Reader& r, dom::element e, JsonValue& out) {
  switch (e.type()) {
    case dom::element_type::ARRAY:
      return read(r, e, out.value.emplace<JsonArray>());
    case dom::element_type::OBJECT:
      return read(r, e, out.value.emplace<JsonObject>());
    case dom::element_type::INT64: {
      const std::int64_t value = e.get_int64().value_unsafe();
      if (value >= 0)
        out.value = static_cast<std::uint64_t>(value);
      else
        out.value = value;
      return true;
    }
    case dom::element_type::UINT64:
      out.value = e.get_uint64().value_unsafe();
      return true;
    case dom::element_type::DOUBLE:
      out.value = e.get_double().value_unsafe();
      return true;
    case dom::element_type::STRING:
      out.value = std::string(e.get_string().value_unsafe());
      return true;
    case dom::element_type::BOOL:
      out.value = e.get_bool().value_unsafe();
      return true;
    case dom::element_type::NULL_VALUE:
      out.value = nullptr;
      return true;
  }
  return r.fail("unexpected value");
}

// Members may come in any order; the map holds them sorted, and a key may appear once. The
// emitter writes them in key order, and such an object is appended as it stands; any other is
// sorted first, through a list of its entries (for 20,000 artifacts 640 KB more while reading).
bool read(Reader& r, dom::element e, StringMap& out) {
  dom::object object;
  if (e.get_object().get(object)) return r.fail("expected an object");
  std::size_t text_bytes = 0;
  bool ascending = true;
  std::optional<std::string_view> previous;
  for (const auto [key, value] : object) {
    std::string_view text;
    if (value.get_string().get(text)) {
      const Within within = member(r, key);
      return r.fail("expected a string");
    }
    ascending = ascending && (!previous || *previous < key);
    previous = key;
    text_bytes += key.size() + text.size();
  }
  if (ascending) {
    out.reserve(object.size(), text_bytes);
    for (const auto [key, value] : object)
      out.append_sorted(key, value.get_string().value_unsafe());
    return true;
  }
  std::vector<std::pair<std::string_view, std::string_view>> entries;
  entries.reserve(object.size());
  for (const auto [key, value] : object)
    entries.emplace_back(key, value.get_string().value_unsafe());
  std::ranges::sort(entries, {}, &std::pair<std::string_view, std::string_view>::first);
  const auto repeated = std::ranges::adjacent_find(
      entries, [](const auto& a, const auto& b) { return a.first == b.first; });
  if (repeated != entries.end()) return r.fail("duplicate key " + quote(repeated->first));
  out.reserve(entries.size(), text_bytes);
  for (const auto& [key, text] : entries)
    out.append_sorted(key, text);
  return true;
}

// The enumeration value whose certificate text is the string's; the texts are the encoder's.
template <class Enum>
bool read_enumeration(Reader& r, dom::element e, Enum& out, std::initializer_list<Enum> values) {
  std::string_view text;
  if (e.get_string().get(text)) return r.fail("expected a string");
  for (const Enum value : values) {
    if (text == to_text(value)) {
      out = value;
      return true;
    }
  }
  return r.fail("unknown value " + quote(text));
}

bool read(Reader& r, dom::element e, CertificateStatus& out) {
  return read_enumeration(r, e, out, {CertificateStatus::complete, CertificateStatus::incomplete});
}
bool read(Reader& r, dom::element e, CheckStatus& out) {
  return read_enumeration(r, e, out,
                          {CheckStatus::passed, CheckStatus::failed, CheckStatus::skipped});
}
bool read(Reader& r, dom::element e, ChainIntegrity& out) {
  return read_enumeration(
      r, e, out, {ChainIntegrity::verified, ChainIntegrity::unverified, ChainIntegrity::empty});
}
bool read(Reader& r, dom::element e, AttestationKind& out) {
  return read_enumeration(r, e, out,
                          {AttestationKind::unsigned_, AttestationKind::ephemeral,
                           AttestationKind::operator_, AttestationKind::sigstore_rekor});
}

bool read(Reader& r, dom::element e, IntentRecord& out) {
  Fields fields(r, e, {"requirementsHash", "specId", "specHash"});
  return fields.ok() && fields.always("requirementsHash", out.requirements_hash) &&
         fields.if_present("specId", out.spec_id) && fields.if_present("specHash", out.spec_hash);
}

bool read(Reader& r, dom::element e, ApprovalRecord& out) {
  Fields fields(r, e, {"approvedBy", "approvedAt", "gateType"});
  return fields.ok() && fields.if_present("approvedBy", out.approved_by) &&
         fields.always("approvedAt", out.approved_at) && fields.always("gateType", out.gate_type);
}

bool read(Reader& r, dom::element e, BuildSpecRecord& out) {
  Fields fields(r, e, {"hash", "approvalRecord"});
  return fields.ok() && fields.always("hash", out.hash) &&
         fields.if_present("approvalRecord", out.approval_record);
}

bool read(Reader& r, dom::element e, GateResult& out) {
  Fields fields(r, e, {"passed", "checksRun", "checksFailed"});
  return fields.ok() && fields.always("passed", out.passed) &&
         fields.always("checksRun", out.checks_run) &&
         fields.always("checksFailed", out.checks_failed);
}

bool read(Reader& r, dom::element e, ResourcePeak& out) {
  Fields fields(r, e, {"cpuMilliPeak", "memoryBytesPeak", "pidPeak"});
  return fields.ok() && fields.always("cpuMilliPeak", out.cpu_milli_peak) &&
         fields.always("memoryBytesPeak", out.memory_bytes_peak) &&
         fields.always("pidPeak", out.pid_peak);
}

bool read(Reader& r, dom::element e, SandboxExecution& out) {
  Fields fields(r, e,
                {"command", "inputArtifactHashes", "outputArtifactHashes", "resourcePeak",
                 "isolationTier", "runtimeDescriptor", "deadlineHit", "exitCode"});
  return fields.ok() && fields.always("command", out.command) &&
         fields.always("inputArtifactHashes", out.input_artifact_hashes) &&
         fields.always("outputArtifactHashes", out.output_artifact_hashes) &&
         fields.always("resourcePeak", out.resource_peak) &&
         fields.always("isolationTier", out.isolation_tier) &&
         fields.always("runtimeDescriptor", out.runtime_descriptor) &&
         fields.always("deadlineHit", out.deadline_hit) && fields.always("exitCode", out.exit_code);
}

bool read(Reader& r, dom::element e, StageRecord& out) {
  Fields fields(
      r, e,
      {"stageId", "status", "artifactHashes", "gateResult", "durationMs", "sandboxExecution"});
  return fields.ok() && fields.always("stageId", out.stage_id) &&
         fields.always("status", out.status) &&
         fields.always("artifactHashes", out.artifact_hashes) &&
         fields.null_if_absent("gateResult", out.gate_result) &&
         fields.if_present("durationMs", out.duration_ms) &&
         fields.if_present("sandboxExecution", out.sandbox_execution);
}

bool read(Reader& r, dom::element e, VerificationSummary& out) {
  Fields fields(r, e, {"compile", "test", "lint", "typecheck", "securityScan"});
  return fields.ok() && fields.always("compile", out.compile) && fields.always("test", out.test) &&
         fields.always("lint", out.lint) && fields.always("typecheck", out.typecheck) &&
         fields.always("securityScan", out.security_scan);
}

bool read(Reader& r, dom::element e, ProofChainSummary& out) {
  Fields fields(r, e, {"recordCount", "firstRecordHash", "lastRecordHash", "chainIntegrity"});
  return fields.ok() && fields.always("recordCount", out.record_count) &&
         fields.if_present("firstRecordHash", out.first_record_hash) &&
         fields.if_present("lastRecordHash", out.last_record_hash) &&
         fields.always("chainIntegrity", out.chain_integrity);
}

bool read(Reader& r, dom::element e, ComplianceMapping& out) {
  Fields fields(r, e, {"control", "mechanism", "status"});
  return fields.ok() && fields.always("control", out.control) &&
         fields.always("mechanism", out.mechanism) && fields.always("status", out.status);
}

bool read(Reader& r, dom::element e, ComplianceRecord& out) {
  Fields fields(r, e, {"frameworks", "mappings"});
  return fields.ok() && fields.always("frameworks", out.frameworks) &&
         fields.if_not_empty("mappings", out.mappings);
}

bool read(Reader& r, dom::element e, SignerIdentity& out) {
  Fields fields(r, e, {"subject", "identityProvider", "sessionId"});
  return fields.ok() && fields.always("subject", out.subject) &&
         fields.always("identityProvider", out.identity_provider) &&
         fields.if_present("sessionId", out.session_id);
}

bool read(Reader& r, dom::element e, StageKey& out) {
  Fields fields(r, e, {"stageId", "ephemeralPublicKeyB64", "keyFingerprint"});
  return fields.ok() && fields.always("stageId", out.stage_id) &&
         fields.always("ephemeralPublicKeyB64", out.ephemeral_public_key_b64) &&
         fields.always("keyFingerprint", out.key_fingerprint);
}

bool read(Reader& r, dom::element e, KeyChain& out) {
  Fields fields(r, e, {"runId", "rootPublicKeyB64", "stageKeys"});
  return fields.ok() && fields.always("runId", out.run_id) &&
         fields.always("rootPublicKeyB64", out.root_public_key_b64) &&
         fields.always("stageKeys", out.stage_keys);
}

bool read(Reader& r, dom::element e, ManifestSigner& out) {
  Fields fields(r, e, {"agentId", "ephemeralKeyId"});
  return fields.ok() && fields.always("agentId", out.agent_id) &&
         fields.always("ephemeralKeyId", out.ephemeral_key_id);
}

bool read(Reader& r, dom::element e, StageManifest& out) {
  Fields fields(r, e,
                {"runId", "fromStage", "toStage", "producedAt", "artifactHashes", "metadata",
                 "signer", "signature"});
  return fields.ok() && fields.always("runId", out.run_id) &&
         fields.always("fromStage", out.from_stage) && fields.always("toStage", out.to_stage) &&
         fields.always("producedAt", out.produced_at) &&
         fields.always("artifactHashes", out.artifact_hashes) &&
         fields.if_not_empty("metadata", out.metadata) && fields.always("signer", out.signer) &&
         fields.always("signature", out.signature);
}

bool read(Reader& r, dom::element e, InterStageChain& out) {
  Fields fields(r, e, {"keyChain", "manifests"});
  return fields.ok() && fields.always("keyChain", out.key_chain) &&
         fields.always("manifests", out.manifests);
}

bool read(Reader& r, dom::element e, ConsumedOverride& out) {
  Fields fields(
      r, e,
      {"artifactId", "path", "contentHash", "author", "modifiedAt", "verified", "verifiedBy"});
  return fields.ok() && fields.always("artifactId", out.artifact_id) &&
         fields.always("path", out.path) && fields.always("contentHash", out.content_hash) &&
         fields.if_present("author", out.author) &&
         fields.if_present("modifiedAt", out.modified_at) &&
         fields.always("verified", out.verified) &&
         fields.if_present("verifiedBy", out.verified_by);
}

bool read(Reader& r, dom::element e, CorpusBinding& out) {
  Fields fields(r, e, {"corpusAttestationHash", "varrowVersion"});
  return fields.ok() && fields.always("corpusAttestationHash", out.corpus_attestation_hash) &&
         fields.always("varrowVersion", out.varrow_version);
}

bool read(Reader& r, dom::element e, SbomArtifactBinding& out) {
  Fields fields(r, e, {"bomHash", "auditHash", "bomToolVersion"});
  return fields.ok() && fields.always("bomHash", out.bom_hash) &&
         fields.always("auditHash", out.audit_hash) &&
         fields.always("bomToolVersion", out.bom_tool_version);
}

bool read(Reader& r, dom::element e, SurfaceBinding& out) {
  Fields fields(r, e, {"kind", "description", "governanceEnvelope"});
  // A present envelope may hold null; it is then kept as a present null.
  return fields.ok() && fields.always("kind", out.kind) &&
         fields.if_present("description", out.description) &&
         fields.if_present("governanceEnvelope", out.governance_envelope);
}

bool read(Reader& r, dom::element e, AgenticPostureBinding& out) {
  Fields fields(r, e, {"posture", "defaulted", "surfaces"});
  return fields.ok() && fields.always("posture", out.posture) &&
         fields.always("defaulted", out.defaulted) && fields.if_not_empty("surfaces", out.surfaces);
}

bool read(Reader& r, dom::element e, SigningAttestation& out) {
  Fields fields(r, e, {"kind", "note"});
  return fields.ok() && fields.always("kind", out.kind) && fields.if_present("note", out.note);
}

bool read(Reader& r, dom::element e, PlatformCountersign& out) {
  Fields fields(r, e, {"countersignJws", "kid", "countersignedAt"});
  return fields.ok() && fields.always("countersignJws", out.countersign_jws) &&
         fields.always("kid", out.kid) && fields.always("countersignedAt", out.countersigned_at);
}

// A later version may have keys this reader does not know; it is refused as unsupported
// before any key is judged.
bool check_version(Reader& r, dom::element root) {
  std::string_view version;
  if (root["certificateVersion"].get_string().get(version) || version == kCurrentCertificateVersion)
    return true;
  const Within within = member(r, "certificateVersion");
  return r.fail("unsupported version " + quote(version) + " (this verifier reads " +
                std::string(kCurrentCertificateVersion) + ")");
}

bool read_certificate_members(Reader& r, dom::element e, GovernanceCertificate& out) {
  Fields fields(r, e,
                {"certificateVersion",
                 "pipelineRunId",
                 "timestamp",
                 "status",
                 "intent",
                 "buildSpec",
                 "stages",
                 "verification",
                 "proofChain",
                 "compliance",
                 "signer",
                 "interStageChain",
                 "admittedEnvelopeHash",
                 "goalId",
                 "intentCapsuleHash",
                 "consumedOverrides",
                 "corpusBinding",
                 "sbomArtifactBinding",
                 "agenticPostureBinding",
                 "certificateHash",
                 "signingPublicKey",
                 "certSignature",
                 "signingAttestation",
                 "platformCountersign"});
  return fields.ok() && fields.always("certificateVersion", out.certificate_version) &&
         fields.always("pipelineRunId", out.pipeline_run_id) &&
         fields.always("timestamp", out.timestamp) && fields.always("status", out.status) &&
         fields.always("intent", out.intent) && fields.always("buildSpec", out.build_spec) &&
         fields.always("stages", out.stages) && fields.always("verification", out.verification) &&
         fields.always("proofChain", out.proof_chain) &&
         fields.if_present("compliance", out.compliance) &&
         fields.if_present("signer", out.signer) &&
         fields.if_present("interStageChain", out.inter_stage_chain) &&
         fields.if_present("admittedEnvelopeHash", out.admitted_envelope_hash) &&
         fields.if_present("goalId", out.goal_id) &&
         fields.if_present("intentCapsuleHash", out.intent_capsule_hash) &&
         fields.if_not_empty("consumedOverrides", out.consumed_overrides) &&
         fields.if_present("corpusBinding", out.corpus_binding) &&
         fields.if_present("sbomArtifactBinding", out.sbom_artifact_binding) &&
         fields.if_present("agenticPostureBinding", out.agentic_posture_binding) &&
         fields.always("certificateHash", out.certificate_hash) &&
         fields.always("signingPublicKey", out.signing_public_key) &&
         fields.always("certSignature", out.cert_signature) &&
         fields.always("signingAttestation", out.signing_attestation) &&
         fields.if_present("platformCountersign", out.platform_countersign);
}

std::string parse_error_text(simdjson::error_code code) {
  switch (code) {
    case simdjson::DEPTH_ERROR:
      return "nested deeper than " + std::to_string(kMaxCertificateDepth) + " levels";
    case simdjson::UTF8_ERROR:
      return "not valid UTF-8";
    case simdjson::STRING_ERROR:
      return "a string with a bad escape or a lone surrogate";
    case simdjson::UNESCAPED_CHARS:
      return "a control character unescaped in a string";
    case simdjson::NUMBER_ERROR:
      return "a number that is malformed or out of range";
    case simdjson::EMPTY:
      return "empty";
    default:
      return std::string("not JSON: ") + simdjson::error_message(code);
  }
}

// Reads the certificate in `text`; `owner`, when given, holds the text and is released as soon
// as the parser has taken what it needs from it.
std::expected<GovernanceCertificate, Error> parse_and_read(simdjson::padded_string_view text,
                                                           simdjson::padded_string* owner) {
  if (text.starts_with("\xEF\xBB\xBF"))
    return std::unexpected(Error{"certificate: a byte-order mark is not allowed"});
  const std::size_t values = count_separators(text);
  if (values > max_certificate_values(text.size()))
    return std::unexpected(Error{"certificate: " + std::to_string(values) + " values in " +
                                 std::to_string(text.size()) +
                                 " bytes, more than a certificate of that size holds (at most " +
                                 std::to_string(max_certificate_values(text.size())) + ")"});
  dom::parser parser;
  if (parser.allocate(std::max<std::size_t>(text.size(), 64), kMaxCertificateDepth))
    throw std::bad_alloc();
  dom::element root;
  if (const auto code = parser.parse(text.data(), text.size(), false).get(root)) {
    // Running out of memory says nothing of the certificate: it is not reported as malformed.
    if (code == simdjson::MEMALLOC) throw std::bad_alloc();
    return std::unexpected(Error{"certificate: " + parse_error_text(code)});
  }
  // The parsed document holds its own copy of every string: the text is not read again.
  if (owner) *owner = simdjson::padded_string();
  Reader reader;
  GovernanceCertificate certificate;
  if (!check_version(reader, root) || !read_certificate_members(reader, root, certificate))
    return std::unexpected(Error{reader.take_failure()});
  return certificate;
}

}  // namespace

std::size_t max_certificate_values(std::size_t size) {
  return (2 * size + (std::size_t{64} << 20)) / 112;
}

bool within_value_bound(std::string_view text) {
  return count_separators(text) <= max_certificate_values(text.size());
}

std::expected<GovernanceCertificate, Error> read_certificate(simdjson::padded_string_view text) {
  return parse_and_read(text, nullptr);
}

std::expected<GovernanceCertificate, Error> read_certificate_releasing(
    simdjson::padded_string&& text) {
  const simdjson::padded_string_view view(text);
  return parse_and_read(view, &text);
}

std::expected<GovernanceCertificate, Error> read_certificate(std::string_view text) {
  const simdjson::padded_string padded(text);
  return read_certificate(simdjson::padded_string_view(padded));
}

}  // namespace certwright
