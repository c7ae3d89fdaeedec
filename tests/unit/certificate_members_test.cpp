#include "core/record/certificate_members.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace certwright {
namespace {

namespace dom = simdjson::dom;

// Where each record's object is in the shipped schema.
struct Described {
  std::string_view pointer;
  std::span<const MemberKey> keys;
};

const std::vector<Described>& described_records() {
  static const std::vector<Described> records = {
      {"", member_keys<GovernanceCertificate>()},
      {"/$defs/intent", member_keys<IntentRecord>()},
      {"/$defs/buildSpec", member_keys<BuildSpecRecord>()},
      {"/$defs/approvalRecord", member_keys<ApprovalRecord>()},
      {"/$defs/stage", member_keys<StageRecord>()},
      {"/$defs/gateResult", member_keys<GateResult>()},
      {"/$defs/sandboxExecution", member_keys<SandboxExecution>()},
      {"/$defs/resourcePeak", member_keys<ResourcePeak>()},
      {"/$defs/verification", member_keys<VerificationSummary>()},
      {"/$defs/proofChain", member_keys<ProofChainSummary>()},
      {"/$defs/compliance", member_keys<ComplianceRecord>()},
      {"/$defs/complianceMapping", member_keys<ComplianceMapping>()},
      {"/$defs/signer", member_keys<SignerIdentity>()},
      {"/$defs/interStageChain", member_keys<InterStageChain>()},
      {"/$defs/keyChain", member_keys<KeyChain>()},
      {"/$defs/stageKey", member_keys<StageKey>()},
      {"/$defs/stageManifest", member_keys<StageManifest>()},
      {"/$defs/manifestSigner", member_keys<ManifestSigner>()},
      {"/$defs/consumedOverride", member_keys<ConsumedOverride>()},
      {"/$defs/corpusBinding", member_keys<CorpusBinding>()},
      {"/$defs/sbomArtifactBinding", member_keys<SbomArtifactBinding>()},
      {"/$defs/agenticPostureBinding", member_keys<AgenticPostureBinding>()},
      {"/$defs/surface", member_keys<SurfaceBinding>()},
      {"/$defs/signingAttestation", member_keys<SigningAttestation>()},
      {"/$defs/platformCountersign", member_keys<PlatformCountersign>()},
  };
  return records;
}

// The shipped schema, parsed once; a schema that does not load or parse throws.
dom::element schema() {
  static const simdjson::padded_string text =
      simdjson::padded_string::load(CERTWRIGHT_SOURCE_DIR "/docs/certificate.schema.json").value();
  static dom::parser parser;
  static const dom::element root = parser.parse(text).value();
  return root;
}

std::vector<std::string> keys_of(dom::object object) {
  std::vector<std::string> keys;
  for (const auto [key, value] : object)
    keys.emplace_back(key);
  return keys;
}

std::vector<std::string> strings_of(dom::array array) {
  std::vector<std::string> texts;
  for (const dom::element item : array)
    texts.emplace_back(item.get_string().value());
  return texts;
}

// Whether a property's schema names null as its type or as one of its alternatives' types.
bool admits_null(dom::element property) {
  std::string_view type;
  if (property["type"].get_string().get(type) == simdjson::SUCCESS && type == "null") return true;
  dom::array alternatives;
  if (property["anyOf"].get_array().get(alternatives) != simdjson::SUCCESS) return false;
  for (const dom::element alternative : alternatives)
    if (admits_null(alternative)) return true;
  return false;
}

// Pointers to every object the schema closes to the keys it lists: the records.
void collect_records(dom::element value, const std::string& pointer,
                     std::vector<std::string>& pointers) {
  if (dom::array array; value.get_array().get(array) == simdjson::SUCCESS) {
    std::size_t index = 0;
    for (const dom::element item : array)
      collect_records(item, pointer + "/" + std::to_string(index++), pointers);
    return;
  }
  dom::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return;
  bool open = true;
  if (object["properties"].error() == simdjson::SUCCESS &&
      object["additionalProperties"].get_bool().get(open) == simdjson::SUCCESS && !open)
    pointers.push_back(pointer);
  for (const auto [key, member] : object)
    collect_records(member, pointer + "/" + std::string(key), pointers);
}

TEST(CertificateMembers, EverySchemaRecordIsDescribed) {
  std::vector<std::string> in_schema;
  collect_records(schema(), "", in_schema);
  std::vector<std::string> described;
  for (const Described& record : described_records())
    described.emplace_back(record.pointer);
  std::ranges::sort(in_schema);
  std::ranges::sort(described);
  EXPECT_EQ(in_schema, described);
}

// The schema lists each record's keys in the order they are written, requires exactly those
// that are always written (null included), and refuses an empty value for a member left out
// when empty.
TEST(CertificateMembers, SchemaKeysAndRequiredListsFollowTheDescriptions) {
  for (const Described& record : described_records()) {
    SCOPED_TRACE(record.pointer);
    const dom::element object = schema().at_pointer(record.pointer).value();
    const dom::object properties = object["properties"].get_object().value();

    std::vector<std::string> keys;
    std::vector<std::string> required;
    for (const MemberKey& member : record.keys) {
      keys.emplace_back(member.key);
      if (member.presence == Presence::always || member.presence == Presence::null_if_absent)
        required.emplace_back(member.key);
      dom::element property;
      // A key the schema lacks shows in the comparison of the key lists below.
      if (properties[member.key].get(property) != simdjson::SUCCESS) continue;
      SCOPED_TRACE(member.key);
      if (member.presence == Presence::null_if_absent) {
        EXPECT_TRUE(admits_null(property));
      }
      if (member.presence == Presence::if_not_empty) {
        std::uint64_t least = 0;
        EXPECT_TRUE(property["minItems"].get(least) == simdjson::SUCCESS ||
                    property["minProperties"].get(least) == simdjson::SUCCESS);
        EXPECT_EQ(least, 1U);
      }
    }
    EXPECT_EQ(keys_of(properties), keys);
    EXPECT_EQ(strings_of(object["required"].get_array().value()), required);
  }
}

}  // namespace
}  // namespace certwright
