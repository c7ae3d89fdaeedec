#include "core/formats/verification_summary.h"

#include <simdjson.h>

#include <algorithm>
#include <cctype>

#include "core/base/json_writer.h"
#include "core/formats/certificate_envelope.h"
#include "core/formats/dsse_envelope.h"
#include "core/formats/intoto_statement.h"
#include "core/formats/sigstore_bundle.h"
#include "core/verify/certificate_verification.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;

std::unexpected<Error> refuse(std::string_view reason) {
  return std::unexpected(Error{"verification summary: " + std::string(reason)});
}

void write_digested(JsonWriter& writer, std::string_view name_key, const DigestedName& item) {
  writer.begin_object();
  writer.key(name_key);
  writer.string(item.name);
  writer.key("digest");
  writer.begin_object();
  writer.key("sha256");
  writer.string(item.sha256);
  writer.end_object();
  writer.end_object();
}

void write_predicate(JsonWriter& writer, const SummaryStatement& summary) {
  writer.begin_object();
  writer.key("verifier");
  writer.begin_object();
  writer.key("id");
  writer.string(summary.verifier_id);
  writer.end_object();
  writer.key("timeVerified");
  writer.string(format_date_time(summary.time_verified));
  writer.key("resourceUri");
  writer.string(summary.resource_uri);
  writer.key("policy");
  write_digested(writer, "uri", {summary.policy_uri, summary.policy_sha256});
  writer.key("inputAttestations");
  writer.begin_array();
  for (const DigestedName& input : summary.input_attestations)
    write_digested(writer, "uri", input);
  writer.end_array();
  writer.key("verificationResult");
  writer.string(summary.passed ? "PASSED" : "FAILED");
  writer.key("verifiedLevels");
  writer.begin_array();
  if (summary.passed) writer.string(kGovernedLevel);
  writer.end_array();
  writer.end_object();
}

std::expected<std::string, Error> text_at(dom::element element, std::string_view pointer) {
  std::string_view text;
  if (element.at_pointer(pointer).get_string().get(text))
    return refuse("predicate member \"" + std::string(pointer) + "\" is not a string");
  return std::string(text);
}

std::expected<void, Error> read_predicate(std::string_view predicate, SummaryStatement& summary) {
  dom::parser parser;
  const simdjson::padded_string padded(predicate);
  dom::element root;
  if (parser.parse(padded).get(root)) return refuse("predicate is not JSON");
  auto verifier = text_at(root, "/verifier/id");
  auto time = text_at(root, "/timeVerified");
  auto resource = text_at(root, "/resourceUri");
  auto policy_uri = text_at(root, "/policy/uri");
  auto policy_sha256 = text_at(root, "/policy/digest/sha256");
  auto result = text_at(root, "/verificationResult");
  for (const auto* read : {&verifier, &time, &resource, &policy_uri, &policy_sha256, &result})
    if (!*read) return std::unexpected(read->error());
  const auto parsed_time = parse_time_text(*time);
  if (!parsed_time) return refuse("timeVerified is not an RFC 3339 date-time");
  dom::array levels;
  if (root.at_pointer("/verifiedLevels").get_array().get(levels))
    return refuse("predicate member \"/verifiedLevels\" is not an array");
  bool governed = false;
  for (dom::element level : levels) {
    std::string_view text;
    if (level.get_string().get(text)) return refuse("a verified level is not a string");
    governed = governed || text == kGovernedLevel;
  }
  summary.verifier_id = std::move(*verifier);
  summary.time_verified = *parsed_time;
  summary.resource_uri = std::move(*resource);
  summary.policy_uri = std::move(*policy_uri);
  summary.policy_sha256 = std::move(*policy_sha256);
  summary.passed = *result == "PASSED" && governed;
  return {};
}

}  // namespace

std::string encode_summary_statement(const SummaryStatement& summary) {
  std::string out;
  JsonWriter writer(Layout::compact, out);
  writer.begin_object();
  writer.key("_type");
  writer.string(kStatementType);
  writer.key("subject");
  writer.begin_array();
  for (const DigestedName& subject : summary.subjects)
    write_digested(writer, "name", subject);
  writer.end_array();
  writer.key("predicateType");
  writer.string(kVerificationSummaryType);
  writer.key("predicate");
  write_predicate(writer, summary);
  writer.end_object();
  return out;
}

std::string sign_summary_bundle(const SummaryStatement& summary, const SigningKey& key) {
  DsseEnvelope envelope{.payload = encode_summary_statement(summary),
                        .payload_type = std::string(kInTotoPayloadType),
                        .signatures = {}};
  const auto signature =
      key.sign(pre_authentication_encoding(envelope.payload_type, envelope.payload));
  const std::string hint = public_key_hint(key.public_key());
  envelope.signatures.push_back(
      {hint, std::string(reinterpret_cast<const char*>(signature.data()), signature.size())});
  return encode_bundle(envelope, hint);
}

std::string run_resource_uri(std::string_view run_id) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string uri = "urn:certwright:run:";
  for (const char c : run_id) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 && byte < 0x80) {
      uri.push_back(c);
    } else if (c == '-' || c == '.' || c == '_' || c == '~') {
      uri.push_back(c);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[byte >> 4]);
      uri.push_back(kHex[byte & 0xF]);
    }
  }
  return uri;
}

std::expected<SummaryStatement, Error> read_summary_bundle(std::string_view text,
                                                           const PublicKeyBytes& key) {
  const simdjson::padded_string padded(text);
  auto file = read_attestation(padded);
  if (!file) return std::unexpected(file.error());
  const DsseEnvelope& envelope = file->envelope;
  const std::string signed_bytes =
      pre_authentication_encoding(envelope.payload_type, envelope.payload);
  const bool signed_by_key =
      std::ranges::any_of(envelope.signatures, [&](const DsseSignature& signature) {
        std::array<unsigned char, 64> bytes{};
        if (signature.signature.size() != bytes.size()) return false;
        std::ranges::copy(signature.signature, reinterpret_cast<char*>(bytes.data()));
        return ed25519_verifies(key, signed_bytes, bytes);
      });
  if (!signed_by_key) return refuse("signed by another key, or not signed");
  if (envelope.payload_type != kInTotoPayloadType) return refuse("not an in-toto Statement");
  const simdjson::padded_string payload(envelope.payload);
  auto statement = read_statement(payload);
  if (!statement) return std::unexpected(statement.error());
  if (statement->type != kStatementType || statement->predicate_type != kVerificationSummaryType)
    return refuse("not an in-toto Statement of a verification summary");
  SummaryStatement summary;
  for (const StatementSubject& subject : statement->subjects)
    summary.subjects.push_back({subject.name, subject.sha256});
  if (auto read = read_predicate(statement->predicate, summary); !read)
    return std::unexpected(read.error());
  return summary;
}

}  // namespace certwright
