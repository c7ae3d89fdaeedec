#include "core/evidence/corpus_attestation.h"

#include <simdjson.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/json_check.h"
#include "core/base/json_value.h"
#include "core/base/json_writer.h"
#include "core/base/text.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;

std::string quoted_key(std::string_view key) {
  std::string quoted = "`";
  quoted.append(key).push_back('`');
  return quoted;
}

// `key` is empty for the document itself.
std::string type_error(std::string_view key, std::string_view expected) {
  std::string message = key.empty() ? "invalid type" : "invalid type for " + quoted_key(key);
  message.append(": expected ").append(expected);
  return message;
}

// Reads the members of one JSON object into record fields. All readers of one document share
// one failure slot and keep only the first failure; after it every read gives a default, so a
// record is built in one expression and the slot is checked once at the end. Only the keys
// that are read are looked at, so unlisted keys are ignored even when they repeat.
class RecordReader {
 public:
  RecordReader(dom::element value, std::string_view key, std::optional<Error>& failure)
      : failure_(&failure) {
    if (!failure && value.get_object().get(object_)) fail(type_error(key, "an object"));
  }

  std::string string(std::string_view key) {
    const auto value = member(key, Presence::required);
    std::string_view text;
    if (value && value->get_string().get(text)) fail(type_error(key, "a string"));
    return std::string(text);
  }

  bool boolean(std::string_view key) {
    const auto value = member(key, Presence::required);
    bool flag = false;
    if (value && value->get_bool().get(flag)) fail(type_error(key, "a boolean"));
    return flag;
  }

  RecordReader record(std::string_view key) {
    return RecordReader(member(key, Presence::required).value_or(dom::element()), key, *failure_);
  }

  // None when the member is absent or null.
  std::optional<RecordReader> optional_record(std::string_view key) {
    const auto value = member(key, Presence::optional);
    if (!value || value->is_null()) return std::nullopt;
    return RecordReader(*value, key, *failure_);
  }

 private:
  enum class Presence { required, optional };

  // The one member named `key`; none after a failure or when an optional member is absent.
  std::optional<dom::element> member(std::string_view key, Presence presence) {
    if (*failure_) return std::nullopt;
    std::optional<dom::element> found;
    for (const dom::key_value_pair pair : object_) {
      if (pair.key != key) continue;
      if (found) {
        fail("duplicate field " + quoted_key(key));
        return std::nullopt;
      }
      found = pair.value;
    }
    if (!found && presence == Presence::required) fail("missing field " + quoted_key(key));
    return found;
  }

  void fail(std::string message) {
    if (!*failure_) *failure_ = Error{std::move(message)};
  }

  dom::object object_;
  std::optional<Error>* failure_;
};

// Members are read in the order of the record's fields, which decides the failure reported
// when several things are wrong.
ToolStamp read_tool(RecordReader tool) {
  return {tool.string("name"), tool.string("version")};
}

LintVerdict read_lint(RecordReader lint) {
  return {lint.boolean("ok"), lint.string("findingsHash")};
}

CoupleVerdict read_couple(RecordReader couple) {
  return {couple.boolean("ok"), couple.string("indexHash"), couple.string("joinHash")};
}

Verdicts read_verdicts(RecordReader verdicts) {
  Verdicts result{
      {verdicts.record("compile").boolean("ok")}, read_lint(verdicts.record("lint")), std::nullopt};
  if (auto couple = verdicts.optional_record("couple")) result.couple = read_couple(*couple);
  return result;
}

CorpusAttestation read_attestation(RecordReader attestation) {
  return {attestation.string("schemaVersion"), read_tool(attestation.record("tool")),
          attestation.string("inputsManifestHash"), attestation.string("registryHash"),
          read_verdicts(attestation.record("verdicts"))};
}

