// The certificate encoder: a certificate tree built from the input is encoded compact and
// pretty; both texts must parse, hold the same values with the same key sequence, and give back
// the tree's free-form JSON values and strings. The certificate reader must read the pretty text
// back into records that encode to the same bytes, or refuse exactly what it cannot hold.
#include <fuzzer/FuzzedDataProvider.h>
#include <simdjson.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/text.h"
#include "core/record/certificate.h"
#include "core/record/certificate_encoding.h"
#include "core/record/certificate_reader.h"

namespace {

using namespace certwright;
using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::size_t kMaxDepth = 6;

void require(bool condition) {
  if (!condition) std::abort();
}

class TreeMaker {
 public:
  explicit TreeMaker(FuzzedDataProvider& input) : input_(input) {}

  // Certificate text is UTF-8: the collecting code converts every name before it gets here.
  std::string text() { return lossy_utf8(input_.ConsumeRandomLengthString(48)); }
  std::optional<std::string> maybe_text() {
    return input_.ConsumeBool() ? std::optional(text()) : std::nullopt;
  }
  UtcTime time() {
    return {input_.ConsumeIntegralInRange<std::int64_t>(-62'167'219'200, 253'402'300'799),
            input_.ConsumeIntegralInRange<std::uint32_t>(0, 1'999'999'999)};
  }
  StringMap string_map() {
    StringMap map;
    for (auto count = input_.ConsumeIntegralInRange(0, 4); count > 0; --count)
      map.emplace(text(), text());
    return map;
  }
  template <typename Enum>
  Enum pick(std::initializer_list<Enum> values) {
    return values.begin()[input_.ConsumeIntegralInRange<std::size_t>(0, values.size() - 1)];
  }

  JsonValue value(std::size_t depth) {
    switch (input_.ConsumeIntegralInRange(0, depth >= kMaxDepth ? 5 : 7)) {
      case 0:
        return {nullptr};
      case 1:
        return {input_.ConsumeBool()};
      case 2:
        return {input_.ConsumeIntegral<std::uint64_t>()};
      case 3:
        return {input_.ConsumeIntegralInRange<std::int64_t>(INT64_MIN, -1)};
      case 4:
        return {input_.ConsumeFloatingPoint<double>()};
      case 5:
        return {text()};
      case 6: {
        JsonArray array;
        for (auto count = input_.ConsumeIntegralInRange(0, 3); count > 0; --count)
          array.push_back(value(depth + 1));
        return {std::move(array)};
      }
      default:
        return {object(depth + 1)};
    }
  }
  JsonObject object(std::size_t depth) {
    JsonObject object;
    for (auto count = input_.ConsumeIntegralInRange(0, 3); count > 0; --count)
      object.emplace(text(), value(depth + 1));
    return object;
  }

  StageRecord stage() {
    StageRecord stage{
        .stage_id = text(),
        .status = pick({CheckStatus::passed, CheckStatus::failed, CheckStatus::skipped}),
        .artifact_hashes = string_map()};
    if (input_.ConsumeBool())
      stage.gate_result = GateResult{input_.ConsumeBool(), input_.ConsumeIntegral<std::uint32_t>(),
                                     input_.ConsumeIntegral<std::uint32_t>()};
    if (input_.ConsumeBool()) stage.duration_ms = input_.ConsumeIntegral<std::uint64_t>();
    if (input_.ConsumeBool())
      stage.sandbox_execution =
          SandboxExecution{.command = {text(), text()},
                           .input_artifact_hashes = string_map(),
                           .output_artifact_hashes = string_map(),
                           .resource_peak = {input_.ConsumeIntegral<std::uint32_t>(),
                                             input_.ConsumeIntegral<std::uint64_t>(),
                                             input_.ConsumeIntegral<std::uint32_t>()},
                           .isolation_tier = input_.ConsumeIntegral<std::uint8_t>(),
                           .runtime_descriptor = text(),
                           .deadline_hit = input_.ConsumeBool(),
                           .exit_code = input_.ConsumeIntegral<std::int32_t>()};
    return stage;
  }

  GovernanceCertificate certificate() {
    GovernanceCertificate certificate{
        .certificate_version = text(),
        .pipeline_run_id = text(),
        .timestamp = time(),
        .status = pick({CertificateStatus::complete, CertificateStatus::incomplete}),
        .intent = {text(), maybe_text(), maybe_text()},
        .build_spec = {text(), std::nullopt}};
    if (input_.ConsumeBool())
      certificate.build_spec.approval_record = ApprovalRecord{maybe_text(), time(), text()};
    for (auto count = input_.ConsumeIntegralInRange(0, 3); count > 0; --count)
      certificate.stages.push_back(stage());
    certificate.proof_chain = {
        input_.ConsumeIntegral<std::uint64_t>(), maybe_text(), maybe_text(),
        pick({ChainIntegrity::verified, ChainIntegrity::unverified, ChainIntegrity::empty})};
    if (input_.ConsumeBool())
      certificate.compliance = ComplianceRecord{{text()}, {{text(), text(), text()}}};
    if (input_.ConsumeBool()) certificate.signer = SignerIdentity{text(), text(), maybe_text()};
    if (input_.ConsumeBool()) {
      InterStageChain chain{.key_chain = {text(), text(), {}}};
      chain.key_chain.stage_keys.emplace(text(), StageKey{text(), text(), text()});
      chain.manifests.push_back(StageManifest{
          text(), text(), text(), time(), string_map(), object(0), {text(), text()}, text()});
      certificate.inter_stage_chain = std::move(chain);
    }
    certificate.admitted_envelope_hash = maybe_text();
    certificate.goal_id = maybe_text();
    certificate.intent_capsule_hash = maybe_text();
    if (input_.ConsumeBool())
      certificate.consumed_overrides.push_back(ConsumedOverride{
          text(), text(), text(), maybe_text(), maybe_text(), input_.ConsumeBool(), maybe_text()});
    if (input_.ConsumeBool()) certificate.corpus_binding = CorpusBinding{text(), text()};
    if (input_.ConsumeBool())
      certificate.sbom_artifact_binding = SbomArtifactBinding{text(), text(), text()};
    if (input_.ConsumeBool()) {
      AgenticPostureBinding binding{text(), input_.ConsumeBool(), {}};
      for (auto count = input_.ConsumeIntegralInRange(0, 2); count > 0; --count)
        binding.surfaces.push_back(SurfaceBinding{
            text(), maybe_text(), input_.ConsumeBool() ? std::optional(value(0)) : std::nullopt});
      certificate.agentic_posture_binding = std::move(binding);
    }
    certificate.certificate_hash = text();
    certificate.signing_public_key = text();
    certificate.cert_signature = text();
    certificate.signing_attestation = {
        pick({AttestationKind::unsigned_, AttestationKind::ephemeral, AttestationKind::operator_,
              AttestationKind::sigstore_rekor}),
        maybe_text()};
    if (input_.ConsumeBool())
      certificate.platform_countersign = PlatformCountersign{text(), text(), time()};
    return certificate;
  }

 private:
  FuzzedDataProvider& input_;
};

// The two parsed texts hold the same values, members in the same order.
void require_same(element compact, element pretty) {
  require(compact.type() == pretty.type());
  switch (compact.type()) {
    case element_type::OBJECT: {
      auto a = compact.get_object().value_unsafe();
      auto b = pretty.get_object().value_unsafe();
      require(a.size() == b.size());
      for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        require((*i).key == (*j).key);
        require_same((*i).value, (*j).value);
      }
      break;
    }
    case element_type::ARRAY: {
      auto a = compact.get_array().value_unsafe();
      auto b = pretty.get_array().value_unsafe();
      require(a.size() == b.size());
      for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        require_same(*i, *j);
      break;
    }
    case element_type::STRING:
      require(compact.get_string().value_unsafe() == pretty.get_string().value_unsafe());
      break;
    case element_type::DOUBLE: {
      const double a = compact.get_double().value_unsafe();
      const double b = pretty.get_double().value_unsafe();
      require(a == b && std::signbit(a) == std::signbit(b));
      break;
    }
    default:
      require(simdjson::to_string(compact) == simdjson::to_string(pretty));
  }
}

// The parsed element holds `value`: numbers exactly, non-finite doubles as null.
void require_holds(element parsed, const JsonValue& value) {
  if (const auto* d = std::get_if<double>(&value.value)) {
    if (!std::isfinite(*d)) return require(parsed.is_null());
    double got = 0;
    require(parsed.get_double().get(got) == simdjson::SUCCESS && got == *d);
    return require(parsed.is_double());
  }
  if (const auto* u = std::get_if<std::uint64_t>(&value.value)) {
    std::uint64_t got = 0;
    return require(parsed.get_uint64().get(got) == simdjson::SUCCESS && got == *u);
  }
  if (const auto* i = std::get_if<std::int64_t>(&value.value)) {
    std::int64_t got = 0;
    return require(parsed.get_int64().get(got) == simdjson::SUCCESS && got == *i);
  }
  if (const auto* s = std::get_if<std::string>(&value.value))
    return require(parsed.is_string() && parsed.get_string().value_unsafe() == *s);
  if (const auto* b = std::get_if<bool>(&value.value))
    return require(parsed.is_bool() && parsed.get_bool().value_unsafe() == *b);
  if (std::holds_alternative<std::nullptr_t>(value.value)) return require(parsed.is_null());
  if (const auto* array = std::get_if<JsonArray>(&value.value)) {
    require(parsed.is_array());
    const simdjson::dom::array items = parsed.get_array().value_unsafe();
    require(items.size() == array->size());
    std::size_t at = 0;
    for (element item : items)
      require_holds(item, (*array)[at++]);
    return;
  }
  const auto& object = std::get<JsonObject>(value.value);
  require(parsed.is_object());
  const simdjson::dom::object fields = parsed.get_object().value_unsafe();
  require(fields.size() == object.size());
  auto member = object.begin();
  for (auto field : fields) {
    require(field.key == member->first);
    require_holds(field.value, member->second);
    ++member;
  }
}

void require_round_trip(element root, const GovernanceCertificate& certificate) {
  require(root["pipelineRunId"].get_string().value_unsafe() == certificate.pipeline_run_id);
  auto stages = root["stages"].get_array().value_unsafe();
  require(stages.size() == certificate.stages.size());
  std::size_t at = 0;
  for (element stage : stages) {
    const auto& record = certificate.stages[at++];
    require(stage["stageId"].get_string().value_unsafe() == record.stage_id);
    auto hashes = stage["artifactHashes"].get_object().value_unsafe();
    require(hashes.size() == record.artifact_hashes.size());
    auto expected = record.artifact_hashes.begin();
    for (auto field : hashes) {
      require(field.key == expected->first);
      require(field.value.get_string().value_unsafe() == expected->second);
      ++expected;
    }
  }
  if (certificate.inter_stage_chain) {
    const auto& metadata = certificate.inter_stage_chain->manifests.front().metadata;
    element manifest = root["interStageChain"]["manifests"].at(0).value_unsafe();
    if (!metadata.empty()) require_holds(manifest["metadata"].value_unsafe(), {metadata});
  }
  if (certificate.agentic_posture_binding) {
    std::size_t index = 0;
    for (const auto& surface : certificate.agentic_posture_binding->surfaces) {
      element parsed = root["agenticPostureBinding"]["surfaces"].at(index++).value_unsafe();
      if (surface.governance_envelope)
        require_holds(parsed["governanceEnvelope"].value_unsafe(), *surface.governance_envelope);
    }
  }
}

// Whether the reader takes `time` as written: a nanosecond count of a second or more is
// written as second 60 of its minute, which is a leap second only in the day's last minute.
bool readable(UtcTime time) {
  constexpr std::int64_t kDay = 86400;
  const std::int64_t second_of_day = ((time.unix_seconds % kDay) + kDay) % kDay;
  return time.nanos < 1'000'000'000 || second_of_day >= kDay - 60;
}

bool readable(const GovernanceCertificate& certificate) {
  bool times = readable(certificate.timestamp);
  if (certificate.build_spec.approval_record)
    times = times && readable(certificate.build_spec.approval_record->approved_at);
  if (certificate.inter_stage_chain)
    for (const StageManifest& manifest : certificate.inter_stage_chain->manifests)
      times = times && readable(manifest.produced_at);
  if (certificate.platform_countersign)
    times = times && readable(certificate.platform_countersign->countersigned_at);
  return times && certificate.certificate_version == kCurrentCertificateVersion;
}

void require_read_back(const GovernanceCertificate& certificate, const std::string& compact,
                       const std::string& pretty) {
  const auto read_back = read_certificate(pretty);
  require(read_back.has_value() == readable(certificate));
  if (!read_back) return;
  require(encode_compact(*read_back) == compact);
  require(encode_pretty(*read_back) == pretty);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  GovernanceCertificate certificate = TreeMaker(input).certificate();
  // Most trees carry the version the reader reads, so that the read-back is exercised.
  if (certificate.certificate_version.size() < 4)
    certificate.certificate_version = kCurrentCertificateVersion;
  const std::string compact = encode_compact(certificate);
  const std::string pretty = encode_pretty(certificate);
  require(compact.find('\n') == std::string::npos);
  simdjson::dom::parser compact_parser, pretty_parser;
  element compact_root, pretty_root;
  require(compact_parser.parse(simdjson::padded_string(compact)).get(compact_root) ==
          simdjson::SUCCESS);
  require(pretty_parser.parse(simdjson::padded_string(pretty)).get(pretty_root) ==
          simdjson::SUCCESS);
  require_same(compact_root, pretty_root);
  require_round_trip(compact_root, certificate);
  require_read_back(certificate, compact, pretty);
  return 0;
}
