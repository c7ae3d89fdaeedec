#include "core/formats/intoto_statement.h"

#include <algorithm>
#include <set>

#include "core/base/json_writer.h"
#include "core/base/text.h"
#include "core/record/certificate_encoding.h"

namespace certwright {
namespace {

namespace ondemand = simdjson::ondemand;

std::unexpected<Error> refuse(std::string_view where, std::string_view reason) {
  return std::unexpected(Error{"statement" + std::string(where) + ": " + std::string(reason)});
}

// Every key of `object` once, and each one among `allowed`; calls `take` with each member.
template <class Take>
std::expected<void, Error> for_each_member(ondemand::object object, std::string_view where,
                                           std::initializer_list<std::string_view> allowed,
                                           Take take) {
  std::set<std::string, std::less<>> seen;
  for (auto field : object) {
    std::string_view key;
    if (field.unescaped_key().get(key)) return refuse(where, "not JSON");
    if (std::ranges::find(allowed, key) == allowed.end())
      return refuse(where, "unknown key \"" + single_line(key) + "\"");
    if (!seen.emplace(key).second)
      return refuse(where, "duplicate key \"" + single_line(key) + "\"");
    if (auto taken = take(key, field.value()); !taken) return taken;
  }
  if (seen.size() != allowed.size())
    for (std::string_view key : allowed)
      if (!seen.contains(key)) return refuse(where, "missing key \"" + std::string(key) + "\"");
  return {};
}

std::expected<void, Error> read_text(ondemand::value value, std::string_view where,
                                     std::string& out) {
  std::string_view text;
  if (value.get_string().get(text)) return refuse(where, "not a string");
  out = text;
  return {};
}

std::expected<void, Error> read_digest(ondemand::value value, std::string_view where,
                                       std::string& sha256) {
  ondemand::object digest;
  if (value.get_object().get(digest)) return refuse(where, "not an object");
  std::set<std::string, std::less<>> seen;
  for (auto field : digest) {
    std::string_view algorithm;
    std::string_view text;
    if (field.unescaped_key().get(algorithm) || field.value().get_string().get(text))
      return refuse(where, "a digest that is not a text");
    if (!seen.emplace(algorithm).second)
      return refuse(where, "duplicate key \"" + single_line(algorithm) + "\"");
    if (algorithm == "sha256") sha256 = text;
  }
  return {};
}

std::expected<void, Error> read_subjects(ondemand::value value,
                                         std::vector<StatementSubject>& subjects) {
  ondemand::array array;
  if (value.get_array().get(array)) return refuse(".subject", "not an array");
  for (auto element : array) {
    const std::string where = ".subject[" + std::to_string(subjects.size()) + "]";
    ondemand::object object;
    if (element.get_object().get(object)) return refuse(where, "not an object");
    StatementSubject& subject = subjects.emplace_back();
    auto read = for_each_member(object, where, {"name", "digest"},
                                [&](std::string_view key, ondemand::value member) {
                                  if (key == "name")
                                    return read_text(member, where + ".name", subject.name);
                                  return read_digest(member, where + ".digest", subject.sha256);
                                });
    if (!read) return read;
  }
  return {};
}

}  // namespace

std::string governance_predicate_type() {
  const std::string_view version = kCurrentCertificateVersion;
  return "https://certwright.example/governance-certificate/v" +
         std::string(version.substr(0, version.find('.')));
}

namespace {

void write_subject(JsonWriter& writer, std::string_view name, std::string_view sha256) {
  writer.begin_object();
  writer.key("name");
  writer.string(name);
  writer.key("digest");
  writer.begin_object();
  writer.key("sha256");
  writer.string(sha256);
  writer.end_object();
  writer.end_object();
}

// Calls `take(stage_id, name, sha256)` for every artifact of every passed stage, in order.
template <class Take>
void for_each_artifact(const GovernanceCertificate& certificate, Take take) {
  for (const StageRecord& stage : certificate.stages)
    if (stage.status == CheckStatus::passed)
      for (const auto [name, sha256] : stage.artifact_hashes)
        take(stage.stage_id, name, sha256);
}

}  // namespace

std::vector<StatementSubject> artifact_subjects(const GovernanceCertificate& certificate) {
  std::vector<StatementSubject> subjects;
  for_each_artifact(
      certificate, [&](std::string_view stage, std::string_view name, std::string_view sha256) {
        subjects.push_back({std::string(stage) + "/" + std::string(name), std::string(sha256)});
      });
  return subjects;
}

void append_statement(std::string& out, std::string_view subject_name,
                      std::string_view subject_sha256, const GovernanceCertificate& certificate,
                      SubjectForm form) {
  JsonWriter writer(Layout::compact, out);
  writer.begin_object();
  writer.key("_type");
  writer.string(kStatementType);
  writer.key("subject");
  writer.begin_array();
  if (form != SubjectForm::artifacts) write_subject(writer, subject_name, subject_sha256);
  if (form != SubjectForm::certificate) {
    std::string name;
    for_each_artifact(certificate, [&](std::string_view stage, std::string_view artifact,
                                       std::string_view sha256) {
      name.assign(stage).append("/").append(artifact);
      write_subject(writer, name, sha256);
    });
  }
  writer.end_array();
  writer.key("predicateType");
  writer.string(governance_predicate_type());
  writer.key("predicate");
  write_json(writer, certificate);
  writer.end_object();
}

std::expected<Statement, Error> read_statement(simdjson::padded_string_view payload) {
  ondemand::parser parser;
  ondemand::document document;
  if (parser.iterate(payload).get(document)) return refuse("", "not JSON");
  ondemand::object root;
  if (document.get_object().get(root)) return refuse("", "not a JSON object");
  Statement statement;
  auto read = for_each_member(
      root, "", {"_type", "subject", "predicateType", "predicate"},
      [&](std::string_view key, ondemand::value value) -> std::expected<void, Error> {
        if (key == "_type") return read_text(value, "._type", statement.type);
        if (key == "predicateType")
          return read_text(value, ".predicateType", statement.predicate_type);
        if (key == "subject") return read_subjects(value, statement.subjects);
        ondemand::object predicate;
        if (value.get_object().get(predicate) || predicate.raw_json().get(statement.predicate))
          return refuse(".predicate", "not a JSON object");
        // The raw text runs on to the next token; the white space before it is not the object's.
        const auto end = statement.predicate.find_last_not_of(" \t\n\r");
        statement.predicate = statement.predicate.substr(0, end + 1);
        return {};
      });
  if (!read) return std::unexpected(read.error());
  const char* location = nullptr;
  if (document.current_location().get(location) != simdjson::OUT_OF_BOUNDS)
    return refuse("", "text after the JSON object");
  return statement;
}

}  // namespace certwright