// Keys the record does not list are ignored at every level, whatever they hold, and RFC 8259
// bounds no number; the DOM parser below holds numbers as 64-bit values and would refuse, say,
// 1e400. So the whole text is first checked with numbers taken by their grammar alone, and then
// every number is overwritten with 0 and spaces: the record has no number fields, so a number
// can only matter by its type, which stays. A document whose root is no object or array is left
// as it is, for the DOM parse to refuse or to type.
simdjson::error_code check_and_zero_numbers(simdjson::padded_string& json) {
  std::vector<std::string_view> numbers;
  {
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document document;
    if (const auto code = parser.allocate(json.size(), kMaxJsonDepth + 1)) return code;
    if (const auto code = parser.iterate(json).get(document)) return code;
    const auto code = check_json(document, &numbers);
    if (code == simdjson::SCALAR_DOCUMENT_AS_VALUE) return simdjson::SUCCESS;
    if (code) return code;
  }
  for (const std::string_view number : numbers) {
    char* at = json.data() + (number.data() - json.data());
    at[0] = '0';
    std::fill(at + 1, at + number.size(), ' ');
  }
  return simdjson::SUCCESS;
}

JsonValue text(std::string_view value) {
  return JsonValue{std::string(value)};
}

JsonValue flag(bool value) {
  return JsonValue{value};
}

// Exactly the record's fields under their JSON keys; the object type sorts them byte-wise.
JsonValue canonical_value(const CorpusAttestation& attestation) {
  const Verdicts& verdicts = attestation.verdicts;
  JsonObject verdict_members{
      {"compile", JsonValue{JsonObject{{"ok", flag(verdicts.compile.ok)}}}},
      {"lint", JsonValue{JsonObject{{"findingsHash", text(verdicts.lint.findings_hash)},
                                    {"ok", flag(verdicts.lint.ok)}}}},
  };
  if (verdicts.couple) {
    verdict_members.emplace("couple", JsonValue{JsonObject{
                                          {"indexHash", text(verdicts.couple->index_hash)},
                                          {"joinHash", text(verdicts.couple->join_hash)},
                                          {"ok", flag(verdicts.couple->ok)},
                                      }});
  }
  return JsonValue{JsonObject{
      {"inputsManifestHash", text(attestation.inputs_manifest_hash)},
      {"registryHash", text(attestation.registry_hash)},
      {"schemaVersion", text(attestation.schema_version)},
      {"tool", JsonValue{JsonObject{{"name", text(attestation.tool.name)},
                                    {"version", text(attestation.tool.version)}}}},
      {"verdicts", JsonValue{std::move(verdict_members)}},
  }};
}

}  // namespace

std::expected<CorpusAttestation, Error> parse_corpus_attestation(std::string_view text) {
  // An empty view may have no data to copy from.
  simdjson::padded_string json(text.empty() ? std::string_view("") : text);
  if (const auto code = check_and_zero_numbers(json)) {
    return std::unexpected(Error{std::string("invalid JSON: ") + simdjson::error_message(code)});
  }
  dom::parser parser;
  dom::element root;
  if (const auto code = parser.parse(json).get(root)) {
    return std::unexpected(Error{std::string("invalid JSON: ") + simdjson::error_message(code)});
  }
  std::optional<Error> failure;
  CorpusAttestation attestation = read_attestation(RecordReader(root, "", failure));
  if (failure) return std::unexpected(std::move(*failure));
  return attestation;
}

std::expected<std::string, Error> attestation_hash(const CorpusAttestation& attestation) {
  std::string canonical;
  JsonWriter(Layout::pretty, canonical).value(canonical_value(attestation));
  canonical.push_back('\n');
  // The writer passes string bytes through; a field that is not UTF-8 (possible only in a
  // record built in code) would make text that is not JSON, so it has no canonical form.
  if (!is_valid_utf8(canonical)) {
    return std::unexpected(Error{"a field of the attestation is not valid UTF-8"});
  }
  return hash_bytes(canonical);
}

}  // namespace certwright
